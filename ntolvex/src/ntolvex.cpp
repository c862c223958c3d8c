#include "front.h"
#include "standard_streams.h"

int main(int argc, char** argv) {
  ntolvex::guard_standard_streams();
  return ntolvex::run(argc, argv);
}
