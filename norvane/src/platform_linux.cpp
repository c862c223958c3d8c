// The platform layer on Linux.
#include "platform.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "fd.h"

namespace norvane::platform {

namespace {

Result<void> copy_by_read_write(int in, int out, uint64_t done_before, const CopyProgress& copied) {
  uint64_t total = done_before;
  constexpr size_t kBufferSize = 1 << 20;
  const auto buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
  for (;;) {
    const ssize_t n = ::read(in, buffer.get(), kBufferSize);
    if (n == 0) return {};
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(Error::from_errno(errno));
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.get() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return unexpected(Error::from_errno(errno));
      }
      done += w;
    }
    total += static_cast<uint64_t>(n);
    if (copied) copied(total);
  }
}

// In-kernel copies go in pieces, so that a reader can follow: 16 MiB costs a system call
// per few milliseconds of copying.
constexpr size_t kCopyPiece = 16 << 20;

}  // namespace

// A copy-on-write clone where the file system allows it, else an in-kernel copy, else
// plain reads and writes (for file systems that offer neither). The copy goes on to the
// end of the source, whatever size it had when it was looked at.
Result<void> copy_content(int in, int out, uint64_t size, const CopyProgress& copied) {
  if (size > 0 && ::ioctl(out, FICLONE, in) == 0) {
    if (copied) copied(size);
    return {};
  }
  for (uint64_t total = 0;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kCopyPiece, 0);
    if (n == 0) return {};  // end of the source
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
        // The kernel cannot copy between these two files. What it copied before (the
        // file offsets moved with it) stays; reads and writes go on from there.
        return copy_by_read_write(in, out, total, copied);
      }
      return unexpected(Error::from_errno(errno));
    }
    total += static_cast<uint64_t>(n);
    if (copied) copied(total);
  }
}

Result<std::string> executable_path() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return unexpected(Error::from_errno(errno));
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

const char* http_client_library_name() { return "libcurl.so.4"; }

void file_times(const struct stat& st, struct timespec times[2]) {
  times[0] = st.st_atim;
  times[1] = st.st_mtim;
}

std::string error_text(int code) {
  char buffer[256];
  // The GNU strerror_r, which may return a static string instead of filling the buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

void start_writeback(int fd, uint64_t offset, uint64_t length) {
  ::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                    SYNC_FILE_RANGE_WRITE);
}

Result<void> flush_to_storage(int fd) {
  if (::fsync(fd) != 0) return unexpected(Error::from_errno(errno));
  return {};
}

}  // namespace norvane::platform
