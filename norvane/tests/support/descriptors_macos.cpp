// macOS has neither pipe2, SOCK_CLOEXEC nor accept4: the flag is set just after the
// descriptor is made. A program that another thread starts in between inherits it; a
// reader of such a pipe then waits for that program's end as well, which only delays.
#include "descriptors.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace norvane::testing {

namespace {

// Marks `fd` close-on-exec; on failure closes it and returns -1, keeping errno.
int close_on_exec(int fd) {
  if (fd < 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0) return fd;
  const int code = errno;
  ::close(fd);
  errno = code;
  return -1;
}

}  // namespace

bool make_pipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  fds[0] = close_on_exec(fds[0]);
  fds[1] = close_on_exec(fds[1]);
  if (fds[0] >= 0 && fds[1] >= 0) return true;
  const int code = errno;
  if (fds[0] >= 0) ::close(fds[0]);
  if (fds[1] >= 0) ::close(fds[1]);
  errno = code;
  return false;
}

int make_tcp_socket() { return close_on_exec(::socket(AF_INET, SOCK_STREAM, 0)); }

int accept_connection(int listen_fd) {
  return close_on_exec(::accept(listen_fd, nullptr, nullptr));
}

}  // namespace norvane::testing
