#include <norvane/sources.h>

#include <unistd.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <norvane/manager.h>

#include "test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using norvane::testing::CapturedLog;
using norvane::testing::source_records;
using norvane::testing::TempDir;
using norvane::testing::write_file;

constexpr const char* kFeed =
    R"({"Assets":[{"PackageId":"MyApp","Version":"1.0.0","Type":"Full","FileName":"a.nupkg"}]})";

// Makes a directory the working directory for a scope.
class ScopedCwd {
 public:
  explicit ScopedCwd(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~ScopedCwd() {
    std::error_code ec;
    fs::current_path(old_, ec);
  }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  fs::path old_;
};

TEST(FileSourceTest, ReadsTheChannelFeedFromTheFolder) {
  TempDir dir;
  write_file(dir / "feeds" / "releases.osx.json", kFeed);
  write_file(dir / "feeds" / "releases.Beta Channel.json", R"({"Assets":[{},{}]})");
  write_file(dir / "releases.osx.json", R"({"Assets":[{},{},{}]})");
  ScopedCwd cwd(dir.path());
  const std::string abs = (dir / "feeds").string();
  struct Case {
    const char* label;
    std::string folder;
    std::string channel;
    std::string logged;  // the path in "Reading releases from file: {}"
    size_t assets;
  };
  const Case cases[] = {
      {"absolute folder", abs, "osx", abs + "/releases.osx.json", 1},
      {"folder ending in a slash", abs + "/", "osx", abs + "/releases.osx.json", 1},
      {"relative folder", "feeds", "osx", "feeds/releases.osx.json", 1},
      {"relative folder with dot", "./feeds/", "osx", "./feeds/releases.osx.json", 1},
      {"empty folder: the working directory", "", "osx", "releases.osx.json", 3},
      {"channel used unchanged", abs, "Beta Channel", abs + "/releases.Beta Channel.json", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CapturedLog log(log::Level::Info);
    auto feed = FileSource(c.folder).fetch_release_feed(c.channel, Manifest{});
    ASSERT_TRUE(feed) << feed.error().message;
    EXPECT_EQ(feed->Assets.size(), c.assets);
    EXPECT_EQ(source_records(log),
              std::vector<std::string>{"Reading releases from file: " + c.logged});
  }
}

TEST(FileSourceTest, ReportsReadFailures) {
  TempDir dir;
  fs::create_directories(dir / "dir" / "releases.osx.json");
  write_file(dir / "plain", "x");
  write_file(dir / "latin1" / "releases.osx.json", "{\"Assets\":[{\"NotesHtml\":\"caf\xE9\"}]}");
  write_file(dir / "overlong" / "releases.osx.json", "{\"Assets\":[{\"NotesHtml\":\"\xC0\xAF\"}]}");
  write_file(dir / "bom" / "releases.osx.json", "\xEF\xBB\xBF{}");
  write_file(dir / "bad" / "releases.osx.json", R"({"Assets":[{"Size":"1"}]})");
  write_file(dir / "empty" / "releases.osx.json", "");
  struct Case {
    const char* label;
    fs::path folder;
    std::string message;
  };
  const Case cases[] = {
      {"missing folder", dir / "missing", "No such file or directory (os error 2)"},
      {"missing file", dir.path(), "No such file or directory (os error 2)"},
      {"feed is a directory", dir / "dir", "Is a directory (os error 21)"},
      {"folder is a file", dir / "plain", "Not a directory (os error 20)"},
      {"invalid UTF-8", dir / "latin1", "stream did not contain valid UTF-8"},
      {"overlong UTF-8", dir / "overlong", "stream did not contain valid UTF-8"},
      {"byte order mark", dir / "bom", "Invalid value. at line 1 column 1"},
      {"parser error unchanged", dir / "bad",
       "invalid type: string \"1\", expected u64 at line 1 column 20"},
      {"empty file", dir / "empty", "The document is empty. at line 1 column 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto feed = FileSource(c.folder).fetch_release_feed("osx", Manifest{});
    ASSERT_FALSE(feed);
    EXPECT_EQ(feed.error().message, c.message);
  }
}

// A file URL is a folder path like any other, read relative to the working directory.
TEST(FileSourceTest, FileUrlIsARelativeFolder) {
  TempDir dir;
  write_file(dir / "file:" / "srv" / "feeds" / "releases.osx.json", kFeed);
  ScopedCwd cwd(dir.path());
  auto feed = FileSource("file:///srv/feeds").fetch_release_feed("osx", Manifest{});
  ASSERT_TRUE(feed) << feed.error().message;
  EXPECT_EQ(feed->Assets.size(), 1u);
  auto missing = FileSource("file:///nowhere").fetch_release_feed("osx", Manifest{});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
}

// Feeds larger than any read buffer come in whole, and non-ASCII text is kept.
TEST(FileSourceTest, ReadsLargeFeedsWhole) {
  TempDir dir;
  std::string text = "{\"Assets\":[";
  constexpr int kAssets = 20000;
  for (int i = 0; i < kAssets; ++i) {
    if (i) text += ',';
    text += "{\"FileName\":\"caf\xC3\xA9-" + std::to_string(i) +
            ".nupkg\",\"Size\":" + std::to_string(i) + "}";
  }
  text += "]}";
  ASSERT_GT(text.size(), 512u * 1024);
  write_file(dir / "releases.osx.json", text);
  auto feed = FileSource(dir.path()).fetch_release_feed("osx", Manifest{});
  ASSERT_TRUE(feed) << feed.error().message;
  ASSERT_EQ(feed->Assets.size(), static_cast<size_t>(kAssets));
  EXPECT_EQ(feed->Assets.back().FileName, "caf\xC3\xA9-19999.nupkg");
  EXPECT_EQ(feed->Assets.back().Size, 19999u);
}

// A path that is not valid UTF-8 is logged with replacement characters.
TEST(FileSourceTest, LogsPathsAsText) {
  TempDir dir;
  const fs::path folder = dir /
                          "bad\xFF"
                          "name";
  write_file(folder / "releases.osx.json", "{}");
  CapturedLog log(log::Level::Info);
  auto feed = FileSource(folder).fetch_release_feed("osx", Manifest{});
  ASSERT_TRUE(feed) << feed.error().message;
  EXPECT_EQ(source_records(log),
            std::vector<std::string>{"Reading releases from file: " + dir.path().string() +
                                     "/bad\xEF\xBF\xBDname/releases.osx.json"});
}

TEST(FileSourceTest, FeedName) {
  EXPECT_EQ(release_feed_name("osx"), "releases.osx.json");
  EXPECT_EQ(release_feed_name("Beta"), "releases.Beta.json");
  EXPECT_EQ(release_feed_name("a/b?c#d"), "releases.a/b?c#d.json");
}

}  // namespace
}  // namespace norvane
