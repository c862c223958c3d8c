// The platform layer on macOS.
#include "platform.h"

#include <copyfile.h>
#include <fcntl.h>
#include <mach-o/dyld.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fd.h"

namespace norvane::platform {

Result<std::string> executable_path() {
  // The path the program was started with, as the loader keeps it: neither symbolic
  // links nor "." and ".." are resolved.
  std::vector<char> buffer(1024);
  for (int attempt = 0;; ++attempt) {
    auto size = static_cast<uint32_t>(buffer.size());
    if (::_NSGetExecutablePath(buffer.data(), &size) == 0) return std::string(buffer.data());
    // Too small: `size` now holds the size needed.
    if (attempt == 1 || size <= buffer.size()) return fail("cannot get the executable's path");
    buffer.resize(size);
  }
}

// The system's own libcurl, whose TLS uses the system's trust settings.
const char* http_client_library_name() { return "/usr/lib/libcurl.4.dylib"; }

// No clone here: clonefile and fclonefileat make a new file at a path, and refuse one
// that exists, while the destination is already open and stays the caller's. So the
// content goes through fcopyfile. Only the data is taken from it (COPYFILE_DATA); the
// mode bits and time stamps are set by the caller as on Linux. COPYFILE_ALL would also
// carry the source's ACLs, extended attributes (a quarantine mark among them) and file
// flags, and a locked source (the immutable flag) would give a file that cannot be
// renamed.
Result<void> copy_content(int in, int out, uint64_t size, const CopyProgress& copied) {
  if (::fcopyfile(in, out, nullptr, COPYFILE_DATA) != 0)
    return unexpected(Error::from_errno(errno));
  if (copied) copied(size);
  return {};
}

void file_times(const struct stat& st, struct timespec times[2]) {
  times[0] = st.st_atimespec;
  times[1] = st.st_mtimespec;
}

std::string error_text(int code) {
  char buffer[256] = "";
  // The XSI strerror_r: it fills the buffer, with "Unknown error: <code>" for a value it
  // does not know (and then returns EINVAL).
  ::strerror_r(code, buffer, sizeof buffer);
  if (buffer[0] == '\0') return "Unknown error: " + std::to_string(code);
  return buffer;
}

// fsync only hands the data to the drive; F_FULLFSYNC also has the drive write its own
// cache out. File systems that do not offer it (some network and FAT volumes) refuse
// it, and get fsync instead.
void start_writeback(int, uint64_t, uint64_t) {}

Result<void> flush_to_storage(int fd) {
  if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
  if (errno != ENOTSUP && errno != EOPNOTSUPP && errno != EINVAL && errno != ENOTTY) {
    return unexpected(Error::from_errno(errno));
  }
  if (::fsync(fd) != 0) return unexpected(Error::from_errno(errno));
  return {};
}

}  // namespace norvane::platform
