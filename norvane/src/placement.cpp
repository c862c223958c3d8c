#include "placement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include <norvane/log.h>

#include "fd.h"
#include "interrupt_files.h"
#include "platform.h"

namespace norvane {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTarget = "norvane::manager";
constexpr std::string_view kPartialSuffix = ".partial";
constexpr size_t kRandomDigits = 16;
// The longest file name most file systems take, in bytes.
constexpr size_t kMaxNameLength = 255;

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string in_quotes(std::string_view file_name) { return "'" + std::string(file_name) + "'"; }

// 64 random bits as 16 lower-case hexadecimal digits. The name only has to differ from
// other runs' names; O_EXCL settles a clash.
std::string random_hex() {
  uint64_t bits = 0;
  if (::getentropy(&bits, sizeof bits) != 0) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    static uint64_t counter = 0;
    bits = (static_cast<uint64_t>(now.tv_nsec) << 20) ^ static_cast<uint64_t>(now.tv_sec) ^
           (++counter * 0x9E3779B97F4A7C15ull);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(kRandomDigits, '0');
  for (size_t i = 0; i < kRandomDigits; ++i) out[i] = kDigits[(bits >> (4 * i)) & 0xF];
  return out;
}

// The file name's part of a temporary name: all of it when it fits, else a prefix that
// keeps the whole name within kMaxNameLength and ends on a UTF-8 character boundary.
std::string name_prefix(const std::string& file_name, size_t room) {
  if (file_name.size() <= room) return file_name;
  size_t cut = room;
  while (cut > 0 && (static_cast<unsigned char>(file_name[cut]) & 0xC0) == 0x80) --cut;
  return file_name.substr(0, cut);
}

Result<void> fail_flush(const std::string& what, const Error& cause) {
  return unexpected(Error("cannot flush " + what + " to storage: " + cause.message, cause.os_code));
}

}  // namespace

Result<void> flush_directory(const fs::path& dir) {
  const auto failed = [&](const Error& cause) {
    return fail_flush("the directory '" + path_text(dir) + "'", cause);
  };
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return failed(Error::from_errno(errno));
  if (auto flushed = platform::flush_to_storage(fd.get()); !flushed) return failed(flushed.error());
  return {};
}

Result<void> check_package_file_name(std::string_view name) {
  const char* problem = nullptr;
  if (name.empty())
    problem = "it is empty";
  else if (name == "." || name == "..")
    problem = "it names a directory";
  else if (name.find('/') != std::string_view::npos)
    problem = "it contains \"/\"";
  else if (name.find('\0') != std::string_view::npos)
    problem = "it contains a NUL byte";
  // Refused before any transfer, rather than at the rename once the body is in.
  else if (name.size() > kMaxNameLength)
    problem = "it is longer than 255 bytes";
  // A package under such a name would be taken for a killed run's leftover and swept.
  else if (is_partial_file_name(name) || is_resume_file_name(name))
    problem = "it has the form of a temporary download file";
  if (problem == nullptr) return {};
  return fail("invalid package file name " + debug_string(name) + ": " + problem);
}

std::string partial_file_name(std::string_view file_name, long pid, std::string_view random) {
  const std::string suffix = "." + std::to_string(pid) + ".";
  const size_t room = kMaxNameLength - 1 - suffix.size() - random.size() - kPartialSuffix.size();
  return "." + name_prefix(std::string(file_name), room) + suffix + std::string(random) +
         std::string(kPartialSuffix);
}

namespace {
constexpr std::string_view kResumeSuffix = ".resume";
constexpr std::string_view kRecordSuffix = ".resume.info";
}  // namespace

ResumeFiles resume_files(const fs::path& target) {
  const std::string stem =
      "." + name_prefix(target.filename().string(), kMaxNameLength - 1 - kRecordSuffix.size());
  const fs::path dir = target.parent_path();
  return ResumeFiles{dir / (stem + std::string(kResumeSuffix)),
                     dir / (stem + std::string(kRecordSuffix))};
}

bool is_resume_file_name(std::string_view name) {
  if (!name.starts_with('.')) return false;
  for (const std::string_view suffix : {kResumeSuffix, kRecordSuffix}) {
    if (name.size() > suffix.size() + 1 && name.ends_with(suffix)) return true;
  }
  return false;
}

bool is_partial_file_name(std::string_view name) {
  if (!name.starts_with('.') || !name.ends_with(kPartialSuffix)) return false;
  name.remove_suffix(kPartialSuffix.size());
  // ... "." pid "." random
  if (name.size() < kRandomDigits + 1) return false;
  const std::string_view random = name.substr(name.size() - kRandomDigits);
  if (!std::all_of(random.begin(), random.end(), is_hex_digit)) return false;
  name.remove_suffix(kRandomDigits);
  if (!name.ends_with('.')) return false;
  name.remove_suffix(1);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return false;
  const std::string_view pid = name.substr(dot + 1);
  if (!std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  // What is left is "." and at least one byte of the file name.
  return dot >= 2;
}

bool matches_package_pattern(std::string_view name) { return name.ends_with(".nupkg"); }

// ---------------------------------------------------------------------------------
// PackageWriter

PackageWriter::PackageWriter(fs::path target, fs::path temp, UniqueFd fd, ExpectedContent expected)
    : target_(std::move(target)),
      temp_(std::move(temp)),
      fd_(std::move(fd)),
      expected_(std::move(expected)) {}

// The first `end` bytes are in the file: the hasher follows, or else writeback.
void PackageWriter::written(uint64_t end) {
  if (hasher_) {
    hasher_->written(end);  // its thread also starts the writeback
  } else {
    writeback_.advance(fd_.get(), end);
  }
}

Result<void> PackageWriter::start_hashing() {
  if (expected_.sha1.empty()) return {};
  NV_TRY_ASSIGN(hasher_, FileHasher::start(temp_));
  hasher_->written(count_);
  return {};
}

PackageWriter::PackageWriter(PackageWriter&& other) noexcept
    : target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      fd_(std::move(other.fd_)),
      expected_(std::move(other.expected_)),
      count_(other.count_),
      writeback_(other.writeback_),
      hasher_(std::move(other.hasher_)),
      placed_(std::exchange(other.placed_, true)),
      resumable_(other.resumable_) {}

PackageWriter& PackageWriter::operator=(PackageWriter&& other) noexcept {
  if (this != &other) {
    discard();
    target_ = std::move(other.target_);
    temp_ = std::move(other.temp_);
    fd_ = std::move(other.fd_);
    expected_ = std::move(other.expected_);
    count_ = other.count_;
    writeback_ = other.writeback_;
    hasher_ = std::move(other.hasher_);
    placed_ = std::exchange(other.placed_, true);
    resumable_ = other.resumable_;
  }
  return *this;
}

PackageWriter::~PackageWriter() {
  if (resumable_) {
    fd_.reset();  // kept for the next attempt
    return;
  }
  discard();
}

void PackageWriter::discard() {
  hasher_.reset();
  fd_.reset();
  if (!placed_ && !temp_.empty()) {
    ::unlink(temp_.c_str());
    if (!resumable_) drop_interrupted_file(temp_);
  }
  placed_ = true;  // nothing left to discard
}

Result<PackageWriter> PackageWriter::create(const fs::path& target, ExpectedContent expected,
                                            const Sleeper& sleep) {
  const fs::path dir = target.parent_path();
  const std::string file_name = target.filename().string();
  const long pid = static_cast<long>(::getpid());
  struct Created {
    fs::path path;
    UniqueFd fd;
  };
  // A fresh name for every try, so that a clash with a file of the same name, however
  // unlikely, costs one more try and never an existing file.
  NV_TRY_ASSIGN(Created created,
                retry_operation(
                    [&]() -> Result<Created> {
                      for (int clash = 0;; ++clash) {
                        fs::path temp = dir / partial_file_name(file_name, pid, random_hex());
                        const int fd =
                            ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                        if (fd >= 0) return Created{std::move(temp), UniqueFd(fd)};
                        if (errno != EEXIST || clash == 8)
                          return unexpected(Error::from_errno(errno));
                      }
                    },
                    sleep));
  // A run ended by a signal removes the file too.
  add_interrupted_file(created.path);
  PackageWriter writer(target, std::move(created.path), std::move(created.fd), std::move(expected));
  NV_TRY(writer.start_hashing());
  return writer;
}

Result<PackageWriter> PackageWriter::open_resumable(const fs::path& target, const fs::path& partial,
                                                    ExpectedContent expected, uint64_t keep) {
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (keep == 0 ? O_CREAT | O_TRUNC : 0);
  UniqueFd fd(::open(partial.c_str(), flags, 0666));
  if (!fd) return unexpected(Error::from_errno(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return unexpected(Error::from_errno(errno));
  if (!S_ISREG(st.st_mode))
    return fail("the partial file '" + path_text(partial) + "' is not a regular file");
  if (static_cast<uint64_t>(st.st_size) < keep) {
    return fail("the partial file '" + path_text(partial) + "' holds fewer than " +
                std::to_string(keep) + " bytes");
  }
  // Whatever lies past the bytes kept is not trusted: it is cut off and fetched again.
  if (::ftruncate(fd.get(), static_cast<off_t>(keep)) != 0 ||
      ::lseek(fd.get(), static_cast<off_t>(keep), SEEK_SET) < 0)
    return unexpected(Error::from_errno(errno));
  PackageWriter writer(target, partial, std::move(fd), std::move(expected));
  writer.resumable_ = true;
  writer.count_ = keep;
  NV_TRY(writer.start_hashing());  // the kept bytes first
  // The kept bytes may not have reached storage yet (the run that wrote them was
  // killed): the hasher starts their writeback as it reads them, while the rest arrives.
  return writer;
}

Result<void> PackageWriter::write(std::string_view bytes) {
  if (!fd_) return fail("the package file is closed");
  // count_ never passes a non-zero expected size: what would is refused here.
  if (expected_.size != 0 && bytes.size() > expected_.size - count_) {
    return fail("size mismatch for " + in_quotes(expected_.file_name) + ": expected " +
                std::to_string(expected_.size) + " bytes, got at least " +
                std::to_string(count_ + bytes.size()));
  }
  NV_TRY(write_all(fd_.get(), bytes));
  count_ += bytes.size();
  written(count_);
  return {};
}

void PackageWriter::copied(uint64_t end) { written(end); }

Result<void> PackageWriter::adopt_content() {
  if (!fd_) return fail("the package file is closed");
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return unexpected(Error::from_errno(errno));
  count_ = static_cast<uint64_t>(st.st_size);
  written(count_);
  return {};
}

Result<void> PackageWriter::place() {
  if (!fd_) return fail("the package file is closed");
  if (expected_.size != 0 && count_ != expected_.size) {
    discard();
    return fail("size mismatch for " + in_quotes(expected_.file_name) + ": expected " +
                std::to_string(expected_.size) + " bytes, got " + std::to_string(count_));
  }
  // The bytes reach the storage before the name does: after a power loss the target
  // name holds the whole package or is not there. The flush comes first, so that it
  // runs while the hasher reads the last bytes.
  if (auto flushed = platform::flush_to_storage(fd_.get()); !flushed) {
    discard();
    return fail_flush("the package " + in_quotes(expected_.file_name), flushed.error());
  }
  if (hasher_) {
    const std::string actual = hasher_->finish(count_);
    if (actual.empty()) {
      discard();
      return fail("cannot compute the SHA-1 of " + in_quotes(expected_.file_name));
    }
    if (!ascii_iequal(actual, expected_.sha1)) {
      discard();
      return fail("SHA1 mismatch for " + in_quotes(expected_.file_name) + ": expected " +
                  expected_.sha1 + ", got " + actual);
    }
  }
  // A delayed write error shows up at close at the latest; EINTR still closes on Linux.
  if (auto closed = fd_.close(); !closed) {
    discard();
    return closed;
  }
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const Error error = Error::from_errno(errno);
    discard();
    return unexpected(error);
  }
  placed_ = true;
  if (!resumable_) drop_interrupted_file(temp_);
  // The new name is kept only once the directory is flushed too; until then the caller
  // must not remove the old packages, so a failure here fails the placement.
  return flush_directory(target_.parent_path());
}

// ---------------------------------------------------------------------------------
// DirectoryLock

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept = default;

DirectoryLock::~DirectoryLock() = default;

Result<DirectoryLock> DirectoryLock::acquire(const fs::path& dir,
                                             std::chrono::milliseconds wait_limit) {
  const auto without_lock = [&](int code) {
    NV_WARN(kTarget, "Cannot lock '" + path_text(dir) +
                         "', going on without the lock: " + Error::from_errno(code).message);
    return DirectoryLock(UniqueFd());
  };
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return without_lock(errno);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return DirectoryLock(std::move(fd));
  if (errno == EWOULDBLOCK) {
    NV_INFO(kTarget, "Waiting for another run to finish with '" + path_text(dir) + "'");
    // Asked again and again rather than waited for, so that the wait has an end.
    const auto deadline = std::chrono::steady_clock::now() + wait_limit;
    for (;;) {
      if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return DirectoryLock(std::move(fd));
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        return fail("another run has been working in '" + path_text(dir) + "' for more than " +
                    seconds_text(std::chrono::duration_cast<std::chrono::seconds>(wait_limit)) +
                    "; try again later");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  return without_lock(errno);
}

// ---------------------------------------------------------------------------------
// Listing and clean-up

namespace {

// The names in a directory, without "." and "..".
Result<std::vector<std::string>> directory_names(const fs::path& dir) {
  const UniqueDir d(::opendir(dir.c_str()));
  if (!d) return unexpected(Error::from_errno(errno));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(d.get());
    if (entry == nullptr) {
      if (errno != 0) return unexpected(Error::from_errno(errno));
      return names;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
}

}  // namespace

Result<std::vector<fs::path>> list_packages(const fs::path& dir) {
  NV_TRY_ASSIGN(std::vector<std::string> names, directory_names(dir));
  std::erase_if(names, [](const std::string& name) { return !matches_package_pattern(name); });
  // std::string compares bytes as unsigned char: ascending byte order.
  std::sort(names.begin(), names.end());
  std::vector<fs::path> paths;
  paths.reserve(names.size());
  for (const std::string& name : names) paths.push_back(dir / name);
  return paths;
}

void remove_stale_partial_files(const fs::path& dir, std::string_view keep,
                                std::chrono::seconds resume_age) {
  auto names = directory_names(dir);
  if (!names) return;
  const ResumeFiles kept = resume_files(dir / std::string(keep));
  const std::time_t now = std::time(nullptr);
  for (const std::string& name : *names) {
    if (name == keep) continue;
    const bool temporary = is_partial_file_name(name);
    // The placed package's own partial file and record are done with.
    const bool own_resume_file =
        name == kept.data.filename().string() || name == kept.record.filename().string();
    if (!temporary && !is_resume_file_name(name)) continue;
    const fs::path path = dir / name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // Another package's partial file waits to be continued, for a while.
    const bool fresh = now - st.st_mtime < static_cast<std::time_t>(resume_age.count());
    if (!temporary && !own_resume_file && fresh) continue;
    NV_INFO(kTarget, "Removing stale partial download: '" + path_text(path) + "'");
    ::unlink(path.c_str());
  }
}

}  // namespace norvane
