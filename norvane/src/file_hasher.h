// The SHA-1 of a file that is being written, computed on a thread of its own: the
// writer says how far the file is written, and the hasher reads up to there (from the
// page cache, a small buffer at a time) and hashes, so that the thread that receives
// and writes never waits for the digest. What is hashed is what the file holds.
//
// Internal to the library: PackageWriter uses it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <norvane/result.h>

#include "fd.h"
#include "sha1.h"

namespace norvane {

// Starts the writeback of a growing file to storage a piece (32 MiB) at a time, so that
// the flush before the rename finds little left to write.
class Writeback {
 public:
  // The first `end` bytes of the file behind `fd` are written.
  void advance(int fd, uint64_t end);

 private:
  uint64_t started_ = 0;  // bytes whose writeback has been started
};

class FileHasher {
 public:
  // Opens `path` for reading and starts hashing from byte 0 as bytes become available.
  // Fails with the OS error.
  static Result<std::unique_ptr<FileHasher>> start(const std::filesystem::path& path);

  ~FileHasher();  // stops hashing and waits for the thread
  FileHasher(const FileHasher&) = delete;
  FileHasher& operator=(const FileHasher&) = delete;

  // Bytes 0 to `end` are in the file, for good: they are not written again.
  void written(uint64_t end);

  // Waits until the first `end` bytes are hashed, then returns their SHA-1 in lower-case
  // hexadecimal; empty when reading the file or the digest library failed, or the file
  // ended early. Called once.
  std::string finish(uint64_t end);

 private:
  explicit FileHasher(UniqueFd fd);
  void run();

  UniqueFd fd_;
  // Made before the thread starts, so that nothing the thread does can throw.
  std::unique_ptr<char[]> buffer_;
  Sha1 sha1_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t available_ = 0;  // bytes the writer has finished with
  bool finishing_ = false;  // no more bytes come
  bool stopping_ = false;   // the result is no longer wanted
  bool failed_ = false;
  bool done_ = false;  // the thread has stopped hashing
  uint64_t hashed_ = 0;
  std::thread thread_;
};

}  // namespace norvane
