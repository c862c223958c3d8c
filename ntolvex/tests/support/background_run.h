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

extern char** environ;

namespace ntolvex::testing {

class BackgroundRun {
 public:
  BackgroundRun(const std::filesystem::path& exe, const std::vector<std::string>& args,
                const std::filesystem::path& home) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::string_view(*e).substr(0, 5) != "HOME=") env.emplace_back(*e);
    env.push_back("HOME=" + home.string());
    std::vector<std::string> argv_text = {exe.string()};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      const int devnull = ::open("/dev/null", O_RDWR);
      if (devnull >= 0) {
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
      }
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
  }
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
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
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
