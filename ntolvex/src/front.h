// The front end: the command-line grammar, start-up, dispatch of the subcommands and
// the final error report.
#pragma once

namespace ntolvex {

// Runs the program on the argument vector and returns the exit status: 0 on success
// (and for help and version), 1 when anything failed after parsing, 2 for a command
// line that does not fit the grammar.
int run(int argc, char** argv);

}  // namespace ntolvex
