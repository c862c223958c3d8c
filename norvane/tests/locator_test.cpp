#include <norvane/locator.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using testing::CapturedLog;
using testing::RecordingSleeper;
using testing::TempDir;
using testing::write_file;

const char* kManifest =
    "<package><metadata><id>Sample</id><version>1.2.3</version></metadata></package>";
const char* kNoManifest = "Unable to read nuspec file in current directory.";

// Lays out <root>/<bundle>/Contents/MacOS with the updater and the manifest.
void make_bundle(const fs::path& bundle, bool updater = true, const char* manifest = kManifest) {
  const fs::path macos = bundle / "Contents" / "MacOS";
  fs::create_directories(macos);
  if (updater) write_file(macos / "Hoistel", "");
  if (manifest) write_file(macos / "nv.version", manifest);
}

TEST(LocatorTest, DerivesEveryPathFromTheExecutable) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string bundle;  // relative to the temp dir
    std::string exe;     // relative to the temp dir
  };
  const Case cases[] = {
      {"ordinary", "Applications/Sample.app", "Applications/Sample.app/Contents/MacOS/ntolvex"},
      {"nested bundle: the last .app/ wins", "Outer.app/Contents/Resources/Inner.app",
       "Outer.app/Contents/Resources/Inner.app/Contents/MacOS/ntolvex"},
      {"a folder named like a bundle earlier", "Vol.app/x/Real.app",
       "Vol.app/x/Real.app/Contents/MacOS/ntolvex"},
      {"executable directly in the bundle", "Flat.app", "Flat.app/ntolvex"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    make_bundle(dir / c.bundle);
    CapturedLog log;
    auto loc = locate((dir / c.exe).string(), fs::path("/Users/u"));
    ASSERT_TRUE(loc) << loc.error().message;
    EXPECT_EQ(loc->app_bundle_dir, dir / c.bundle);
    EXPECT_EQ(loc->updater_path, dir / c.bundle / "Contents/MacOS/Hoistel");
    EXPECT_EQ(loc->package_cache_dir, fs::path("/Users/u/Library/Caches/norvane/Sample/packages"));
    EXPECT_EQ(loc->manifest.id, "Sample");
    EXPECT_TRUE(log.records().empty());
  }
}

TEST(LocatorTest, PackagesDirectoryFollowsHomeAndId) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string id;
    std::optional<fs::path> home;
    fs::path expected;
  };
  const Case cases[] = {
      {"empty home gives a relative path", "Sample", fs::path(""),
       "Library/Caches/norvane/Sample/packages"},
      {"slash in the id makes levels", "a/b", fs::path("/h"),
       "/h/Library/Caches/norvane/a/b/packages"},
      {"absolute id replaces the prefix", "/abs", fs::path("/h"), "/abs/packages"},
      {"blanks kept", " A ", fs::path("/h"), "/h/Library/Caches/norvane/ A /packages"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path bundle = dir / "S.app";
    fs::remove_all(bundle);
    const std::string manifest = "<p><id>" + c.id + "</id><version>1.0.0</version></p>";
    make_bundle(bundle, true, manifest.c_str());
    auto loc = locate((bundle / "Contents/MacOS/ntolvex").string(), c.home);
    ASSERT_TRUE(loc) << loc.error().message;
    EXPECT_EQ(loc->package_cache_dir, c.expected);
  }
}

TEST(LocatorTest, FailuresInTheirOrder) {
  TempDir dir;
  make_bundle(dir / "NoUpdater.app", false, nullptr);
  make_bundle(dir / "NoManifest.app", true, nullptr);
  make_bundle(dir / "BadManifest.app", true, "<p><id>A</id></p>");
  make_bundle(dir / "Good.app");
  struct Case {
    const char* name;
    std::string exe;
    std::optional<fs::path> home;
    std::string message;
  };
  const std::string d = dir.path().string();
  const Case cases[] = {
      {"no bundle", d + "/bin/ntolvex", fs::path("/h"),
       "Unable to locate '.app' directory in path: " + d + "/bin/ntolvex"},
      {"upper-case .APP", d + "/Good.APP/Contents/MacOS/ntolvex", fs::path("/h"),
       "Unable to locate '.app' directory in path: " + d + "/Good.APP/Contents/MacOS/ntolvex"},
      {".application is no bundle", d + "/Good.application/x", fs::path("/h"),
       "Unable to locate '.app' directory in path: " + d + "/Good.application/x"},
      {"updater missing hides manifest missing", d + "/NoUpdater.app/Contents/MacOS/ntolvex",
       fs::path("/h"),
       "Unable to locate Hoistel in directory: " + d + "/NoUpdater.app/Contents/MacOS"},
      {"manifest missing", d + "/NoManifest.app/Contents/MacOS/ntolvex", fs::path("/h"),
       kNoManifest},
      {"manifest rejected", d + "/BadManifest.app/Contents/MacOS/ntolvex", fs::path("/h"),
       "Missing 'version' in package manifest. Please contact the application author."},
      {"no home", d + "/Good.app/Contents/MacOS/ntolvex", std::nullopt,
       "Could not locate user home directory via $HOME or /etc/passwd"},
      {"invalid UTF-8 in the path is replaced", d + "/b\xff/ntolvex", fs::path("/h"),
       "Unable to locate '.app' directory in path: " + d + "/b\xef\xbf\xbd/ntolvex"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog log;
    RecordingSleeper sleeper;
    auto loc = locate(c.exe, c.home, std::ref(sleeper));
    ASSERT_FALSE(loc);
    EXPECT_EQ(loc.error().message, c.message);
    EXPECT_TRUE(sleeper.waits.empty()) << "no retry for a missing manifest";
  }
}

TEST(LocatorTest, UnreadableManifestIsRetriedFourTimes) {
  TempDir dir;
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> spoil;
    const char* error_in_warning;
  };
  const Case cases[] = {
      // A directory exists but cannot be read as a file (root reads any file, so
      // permission bits cannot make one unreadable here).
      {"a directory in its place", [](const fs::path& p) { fs::create_directories(p); },
       "kind: IsADirectory"},
      {"UTF-16 is not UTF-8",
       [](const fs::path& p) { write_file(p, std::string("\xff\xfe<\0p\0>\0", 8)); },
       "stream did not contain valid UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path bundle = dir / "S.app";
    fs::remove_all(bundle);
    make_bundle(bundle, true, nullptr);
    c.spoil(bundle / "Contents/MacOS/nv.version");
    CapturedLog log;
    RecordingSleeper sleeper;
    auto loc =
        locate((bundle / "Contents/MacOS/ntolvex").string(), fs::path("/h"), std::ref(sleeper));
    ASSERT_FALSE(loc);
    EXPECT_EQ(loc.error().message, kNoManifest);
    EXPECT_EQ(sleeper.waits, (std::vector<long>{333, 666, 1000}));
    const auto records = log.records();
    ASSERT_EQ(records.size(), 3u);
    for (const auto& r : records) {
      EXPECT_EQ(r.target, "norvane::util");
      EXPECT_NE(r.message.find(c.error_in_warning), std::string::npos) << r.message;
    }
  }
}

TEST(LocatorTest, ManifestThatBecomesReadableDuringTheWaits) {
  TempDir dir;
  const fs::path bundle = dir / "S.app";
  make_bundle(bundle, true, nullptr);
  const fs::path manifest = bundle / "Contents/MacOS/nv.version";
  fs::create_directories(manifest);
  CapturedLog log;
  std::vector<long> waits;
  auto loc = locate((bundle / "Contents/MacOS/ntolvex").string(), fs::path("/h"),
                    [&](std::chrono::milliseconds d) {
                      waits.push_back(static_cast<long>(d.count()));
                      if (waits.size() == 2) {
                        fs::remove(manifest);
                        write_file(manifest, kManifest);
                      }
                    });
  ASSERT_TRUE(loc) << loc.error().message;
  EXPECT_EQ(waits, (std::vector<long>{333, 666}));
  EXPECT_EQ(log.records().size(), 2u);
}

TEST(LocatorTest, LogFilePath) {
  {
    testing::ScopedEnv home("HOME", "/Users/u");
    EXPECT_EQ(*log_file_path(), fs::path("/Users/u/Library/Logs/norvane.log"));
  }
  {
    testing::ScopedEnv home("HOME", "");
    EXPECT_EQ(*log_file_path(), fs::path("Library/Logs/norvane.log"));
  }
}

}  // namespace
}  // namespace norvane
