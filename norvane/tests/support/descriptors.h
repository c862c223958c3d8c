// Descriptors that the tests make close-on-exec, so that the programs they start
// inherit none of them (an inherited pipe end or socket would keep a reader waiting
// for an end of file). One source file per platform (descriptors_linux.cpp,
// descriptors_macos.cpp); CMake picks the one that applies.
#pragma once

namespace norvane::testing {

// A pipe whose two ends are close-on-exec. Returns false, with errno set, on failure.
bool make_pipe(int fds[2]);

// A close-on-exec IPv4 TCP socket, or -1 with errno set.
int make_tcp_socket();

// The next connection on `listen_fd` as a close-on-exec descriptor, or -1 with errno set.
int accept_connection(int listen_fd);

}  // namespace norvane::testing
