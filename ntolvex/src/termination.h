// How the program ends when its host cancels it: SIGTERM (the usual way), SIGINT or
// SIGHUP remove the temporary files of a package not yet placed, then end the process
// by the same signal, so the host still sees it killed.
#pragma once

namespace ntolvex {

// Installs the handlers, leaving alone a signal the parent has set to be ignored.
void handle_termination_signals();

}  // namespace ntolvex
