// On Linux the close-on-exec flag comes with the descriptor.
#include "descriptors.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace norvane::testing {

bool make_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

int make_tcp_socket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int accept_connection(int listen_fd) {
  return ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

}  // namespace norvane::testing
