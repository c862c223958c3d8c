// The check subcommand end to end: the built program run from a fake bundle against
// feeds in a folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bundle.h"

namespace ntolvex::testing {
namespace {

using norvane::testing::write_file;

// One feed asset as the feed writes it, and the same asset as check prints it.
struct FeedAsset {
  std::string version;
  std::string type = "Full";
  std::string notes = "";
};

std::string file_name(const FeedAsset& a) { return "Sample-" + a.version + "-full.nupkg"; }

std::string feed_json(const std::vector<FeedAsset>& assets) {
  std::string text = "{\n  \"Assets\": [\n";
  for (size_t i = 0; i < assets.size(); ++i) {
    const FeedAsset& a = assets[i];
    text += "    {\"PackageId\": \"Sample\", \"Version\": \"" + a.version + "\", \"Type\": \"" +
            a.type + "\", \"FileName\": \"" + file_name(a) +
            "\", \"SHA1\": \"0123abcd\", \"Size\": 1048576, " + "\"NotesMarkdown\": \"" + a.notes +
            "\"}";
    text += i + 1 < assets.size() ? ",\n" : "\n";
  }
  return text + "  ]\n}\n";
}

std::string result_line(const FeedAsset& a, bool downgrade, const std::string& printed_notes = "") {
  return R"({"TargetFullRelease":{"PackageId":"Sample","Version":")" + a.version + R"(","Type":")" +
         a.type + R"(","FileName":")" + file_name(a) +
         R"(","SHA1":"0123abcd","Size":1048576,"NotesMarkdown":")" + printed_notes +
         R"(","NotesHtml":""},"IsDowngrade":)" + (downgrade ? "true" : "false") + "}\n";
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

struct CheckCase {
  const char* label;
  std::string installed;
  std::string manifest_channel;
  std::vector<std::string> extra_args;  // after --url
  std::string feed_channel;             // the feed file written: releases.{this}.json
  std::vector<FeedAsset> assets;
  int offered;  // index into assets; -1: nothing printed
  bool downgrade;
  std::string decision;  // the manager's info record
};

// One row per outcome the front end shows and per argument that changes it; the
// ranking of releases is the manager's table.
TEST(CheckCommandTest, OffersNewerOlderAndSameChannelReleases) {
  const CheckCase cases[] = {
      {"newer",
       "1.2.3",
       "osx",
       {},
       "osx",
       {{"1.2.4"}},
       0,
       false,
       "Found newer remote release available (1.2.3 -> 1.2.4)."},
      {"newer with --downgrade",
       "1.2.3",
       "osx",
       {"--downgrade"},
       "osx",
       {{"1.2.4"}},
       0,
       false,
       "Found newer remote release available (1.2.3 -> 1.2.4)."},
      {"older", "2.0.0", "osx", {}, "osx", {{"1.0.0"}}, -1, false, "No update available."},
      {"older with --downgrade",
       "2.0.0",
       "osx",
       {"--downgrade"},
       "osx",
       {{"1.0.0"}},
       0,
       true,
       "Found older remote release available and downgrade is enabled (2.0.0 -> 1.0.0)."},
      {"same", "1.0.0", "osx", {}, "osx", {{"1.0.0"}}, -1, false, "No update available."},
      {"same with --downgrade",
       "1.0.0",
       "osx",
       {"--downgrade"},
       "osx",
       {{"1.0.0"}},
       -1,
       false,
       "No update available."},
      {"same, other --channel, --downgrade",
       "1.0.0",
       "osx",
       {"--downgrade", "--channel", "beta"},
       "beta",
       {{"1.0.0"}},
       0,
       true,
       "Latest remote release is the same version of a different channel, and downgrade is enabled "
       "(1.0.0 -> 1.0.0)."},
      {"same, other --channel, no --downgrade",
       "1.0.0",
       "osx",
       {"--channel", "beta"},
       "beta",
       {{"1.0.0"}},
       -1,
       false,
       "No update available."},
      {"same, --channel equal to the manifest's",
       "1.0.0",
       "beta",
       {"--downgrade", "--channel", "beta"},
       "beta",
       {{"1.0.0"}},
       -1,
       false,
       "No update available."},
      {"same, no channel anywhere",
       "1.0.0",
       "",
       {"--downgrade"},
       "osx",
       {{"1.0.0"}},
       0,
       true,
       "Latest remote release is the same version of a different channel, and downgrade is enabled "
       "(1.0.0 -> 1.0.0)."},
      {"manifest channel chooses the feed",
       "1.0.0",
       "stable",
       {},
       "stable",
       {{"1.1.0"}},
       0,
       false,
       "Found newer remote release available (1.0.0 -> 1.1.0)."},
      {"empty --channel reads osx",
       "1.0.0",
       "stable",
       {"--channel", ""},
       "osx",
       {{"1.1.0"}},
       0,
       false,
       "Found newer remote release available (1.0.0 -> 1.1.0)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeBundle bundle(manifest_xml("Sample", c.installed, c.manifest_channel));
    write_file(bundle.root() / "feeds" / ("releases." + c.feed_channel + ".json"),
               feed_json(c.assets));
    std::vector<std::string> args = {"check", "--url", (bundle.root() / "feeds").string()};
    args.insert(args.end(), c.extra_args.begin(), c.extra_args.end());
    const RunResult r = bundle.run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, c.offered < 0
                         ? ""
                         : result_line(c.assets[static_cast<size_t>(c.offered)], c.downgrade));
    const auto lines = bundle.log_lines();
    EXPECT_TRUE(has_line(lines, "[INFO] " + c.decision)) << bundle.log();
    EXPECT_TRUE(has_line(
        lines, "[INFO] Reading releases from file: " +
                   (bundle.root() / "feeds" / ("releases." + c.feed_channel + ".json")).string()))
        << bundle.log();
  }
}

TEST(CheckCommandTest, LogsItsArguments) {
  FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
  write_file(bundle.macos_dir() / "my \"feeds\"" / "releases.beta.json", feed_json({{"0.9.0"}}));
  const RunResult r =
      bundle.run({"check", "--url", "my \"feeds\"", "--downgrade", "--channel", "beta"});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = bundle.log_lines();
  const std::vector<std::string> expected = {
      "[INFO] Command: Check",
      "[INFO]     URL: \"my \\\"feeds\\\"\"",
      "[INFO]     Allow Downgrade: true",
      "[INFO]     Channel: Some(\"beta\")",
      "[INFO] Reading releases from file: my \"feeds\"/releases.beta.json",
  };
  auto start = std::find(lines.begin(), lines.end(), expected[0]);
  ASSERT_NE(start, lines.end()) << bundle.log();
  ASSERT_GE(static_cast<size_t>(lines.end() - start), expected.size());
  EXPECT_EQ(std::vector<std::string>(start, start + static_cast<long>(expected.size())), expected);

  FakeBundle plain(manifest_xml("Sample", "1.0.0", "osx"));
  write_file(plain.macos_dir() / "f" / "releases.osx.json", feed_json({{"0.9.0"}}));
  EXPECT_EQ(plain.run({"check", "--url", "f"}).status, 0);
  const auto plain_lines = plain.log_lines();
  EXPECT_TRUE(has_line(plain_lines, "[INFO]     Allow Downgrade: false")) << plain.log();
  EXPECT_TRUE(has_line(plain_lines, "[INFO]     Channel: None")) << plain.log();
}

// A relative --url folder is found beside the executable, wherever the run started.
TEST(CheckCommandTest, RelativeFolderResolvesBesideTheExecutable) {
  FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
  write_file(bundle.macos_dir() / "feeds" / "releases.osx.json", feed_json({{"1.0.1"}}));
  write_file(bundle.root() / "feeds" / "releases.osx.json", feed_json({{"9.0.0"}}));
  RunOptions options;
  options.working_dir = bundle.root().string();
  for (const char* url : {"feeds", "feeds/", "./feeds", "../MacOS/feeds"}) {
    SCOPED_TRACE(url);
    const RunResult r = bundle.run({"check", "--url", url}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, result_line({"1.0.1"}, false));
  }
}

// Texts are printed with JSON escapes on one line, and a feed may use every form.
TEST(CheckCommandTest, PrintsTheAssetAsOneJsonLine) {
  FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
  write_file(bundle.root() / "feeds" / "releases.osx.json",
             R"([[["Other","2.0.0","full","a \"b\".nupkg","",0,"line\nnext\u0001 /\u00e9"],
                 {"Version":"1.0.0","Type":"Full","Extra":{"nested":[1,2,{"x":null}]}}]])");
  const RunResult r = bundle.run({"check", "--url", (bundle.root() / "feeds").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out,
      "{\"TargetFullRelease\":{\"PackageId\":\"Other\",\"Version\":\"2.0.0\",\"Type\":\"full\","
      "\"FileName\":\"a \\\"b\\\".nupkg\",\"SHA1\":\"\",\"Size\":0,"
      "\"NotesMarkdown\":\"line\\nnext\\u0001 "
      "/\xC3\xA9\",\"NotesHtml\":\"\"},\"IsDowngrade\":false}\n");
}

// One row per kind of failure; each message of the feed reader is the feed's table.
TEST(CheckCommandTest, FailuresPrintNothingOnStandardOutput) {
  struct Case {
    const char* label;
    std::string feed;  // empty: no feed file
    std::string message;
  };
  const Case cases[] = {
      {"missing feed", "", "No such file or directory (os error 2)"},
      {"malformed feed", "{\"Assets\":[{\"Version\":\"1.0.0\"}",
       "Missing a comma or ']' after an array element. at line 1 column 31"},
      {"invalid UTF-8", "{\"Assets\":[{\"NotesHtml\":\"\xFF\"}]}",
       "stream did not contain valid UTF-8"},
      {"zero assets", "{\"Assets\":[]}", "Zero assets found in releases feed."},
      {"no full release", feed_json({{"2.0.0", "Delta"}, {"2.0", "Full"}}),
       "No valid full releases found in feed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeBundle bundle;
    if (!c.feed.empty()) write_file(bundle.root() / "feeds" / "releases.osx.json", c.feed);
    fs::create_directories(bundle.root() / "feeds");
    const RunResult r =
        bundle.run({"check", "--url", (bundle.root() / "feeds").string(), "--downgrade"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: Check error: " + c.message + "\n");
    const auto lines = bundle.log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[ERROR] Check error: " + c.message);
  }
}

// The installation is located before any feed is read.
TEST(CheckCommandTest, LocatorFailureComesFirst) {
  FakeBundle bundle;
  fs::remove(bundle.macos_dir() / "Hoistel");
  const RunResult r = bundle.run({"check", "--url", "no-such-folder"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error: Check error: Unable to locate Hoistel in directory: " +
                       bundle.macos_dir().string() + "\n");
  for (const auto& line : bundle.log_lines())
    EXPECT_EQ(line.find("Reading releases"), std::string::npos) << line;
}

// A result that cannot reach the parent is a failure, not a silent success.
TEST(CheckCommandTest, UnwritableStandardOutputFails) {
  FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
  write_file(bundle.root() / "feeds" / "releases.osx.json", feed_json({{"2.0.0"}}));
  RunOptions options;
  options.close_stdout = true;
  const RunResult r = bundle.run({"check", "--url", (bundle.root() / "feeds").string()}, options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: Check error: Broken pipe (os error 32)\n");
}

}  // namespace
}  // namespace ntolvex::testing
