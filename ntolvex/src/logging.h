// The log file sink of the program: records become lines of HOME/Library/Logs/norvane.log,
// which is rotated to norvane.log.1 when it would grow past 1 MiB.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include <norvane/log.h>

namespace ntolvex {

// Appends text to a log file and rotates it by size. Every byte counts across runs:
// the count starts at the file's size when it is opened. A piece that would take the
// file past the limit is split: what fits completes the file, which is then rotated,
// and the rest begins the fresh one. Not thread-safe; the sink locks around it.
class RotatingLogFile {
 public:
  static constexpr uint64_t kLimit = 1048576;

  explicit RotatingLogFile(std::filesystem::path base_path, uint64_t limit = kLimit);
  ~RotatingLogFile();
  RotatingLogFile(const RotatingLogFile&) = delete;
  RotatingLogFile& operator=(const RotatingLogFile&) = delete;

  // Creates the directory, opens the file for appending and lists the numbered
  // copies. False when the directory cannot be created or listed.
  bool open();
  // Writes one piece. False when a write or a rotation failed; the rest of the piece
  // is then dropped.
  bool write(std::string_view piece);

  uint64_t byte_count() const { return byte_count_; }

 private:
  bool open_file();
  bool list_numbered();
  bool rotate();
  std::filesystem::path numbered_path(uint64_t n, bool gz) const;
  bool write_all(std::string_view bytes);

  std::filesystem::path base_path_;
  uint64_t limit_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  uint64_t byte_count_ = 0;
  std::map<uint64_t, bool> numbered_;  // number -> whether the name ends in ".gz"
};

// The line of a record: time, level, for debug and trace the thread number and the
// target, for trace the call site, then the message and a line feed.
// `utc_offset` is in seconds; `now` is seconds since the epoch.
std::string format_record(const norvane::log::Record& record, long long now, long utc_offset);

// The local time zone's offset from UTC now, in seconds; 0 when it cannot be found
// or lies outside plus or minus 25:59:59.
long local_utc_offset();

// Sets up logging for the run: threshold info, or trace when verbose; the file sink
// over the log file. When there is no home directory, or the log directory cannot be
// created or listed, the run goes on without a log.
void init_logging(bool verbose);

}  // namespace ntolvex
