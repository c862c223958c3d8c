// The list behind remove_interrupted_files(): a fixed number of slots, each holding a
// path, filled and emptied by normal code and read by a signal handler.
#pragma once

#include <filesystem>

namespace norvane {

// Puts `path` on the list. A path that does not fit a slot, or a full list, is left
// off: the file is then only removed by a later run's clean-up.
void add_interrupted_file(const std::filesystem::path& path) noexcept;

// Takes `path` off the list, when it is there.
void drop_interrupted_file(const std::filesystem::path& path) noexcept;

}  // namespace norvane
