// Runs of the real program in a hostile or broken environment: descriptors closed by
// the parent, special files where a whole file is read.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "background_run.h"
#include "bundle.h"
#include "front.h"
#include "packages.h"

namespace ntolvex::testing {
namespace {

using norvane::NorvaneAsset;
using norvane::testing::FileAnswer;
using norvane::testing::RawConnection;
using norvane::testing::RawHttpServer;
using norvane::testing::read_file;
using norvane::testing::ScriptedFileServer;

// Runs the program with the given standard descriptors closed in the child.
RunResult run_with_closed(const FakeBundle& bundle, const std::vector<std::string>& args, bool in,
                          bool out, bool err) {
  RunOptions options;
  options.in_child = [in, out, err] {
    if (in) ::close(0);
    if (out) ::close(1);
    if (err) ::close(2);
    return true;
  };
  return bundle.run(args, options);
}

TEST(ClosedStandardOutputTest, ResultCommandsFailInsteadOfWritingIntoTheLog) {
  FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
  Folder folder{bundle.root() / "feeds"};
  folder.feed({asset("Sample-2.0.0-full.nupkg", "new")});
  const std::string feeds = folder.dir.string();
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{"get-version"}, "Error: Get-version error: Bad file descriptor (os error 9)\n"},
      {{"get-packages"}, "Error: Get-packages error: Bad file descriptor (os error 9)\n"},
      {{"check", "--url", feeds}, "Error: Check error: Bad file descriptor (os error 9)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const RunResult r = run_with_closed(bundle, c.args, false, true, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.error);
    // The answer went nowhere, least of all into the log.
    const std::string log = bundle.log();
    EXPECT_EQ(log.find("\n1.0.0\n"), std::string::npos);
    EXPECT_EQ(log.find("{\"PackageId\""), std::string::npos);
    EXPECT_NE(log.find(c.error.substr(std::string("Error: ").size(), c.error.size() - 8)),
              std::string::npos)
        << log;
  }
}

TEST(ClosedStandardOutputTest, DownloadStillPlacesThePackage) {
  FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
  Folder folder{bundle.root() / "feeds"};
  folder.add("Sample-2.0.0-full.nupkg", "new package");
  folder.feed({asset("Sample-2.0.0-full.nupkg", "new package")});
  const RunResult r = run_with_closed(
      bundle, {"download", "--url", folder.dir.string(), "--name", "Sample-2.0.0-full.nupkg"},
      false, true, false);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(bundle.packages_dir() / "Sample-2.0.0-full.nupkg"), "new package");
  EXPECT_EQ(bundle.log().find("\n100\n"), std::string::npos);
}

TEST(ClosedStandardOutputTest, AllThreeClosedStillLogsTheFailure) {
  FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
  const RunResult r = run_with_closed(bundle, {"get-version"}, true, true, true);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_NE(bundle.log().find("Bad file descriptor (os error 9)"), std::string::npos);
  EXPECT_EQ(bundle.log().find("\n1.0.0\n"), std::string::npos);
}

// A log file that is not a regular file is left alone, and the run goes on without a
// log: a fifo must not block, a directory must not fail the run.
TEST(SpecialLogFileTest, RunGoesOnWithoutALog) {
  struct Case {
    const char* name;
    bool fifo;
  };
  for (const Case c : {Case{"fifo", true}, Case{"directory", false}}) {
    SCOPED_TRACE(c.name);
    FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
    const fs::path log = bundle.log_file();
    fs::create_directories(log.parent_path());
    if (c.fifo) {
      ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    } else {
      fs::create_directory(log);
    }
    RunOptions options;
    options.timeout = std::chrono::seconds(30);
    const RunResult r = bundle.run({"get-version"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1.0.0\n");
    EXPECT_EQ(fs::is_fifo(log), c.fifo);
    EXPECT_EQ(fs::is_directory(log), !c.fifo);
    EXPECT_FALSE(fs::exists(log.string() + ".1"));
  }
}

// A feed's FileName that holds a line feed and terminal escapes can neither forge a log
// record nor spread the error line over several lines or reach the terminal raw.
TEST(FeedTextTest, CannotForgeRecordsOrBreakTheErrorLine) {
  FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
  Folder folder{bundle.root() / "feeds"};
  const std::string name =
      "Sample\n00:00:00 [ERROR] forged\x1b[2J\xc2\x9b"
      "31m.nupkg";
  folder.add(name, "not what the feed says");
  folder.feed({asset(name, "the real package")});
  const RunResult check = bundle.run({"--verbose", "check", "--url", folder.dir.string()});
  EXPECT_EQ(check.status, 0) << check.err;
  const RunResult r =
      bundle.run({"--verbose", "download", "--url", folder.dir.string(), "--name", name});
  EXPECT_EQ(r.status, 1);
  const std::string escaped = "Sample\\n00:00:00 [ERROR] forged\\u{1b}[2J\\u{9b}31m.nupkg";
  EXPECT_EQ(r.err, "Error: Download error: size mismatch for '" + escaped +
                       "': expected 16 bytes, got 22\n");
  const std::string log = bundle.log();
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
  EXPECT_EQ(log.find("\xc2\x9b"), std::string::npos);
  EXPECT_EQ(log.find("\n00:00:00 [ERROR] forged"), std::string::npos);
  for (const auto& line : bundle.log_lines())
    EXPECT_NE(line.rfind("[ERROR] forged", 0), 0u) << line;
  EXPECT_NE(log.find(escaped), std::string::npos);
}

// Names the program must refuse before it touches the packages directory: one shaped
// like its own temporary files (placed, it would be swept by the same run), and one
// longer than a file system takes (refused before the body is fetched).
TEST(HostileFileNameTest, RefusedBeforeAnythingIsFetchedOrRemoved) {
  const std::string temp_shaped = ".pkg.1.0123456789abcdef.partial";
  const std::string too_long = std::string(300, 'a') + ".nupkg";
  for (const std::string& name : {temp_shaped, too_long}) {
    SCOPED_TRACE(name.substr(0, 40));
    FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
    write_file(bundle.packages_dir() / "Sample-1.0.0-full.nupkg", "old");
    PackageServer server;
    server.add(name, "new package");
    server.feed({asset(name, "new package")});
    const RunResult r = bundle.run({"download", "--url", server.url(), "--name", name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("Error: Download error: invalid package file name \"")) << r.err;
    EXPECT_EQ(server.paths(), std::vector<std::string>{"/pkgs/releases.osx.json"});
    EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"Sample-1.0.0-full.nupkg"});
  }
}

// A host cancels its child with SIGTERM: the run removes its temporary file and still
// ends by that signal; the old packages stay.
TEST(TerminationTest, SigtermRemovesTheTemporaryFile) {
  const std::string body = make_body(2 << 20);
  const std::string feed = feed_of({asset("p.nupkg", body)});
  FakeBundle bundle;
  write_file(bundle.packages_dir() / "old.nupkg", "old");
  FileAnswer stuck = half_a_body(body.size());
  stuck.hold = true;  // the rest never comes
  ScriptedFileServer slow(body, {stuck}, feed);
  BackgroundRun run(bundle.exe(), {"download", "--url", slow.url("/pkgs"), "--name", "p.nupkg"},
                    bundle.home());
  ASSERT_TRUE(wait_until([&] { return !partial_files(bundle.packages_dir()).empty(); }))
      << "the transfer never got under way";
  run.kill(SIGTERM);
  EXPECT_EQ(run.wait(), 128 + SIGTERM);
  EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"old.nupkg"});
}

// A fifo or a device where the feed or the manifest should be fails the run at once
// with a clear error instead of blocking it or exhausting its memory.
TEST(SpecialInputFileTest, FeedAndManifestMustBeRegularFiles) {
  {
    FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
    const fs::path feeds = bundle.root() / "feeds";
    fs::create_directories(feeds);
    ASSERT_EQ(::mkfifo((feeds / "releases.osx.json").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", feeds / "releases.beta.json");
    RunOptions options;
    options.timeout = std::chrono::seconds(30);
    for (const char* channel : {"osx", "beta"}) {
      SCOPED_TRACE(channel);
      const RunResult r =
          bundle.run({"check", "--url", feeds.string(), "--channel", channel}, options);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "Error: Check error: '" +
                           (feeds / ("releases." + std::string(channel) + ".json")).string() +
                           "' is not a regular file\n");
    }
  }
  {
    FakeBundle bundle;
    const fs::path manifest = bundle.macos_dir() / "nv.version";
    fs::remove(manifest);
    ASSERT_EQ(::mkfifo(manifest.c_str(), 0600), 0);
    RunOptions options;
    options.timeout = std::chrono::seconds(30);
    const RunResult r = bundle.run({"get-version"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Error: Get-version error: Unable to read nuspec file in current directory.\n");
  }
}

// An exception inside a command, memory running out above all, becomes its failure.
TEST(RunCatchingTest, TurnsExceptionsIntoFailures) {
  EXPECT_TRUE(run_catching([] { return norvane::Result<void>(); }));
  EXPECT_EQ(run_catching([]() -> norvane::Result<void> { return norvane::fail("plain"); })
                .error()
                .message,
            "plain");
  EXPECT_EQ(run_catching([]() -> norvane::Result<void> { throw std::bad_alloc(); }).error().message,
            "out of memory");
  EXPECT_EQ(run_catching([]() -> norvane::Result<void> { throw std::runtime_error("odd"); })
                .error()
                .message,
            "unexpected failure: odd");
  EXPECT_EQ(run_catching([]() -> norvane::Result<void> { throw 5; }).error().message,
            "unexpected failure");
}

// A 10 MiB feed of empty assets would take a gigabyte once parsed: the run refuses it
// with one error line instead.
TEST(HugeFeedTest, TooManyAssetsIsAnError) {
  FakeBundle bundle(manifest_xml("Sample", "1.0.0", "osx"));
  const fs::path feeds = bundle.root() / "feeds";
  std::string text = "{\"Assets\":[";
  for (size_t i = 0; i < (10'485'760 - 15) / 3; ++i) text += "{},";
  text += "{}]}";
  write_file(feeds / "releases.osx.json", text);
  const RunResult r = bundle.run({"check", "--url", feeds.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "Error: Check error: too many assets: a feed holds at most 50000 at line 1 column 150012\n");
}

// Answers to a package request that must not become a package: a length that is not a
// number, no body at all, a part. The old packages stay, and nothing is placed.
TEST(HostileServerTest, AnswersThatAreNotAPackageKeepTheOldOnes) {
  const std::string body = make_body(100);
  NorvaneAsset unchecked = asset("p.nupkg", body, false);
  const std::string feed = feed_of({unchecked});
  struct Case {
    const char* name;
    std::string response;
    std::string error_part;
  };
  const Case cases[] = {
      {"length with words", "HTTP/1.1 200 OK\r\nContent-Length: 12 bytes\r\n\r\n" + body,
       "invalid Content-Length header: \"12 bytes\""},
      {"no content", "HTTP/1.1 204 No Content\r\n\r\n", ": unexpected status code 204"},
      {"not modified", "HTTP/1.1 304 Not Modified\r\n\r\n", ": unexpected status code 304"},
      {"a part",
       "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/100\r\nContent-Length: "
       "10\r\n\r\n" +
           body.substr(0, 10),
       ": unexpected status code 206"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBundle bundle;
    write_file(bundle.packages_dir() / "old.nupkg", "old");
    std::string package_request;
    RawHttpServer server([&](RawConnection& conn) {
      if (conn.request().find("releases.osx.json") != std::string::npos) {
        conn.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(feed.size()) + "\r\n\r\n" +
                  feed);
        return;
      }
      package_request = conn.request();
      conn.send(c.response);
    });
    const RunResult r = bundle.run({"download", "--url", server.url("/pkgs"), "--name", "p.nupkg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.error_part), std::string::npos) << r.err;
    EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"old.nupkg"});
    // A package is an archive: its request offers no transfer coding.
    EXPECT_FALSE(package_request.empty());
    EXPECT_EQ(package_request.find("Accept-Encoding"), std::string::npos) << package_request;
  }
}

// A server that trickles, never enough to keep up the minimum rate, no longer holds a
// run for ever: a head sent a line at a time fails at its deadline (60 s), a body sent
// a byte at a time after its first period of 60 s. Both run at once.
TEST(HostileServerTest, ATrickleEndsTheRun) {
  FakeBundle check_bundle(manifest_xml("Sample", "1.0.0", "osx"));
  RawHttpServer head_trickle([&](RawConnection& conn) {
    if (!conn.send("HTTP/1.1 200 OK\r\n")) return;
    for (int i = 0; i < 40; ++i) {
      conn.pause(std::chrono::seconds(3));
      if (!conn.send("X-Slow: " + std::to_string(i) + "\r\n")) return;
    }
  });
  const std::string body = make_body(1000);
  const std::string feed = feed_of({asset("p.nupkg", body)});
  FakeBundle download_bundle;
  write_file(download_bundle.packages_dir() / "old.nupkg", "old");
  RawHttpServer body_trickle([&](RawConnection& conn) {
    if (conn.request().find("releases.osx.json") != std::string::npos) {
      conn.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(feed.size()) + "\r\n\r\n" +
                feed);
      return;
    }
    if (!conn.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")) return;
    for (int i = 0; i < 40; ++i) {
      conn.pause(std::chrono::seconds(3));
      if (!conn.send(body.substr(static_cast<size_t>(i), 1))) return;
    }
  });
  RunOptions options;
  options.timeout = std::chrono::seconds(200);
  RunResult download;
  std::thread other([&] {
    download = download_bundle.run(
        {"download", "--url", body_trickle.url("/pkgs"), "--name", "p.nupkg"}, options);
  });
  const RunResult check = check_bundle.run({"check", "--url", head_trickle.url("/feeds")}, options);
  other.join();
  EXPECT_EQ(check.status, 1);
  // A stall is tried once more, and only once.
  EXPECT_EQ(check.err,
            "Error: Check error: no complete response head within 60 seconds (after 2 attempts)\n");
  EXPECT_EQ(download.status, 1);
  EXPECT_EQ(download.err,
            "Error: Download error: the transfer stalled: fewer than 1024 bytes received in 60 "
            "seconds (after 2 attempts)\n");
  EXPECT_EQ(names_in(download_bundle.packages_dir()), std::vector<std::string>{"old.nupkg"});
}

}  // namespace
}  // namespace ntolvex::testing
