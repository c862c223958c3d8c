// The whole-file copy of the folder source: one regular file into an open one, content,
// permission bits and time stamps, through the platform's fastest way of copying.
//
// Internal to the library.
#pragma once

#include <filesystem>

#include <norvane/result.h>

#include "platform.h"

namespace norvane {

// Copies the whole file `from` (a regular file or a link to one) into `out`, an open
// file descriptor of an empty regular file that the caller owns and closes: content
// (platform::copy_content, which tells `copied` how far it is), then permission bits
// and timestamps. Any other kind of source (a directory, a fifo, a device, a socket)
// fails with "the source path is neither a regular file nor a symlink to a regular
// file" without being opened for long enough to block; a missing source or a dangling
// link fails with the OS error. A failure may leave part of the content in `out`.
Result<void> copy_file_into(const std::filesystem::path& from, int out,
                            const platform::CopyProgress& copied = {});

}  // namespace norvane
