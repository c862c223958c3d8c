#include "file_hasher.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform.h"

namespace norvane {

namespace {

// Small enough to stay in the processor's cache between the read and the hash; larger
// reads hash no faster.
constexpr size_t kReadSize = 256 * 1024;
constexpr uint64_t kWritebackPiece = 32 << 20;

std::string hex(const Sha1::Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (const unsigned char byte : digest) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
  }
  return out;
}

}  // namespace

void Writeback::advance(int fd, uint64_t end) {
  if (end < started_ || end - started_ < kWritebackPiece) return;
  platform::start_writeback(fd, started_, end - started_);
  started_ = end;
}

Result<std::unique_ptr<FileHasher>> FileHasher::start(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return unexpected(Error::from_errno(errno));
  std::unique_ptr<FileHasher> hasher(new FileHasher(std::move(fd)));
  hasher->thread_ = std::thread([h = hasher.get()] { h->run(); });
  return hasher;
}

FileHasher::FileHasher(UniqueFd fd)
    : fd_(std::move(fd)), buffer_(std::make_unique_for_overwrite<char[]>(kReadSize)) {}

FileHasher::~FileHasher() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void FileHasher::written(uint64_t end) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    available_ = std::max(available_, end);
  }
  changed_.notify_one();
}

std::string FileHasher::finish(uint64_t end) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    available_ = std::max(available_, end);
    finishing_ = true;
    changed_.notify_one();
    changed_.wait(lock, [&] { return done_; });
    if (failed_ || hashed_ != end) return {};
  }
  const std::optional<Sha1::Digest> digest = sha1_.finish();
  return digest ? hex(*digest) : std::string();
}

void FileHasher::run() {
  Writeback writeback;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || hashed_ < available_ || finishing_; });
    if (stopping_ || (hashed_ >= available_ && finishing_)) break;
    const uint64_t offset = hashed_;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadSize, available_ - offset));
    lock.unlock();
    ssize_t n;
    do {
      n = ::pread(fd_.get(), buffer_.get(), want, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      sha1_.update(std::string_view(buffer_.get(), static_cast<size_t>(n)));
      // What is hashed is on its way to storage too: the flush before the rename then
      // finds little left, and the thread that receives never waits for it.
      writeback.advance(fd_.get(), offset + static_cast<uint64_t>(n));
    }
    lock.lock();
    if (n <= 0) {  // a read error, or the file is shorter than the writer said
      failed_ = true;
      break;
    }
    hashed_ += static_cast<uint64_t>(n);
  }
  done_ = true;
  lock.unlock();
  changed_.notify_all();
}

}  // namespace norvane
