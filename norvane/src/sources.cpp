#include <norvane/sources.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <norvane/log.h>
#include <norvane/manager.h>
#include <norvane/util.h>

namespace norvane {

namespace {

constexpr std::string_view kTarget = "norvane::sources";

// A file descriptor owned from the line that opens it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The whole file as bytes. The size from fstat is only a hint for the buffer: the
// file is read until the end, however long it turns out to be.
Result<std::string> read_whole_file(const std::filesystem::path& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return unexpected(Error::from_errno(errno));
  // One byte more than the size, so that a file of the size it claims is read in one
  // call and the next one sees its end.
  struct stat info {};
  size_t hint = 0;
  if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
    hint = static_cast<size_t>(info.st_size);
  // The buffer is not zeroed first: read() fills what is kept, and for a large feed
  // the zeroing would cost as much as the read.
  std::string bytes;
  const auto grow = [&bytes](size_t size) {
    bytes.resize_and_overwrite(size, [](char*, size_t n) { return n; });
  };
  grow(hint + 1);
  size_t used = 0;
  for (;;) {
    if (used == bytes.size()) grow(std::max<size_t>(2 * bytes.size(), 65536));
    const ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(Error::from_errno(errno));
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

}  // namespace

std::string release_feed_name(std::string_view channel) {
  return "releases." + std::string(channel) + ".json";
}

Result<NorvaneAssetFeed> FileSource::fetch_release_feed(std::string_view channel,
                                                        const Manifest&) const {
  // path / name inserts a "/" unless path ends in one, and an empty path gives the
  // bare name, relative to the working directory.
  const std::filesystem::path file = path / release_feed_name(channel);
  NV_INFO(kTarget, "Reading releases from file: " + path_text(file));
  auto text = read_whole_file(file);
  if (!text) return unexpected(std::move(text).error());
  if (!is_valid_utf8(*text)) return fail("stream did not contain valid UTF-8");
  return parse_release_feed(*text);
}

Result<NorvaneAssetFeed> HttpSource::fetch_release_feed(std::string_view, const Manifest&) const {
  // Replaced by the real fetch once the URL parser and the HTTP agent are in.
  return fail("HTTP update sources are not available yet");
}

}  // namespace norvane
