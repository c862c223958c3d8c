#include <norvane/locator.h>

#include <sys/stat.h>

#include "platform.h"

namespace norvane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kNoHome = "Could not locate user home directory via $HOME or /etc/passwd";
// A manifest is a few hundred bytes; anything near this is not one.
constexpr uint64_t kMaxManifestSize = 1 << 20;
constexpr const char* kNoManifest = "Unable to read nuspec file in current directory.";

// An entry exists when the file system reports one after following links; an entry
// that cannot be examined counts as missing.
bool entry_exists(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

Result<NorvaneLocator> locate(std::string_view exe_path, const std::optional<fs::path>& home,
                              const Sleeper& sleep) {
  // The marker is searched in the bytes themselves: replacing invalid UTF-8 leaves
  // ASCII where it is, and the paths built from the bytes still name real files when
  // a directory's name is not UTF-8. Messages show the path as text.
  const size_t marker = exe_path.rfind(".app/");
  if (marker == std::string::npos)
    return fail("Unable to locate '.app' directory in path: " + lossy_utf8(exe_path));

  NorvaneLocator loc;
  loc.app_bundle_dir = std::string(exe_path.substr(0, marker + 4));
  const fs::path exe_dir = loc.app_bundle_dir / "Contents" / "MacOS";
  loc.updater_path = exe_dir / "Hoistel";
  const fs::path manifest_path = exe_dir / "nv.version";

  if (!entry_exists(loc.updater_path))
    return fail("Unable to locate Hoistel in directory: " + path_text(exe_dir));
  if (!entry_exists(manifest_path)) return fail(kNoManifest);

  auto text =
      retry_operation([&] { return read_utf8_file(manifest_path, kMaxManifestSize); }, sleep);
  if (!text) return fail(kNoManifest);

  NV_TRY_ASSIGN(loc.manifest, parse_manifest(*text));

  if (!home) return fail(kNoHome);
  loc.package_cache_dir = *home / "Library" / "Caches" / "norvane" / loc.manifest.id / "packages";
  return loc;
}

Result<std::string> executable_path() { return platform::executable_path(); }

Result<NorvaneLocator> auto_locate() {
  NV_TRY_ASSIGN(const std::string exe, platform::executable_path());
  return locate(exe, home_directory());
}

Result<fs::path> log_file_path() {
  auto home = home_directory();
  if (!home) return fail(kNoHome);
  return *home / "Library" / "Logs" / "norvane.log";
}

}  // namespace norvane
