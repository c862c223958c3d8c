// The three standard descriptors, made safe before the program opens anything. A
// parent may start the program with one of them closed; the first file opened would
// then take its number, and results meant for standard output would go into the log.
#pragma once

namespace ntolvex {

// Puts /dev/null on each of descriptors 0, 1 and 2 that is closed, and remembers
// whether standard output was. Call first thing in main, before anything is opened.
void guard_standard_streams();

// True when the program was started with standard output closed: a result line then
// has no reader, and the command fails as it does for a reader that went away.
bool standard_output_was_closed();

}  // namespace ntolvex
