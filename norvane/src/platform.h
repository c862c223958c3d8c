// The platform layer: the few calls that differ between the systems the program runs
// on, and nothing else. One source file per platform implements it (platform_linux.cpp,
// platform_macos.cpp); CMake picks the one that applies.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <norvane/result.h>

namespace norvane::platform {

// The path of the running executable as the operating system reports it, as bytes.
// On macOS that is the path the program was started with (links not resolved); on
// Linux it comes from the kernel (/proc/self/exe), which has already resolved every
// symbolic link, so a linked executable reports its target's location.
Result<std::string> executable_path();

// The file name under which the dynamic loader finds the HTTP client library
// (libcurl), which is opened only when the first request is made.
const char* http_client_library_name();

// Copies the content of `in`, an open regular file of `size` bytes when it was looked
// at, from its start to its end into `out`, an empty regular file open for writing. On
// Linux the content is a copy-on-write clone where the file system allows, else copied
// in the kernel, else read and written; on macOS it is copied by fcopyfile (a clone
// needs a destination it creates itself). `copied`, when given, may be told as the
// content lands how many bytes from the start are in `out` (on Linux after each piece
// of an in-kernel or plain copy), so that a reader can follow the copy. Fails with the
// OS error; a failure may leave part of the content in `out`.
using CopyProgress = std::function<void(uint64_t copied)>;
Result<void> copy_content(int in, int out, uint64_t size, const CopyProgress& copied);

// The access and modification times of a file's status, as futimens takes them.
void file_times(const struct stat& st, struct timespec times[2]);

// The system's text for an errno value ("No such file or directory"); for a value the
// system does not know, its own wording of that ("Unknown error 1234" on Linux).
std::string error_text(int code);

// Asks the storage device to keep what was written to `fd` (a file or a directory)
// across a power loss: on Linux fsync, on macOS fcntl(F_FULLFSYNC), which also empties
// the drive's own cache, falling back to fsync where the file system does not offer
// it. Fails with the OS error.
Result<void> flush_to_storage(int fd);

// Starts writing the bytes of `fd` from `offset` for `length` bytes to storage, without
// waiting for it, so that a later flush_to_storage has less left to do. Only a hint: on
// Linux sync_file_range(SYNC_FILE_RANGE_WRITE); on macOS nothing (F_FULLFSYNC writes
// everything at once). Failures are ignored.
void start_writeback(int fd, uint64_t offset, uint64_t length);

}  // namespace norvane::platform
