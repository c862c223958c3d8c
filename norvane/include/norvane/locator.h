// The installation locator: finds the application bundle from the executable's own
// path, checks the updater and the manifest beside it, reads the manifest, and
// derives the packages directory and the log file path.
#pragma once

#include <filesystem>
#include <string>

#include <norvane/manifest.h>
#include <norvane/result.h>
#include <norvane/util.h>

namespace norvane {

struct NorvaneLocator {
  std::filesystem::path app_bundle_dir;     // e.g. /Applications/Sample.app
  std::filesystem::path updater_path;       // {bundle}/Contents/MacOS/Hoistel; it existed
  std::filesystem::path package_cache_dir;  // HOME/Library/Caches/norvane/{id}/packages
  Manifest manifest;
};

// Locates the installation for an executable path and a home directory (none when
// it cannot be found). Reads the manifest through retry_operation, waiting with
// `sleep`. Creates nothing. The errors are the locator's fixed messages, the
// manifest's messages, or "Could not locate user home directory via $HOME or
// /etc/passwd".
Result<NorvaneLocator> locate(std::string_view exe_path,
                              const std::optional<std::filesystem::path>& home,
                              const Sleeper& sleep = sleep_for);

// The path of the running executable as the operating system reports it.
Result<std::string> executable_path();

// locate() for the running executable and the home-directory rule.
Result<NorvaneLocator> auto_locate();

// The home directory joined with Library/Logs/norvane.log.
Result<std::filesystem::path> log_file_path();

}  // namespace norvane
