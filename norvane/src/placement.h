// Placing a package file into the packages directory safely: file names that are
// data and never paths, a temporary file beside the target that becomes the target
// only once it is complete and verified, the lock that keeps two runs from working on
// one directory at once, the listing of old packages and the removal of temporary
// files that a killed run left behind.
//
// Internal to the library: the manager and the sources use it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <norvane/result.h>
#include <norvane/util.h>

#include "fd.h"
#include "file_hasher.h"

namespace norvane {

// Refuses a package file name that is not a single plain name within a directory:
// empty, "." or "..", or one containing "/" or a NUL byte. The message names the file
// name in debug form: "invalid package file name \"../x\": it contains \"/\"".
Result<void> check_package_file_name(std::string_view name);

// What the bytes placed must be.
struct ExpectedContent {
  std::string file_name;  // for the messages
  std::string sha1;       // hexadecimal SHA-1, any letter case; empty: not checked
  uint64_t size = 0;      // in bytes; 0: not checked
};

// Flushes the entries of a directory (names added, renamed or removed) to storage.
Result<void> flush_directory(const std::filesystem::path& dir);

// The name of a temporary file of PackageWriter: "." + file name + "." + process id +
// "." + `random` (16 hexadecimal digits) + ".partial", where the file name is cut (on a
// UTF-8 character boundary) so that the whole stays within 255 bytes.
std::string partial_file_name(std::string_view file_name, long pid, std::string_view random);

// True for a name that partial_file_name() gives.
bool is_partial_file_name(std::string_view name);

// The resumable partial file of a package and the record of what it holds, beside the
// target: "." + file name + ".resume" and "." + file name + ".resume.info", the file
// name cut as above so that both stay within 255 bytes. Neither matches "*.nupkg".
struct ResumeFiles {
  std::filesystem::path data;
  std::filesystem::path record;
};
ResumeFiles resume_files(const std::filesystem::path& target);

// True for a name that resume_files() gives, of either kind.
bool is_resume_file_name(std::string_view name);

// True for a name the "*.nupkg" pattern matches: any name ending in ".nupkg", letter
// case counting, ".nupkg" itself and names with a leading dot included.
bool matches_package_pattern(std::string_view name);

// One package file on its way to the target path. Its bytes go to a temporary file in
// the target's directory, whose name cannot clash with another run's and does not
// match "*.nupkg"; place() verifies the bytes and renames the file to the target, so
// that the target name never holds a partial file. Unless placed, the temporary file
// is removed when the writer goes away. Move-only.
class PackageWriter {
 public:
  // Creates the temporary file (mode 0666 less the umask; never an existing file)
  // through retry_operation, waiting with `sleep`. Fails with the OS error of the
  // fourth attempt.
  static Result<PackageWriter> create(const std::filesystem::path& target, ExpectedContent expected,
                                      const Sleeper& sleep = sleep_for);

  // A writer on the package's resumable partial file `partial` (see resume_files),
  // which outlives the writer unless placed or refused by place(): a run that fails or
  // is killed leaves it for the next attempt. With `keep` 0 the file is created or
  // emptied; otherwise its first `keep` bytes stay, are counted and hashed (read back
  // once), and writing goes on after them. Fails with the OS error, or with "the partial
  // file '{path}' holds fewer than {keep} bytes".
  static Result<PackageWriter> open_resumable(const std::filesystem::path& target,
                                              const std::filesystem::path& partial,
                                              ExpectedContent expected, uint64_t keep);

  PackageWriter(PackageWriter&& other) noexcept;
  PackageWriter& operator=(PackageWriter&& other) noexcept;
  PackageWriter(const PackageWriter&) = delete;
  PackageWriter& operator=(const PackageWriter&) = delete;
  ~PackageWriter();

  // The temporary file and its open descriptor (owned by the writer).
  const std::filesystem::path& path() const { return temp_; }
  int fd() const { return fd_.get(); }
  uint64_t bytes_written() const { return count_; }

  // Appends the bytes, counting and hashing them. Bytes that would go past the expected
  // size are refused before anything is written: "size mismatch for '{file}': expected
  // {n} bytes, got at least {m}". Fails with the OS error of a failed write.
  Result<void> write(std::string_view bytes);

  // Content put into fd() by other means (a file copy): `copied(n)` as the first n
  // bytes are in, so that hashing follows the copy, then adopt_content() once it is
  // complete, which takes the file's size.
  void copied(uint64_t end);
  Result<void> adopt_content();

  // Verifies the size and the SHA-1 ("size mismatch for '{file}': expected {n} bytes,
  // got {m}", "SHA1 mismatch for '{file}': expected {e}, got {d}"), flushes the file to
  // storage, closes it, renames it to the target and flushes the directory, so that
  // after a power loss the target is whole or absent. On a failure before the rename
  // the temporary file is removed and the target is not touched; a failure to flush
  // the directory after it leaves the placed target and fails all the same, so that
  // the caller keeps the old packages. A failed flush reads "cannot flush {what} to
  // storage: {OS error}".
  Result<void> place();

 private:
  PackageWriter(std::filesystem::path target, std::filesystem::path temp, UniqueFd fd,
                ExpectedContent expected);
  void discard();
  Result<void> start_hashing();
  void written(uint64_t end);

  std::filesystem::path target_;
  std::filesystem::path temp_;
  UniqueFd fd_;
  ExpectedContent expected_;
  uint64_t count_ = 0;
  Writeback writeback_;  // without a hasher; with one, the hasher's thread starts it
  // Present when a SHA-1 is expected: hashes the file behind the writing.
  std::unique_ptr<FileHasher> hasher_;
  bool placed_ = false;
  bool resumable_ = false;  // the file stays when the writer goes away unplaced
};

// How long a run waits for another run's lock on the packages directory (10 minutes).
inline constexpr std::chrono::milliseconds kLockWaitLimit = std::chrono::minutes(10);

// An exclusive advisory lock (flock) on a directory, held through a descriptor of the
// directory itself, so that no file is added to it. Released when destroyed.
class DirectoryLock {
 public:
  // Waits for the lock, logging "Waiting for another run to finish with '{dir}'" (info,
  // "norvane::manager") when another process holds it. Where the directory cannot be
  // opened or locked (a file system without locks), logs a warning and returns a lock
  // that holds nothing: the temporary files still keep the target whole.
  // The wait has an end: past `wait_limit` it fails with "another run has been working
  // in '{dir}' for more than {n} seconds; try again later". A run holds the lock while
  // it transfers, and a transfer ends when it stalls, but a slow live one may go on.
  static Result<DirectoryLock> acquire(const std::filesystem::path& dir,
                                       std::chrono::milliseconds wait_limit = kLockWaitLimit);

  DirectoryLock(DirectoryLock&& other) noexcept;
  DirectoryLock& operator=(DirectoryLock&&) = delete;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock();

  bool held() const { return fd_.valid(); }

 private:
  explicit DirectoryLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;  // closing it releases the lock
};

// The entries of `dir` itself (not of its sub-directories) whose names match
// "*.nupkg", of any kind, as dir / name in ascending byte order of the names. Fails
// with the OS error when the directory cannot be listed.
Result<std::vector<std::filesystem::path>> list_packages(const std::filesystem::path& dir);

// How long the partial file of a package may wait to be continued (7 days).
inline constexpr std::chrono::hours kResumeFileAge{24 * 7};

// The clean-up after a package `keep` was placed in `dir`, with the directory locked:
// removes the regular files among the temporary files of PackageWriter (no run is
// writing one: they hold the lock while they do), the resumable partial file and record
// of `keep`, and those of other packages not modified for `resume_age`, logging
// "Removing stale partial download: '{}'" (info, "norvane::manager") for each.
// Failures are ignored. The entry named `keep` itself is never touched, whatever its
// name.
void remove_stale_partial_files(const std::filesystem::path& dir, std::string_view keep,
                                std::chrono::seconds resume_age = kResumeFileAge);

}  // namespace norvane
