// What a run ended by a signal leaves behind. The library keeps a list of the files a
// run is writing that would be useless once it is gone (the temporary files of a
// package not yet placed); a front end that catches a terminating signal removes them
// before the process ends.
#pragma once

namespace norvane {

// Removes every file on the list. Async-signal-safe: only unlink() is called, on names
// prepared beforehand, so a signal handler may call it.
void remove_interrupted_files() noexcept;

}  // namespace norvane
