// The platform layer: the few calls that differ between the systems the program runs
// on, and nothing else. One source file per platform implements it (platform_linux.cpp,
// platform_macos.cpp); CMake picks the one that applies.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <norvane/result.h>

namespace norvane::platform {

// The path of the running executable as the operating system reports it, as bytes.
// On macOS that is the path the program was started with (links not resolved); on
// Linux it comes from the kernel (/proc/self/exe), which has already resolved every
// symbolic link, so a linked executable reports its target's location.
Result<std::string> executable_path();

// The home directory of the password-database entry for the real user id, or none.
std::optional<std::string> password_home_directory();

// Copies the whole file `from` (a regular file or a link to one) to `to`, which is
// created or truncated: content, permission bits and timestamps. Where the file system
// allows, the copy is a copy-on-write clone. Fails with "the source path is neither a
// regular file nor a symlink to a regular file" for any other kind of source.
Result<void> copy_file_with_metadata(const std::filesystem::path& from,
                                     const std::filesystem::path& to);

}  // namespace norvane::platform
