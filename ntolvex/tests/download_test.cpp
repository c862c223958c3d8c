// The download subcommand end to end: the built program run from a fake bundle against
// feeds in a folder and on servers on 127.0.0.1 that the tests start.
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <norvane/manager.h>

#include "background_run.h"
#include "bundle.h"
#include "http_test_server.h"
#include "packages.h"

namespace ntolvex::testing {
namespace {

using namespace std::chrono_literals;
using norvane::NorvaneAsset;
using norvane::testing::FileAnswer;
using norvane::testing::HttplibServer;
using norvane::testing::RawConnection;
using norvane::testing::RawHttpServer;
using norvane::testing::read_file;
using norvane::testing::ScriptedFileServer;
using norvane::testing::write_file;

// The records of the manager and the sources, in order, from the log lines.
std::vector<std::string> download_records(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    for (const char* part :
         {"Searching for packages", "Will delete", "About to ", "Successfully placed",
          "Cleaning up old package", "Package already exists", "Error while searching"}) {
      if (line.find(part) != std::string::npos) {
        out.push_back(line);
        break;
      }
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------
// From a folder

TEST(DownloadCommandTest, CopiesFromAFolderWithFiftyThenHundred) {
  FakeBundle bundle;
  const Folder folder{bundle.root() / "feeds"};
  const std::string body = make_body(200'000);
  folder.add("Sample-2.0.0-osx-full.nupkg", body);
  folder.feed(
      {asset("Sample-1.0.0-osx-full.nupkg", "x"), asset("Sample-2.0.0-osx-full.nupkg", body)});
  const RunResult r = bundle.run(
      {"download", "--url", folder.dir.string(), "--name", "Sample-2.0.0-osx-full.nupkg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "50\n100\n");
  EXPECT_EQ(names_in(bundle.packages_dir()),
            std::vector<std::string>{"Sample-2.0.0-osx-full.nupkg"});
  EXPECT_TRUE(read_file(bundle.packages_dir() / "Sample-2.0.0-osx-full.nupkg") == body);

  const auto lines = bundle.log_lines();
  const std::vector<std::string> expected = {
      "[INFO] Command: Download",
      "[INFO]     URL: \"" + folder.dir.string() + "\"",
      "[INFO]     Asset Name: \"Sample-2.0.0-osx-full.nupkg\"",
      "[INFO]     Channel: None",
      "[INFO] Reading releases from file: " + (folder.dir / "releases.osx.json").string(),
      "[INFO] Searching for packages to clean in: '" + bundle.packages_dir().string() + "/*.nupkg'",
      "[INFO] About to copy from file '" + (folder.dir / "Sample-2.0.0-osx-full.nupkg").string() +
          "' to file '" + (bundle.packages_dir() / "Sample-2.0.0-osx-full.nupkg").string() + "'",
      "[INFO] Successfully placed file: '" +
          (bundle.packages_dir() / "Sample-2.0.0-osx-full.nupkg").string() + "'",
  };
  const auto start = std::find(lines.begin(), lines.end(), expected[0]);
  ASSERT_NE(start, lines.end()) << bundle.log();
  EXPECT_EQ(std::vector<std::string>(start, lines.end()), expected);

  // A second run finds the package and does nothing.
  const RunResult again = bundle.run(
      {"download", "--url", folder.dir.string(), "--name", "Sample-2.0.0-osx-full.nupkg"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(bundle.log_lines().back(),
            "[INFO] Package already exists on disk, skipping download: '" +
                (bundle.packages_dir() / "Sample-2.0.0-osx-full.nupkg").string() + "'");
}

// A package on disk of another size than the feed gives (cut short by an older version
// or a power loss) is fetched again instead of skipped.
TEST(DownloadCommandTest, APackageOnDiskOfTheWrongSizeIsFetchedAgain) {
  FakeBundle bundle;
  const Folder folder{bundle.root() / "feeds"};
  const std::string body = make_body(10'000);
  folder.add("p.nupkg", body);
  folder.feed({asset("p.nupkg", body)});
  const fs::path target = bundle.packages_dir() / "p.nupkg";
  write_file(target, body.substr(0, 4096));
  const RunResult r = bundle.run({"download", "--url", folder.dir.string(), "--name", "p.nupkg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "50\n100\n");
  EXPECT_TRUE(read_file(target) == body);
  EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"p.nupkg"});
  EXPECT_TRUE(has_line(bundle.log_lines(),
                       "[WARN] Package on disk has the wrong size, downloading it again: '" +
                           target.string() + "' holds 4096 bytes, expected 10000"))
      << bundle.log();
}

TEST(DownloadCommandTest, FindsTheNameIgnoringAsciiCaseAndKeepsTheFeedsSpelling) {
  FakeBundle bundle;
  const Folder folder{bundle.macos_dir() / "releases"};
  folder.add("Sample-2.0.0-osx-full.nupkg", "body");
  folder.feed({asset("Sample-2.0.0-osx-full.nupkg", "body")}, "beta");
  // A relative folder, and another channel.
  const RunResult r = bundle.run({"download", "--url", "releases", "--name",
                                  "sAMPLE-2.0.0-OSX-FULL.NUPKG", "--channel", "beta"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(names_in(bundle.packages_dir()),
            std::vector<std::string>{"Sample-2.0.0-osx-full.nupkg"});
  const auto lines = bundle.log_lines();
  EXPECT_TRUE(has_line(lines, "[INFO]     Asset Name: \"sAMPLE-2.0.0-OSX-FULL.NUPKG\""))
      << bundle.log();
  EXPECT_TRUE(has_line(lines, "[INFO]     Channel: Some(\"beta\")")) << bundle.log();
}

TEST(DownloadCommandTest, FailuresBeforeTheFetchCreateNothing) {
  struct Case {
    const char* label;
    std::string name;
    std::string message;
  };
  const Case cases[] = {
      {"name not in the feed", "Sample-9.9.9.nupkg", "Asset not found in feed: Sample-9.9.9.nupkg"},
      {"name that differs in more than case", "Sample-2.0.0-osx-full.nupkg ",
       "Asset not found in feed: Sample-2.0.0-osx-full.nupkg "},
      {"parent directory", "../evil.nupkg",
       "invalid package file name \"../evil.nupkg\": it contains \"/\""},
      {"sub-directory", "sub/evil.nupkg",
       "invalid package file name \"sub/evil.nupkg\": it contains \"/\""},
      {"absolute path", "/tmp/evil.nupkg",
       "invalid package file name \"/tmp/evil.nupkg\": it contains \"/\""},
      {"dot dot", "..", "invalid package file name \"..\": it names a directory"},
      {"dot", ".", "invalid package file name \".\": it names a directory"},
      {"empty", "", "invalid package file name \"\": it is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeBundle bundle;
    const Folder folder{bundle.root() / "feeds"};
    folder.add("Sample-2.0.0-osx-full.nupkg", "body");
    write_file(bundle.root() / "evil.nupkg", "outside");
    std::vector<NorvaneAsset> assets = {asset("Sample-2.0.0-osx-full.nupkg", "body")};
    for (const char* unsafe : {"../evil.nupkg", "sub/evil.nupkg", "/tmp/evil.nupkg", "..", ".", ""})
      assets.push_back(asset(unsafe, "outside", false));
    folder.feed(assets);
    const auto before = tree(bundle.root());
    const RunResult r = bundle.run({"download", "--url", folder.dir.string(), "--name", c.name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: Download error: " + c.message + "\n");
    EXPECT_EQ(bundle.log_lines().back(), "[ERROR] Download error: " + c.message);
    // Nothing but the log: not even the packages directory.
    auto after = tree(bundle.root());
    after.erase(bundle.log_file().string());
    after.erase((bundle.home() / "Library" / "Logs").string());
    after.erase((bundle.home() / "Library").string());
    EXPECT_EQ(after, before);
    EXPECT_FALSE(fs::exists(bundle.home() / "Library" / "Caches"));
  }
}

TEST(DownloadCommandTest, AFailedCopyPrintsOnlyFiftyAndKeepsTheOldPackages) {
  const std::string body = make_body(50'000);
  struct Case {
    const char* label;
    NorvaneAsset feed_asset;
    bool file_present;
    std::string message;
  };
  const std::string name = "Sample-2.0.0-osx-full.nupkg";
  NorvaneAsset wrong_sha = asset(name, body);
  wrong_sha.SHA1 = sha1_hex("something else");
  NorvaneAsset wrong_size = asset(name, body);
  wrong_size.Size = 49'999;
  const Case cases[] = {
      {"file missing", asset(name, body), false, "No such file or directory (os error 2)"},
      {"wrong SHA1", wrong_sha, true,
       "SHA1 mismatch for '" + name + "': expected " + sha1_hex("something else") + ", got " +
           sha1_hex(body)},
      {"wrong size", wrong_size, true,
       "size mismatch for '" + name + "': expected 49999 bytes, got 50000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeBundle bundle;
    const Folder folder{bundle.root() / "feeds"};
    if (c.file_present) folder.add(name, body);
    folder.feed({c.feed_asset});
    write_file(bundle.packages_dir() / "Sample-1.0.0-osx-full.nupkg", "old");
    const RunResult r = bundle.run({"download", "--url", folder.dir.string(), "--name", name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "50\n");
    EXPECT_EQ(r.err, "Error: Download error: " + c.message + "\n");
    EXPECT_EQ(names_in(bundle.packages_dir()),
              std::vector<std::string>{"Sample-1.0.0-osx-full.nupkg"});
    for (const auto& line : bundle.log_lines())
      EXPECT_EQ(line.find("Cleaning up"), std::string::npos) << line;
  }
}

TEST(DownloadCommandTest, RemovesThePackagesThatWereThereAfterPlacing) {
  FakeBundle bundle;
  const Folder folder{bundle.root() / "feeds"};
  folder.add("c.nupkg", "new");
  folder.feed({asset("c.nupkg", "new")});
  const fs::path p = bundle.packages_dir();
  for (const char* name : {"b.nupkg", "a.nupkg", ".nupkg", "KEEP.NUPKG", "notes.txt"})
    write_file(p / name, "old");
  write_file(p / "sub" / "inner.nupkg", "kept");
  fs::create_directories(p / "dir.nupkg");
  const RunResult r =
      bundle.run({"--verbose", "download", "--url", folder.dir.string(), "--name", "c.nupkg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(names_in(p),
            (std::vector<std::string>{"KEEP.NUPKG", "c.nupkg", "dir.nupkg", "notes.txt", "sub"}));
  EXPECT_EQ(read_file(p / "sub" / "inner.nupkg"), "kept");
  const std::string d = p.string();
  const std::string debug = "[DEBUG] (1) norvane::manager: ";
  EXPECT_EQ(download_records(bundle.log_lines()),
            (std::vector<std::string>{
                "[INFO] Searching for packages to clean in: '" + d + "/*.nupkg'",
                debug + "Will delete: '" + d + "/.nupkg'",
                debug + "Will delete: '" + d + "/a.nupkg'",
                debug + "Will delete: '" + d + "/b.nupkg'",
                debug + "Will delete: '" + d + "/dir.nupkg'",
                "[INFO] About to copy from file '" + (folder.dir / "c.nupkg").string() +
                    "' to file '" + d + "/c.nupkg'",
                "[INFO] Successfully placed file: '" + d + "/c.nupkg'",
                "[INFO] Cleaning up old package: '" + d + "/.nupkg'",
                "[INFO] Cleaning up old package: '" + d + "/a.nupkg'",
                "[INFO] Cleaning up old package: '" + d + "/b.nupkg'",
                "[INFO] Cleaning up old package: '" + d + "/dir.nupkg'",
            }))
      << bundle.log();
}

// The packages directory of an application whose id holds pattern characters is
// cleaned, and nothing beside it.
TEST(DownloadCommandTest, LeavesSiblingApplicationsAlone) {
  for (const char* id : {"a*", "a?", "[a"}) {
    SCOPED_TRACE(id);
    FakeBundle bundle(manifest_xml(id, "1.0.0", "osx"));
    const Folder folder{bundle.root() / "feeds"};
    folder.add("new.nupkg", "new");
    folder.feed({asset("new.nupkg", "new")});
    write_file(bundle.packages_dir(id) / "old.nupkg", "old");
    for (const char* sibling : {"ab", "a", "ax", "[a]"})
      write_file(bundle.packages_dir(sibling) / "other.nupkg", "x");
    const RunResult r =
        bundle.run({"download", "--url", folder.dir.string(), "--name", "new.nupkg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(names_in(bundle.packages_dir(id)), std::vector<std::string>{"new.nupkg"});
    for (const char* sibling : {"ab", "a", "ax", "[a]"})
      EXPECT_EQ(names_in(bundle.packages_dir(sibling)), std::vector<std::string>{"other.nupkg"})
          << sibling;
    for (const auto& line : bundle.log_lines())
      EXPECT_EQ(line.find("[ERROR]"), std::string::npos) << line;
  }
}

// ---------------------------------------------------------------------------------
// Over HTTP

TEST(DownloadCommandTest, DownloadsOverHttpWithProgressWhenTheLengthIsKnown) {
  PackageServer server;
  const std::string sized = make_body(6 << 20, 1);
  const std::string small = make_body(1000, 2);
  const std::string chunked = make_body(3 << 20, 3);
  server.add("sized.nupkg", sized);
  server.add("small.nupkg", small);
  server.add("chunked.nupkg", chunked, /*chunked=*/true);
  server.feed(
      {asset("sized.nupkg", sized), asset("small.nupkg", small), asset("chunked.nupkg", chunked)});
  struct Case {
    const char* name;
    const std::string* body;
  };
  for (const Case& c : {Case{"sized.nupkg", &sized}, Case{"small.nupkg", &small},
                        Case{"chunked.nupkg", &chunked}}) {
    SCOPED_TRACE(c.name);
    FakeBundle bundle;
    const RunResult r = bundle.run({"download", "--url", server.url(), "--name", c.name});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{c.name});
    EXPECT_TRUE(read_file(bundle.packages_dir() / c.name) == *c.body);
    const std::string name = c.name;
    if (name == "chunked.nupkg") {
      EXPECT_EQ(r.out, "");
    } else if (name == "small.nupkg") {
      EXPECT_EQ(r.out, "100\n");
    } else {
      // Multiples of 5, rising, ending in 100, one a line.
      ASSERT_TRUE(r.out.ends_with("\n100\n")) << r.out;
      int last = 0;
      for (size_t start = 0; start < r.out.size();) {
        const size_t end = r.out.find('\n', start);
        const int p = std::stoi(r.out.substr(start, end - start));
        EXPECT_TRUE(p > last && p % 5 == 0) << r.out;
        last = p;
        start = end + 1;
      }
    }
    const auto lines = bundle.log_lines();
    EXPECT_TRUE(has_line(lines, "[INFO] About to download from URL '" + server.url() + "/" + name +
                                    "' to file '" + (bundle.packages_dir() / name).string() + "'"))
        << bundle.log();
  }
}

TEST(DownloadCommandTest, ResolvesTheFileNameAgainstTheSourceUrl) {
  const std::string body = "package";
  const std::string feed = feed_of({asset("Sample 2.0.0.nupkg", body)});
  RawHttpServer server([&](RawConnection& conn) {
    const bool is_feed = conn.request().find("releases.osx.json") != std::string::npos;
    const std::string& content = is_feed ? feed : body;
    conn.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) +
              "\r\nConnection: close\r\n\r\n" + content);
  });
  const std::string s = server.url("");
  struct Case {
    const char* label;
    std::string url;
    std::string feed_target;
    std::string asset_target;
  };
  const std::string q = "?localVersion=1.2.3&id=Sample";
  const Case cases[] = {
      {"several trailing slashes", s + "/pkgs///", "/pkgs/releases.osx.json" + q,
       "/pkgs/Sample%202.0.0.nupkg"},
      {"a query", s + "/pkgs?x=1", "/releases.osx.json" + q, "/Sample%202.0.0.nupkg"},
      {"nested folders", s + "/a/b", "/a/b/releases.osx.json" + q, "/a/b/Sample%202.0.0.nupkg"},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeBundle bundle;
    const RunResult r = bundle.run({"download", "--url", c.url, "--name", "Sample 2.0.0.nupkg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(bundle.packages_dir() / "Sample 2.0.0.nupkg"), body);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), seen + 2);
    EXPECT_TRUE(requests[seen].starts_with("GET " + c.feed_target + " HTTP/1.1\r\n"))
        << requests[seen];
    EXPECT_TRUE(requests[seen + 1].starts_with("GET " + c.asset_target + " HTTP/1.1\r\n"))
        << requests[seen + 1];
    seen += 2;
  }
}

TEST(DownloadCommandTest, VerifiesDownloadsBeforePlacingThem) {
  PackageServer server;
  const std::string body = make_body(300'000);
  server.add("good.nupkg", body);
  server.add("badsha.nupkg", body);
  server.add("badsize.nupkg", body);
  server.add("long.nupkg", body, /*chunked=*/true);
  server.add("upper.nupkg", body);
  NorvaneAsset badsha = asset("badsha.nupkg", body);
  badsha.SHA1 = sha1_hex("x");
  NorvaneAsset badsize = asset("badsize.nupkg", body);
  badsize.Size = 299'999;
  NorvaneAsset longer = asset("long.nupkg", body);
  longer.Size = 100'000;
  longer.SHA1.clear();
  NorvaneAsset upper = asset("upper.nupkg", body);
  for (char& ch : upper.SHA1) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  server.feed({asset("good.nupkg", body), badsha, badsize, longer, upper});
  struct Case {
    const char* name;
    std::string message;  // empty: placed; otherwise the start of the message
  };
  const Case cases[] = {
      {"good.nupkg", ""},
      {"upper.nupkg", ""},
      {"badsha.nupkg",
       "SHA1 mismatch for 'badsha.nupkg': expected " + sha1_hex("x") + ", got " + sha1_hex(body)},
      {"badsize.nupkg",
       "size mismatch for 'badsize.nupkg': expected 299999 bytes, the response announces 300000"},
      {"long.nupkg", "size mismatch for 'long.nupkg': expected 100000 bytes, got at least "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBundle bundle;
    write_file(bundle.packages_dir() / "old.nupkg", "old");
    const RunResult r = bundle.run({"download", "--url", server.url(), "--name", c.name});
    if (c.message.empty()) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{c.name});
      EXPECT_TRUE(read_file(bundle.packages_dir() / c.name) == body);
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(r.err.starts_with("Error: Download error: " + c.message)) << r.err;
      EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"old.nupkg"});
    }
  }
}

// A transfer cut off in the middle places nothing, and the next run downloads the
// whole package.
TEST(DownloadCommandTest, ATransferCutOffLeavesNothingAndTheNextRunCompletes) {
  const std::string body = make_body(1 << 20);
  const std::string feed = feed_of({asset("p.nupkg", body)});
  FakeBundle bundle;
  write_file(bundle.packages_dir() / "old.nupkg", "old");
  {
    // The feed, then half a body, without a validator: nothing to continue from.
    ScriptedFileServer cutting(body, {half_a_body(body.size())}, feed);
    const RunResult r =
        bundle.run({"download", "--url", cutting.url("/pkgs"), "--name", "p.nupkg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("Error: Download error: ")) << r.err;
    EXPECT_NE(r.err.find("bytes remaining"), std::string::npos) << r.err;
    EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"old.nupkg"});
  }
  PackageServer good;
  good.add("p.nupkg", body);
  good.feed({asset("p.nupkg", body)});
  const RunResult r = bundle.run({"download", "--url", good.url(), "--name", "p.nupkg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"p.nupkg"});
  EXPECT_TRUE(read_file(bundle.packages_dir() / "p.nupkg") == body);
}

// A run killed in the middle of a transfer leaves its temporary file, never a package
// under the final name; the next run downloads the package whole and removes the
// leftover.
TEST(DownloadCommandTest, ARunKilledMidTransferLeavesNoPartialPackage) {
  const std::string body = make_body(2 << 20);
  const std::string feed = feed_of({asset("p.nupkg", body), asset("q.nupkg", "q")});
  FakeBundle bundle;
  write_file(bundle.packages_dir() / "old.nupkg", "old");
  {
    FileAnswer stuck = half_a_body(body.size());
    stuck.hold = true;  // the rest never comes
    ScriptedFileServer slow(body, {stuck}, feed);
    BackgroundRun run(bundle.exe(), {"download", "--url", slow.url("/pkgs"), "--name", "p.nupkg"},
                      bundle.home());
    const bool writing = wait_until([&] {
      for (const auto& name : partial_files(bundle.packages_dir())) {
        std::error_code ec;
        if (fs::file_size(bundle.packages_dir() / name, ec) >= body.size() / 2) return true;
      }
      return false;
    });
    ASSERT_TRUE(writing) << "the transfer never got under way";
    run.kill(SIGKILL);
    EXPECT_EQ(run.wait(), 128 + SIGKILL);
  }
  const auto left = partial_files(bundle.packages_dir());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(names_in(bundle.packages_dir()), (std::vector<std::string>{left[0], "old.nupkg"}));

  PackageServer good;
  good.add("p.nupkg", body);
  good.add("q.nupkg", "q");
  good.feed({asset("p.nupkg", body), asset("q.nupkg", "q")});
  const RunResult r = bundle.run({"download", "--url", good.url(), "--name", "p.nupkg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(bundle.packages_dir() / "p.nupkg") == body);
  // No run writes in the directory while this one holds its lock: the leftover goes.
  EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"p.nupkg"});
  EXPECT_TRUE(has_line(bundle.log_lines(), "[INFO] Removing stale partial download: '" +
                                               (bundle.packages_dir() / left[0]).string() + "'"));
}

// A parent that stops reading costs it the progress lines, not the download.
TEST(DownloadCommandTest, AClosedStandardOutputDoesNotStopTheDownload) {
  PackageServer server;
  const std::string body = make_body(4 << 20);
  server.add("p.nupkg", body);
  server.feed({asset("p.nupkg", body)});
  FakeBundle bundle;
  const Folder folder{bundle.root() / "feeds"};
  folder.add("f.nupkg", body);
  folder.feed({asset("f.nupkg", body)});
  RunOptions options;
  options.close_stdout = true;
  struct Case {
    const char* label;
    std::string url;
    std::string name;
  };
  for (const Case& c : {Case{"over HTTP", server.url(), "p.nupkg"},
                        Case{"from a folder", folder.dir.string(), "f.nupkg"}}) {
    SCOPED_TRACE(c.label);
    const RunResult r = bundle.run({"download", "--url", c.url, "--name", c.name}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{c.name});
    EXPECT_TRUE(read_file(bundle.packages_dir() / c.name) == body);
  }
}

// A full disk, as a limit on the size of the files the process writes (with SIGXFSZ
// ignored, so the write fails instead): the run fails cleanly and keeps the old packages.
TEST(DownloadCommandTest, AFullDiskFailsCleanlyAndKeepsTheOldPackages) {
  PackageServer server;
  const std::string body = make_body(4 << 20);
  server.add("p.nupkg", body);
  server.feed({asset("p.nupkg", body)});
  FakeBundle bundle;
  const Folder folder{bundle.root() / "feeds"};
  folder.add("p.nupkg", body);
  folder.feed({asset("p.nupkg", body)});
  RunOptions options;
  options.in_child = [] {
    const rlimit limit{1 << 20, 1 << 20};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    ::signal(SIGXFSZ, SIG_IGN);
    return true;
  };
  for (const std::string& url : {server.url(), folder.dir.string()}) {
    SCOPED_TRACE(url);
    write_file(bundle.packages_dir() / "old.nupkg", "old");
    const RunResult r = bundle.run({"download", "--url", url, "--name", "p.nupkg"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Download error: File too large (os error 27)\n");
    EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"old.nupkg"});
    EXPECT_EQ(read_file(bundle.packages_dir() / "old.nupkg"), "old");
  }
}

// The same on a real, small file system: a tmpfs mounted over the packages directory
// in a private mount namespace (root only). The script runs the program inside the
// namespace and reports what the directory holds afterwards.
TEST(DownloadCommandTest, ASmallFileSystemFailsCleanlyAndKeepsTheOldPackages) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  if (!fs::exists("/usr/bin/unshare")) GTEST_SKIP() << "unshare (util-linux) is not installed";
  PackageServer server;
  const std::string body = make_body(2 << 20);
  server.add("p.nupkg", body);
  server.feed({asset("p.nupkg", body)});
  FakeBundle bundle;
  const Folder folder{bundle.root() / "feeds"};
  folder.add("p.nupkg", body);
  folder.feed({asset("p.nupkg", body)});
  fs::create_directories(bundle.packages_dir());
  const std::string script =
      "mount -t tmpfs -o size=512k tmpfs \"$1\" || exit 77\n"
      "printf old > \"$1/old.nupkg\"\n"
      "\"$2\" download --url \"$3\" --name p.nupkg 2> \"$4/err\"\n"
      "echo $? > \"$4/status\"\n"
      "ls -A \"$1\" > \"$4/listing\"\n"
      "cat \"$1/old.nupkg\" > \"$4/old\"\n";
  for (const std::string& url : {server.url(), folder.dir.string()}) {
    SCOPED_TRACE(url);
    const fs::path report = bundle.root() / "report";
    fs::remove_all(report);
    fs::create_directories(report);
    const RunResult r =
        run_program("/usr/bin/unshare",
                    {"-m", "--propagation", "private", "/bin/sh", "-c", script, "sh",
                     bundle.packages_dir().string(), bundle.exe().string(), url, report.string()},
                    {}, bundle.home());
    if (r.status == 77 || (r.status != 0 && !fs::exists(report / "status")))
      GTEST_SKIP() << "no private mount namespace with a tmpfs here: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(report / "status"), "1\n");
    EXPECT_EQ(read_file(report / "err"),
              "Error: Download error: No space left on device (os error 28)\n");
    EXPECT_EQ(read_file(report / "listing"), "old.nupkg\n");
    EXPECT_EQ(read_file(report / "old"), "old");
  }
}

// Two runs of one package at once: the second waits for the first, finds the package
// placed and does nothing. The server holds the first transfer half-way until the
// second run says it waits for the directory (or, were there no lock, asks for the
// package itself), so the runs overlap whatever the machine's speed.
TEST(DownloadCommandTest, TwoConcurrentRunsLeaveOneCompletePackage) {
  const std::string body = make_body(3 << 20);
  const std::string feed = feed_of({asset("p.nupkg", body)});
  FakeBundle bundle;
  write_file(bundle.packages_dir() / "old.nupkg", "old");
  const std::string waiting =
      "[INFO] Waiting for another run to finish with '" + bundle.packages_dir().string() + "'";
  std::atomic<int> package_requests{0};
  const HttplibServer server([&](httplib::Server& s) {
    s.Get("/pkgs/releases.osx.json", [&](const httplib::Request&, httplib::Response& res) {
      res.set_content(feed, "application/json");
    });
    s.Get("/pkgs/p.nupkg", [&](const httplib::Request&, httplib::Response& res) {
      ++package_requests;
      res.set_content_provider(
          body.size(), "application/octet-stream",
          [&](size_t offset, size_t length, httplib::DataSink& sink) {
            if (offset >= body.size() / 2) {
              wait_until(
                  [&] { return package_requests >= 2 || has_line(bundle.log_lines(), waiting); },
                  20s);
            }
            sink.write(body.data() + offset, std::min<size_t>(length, 64 * 1024));
            return true;
          });
    });
  });
  const std::vector<std::string> args = {"download", "--url", server.url("/pkgs"), "--name",
                                         "p.nupkg"};
  RunResult first, second;
  std::thread a([&] { first = bundle.run(args); });
  ASSERT_TRUE(wait_until([&] { return package_requests >= 1; }))
      << "the first run never asked for the package";
  std::thread b([&] { second = bundle.run(args); });
  a.join();
  b.join();
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_TRUE(first.out.ends_with("100\n")) << first.out;
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(package_requests, 1);
  EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"p.nupkg"});
  EXPECT_TRUE(read_file(bundle.packages_dir() / "p.nupkg") == body);
  const auto lines = bundle.log_lines();
  const std::string target = (bundle.packages_dir() / "p.nupkg").string();
  EXPECT_EQ(count_lines(lines, waiting), 1u) << bundle.log();
  EXPECT_EQ(count_lines(lines, "[INFO] Successfully placed file: '" + target + "'"), 1u)
      << bundle.log();
  EXPECT_EQ(count_lines(lines, "[INFO] Package already exists on disk, skipping download: '" +
                                   target + "'"),
            1u)
      << bundle.log();
}

TEST(DownloadCommandTest, ConcurrentCopiesFromAFolderLeaveOneCompletePackage) {
  FakeBundle bundle;
  const Folder folder{bundle.root() / "feeds"};
  const std::string body = make_body(24 << 20);
  folder.add("p.nupkg", body);
  folder.feed({asset("p.nupkg", body)});
  write_file(bundle.packages_dir() / "old.nupkg", "old");
  const std::vector<std::string> args = {"download", "--url", folder.dir.string(), "--name",
                                         "p.nupkg"};
  RunResult results[3];
  std::vector<std::thread> runs;
  for (auto& result : results) runs.emplace_back([&] { result = bundle.run(args); });
  for (auto& run : runs) run.join();
  for (const auto& r : results) EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"p.nupkg"});
  EXPECT_TRUE(read_file(bundle.packages_dir() / "p.nupkg") == body);
  const std::string target = (bundle.packages_dir() / "p.nupkg").string();
  const auto lines = bundle.log_lines();
  EXPECT_EQ(count_lines(lines, "[INFO] Successfully placed file: '" + target + "'"), 1u)
      << bundle.log();
  EXPECT_EQ(count_lines(lines, "[INFO] Package already exists on disk, skipping download: '" +
                                   target + "'"),
            2u);
}

// ---------------------------------------------------------------------------------
// Durability

// The calls that make a placement survive a power loss, in the order made, as strace
// records them (descriptors shown with their paths).
std::vector<std::string> traced_placement(const FakeBundle& bundle,
                                          const std::vector<std::string>& args) {
  const fs::path trace = bundle.root() / "trace";
  std::vector<std::string> traced = {
      "-f",
      "-y",
      "-o",
      trace.string(),
      "-e",
      "trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat",
      bundle.exe().string()};
  traced.insert(traced.end(), args.begin(), args.end());
  // The leak checker of a sanitizer build cannot run under a tracer.
  const RunResult r = run_program("/usr/bin/strace", traced,
                                  {.env = {{"ASAN_OPTIONS", "detect_leaks=0"}}}, bundle.home());
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> calls;
  std::istringstream in(read_file(trace));
  for (std::string line; std::getline(in, line);) {
    if (line.find("sync(") != std::string::npos || line.find("rename") != std::string::npos ||
        line.find("unlink") != std::string::npos)
      calls.push_back(line);
  }
  return calls;
}

// The package's bytes are flushed before its rename, and the directory after the rename
// and before the first old package is removed.
TEST(DurabilityTest, FlushesThePackageThenTheDirectoryBeforeRemovingOldPackages) {
  ASSERT_TRUE(fs::exists("/usr/bin/strace")) << "strace is installed by scripts/install-deps.sh";
  const std::string body = make_body(300'000);
  PackageServer server;
  server.add("p.nupkg", body);
  server.feed({asset("p.nupkg", body)});
  for (const bool http : {false, true}) {
    SCOPED_TRACE(http ? "over HTTP" : "from a folder");
    FakeBundle bundle;
    const Folder folder{bundle.root() / "feeds"};
    folder.add("p.nupkg", body);
    folder.feed({asset("p.nupkg", body)});
    const fs::path p = bundle.packages_dir();
    write_file(p / "old.nupkg", "old");
    const auto calls = traced_placement(
        bundle,
        {"download", "--url", http ? server.url() : folder.dir.string(), "--name", "p.nupkg"});
    EXPECT_EQ(names_in(p), std::vector<std::string>{"p.nupkg"});
    EXPECT_TRUE(read_file(p / "p.nupkg") == body);
    const auto first = [&](auto&& matches) {
      return std::find_if(calls.begin(), calls.end(), matches) - calls.begin();
    };
    const auto has = [](const std::string& line, const std::string& a, const std::string& b) {
      return line.find(a) != std::string::npos && line.find(b) != std::string::npos;
    };
    const auto file_flush =
        first([&](const std::string& l) { return has(l, "sync(", ".partial>"); });
    const auto rename = first([&](const std::string& l) { return has(l, "rename", "/p.nupkg\""); });
    const auto dir_flush =
        first([&](const std::string& l) { return has(l, "sync(", "<" + p.string() + ">"); });
    const auto unlink =
        first([&](const std::string& l) { return has(l, "unlink", "/old.nupkg\""); });
    std::string listing;
    for (const auto& call : calls) listing += call + "\n";
    const auto none = static_cast<std::ptrdiff_t>(calls.size());
    EXPECT_LT(file_flush, none) << listing;
    EXPECT_LT(file_flush, rename) << listing;
    EXPECT_LT(rename, dir_flush) << listing;
    EXPECT_LT(dir_flush, unlink) << listing;
    EXPECT_LT(unlink, none) << listing;
  }
}

// A failed flush fails the run with the OS error and keeps the old packages: the first
// flush is the package's (nothing placed), the second the directory's (placed, but
// not known to be kept, so the old packages stay too). strace makes the call fail.
TEST(DurabilityTest, AFailedFlushKeepsTheOldPackages) {
  ASSERT_TRUE(fs::exists("/usr/bin/strace")) << "strace is installed by scripts/install-deps.sh";
  const std::string body = make_body(100'000);
  struct Case {
    const char* label;
    int failing;  // which fsync fails
    std::vector<std::string> left;
  };
  const Case cases[] = {
      {"the package", 1, {"old.nupkg"}},
      {"the directory", 2, {"old.nupkg", "p.nupkg"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeBundle bundle;
    const Folder folder{bundle.root() / "feeds"};
    folder.add("p.nupkg", body);
    folder.feed({asset("p.nupkg", body)});
    write_file(bundle.packages_dir() / "old.nupkg", "old");
    const RunResult r = run_program(
        "/usr/bin/strace",
        {"-f", "-o", "/dev/null", "-e", "trace=fsync", "-e",
         "inject=fsync:error=EIO:when=" + std::to_string(c.failing), bundle.exe().string(),
         "download", "--url", folder.dir.string(), "--name", "p.nupkg"},
        {.env = {{"ASAN_OPTIONS", "detect_leaks=0"}}}, bundle.home());
    EXPECT_EQ(r.status, 1);
    const std::string what = c.failing == 1
                                 ? std::string("the package 'p.nupkg'")
                                 : "the directory '" + bundle.packages_dir().string() + "'";
    EXPECT_EQ(r.err, "Error: Download error: cannot flush " + what +
                         " to storage: Input/output error (os error 5)\n");
    EXPECT_EQ(names_in(bundle.packages_dir()), c.left);
    EXPECT_EQ(read_file(bundle.packages_dir() / "old.nupkg"), "old");
  }
}

}  // namespace
}  // namespace ntolvex::testing
