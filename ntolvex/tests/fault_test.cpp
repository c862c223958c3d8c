// Faults and concurrency, with real processes and real files: runs of the download
// command at the same time, runs killed at chosen points, directories the program may
// not write, and many runs writing the log across a rotation. Whatever happens, no
// package is lost or half-written, and every run ends with a clear status.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "background_run.h"
#include "bundle.h"
#include "packages.h"

namespace ntolvex::testing {
namespace {

using namespace std::chrono_literals;
using norvane::testing::read_file;

// Every *.nupkg left in the directory: its name and whether its content is one of the
// packages offered.
void expect_one_verified_package(const fs::path& dir,
                                 const std::map<std::string, std::string>& offered) {
  std::vector<std::string> packages;
  for (const auto& name : names_in(dir)) {
    EXPECT_FALSE(is_partial(name)) << "a temporary file was left: " << name;
    if (name.ends_with(".nupkg")) packages.push_back(name);
  }
  ASSERT_EQ(packages.size(), 1u) << ::testing::PrintToString(names_in(dir));
  const auto found = offered.find(packages[0]);
  ASSERT_NE(found, offered.end()) << packages[0];
  EXPECT_TRUE(read_file(dir / packages[0]) == found->second) << packages[0] << " is not complete";
}

TEST(FaultTest, DifferentPackagesAtOnceLeaveOneCompletePackage) {
  FakeBundle bundle;
  const Folder folder{bundle.root() / "feeds"};
  std::map<std::string, std::string> offered;
  std::vector<NorvaneAsset> assets;
  for (int i = 0; i < 4; ++i) {
    const std::string name = "p" + std::to_string(i) + ".nupkg";
    offered[name] = make_body((6 + i) << 20, i + 1);
    folder.add(name, offered[name]);
    assets.push_back(asset(name, offered[name]));
  }
  folder.feed(assets);
  PackageServer server;
  for (const auto& [name, body] : offered) server.add(name, body);
  server.feed(assets);
  norvane::testing::write_file(bundle.packages_dir() / "old.nupkg", "old");

  for (const char* kind : {"folder", "http"}) {
    SCOPED_TRACE(kind);
    RunResult results[4];
    std::vector<std::thread> runs;
    for (int i = 0; i < 4; ++i) {
      const std::string url = std::string(kind) == "http" ? server.url() : folder.dir.string();
      runs.emplace_back([&, i, url] {
        results[i] =
            bundle.run({"download", "--url", url, "--name", "p" + std::to_string(i) + ".nupkg"});
      });
    }
    for (auto& run : runs) run.join();
    for (const auto& r : results) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
    }
    expect_one_verified_package(bundle.packages_dir(), offered);
  }
}

// A download killed at points spread over its whole course (before the request, in
// the transfer, around the placement and the clean-up), then a normal run: the
// package arrives complete, and nothing under a package name is ever partial.
TEST(FaultTest, KilledAtAnyPointThenRunAgain) {
  const std::string body = make_body(8 << 20, 3);
  const std::string other = make_body(1 << 20, 4);
  const std::map<std::string, std::string> offered = {{"new.nupkg", body}, {"old.nupkg", other}};
  // The server paces the package so that the transfer takes a while.
  std::atomic<bool> pace{true};
  const std::string feed = feed_of({asset("new.nupkg", body), asset("old.nupkg", other)});
  const HttplibServer server([&](httplib::Server& s) {
    s.Get("/pkgs/releases.osx.json", [&](const httplib::Request&, httplib::Response& res) {
      res.set_content(feed, "application/json");
    });
    s.Get("/pkgs/new.nupkg", [&](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(body.size(), "application/octet-stream",
                               [&](size_t offset, size_t length, httplib::DataSink& sink) {
                                 if (pace) std::this_thread::sleep_for(2ms);
                                 sink.write(body.data() + offset,
                                            std::min<size_t>(length, 256 * 1024));
                                 return true;
                               });
    });
  });
  std::mt19937 random(20261210);  // fixed: the same points on every run
  std::uniform_int_distribution<int> delay_ms(0, 250);
  for (int round = 0; round < 8; ++round) {
    const int delay = round == 0 ? 0 : delay_ms(random);
    SCOPED_TRACE("killed after " + std::to_string(delay) + " ms");
    FakeBundle bundle;
    norvane::testing::write_file(bundle.packages_dir() / "old.nupkg", other);
    const std::vector<std::string> args = {"download", "--url", server.url("/pkgs"), "--name",
                                           "new.nupkg"};
    {
      BackgroundRun run(bundle.exe(), args, bundle.home());
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      run.kill(SIGKILL);
      run.wait();
    }
    // Whatever the moment, a package name holds a whole package or nothing.
    for (const auto& name : names_in(bundle.packages_dir())) {
      if (!name.ends_with(".nupkg")) continue;
      const auto found = offered.find(name);
      ASSERT_NE(found, offered.end()) << name;
      EXPECT_TRUE(read_file(bundle.packages_dir() / name) == found->second)
          << name << " is partial";
    }
    const RunResult r = bundle.run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(bundle.packages_dir() / "new.nupkg") == body);
    EXPECT_FALSE(fs::exists(bundle.packages_dir() / "old.nupkg"))
        << "the old package is cleaned up";
  }
}

// Runs the child as the unprivileged user "nobody", so that permission bits apply
// (root would write anywhere). Only async-signal-safe calls: it runs after fork.
bool become_nobody() {
  const gid_t group = 65534;
  return ::setgroups(1, &group) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

class UnwritableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    // The bundle and the feed must be readable by nobody; the home stays root's.
    fs::permissions(bundle_.root(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    body_ = make_body(1 << 20, 9);
    folder_.add("p.nupkg", body_);
    folder_.feed({asset("p.nupkg", body_)});
    for (const auto& entry : fs::recursive_directory_iterator(bundle_.root())) {
      std::error_code ec;
      fs::permissions(entry.path(), fs::perms::others_read | fs::perms::group_read,
                      fs::perm_options::add, ec);
      if (entry.is_directory() || entry.path().filename() == "ntolvex")
        fs::permissions(entry.path(), fs::perms::others_exec | fs::perms::group_exec,
                        fs::perm_options::add, ec);
    }
  }
  RunResult run_as_nobody(const std::vector<std::string>& args) {
    RunOptions options;
    options.in_child = become_nobody;
    options.timeout = 60s;
    return bundle_.run(args, options);
  }

  FakeBundle bundle_;
  Folder folder_{bundle_.root() / "feeds"};
  std::string body_;
};

TEST_F(UnwritableTest, APackagesDirectoryThatCannotBeCreated) {
  const RunResult r =
      run_as_nobody({"download", "--url", folder_.dir.string(), "--name", "p.nupkg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error: Download error: Permission denied (os error 13)\n");
  EXPECT_FALSE(fs::exists(bundle_.home() / "Library" / "Caches"));
}

TEST_F(UnwritableTest, APackagesDirectoryThatCannotBeWrittenKeepsItsPackages) {
  norvane::testing::write_file(bundle_.packages_dir() / "old.nupkg", "old");
  fs::permissions(bundle_.home() / "Library",
                  fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  for (fs::path p = bundle_.packages_dir(); p != bundle_.home() / "Library"; p = p.parent_path())
    fs::permissions(p, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  // The log cannot be written either: the run goes on without it.
  const RunResult r =
      run_as_nobody({"download", "--url", folder_.dir.string(), "--name", "p.nupkg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: Download error: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Permission denied (os error 13)"), std::string::npos) << r.err;
  EXPECT_EQ(names_in(bundle_.packages_dir()), std::vector<std::string>{"old.nupkg"});
  EXPECT_EQ(read_file(bundle_.packages_dir() / "old.nupkg"), "old");
}

// A package of the wrong size that cannot be removed fails the run, naming it, and is
// left as it was.
TEST_F(UnwritableTest, AWrongSizedPackageThatCannotBeRemoved) {
  norvane::testing::write_file(bundle_.packages_dir() / "p.nupkg", "cut short");
  for (fs::path p = bundle_.packages_dir(); p != bundle_.home(); p = p.parent_path())
    fs::permissions(p, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  const RunResult r =
      run_as_nobody({"download", "--url", folder_.dir.string(), "--name", "p.nupkg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: Download error: cannot remove '" +
                       (bundle_.packages_dir() / "p.nupkg").string() +
                       "': Permission denied (os error 13)\n");
  EXPECT_EQ(read_file(bundle_.packages_dir() / "p.nupkg"), "cut short");
}

TEST_F(UnwritableTest, ALogThatCannotBeWrittenDoesNotStopTheRun) {
  fs::create_directories(bundle_.home() / "Library" / "Logs");
  for (fs::path p : {bundle_.home() / "Library", bundle_.home() / "Library" / "Logs"})
    fs::permissions(p, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  const RunResult r = run_as_nobody({"get-version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1.2.3\n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(fs::exists(bundle_.log_file()));
}

// Many runs at once, each with its own byte count, write the log while it crosses the
// rotation limit. No run fails, and no line of the current file holds pieces of two
// records: records are written whole, so they never interleave.
TEST(FaultTest, ManyRunsWriteTheLogAcrossARotation) {
  FakeBundle bundle;
  const std::string filler_line = "00:00:00 [INFO] filler\n";
  std::string filler;
  while (filler.size() + filler_line.size() < 1048576 - 2000) filler += filler_line;
  norvane::testing::write_file(bundle.log_file(), filler);

  constexpr int kRuns = 8;
  constexpr int kRepeats = 6;
  std::vector<std::thread> threads;
  std::vector<int> failures(kRuns, 0);
  for (int i = 0; i < kRuns; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < kRepeats; ++k) {
        const RunResult r = bundle.run({"--verbose", "get-version"});
        if (r.status != 0 || r.out != "1.2.3\n") ++failures[i];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kRuns; ++i) EXPECT_EQ(failures[i], 0) << "run " << i;

  ASSERT_TRUE(fs::exists(bundle.log_file().string() + ".1")) << "the test must cross the limit";
  const std::regex record("^\\d\\d:\\d\\d:\\d\\d \\[(ERROR|WARN|INFO|DEBUG|TRACE)\\] .*$");
  const std::regex second_stamp(".\\d\\d:\\d\\d:\\d\\d \\[(ERROR|WARN|INFO|DEBUG|TRACE)\\] ");
  const std::string current = bundle.log();
  ASSERT_FALSE(current.empty());
  EXPECT_EQ(current.back(), '\n');
  std::istringstream in(current);
  size_t fragments = 0;
  for (std::string line; std::getline(in, line);) {
    EXPECT_FALSE(std::regex_search(line, second_stamp)) << "two records in one line: " << line;
    // The rest of a record split at the limit begins a fresh file; with several runs
    // rotating, each such rest stands alone on its line.
    if (!std::regex_match(line, record)) ++fragments;
  }
  EXPECT_LE(fragments, static_cast<size_t>(kRuns));
}

}  // namespace
}  // namespace ntolvex::testing
