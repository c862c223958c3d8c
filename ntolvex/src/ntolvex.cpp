#include <cstdio>

#include "front.h"
#include "standard_streams.h"
#include "termination.h"

int main(int argc, char** argv) {
  ntolvex::guard_standard_streams();
  ntolvex::handle_termination_signals();
  // The last resort: an exception outside a command (while parsing or setting up) is a
  // failure of the run, never an abort.
  try {
    return ntolvex::run(argc, argv);
  } catch (...) {
    std::fputs("Error: out of memory or internal failure\n", stderr);
    return 1;
  }
}
