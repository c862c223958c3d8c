// What the tests share: a temporary directory removed at the end, an environment
// variable set for a scope, a log sink that keeps records for inspection, and file
// and text helpers. Nothing here talks to the network.
#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <norvane/log.h>
#include <norvane/manager.h>
#include <norvane/result.h>

namespace norvane::testing {

namespace fs = std::filesystem;

// A fresh directory under the system temp directory, removed with all it holds.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& rest) const { return path_ / rest; }

 private:
  fs::path path_;
};

// Sets (or, with nullopt, unsets) an environment variable and restores it.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

struct CapturedRecord {
  log::Level level;
  std::string target;
  std::string message;
};

// Installs itself as the log sink with the given threshold; uninstalls on destruction.
class CapturedLog {
 public:
  explicit CapturedLog(log::Level threshold = log::Level::Trace);
  ~CapturedLog();
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;
  std::vector<CapturedRecord> records() const;
  std::vector<std::string> messages() const;  // the messages alone, in order

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The messages of the Info records of "norvane::sources", in order.
std::vector<std::string> source_records(const CapturedLog& log);

// Records the waits it is asked for instead of sleeping.
struct RecordingSleeper {
  std::vector<long> waits;
  void operator()(std::chrono::milliseconds d) { waits.push_back(static_cast<long>(d.count())); }
};

std::string read_file(const fs::path& path);

// A full release of the package "Sample", version 1.1.0, with the given file name and
// the integrity fields given (empty and 0: not checked).
NorvaneAsset asset_named(std::string file_name, std::string sha1 = "", uint64_t size = 0);
// An asset with every field given, in declared order.
NorvaneAsset make_asset(std::string id, std::string version, std::string type, std::string file,
                        std::string sha1 = "", uint64_t size = 0, std::string md = "",
                        std::string html = "");

// The SHA-1 of the bytes, in lower-case hexadecimal.
std::string sha1_hex(std::string_view bytes);
// `size` bytes of content that is not uniform, the same for the same size and seed.
std::string make_body(size_t size, unsigned seed = 1);
void write_file(const fs::path& path, std::string_view content);  // creates parents
// Sets a file's (not a link's target's) access and modification times to `ago` before now.
void set_mtime_ago(const fs::path& path, std::chrono::seconds ago);

// The names in a directory, sorted; empty when it does not exist.
std::vector<std::string> names_in(const fs::path& dir);

// The bytes compressed by the gzip program (without a name or time stamp); throws
// when it fails.
std::string gzip(std::string_view data);

// The text with ASCII letters in upper case.
std::string upper(std::string text);

// "(success)", or the error's message: for labelling a failed expectation.
std::string message_of(const Result<void>& result);

}  // namespace norvane::testing
