#include "standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ntolvex {

namespace {

bool stdout_closed = false;

bool is_closed(int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

}  // namespace

void guard_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (!is_closed(fd)) continue;
    if (fd == 1) stdout_closed = true;
    // The lowest free number is this one, since the lower ones are open by now.
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      ::dup2(null_fd, fd);
      ::close(null_fd);
    }
  }
}

bool standard_output_was_closed() { return stdout_closed; }

}  // namespace ntolvex
