#include "front.h"
#include "standard_streams.h"
#include "termination.h"

int main(int argc, char** argv) {
  ntolvex::guard_standard_streams();
  ntolvex::handle_termination_signals();
  return ntolvex::run(argc, argv);
}
