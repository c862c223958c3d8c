#include "bundle.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "descriptors.h"

extern char** environ;

namespace ntolvex::testing {

std::string manifest_xml(const std::string& id, const std::string& version,
                         const std::string& channel) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package>\n  <metadata>\n";
  xml += "    <id>" + id + "</id>\n    <version>" + version + "</version>\n";
  if (!channel.empty()) xml += "    <channel>" + channel + "</channel>\n";
  xml += "  </metadata>\n</package>\n";
  return xml;
}

FakeBundle::FakeBundle(const std::string& manifest, const std::string& name)
    : bundle_(dir_.path() / (name + ".app")) {
  fs::create_directories(macos_dir());
  fs::create_directories(home());
  fs::copy_file(NTOLVEX_BINARY, exe());
  norvane::testing::write_file(macos_dir() / "Hoistel", "#!/bin/sh\n");
  write_manifest(manifest);
}

void FakeBundle::write_manifest(const std::string& text) const {
  norvane::testing::write_file(macos_dir() / "nv.version", text);
}

std::string FakeBundle::log() const {
  std::error_code ec;
  if (!fs::exists(log_file(), ec)) return {};
  return norvane::testing::read_file(log_file());
}

std::vector<std::string> FakeBundle::log_lines() const {
  std::vector<std::string> lines;
  std::istringstream in(log());
  for (std::string line; std::getline(in, line);) {
    // "HH:MM:SS [LEVEL] message": keep "[LEVEL] message".
    lines.push_back(line.size() > 9 ? line.substr(9) : line);
  }
  return lines;
}

RunResult FakeBundle::run(const std::vector<std::string>& args, const RunOptions& options) const {
  return run_program(exe(), args, options, home());
}

pid_t spawn(const fs::path& exe, const std::vector<std::string>& args, const RunOptions& options,
            const fs::path& home, int out_fd, int err_fd) {
  std::map<std::string, std::optional<std::string>> env_changes = options.env;
  if (env_changes.find("HOME") == env_changes.end()) env_changes["HOME"] = home.string();

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    if (env_changes.count(key) == 0) env.push_back(entry);
  }
  for (const auto& [key, value] : env_changes)
    if (value) env.push_back(key + "=" + *value);

  std::vector<std::string> argv_text = {exe.string()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(out_fd >= 0 ? out_fd : devnull, 1);
    ::dup2(err_fd >= 0 ? err_fd : devnull, 2);
    if (devnull >= 0) ::dup2(devnull, 0);
    if (!options.working_dir.empty() && ::chdir(options.working_dir.c_str()) != 0) ::_exit(126);
    ::signal(SIGPIPE, SIG_DFL);
    if (options.in_child && !options.in_child()) ::_exit(125);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

RunResult run_program(const fs::path& exe, const std::vector<std::string>& args,
                      const RunOptions& options, const fs::path& home) {
  int out_pipe[2], err_pipe[2];
  if (!norvane::testing::make_pipe(out_pipe) || !norvane::testing::make_pipe(err_pipe))
    throw std::runtime_error("pipe failed");
  if (options.close_stdout) {
    ::close(out_pipe[0]);
    out_pipe[0] = -1;
  }
  const pid_t pid = spawn(exe, args, options, home, out_pipe[1], err_pipe[1]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  int fds[2] = {out_pipe[0], err_pipe[0]};
  std::string* sinks[2] = {&result.out, &result.err};
  bool timed_out = false;
  while (fds[0] >= 0 || fds[1] >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd pfds[2];
    for (int i = 0; i < 2; ++i) pfds[i] = {fds[i], POLLIN, 0};
    const int rc = ::poll(pfds, 2, static_cast<int>(left.count()));
    if (rc < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || !(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t n = ::read(fds[i], buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
  if (timed_out) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  if (timed_out) throw std::runtime_error("the program did not finish in time");
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace ntolvex::testing
