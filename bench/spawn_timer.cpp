// Times the start of small programs: runs each of several commands in turn, round after
// round, with posix_spawn and waitpid, and measures each run's wall time on the
// monotonic clock. Standard input and output are /dev/null; standard error is kept.
// Each round starts with the next command, so that none always follows the same one.
// A run that exits other than with status 0 ends the timer with status 1.
//
//   spawn_timer <runs> <command> [args...] [-- <command> [args...]]...
//
// Prints, one line per command in the order given: "median_ns min_ns".
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

extern char** environ;

namespace {

long long now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <runs> <command> [args...] [-- <command> ...]...\n", argv[0]);
    return 2;
  }
  const long runs = std::strtol(argv[1], nullptr, 10);
  if (runs <= 0) {
    std::fprintf(stderr, "runs must be a positive number\n");
    return 2;
  }
  // The commands: argv split at each "--", null-terminated in place.
  std::vector<char**> commands;
  commands.push_back(argv + 2);
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) {
      argv[i] = nullptr;
      if (i + 1 < argc) commands.push_back(argv + i + 1);
    }
  }

  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) {
    std::perror("/dev/null");
    return 1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, null_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, null_fd, 1);

  std::vector<std::vector<long long>> times(commands.size());
  for (auto& t : times) t.reserve(static_cast<size_t>(runs));
  for (long round = 0; round < runs; ++round) {
    for (size_t k = 0; k < commands.size(); ++k) {
      const size_t c = (static_cast<size_t>(round) + k) % commands.size();
      char** command = commands[c];
      const long long start = now_ns();
      pid_t pid;
      const int rc = posix_spawn(&pid, command[0], &actions, nullptr, command, environ);
      if (rc != 0) {
        std::fprintf(stderr, "cannot run %s: %s\n", command[0], std::strerror(rc));
        return 1;
      }
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
          std::perror("waitpid");
          return 1;
        }
      }
      const long long end = now_ns();
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (wait status %d)\n", command[0], status);
        return 1;
      }
      times[c].push_back(end - start);
    }
  }
  for (auto& t : times) {
    std::sort(t.begin(), t.end());
    std::printf("%lld %lld\n", t[t.size() / 2], t.front());
  }
  return 0;
}
