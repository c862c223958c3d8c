#include "termination.h"

#include <signal.h>

#include <initializer_list>

#include <norvane/interrupt.h>

namespace ntolvex {

namespace {

extern "C" void on_termination(int signal_number) {
  norvane::remove_interrupted_files();
  // SA_RESETHAND has put the default action back: the signal now ends the process.
  ::raise(signal_number);
}

}  // namespace

void handle_termination_signals() {
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction current {};
    if (::sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
      continue;
    struct sigaction action {};
    action.sa_handler = on_termination;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);  // a macro on some systems: no "::"
    ::sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace ntolvex
