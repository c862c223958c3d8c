// A fake application bundle in a temporary directory, holding a copy of the built
// program (a copy, not a link: the kernel resolves links in the executable's path),
// the updater and a manifest, and a home directory beside it. Runs the program there
// as a child process and collects its exit status and output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace ntolvex::testing {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;  // exit status; 128 + signal number when killed by a signal
  std::string out;
  std::string err;
};

// A manifest document with the given id, version and optional channel.
std::string manifest_xml(const std::string& id, const std::string& version,
                         const std::string& channel = "");

struct RunOptions {
  // Environment changes: a value sets the variable, nullopt removes it. HOME is set to
  // the bundle's home directory unless given here.
  std::map<std::string, std::optional<std::string>> env = {};
  std::string working_dir = {};  // empty: the test's own
  std::chrono::seconds timeout{120};
  bool close_stdout = false;  // the parent closes its reading end before the child writes
  // Runs in the child just before exec (after the child's own set-up), for limits and
  // signal dispositions that survive exec (setrlimit, signal). Only async-signal-safe
  // calls belong here; returning false ends the child with status 125.
  std::function<bool()> in_child = {};
};

class FakeBundle {
 public:
  // The bundle is <tmp>/<name>.app with the program at Contents/MacOS/ntolvex.
  explicit FakeBundle(const std::string& manifest = manifest_xml("Sample", "1.2.3", "osx"),
                      const std::string& name = "Sample");

  const fs::path& root() const { return dir_.path(); }
  fs::path bundle_dir() const { return bundle_; }
  fs::path macos_dir() const { return bundle_ / "Contents" / "MacOS"; }
  fs::path exe() const { return macos_dir() / "ntolvex"; }
  fs::path home() const { return dir_.path() / "home"; }
  fs::path log_file() const { return home() / "Library" / "Logs" / "norvane.log"; }
  fs::path packages_dir(const std::string& id = "Sample") const {
    return home() / "Library" / "Caches" / "norvane" / id / "packages";
  }

  void write_manifest(const std::string& text) const;
  // The log file's content, or empty when there is none.
  std::string log() const;
  // The log's messages without the time stamp and level ("[INFO] " and the like stay
  // out), one entry a line.
  std::vector<std::string> log_lines() const;

  RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) const;

 private:
  norvane::testing::TempDir dir_;
  fs::path bundle_;
};

// Starts `exe` with `args` (argv[0] is the executable's path), the environment changed
// as the options say, standard input from /dev/null and standard output and error to
// `out_fd` and `err_fd` (-1: /dev/null). Returns the child's pid; throws when it cannot
// fork. The one way the tests start a process.
pid_t spawn(const fs::path& exe, const std::vector<std::string>& args, const RunOptions& options,
            const fs::path& home, int out_fd = -1, int err_fd = -1);

// Runs `exe` with `args` (argv[0] is the executable's path) and the options.
RunResult run_program(const fs::path& exe, const std::vector<std::string>& args,
                      const RunOptions& options, const fs::path& home);

}  // namespace ntolvex::testing
