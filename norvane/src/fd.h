// Owners of the raw handles the library opens: a file descriptor and a directory
// stream. Each is move-only and closes what it holds when destroyed, so a handle is
// owned from the line that opens it.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <norvane/result.h>

namespace norvane {

// A file descriptor, or none (-1).
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  // Closes what it holds, ignoring the outcome, and takes `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports close's own failure, which is how a delayed write error of
  // some file systems shows. EINTR still closes the descriptor, so it is no failure.
  Result<void> close() {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return unexpected(Error::from_errno(errno));
    return {};
  }

 private:
  int fd_ = -1;
};

// A directory stream from opendir or fdopendir, or none.
class UniqueDir {
 public:
  UniqueDir() = default;
  explicit UniqueDir(DIR* dir) : dir_(dir) {}
  UniqueDir(UniqueDir&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
  UniqueDir& operator=(UniqueDir&& other) noexcept {
    if (this != &other) {
      if (dir_ != nullptr) ::closedir(dir_);
      dir_ = std::exchange(other.dir_, nullptr);
    }
    return *this;
  }
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  ~UniqueDir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }

  DIR* get() const { return dir_; }
  explicit operator bool() const { return dir_ != nullptr; }

 private:
  DIR* dir_ = nullptr;
};

}  // namespace norvane
