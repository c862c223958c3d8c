// A run of the program that goes on while the test does other things: started with
// HOME set and its output discarded, then killed or waited for by the test. Killed and
// reaped when it goes out of scope, so no child outlives its test.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bundle.h"

namespace ntolvex::testing {

class BackgroundRun {
 public:
  BackgroundRun(const std::filesystem::path& exe, const std::vector<std::string>& args,
                const std::filesystem::path& home)
      : pid_(spawn(exe, args, RunOptions{}, home)) {}
  ~BackgroundRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }
  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;

  pid_t pid() const { return pid_; }
  void kill(int signal) const {
    if (pid_ > 0) ::kill(pid_, signal);
  }
  // Waits for the end: the exit status, or 128 + the signal's number.
  int wait() {
    if (pid_ <= 0) return status_;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Polls `condition` every 10 ms until it holds or `limit` has passed; true when it held.
template <class Condition>
bool wait_until(Condition&& condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace ntolvex::testing
