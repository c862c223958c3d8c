// The front end: the command-line grammar, start-up, dispatch of the subcommands and
// the final error report.
#pragma once

#include <functional>

#include <norvane/result.h>

namespace ntolvex {

// Runs a command, turning an exception (memory exhausted, or any other) into its
// failure ("out of memory", "unexpected failure: {what}"), so that it ends with the
// usual error line, its record and exit status 1, never an abort.
norvane::Result<void> run_catching(const std::function<norvane::Result<void>()>& command);

// Runs the program on the argument vector and returns the exit status: 0 on success
// (and for help and version), 1 when anything failed after parsing, 2 for a command
// line that does not fit the grammar.
int run(int argc, char** argv);

}  // namespace ntolvex
