// Interrupted downloads end to end: the built program killed in the middle of a
// transfer, then run again, fetches only the rest; against a scripted server and
// against nginx, which serves ranges for real.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "background_run.h"
#include "bundle.h"
#include "http_test_server.h"
#include "packages.h"

namespace ntolvex::testing {
namespace {

using namespace std::chrono_literals;
using norvane::testing::FileAnswer;
using norvane::testing::read_file;
using norvane::testing::ScriptedFileServer;
using norvane::testing::write_file;

// The size of the partial file, 0 when there is none.
uint64_t partial_size(const FakeBundle& bundle) {
  std::error_code ec;
  const auto size = fs::file_size(bundle.packages_dir() / ".p.nupkg.resume", ec);
  return ec ? 0 : size;
}

// Starts the download in the background and kills it with SIGKILL once `at` bytes are
// in the partial file; returns the size the partial file was left with.
uint64_t kill_when_written(const FakeBundle& bundle, const std::string& url, uint64_t at) {
  BackgroundRun run(bundle.exe(), {"download", "--url", url, "--name", "p.nupkg"}, bundle.home());
  const bool reached = wait_until([&] { return partial_size(bundle) >= at; }, 60s);
  EXPECT_TRUE(reached) << "the transfer never reached byte " << at;
  run.kill(SIGKILL);
  EXPECT_EQ(run.wait(), 128 + SIGKILL);
  return partial_size(bundle);
}

TEST(ResumeTest, AKilledRunIsContinuedByTheNext) {
  const std::string body = make_body(4 << 20, 5);
  const std::string feed = feed_of({asset("p.nupkg", body)});
  FileAnswer slow;
  slow.pace = 20ms;  // about 3 MiB/s: slow enough to stop part of the way
  for (const double share : {0.1, 0.5, 0.9}) {
    SCOPED_TRACE(share);
    FakeBundle bundle;
    write_file(bundle.packages_dir() / "old.nupkg", "old");
    ScriptedFileServer server(body, {slow, FileAnswer{}}, feed);
    const uint64_t kept =
        kill_when_written(bundle, server.url("/pkgs"), static_cast<uint64_t>(share * body.size()));
    ASSERT_GT(kept, 0u);
    ASSERT_LT(kept, body.size());
    // Nothing under a package name but the old package, which is kept.
    EXPECT_EQ(names_in(bundle.packages_dir()),
              (std::vector<std::string>{".p.nupkg.resume", ".p.nupkg.resume.info", "old.nupkg"}));

    const RunResult r = bundle.run({"download", "--url", server.url("/pkgs"), "--name", "p.nupkg"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(bundle.packages_dir() / "p.nupkg") == body);
    EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"p.nupkg"});
    // Only the rest was asked for and sent.
    EXPECT_EQ(server.ranges().back(), "bytes=" + std::to_string(kept) + "-");
    const auto sent = server.body_bytes_per_request();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], body.size() - kept);
    // In all, about the file: what was in flight when the first run was killed is all
    // that was sent twice.
    EXPECT_LE(sent[0] + sent[1], body.size() + (256u << 10));
    // Progress starts at the share already on disk.
    const int first = std::stoi(r.out.substr(0, r.out.find('\n')));
    EXPECT_EQ(first, static_cast<int>(kept * 20 / body.size()) * 5) << r.out;
    EXPECT_TRUE(r.out.ends_with("100\n")) << r.out;
    EXPECT_TRUE(has_line(bundle.log_lines(), "[INFO] Resuming the download of '" +
                                                 server.url("/pkgs/p.nupkg") + "' at byte " +
                                                 std::to_string(kept) + " of " +
                                                 std::to_string(body.size())))
        << bundle.log();
  }
}

// SIGTERM, as when the user quits the application, keeps what was received too.
TEST(ResumeTest, ATerminatedRunKeepsWhatItReceived) {
  const std::string body = make_body(4 << 20, 6);
  FileAnswer slow;
  slow.pace = 20ms;
  ScriptedFileServer server(body, {slow, FileAnswer{}}, feed_of({asset("p.nupkg", body)}));
  FakeBundle bundle;
  {
    BackgroundRun run(bundle.exe(), {"download", "--url", server.url("/pkgs"), "--name", "p.nupkg"},
                      bundle.home());
    ASSERT_TRUE(wait_until([&] { return partial_size(bundle) >= body.size() / 3; }, 60s));
    run.kill(SIGTERM);
    EXPECT_EQ(run.wait(), 128 + SIGTERM);
  }
  const uint64_t kept = partial_size(bundle);
  ASSERT_GE(kept, body.size() / 3);
  const RunResult r = bundle.run({"download", "--url", server.url("/pkgs"), "--name", "p.nupkg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(bundle.packages_dir() / "p.nupkg") == body);
  EXPECT_EQ(server.ranges().back(), "bytes=" + std::to_string(kept) + "-");
}

// ---------------------------------------------------------------------------------
// Against nginx

uint16_t free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    throw std::runtime_error("no free port");
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool accepts_connections(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// nginx in the foreground, one process, serving `root` at a rate that a test can
// interrupt, logging each request's status, Range and body bytes.
class Nginx {
 public:
  explicit Nginx(const fs::path& prefix, const fs::path& root)
      : prefix_(prefix), port_(free_port()) {
    fs::create_directories(prefix);
    write_file(prefix / "nginx.conf",
               "daemon off;\nmaster_process off;\npid " + (prefix / "nginx.pid").string() +
                   ";\nerror_log " + (prefix / "error.log").string() +
                   " warn;\nevents { worker_connections 16; }\nhttp {\n"
                   "  log_format ranges '$status \"$http_range\" $body_bytes_sent';\n"
                   "  access_log " +
                   log().string() + " ranges;\n" + "  client_body_temp_path " +
                   (prefix / "body").string() + ";\n" + "  proxy_temp_path " +
                   (prefix / "proxy").string() + ";\n" + "  fastcgi_temp_path " +
                   (prefix / "fastcgi").string() + ";\n" + "  uwsgi_temp_path " +
                   (prefix / "uwsgi").string() + ";\n" + "  scgi_temp_path " +
                   (prefix / "scgi").string() + ";\n" +
                   "  server {\n    listen 127.0.0.1:" + std::to_string(port_) + ";\n    root " +
                   root.string() + ";\n    location /pkgs/ { limit_rate 2m; }\n  }\n}\n");
    run_ = std::make_unique<BackgroundRun>(
        fs::path("/usr/sbin/nginx"),
        std::vector<std::string>{"-p", prefix.string(), "-c", (prefix / "nginx.conf").string()},
        prefix);
    if (!wait_until([&] { return accepts_connections(port_); }, 10s))
      throw std::runtime_error("nginx did not start: " + read_file(prefix / "error.log"));
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  fs::path log() const { return prefix_ / "access.log"; }
  // The access log, one request a line.
  std::vector<std::string> requests() const {
    std::vector<std::string> lines;
    std::istringstream in(fs::exists(log()) ? read_file(log()) : "");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  fs::path prefix_;
  uint16_t port_;
  std::unique_ptr<BackgroundRun> run_;
};

TEST(ResumeTest, ContinuesFromNginx) {
  ASSERT_TRUE(fs::exists("/usr/sbin/nginx")) << "nginx is installed by scripts/install-deps.sh";
  FakeBundle bundle;
  const fs::path root = bundle.root() / "www";
  const std::string body = make_body(6 << 20, 9);
  write_file(root / "pkgs" / "p.nupkg", body);
  write_file(root / "pkgs" / "releases.osx.json", feed_of({asset("p.nupkg", body)}));
  Nginx nginx(bundle.root() / "nginx", root);
  const uint64_t kept = kill_when_written(bundle, nginx.url("/pkgs"), body.size() / 2);
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, body.size());
  const RunResult r = bundle.run({"download", "--url", nginx.url("/pkgs"), "--name", "p.nupkg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(bundle.packages_dir() / "p.nupkg") == body);
  EXPECT_EQ(names_in(bundle.packages_dir()), std::vector<std::string>{"p.nupkg"});
  // nginx logs a request when it ends: the last is the rest of the package.
  ASSERT_TRUE(wait_until(
      [&] {
        const auto lines = nginx.requests();
        return !lines.empty() && lines.back().starts_with("206 ");
      },
      10s))
      << read_file(nginx.log());
  EXPECT_EQ(nginx.requests().back(),
            "206 \"bytes=" + std::to_string(kept) + "-\" " + std::to_string(body.size() - kept));
}

}  // namespace
}  // namespace ntolvex::testing
