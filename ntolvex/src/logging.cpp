#include "logging.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <norvane/locator.h>
#include <norvane/util.h>

namespace ntolvex {

namespace fs = std::filesystem;

RotatingLogFile::RotatingLogFile(fs::path base_path, uint64_t limit)
    : base_path_(std::move(base_path)), limit_(limit) {}

RotatingLogFile::~RotatingLogFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool RotatingLogFile::open() {
  std::error_code ec;
  fs::create_directories(base_path_.parent_path(), ec);
  if (ec) return false;
  open_file();
  return list_numbered();
}

bool RotatingLogFile::open_file() {
  if (fd_ >= 0) ::close(fd_);
  byte_count_ = 0;
  // Opened without blocking, so that a fifo put in the log's place cannot hold the run
  // up, and kept only when it is a regular file: anything else goes without a log.
  fd_ = ::open(base_path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd_ < 0) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  ::fcntl(fd_, F_SETFL, O_APPEND);
  byte_count_ = static_cast<uint64_t>(st.st_size);
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return true;
}

bool RotatingLogFile::list_numbered() {
  numbered_.clear();
  const fs::path dir = base_path_.parent_path().empty() ? fs::path(".") : base_path_.parent_path();
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  const std::string prefix = base_path_.filename().string() + ".";
  while (const dirent* entry = ::readdir(d)) {
    std::string_view name = entry->d_name;
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
    std::string_view rest = name.substr(prefix.size());
    bool gz = false;
    if (rest.size() > 3 && rest.substr(rest.size() - 3) == ".gz") {
      gz = true;
      rest.remove_suffix(3);
    }
    if (rest.empty() || rest.size() > 19 || rest.find_first_not_of("0123456789") != rest.npos)
      continue;
    struct stat st {};
    if (::stat((dir / std::string(name)).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const uint64_t n = std::stoull(std::string(rest));
    auto [it, added] = numbered_.emplace(n, gz);
    if (!added && !gz) it->second = false;  // both forms: the plain name moves
  }
  ::closedir(d);
  return true;
}

fs::path RotatingLogFile::numbered_path(uint64_t n, bool gz) const {
  fs::path p = base_path_;
  p += "." + std::to_string(n) + (gz ? ".gz" : "");
  return p;
}

bool RotatingLogFile::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    if (fd_ < 0) return false;
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    byte_count_ += static_cast<uint64_t>(n);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool RotatingLogFile::write(std::string_view piece) {
  while (byte_count_ + piece.size() > limit_) {
    const size_t fits = byte_count_ < limit_ ? static_cast<size_t>(limit_ - byte_count_) : 0;
    if (!write_all(piece.substr(0, fits))) return false;
    piece.remove_prefix(fits);
    if (!rotate()) return false;
  }
  return write_all(piece);
}

bool RotatingLogFile::rotate() {
  const fs::path dir = base_path_.parent_path();
  struct stat st {};
  if (!dir.empty() && ::stat(dir.c_str(), &st) != 0) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    list_numbered();
  }
  if (fd_ < 0 || ::stat(base_path_.c_str(), &st) != 0) {
    if (!open_file()) return false;
  }
  ::close(fd_);
  fd_ = -1;

  // Every numbered copy in the unbroken run from 1 moves up by one, highest first.
  uint64_t top = 1;
  while (numbered_.count(top) != 0) ++top;
  for (uint64_t n = top - 1; n >= 1; --n) {
    const bool gz = numbered_[n];
    if (::rename(numbered_path(n, gz).c_str(), numbered_path(n + 1, gz).c_str()) != 0) {
      open_file();
      return false;
    }
    numbered_[n + 1] = gz;
    numbered_.erase(n);
  }
  if (::rename(base_path_.c_str(), numbered_path(1, false).c_str()) != 0) {
    open_file();
    return false;
  }
  numbered_[1] = false;

  const bool opened = open_file();
  byte_count_ = 0;

  // Only norvane.log.1 is kept.
  for (auto it = numbered_.begin(); it != numbered_.end();) {
    if (it->first == 1) {
      ++it;
      continue;
    }
    ::unlink(numbered_path(it->first, it->second).c_str());
    it = numbered_.erase(it);
  }
  return opened;
}

namespace {

std::atomic<unsigned> g_next_thread{1};

unsigned thread_number() {
  thread_local const unsigned number = g_next_thread.fetch_add(1);
  return number;
}

class FileSink : public norvane::log::Sink {
 public:
  FileSink(std::unique_ptr<RotatingLogFile> file, long utc_offset)
      : file_(std::move(file)), utc_offset_(utc_offset) {}

  void write(const norvane::log::Record& record) override {
    const std::string line =
        format_record(record, static_cast<long long>(std::time(nullptr)), utc_offset_);
    std::lock_guard lock(mutex_);
    file_->write(line);
  }

 private:
  std::mutex mutex_;
  std::unique_ptr<RotatingLogFile> file_;
  long utc_offset_;
};

}  // namespace

std::string format_record(const norvane::log::Record& record, long long now, long utc_offset) {
  using norvane::log::Level;
  long long local = now + utc_offset;
  long long day_seconds = local % 86400;
  if (day_seconds < 0) day_seconds += 86400;
  char time_text[16];
  std::snprintf(time_text, sizeof time_text, "%02lld:%02lld:%02lld", day_seconds / 3600,
                day_seconds / 60 % 60, day_seconds % 60);
  std::string line;
  line.reserve(32 + record.target.size() + record.message.size());
  line += time_text;
  line += " [";
  line += norvane::log::level_name(record.level);
  line += "] ";
  if (record.level == Level::Debug || record.level == Level::Trace) {
    line += "(" + std::to_string(thread_number()) + ") ";
    line += record.target;
    line += ": ";
  }
  if (record.level == Level::Trace) {
    line += "[";
    line += record.file ? record.file : "<unknown>";
    line += ":";
    line += record.line ? std::to_string(record.line) : "<unknown>";
    line += "] ";
  }
  // One record, one line: text from a feed, a server or a file name inside a message
  // cannot start a line of its own.
  line += norvane::escape_control_characters(record.message);
  line += '\n';
  return line;
}

long local_utc_offset() {
  ::tzset();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) return 0;
  const long offset = local.tm_gmtoff;
  constexpr long kMax = 25 * 3600 + 59 * 60 + 59;
  return (offset > kMax || offset < -kMax) ? 0 : offset;
}

void init_logging(bool verbose) {
  thread_number();  // the thread that sets up logging is thread 1
  auto path = norvane::log_file_path();
  if (!path) return;
  auto file = std::make_unique<RotatingLogFile>(*path);
  if (!file->open()) return;
  norvane::log::install(std::make_unique<FileSink>(std::move(file), local_utc_offset()),
                        verbose ? norvane::log::Level::Trace : norvane::log::Level::Info);
}

}  // namespace ntolvex
