#include "http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>

#include "descriptors.h"

namespace norvane::testing {

namespace {

using Clock = std::chrono::steady_clock;

// A TCP socket bound to 127.0.0.1 on a port the system picks; returns the port.
int bind_loopback(uint16_t* port) {
  const int fd = make_tcp_socket();
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind to 127.0.0.1 failed");
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// Reads up to the end of the request head, waiting at most five seconds in all.
std::string read_request_head(int fd) {
  std::string head;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return {};
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return {};
    head.append(buffer, static_cast<size_t>(n));
  }
  return head.substr(0, head.find("\r\n\r\n") + 4);
}

}  // namespace

bool RawConnection::send(std::string_view bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!bytes.empty()) {
    if (fd_ < 0 || server_.stopping_ || Clock::now() > deadline) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, 100) < 0 && errno != EINTR) return false;
    if ((p.revents & (POLLERR | POLLHUP)) != 0) return false;
    if ((p.revents & POLLOUT) == 0) continue;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void RawConnection::pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(server_.mutex_);
  server_.stopped_.wait_for(lock, duration, [this] { return server_.stopping_.load(); });
}

void RawConnection::reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd_);
  fd_ = -1;
}

RawHttpServer::RawHttpServer(Script script) : script_(std::move(script)) {
  listen_fd_ = bind_loopback(&port_);
  if (::listen(listen_fd_, 16) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("listen failed");
  }
  thread_ = std::thread([this] { run(); });
}

RawHttpServer::~RawHttpServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  thread_.join();
  ::close(listen_fd_);
}

std::string RawHttpServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<std::string> RawHttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void RawHttpServer::run() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = accept_connection(listen_fd_);
    if (fd < 0) continue;
    serve(fd);
  }
}

void RawHttpServer::serve(int fd) {
  std::string head = read_request_head(fd);
  if (head.empty()) {
    ::close(fd);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(head);
  }
  RawConnection connection(*this, fd, std::move(head));
  script_(connection);
  if (connection.fd_ >= 0) {
    // An orderly close: no more bytes, then wait briefly for the peer to finish, so
    // that unread request bytes do not turn the close into a reset.
    ::shutdown(connection.fd_, SHUT_WR);
    char sink[4096];
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (!stopping_ && Clock::now() < deadline) {
      pollfd p{connection.fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      if (::recv(connection.fd_, sink, sizeof sink, 0) <= 0) break;
    }
    ::close(connection.fd_);
  }
}

HttplibServer::HttplibServer(const Setup& setup) : server_(std::make_unique<httplib::Server>()) {
  start(setup);
}

HttplibServer::HttplibServer(const Setup& setup, const std::string& cert_file,
                             const std::string& key_file)
    : server_(std::make_unique<httplib::SSLServer>(cert_file.c_str(), key_file.c_str())),
      tls_(true) {
  if (!server_->is_valid()) throw std::runtime_error("TLS server cannot use " + cert_file);
  start(setup);
}

HttplibServer::HttplibServer(const Setup& setup, const std::function<bool(SSL_CTX&)>& setup_ssl)
    : server_(std::make_unique<httplib::SSLServer>(setup_ssl)), tls_(true) {
  if (!server_->is_valid()) throw std::runtime_error("TLS server context not valid");
  start(setup);
}

void HttplibServer::start(const Setup& setup) {
  setup(*server_);
  server_->set_keep_alive_timeout(1);
  const int port = server_->bind_to_any_port("127.0.0.1");
  if (port <= 0) throw std::runtime_error("bind to 127.0.0.1 failed");
  port_ = static_cast<uint16_t>(port);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only reaches a server that is already running.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!server_->is_running() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttplibServer::~HttplibServer() {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!server_->is_running() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server_->stop();
  thread_.join();
}

std::string HttplibServer::url(std::string_view path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         std::string(path);
}

std::string head(std::string_view status_line, std::string_view fields) {
  return std::string(status_line) + "\r\n" + std::string(fields) + "Connection: close\r\n\r\n";
}

std::string request_target(const std::string& request) {
  const size_t start = request.find(' ') + 1;
  return request.substr(start, request.find(' ', start) - start);
}

DeadPort::DeadPort() { fd_ = bind_loopback(&port_); }
DeadPort::~DeadPort() { ::close(fd_); }

std::string header_value(const std::string& request, std::string_view name) {
  size_t start = request.find("\r\n");
  while (start != std::string::npos) {
    start += 2;
    const size_t end = request.find("\r\n", start);
    const std::string line =
        request.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t colon = line.find(':');
    if (colon == name.size() &&
        std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      const size_t value = line.find_first_not_of(' ', colon + 1);
      return value == std::string::npos ? std::string() : line.substr(value);
    }
    start = end;
  }
  return {};
}

ScriptedFileServer::ScriptedFileServer(std::string body, std::vector<FileAnswer> plan,
                                       std::string feed)
    : body_(std::move(body)),
      plan_(std::move(plan)),
      feed_(std::move(feed)),
      server_([this](RawConnection& conn) { answer(conn); }) {}

std::vector<uint64_t> ScriptedFileServer::body_bytes_per_request() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return sent_per_request_;
}

std::vector<std::string> ScriptedFileServer::ranges() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return ranges_;
}

void ScriptedFileServer::answer(RawConnection& conn) {
  if (!feed_.empty() && request_target(conn.request()).find("/releases.") != std::string::npos) {
    conn.send(head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(feed_.size()) + "\r\n") +
              feed_);
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ranges_.push_back(header_value(conn.request(), "Range"));
    sent_per_request_.push_back(0);
  }
  const size_t index = ranges().size() - 1;
  const size_t turn = next_++;
  const FileAnswer& a = plan_.empty() ? FileAnswer{} : plan_[std::min(turn, plan_.size() - 1)];
  if (a.kind == FileAnswer::Kind::kStatus) {
    std::string fields = "Content-Length: 0\r\n";
    if (!a.retry_after.empty()) fields += "Retry-After: " + a.retry_after + "\r\n";
    conn.send(head("HTTP/1.1 " + std::to_string(a.status) + " Scripted", fields));
    return;
  }
  std::string fields;
  if (!a.etag.empty()) fields += "ETag: " + a.etag + "\r\n";
  if (!a.content_encoding.empty()) fields += "Content-Encoding: " + a.content_encoding + "\r\n";
  const uint64_t size = body_.size();
  uint64_t from = 0;
  std::string status = "HTTP/1.1 200 OK";
  const std::string range = header_value(conn.request(), "Range");
  const std::string if_range = header_value(conn.request(), "If-Range");
  if (a.ranges && range.starts_with("bytes=") && range.ends_with("-") &&
      (if_range.empty() || if_range == a.etag)) {
    const uint64_t asked = std::stoull(range.substr(6, range.size() - 7));
    if (asked >= size) {
      conn.send(head("HTTP/1.1 416 Range Not Satisfiable",
                     "Content-Range: bytes */" + std::to_string(size) + "\r\n"));
      return;
    }
    from = asked;
    const uint64_t shown = a.range_start.value_or(from);
    status = "HTTP/1.1 206 Partial Content";
    fields += "Content-Range: bytes " + std::to_string(shown) + "-" + std::to_string(size - 1) +
              "/" + std::to_string(size) + "\r\n";
  }
  fields += "Content-Length: " + std::to_string(size - from) + "\r\n";
  if (!conn.send(head(status, fields))) return;
  if (a.kind == FileAnswer::Kind::kStall) {
    conn.hold();
    return;
  }
  uint64_t length = size - from;
  if (a.cut_after) length = std::min(length, *a.cut_after);
  // In pieces, so that a cut comes after bytes that have really gone out.
  constexpr uint64_t kPiece = 64 * 1024;
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = std::min(kPiece, length - done);
    if (!conn.send(std::string_view(body_).substr(from + done, n))) return;
    sent_ += n;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      sent_per_request_[index] += n;
    }
    done += n;
    if (a.pace.count() > 0) conn.pause(a.pace);
  }
  if (a.cut_after && a.hold) conn.hold();
  if (a.cut_after && a.reset) conn.reset();
}

}  // namespace norvane::testing
