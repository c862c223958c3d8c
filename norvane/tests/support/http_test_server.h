// HTTP servers for the tests, on 127.0.0.1 with a port the system picks, each running
// on its own thread and stopped when it goes out of scope. RawHttpServer answers every
// connection with a script of its own, for responses that must misbehave (a wrong
// length, a dropped connection, a stall, exact headers); HttplibServer wraps
// cpp-httplib for ordinary responses, over TLS too.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>

namespace norvane::testing {

// The longest a script may hold a connection open without sending.
inline constexpr std::chrono::seconds kMaxHold{20};

class RawHttpServer;

// One accepted connection, as a script sees it. The request head has been read.
class RawConnection {
 public:
  // The request head, up to and including the blank line.
  const std::string& request() const { return request_; }
  // Sends all the bytes; false when the peer has gone or the server stops.
  bool send(std::string_view bytes);
  // Waits, returning early when the server stops.
  void pause(std::chrono::milliseconds duration);
  // Keeps the connection open without sending until the server stops (at most kMaxHold).
  void hold() { pause(kMaxHold); }
  // Ends the connection with a reset instead of an orderly close.
  void reset();

 private:
  friend class RawHttpServer;
  RawConnection(RawHttpServer& server, int fd, std::string request)
      : server_(server), fd_(fd), request_(std::move(request)) {}
  RawHttpServer& server_;
  int fd_;
  std::string request_;
};

// Accepts connections one at a time and runs the script on each; the connection is
// closed when the script returns. Every wait is bounded.
class RawHttpServer {
 public:
  using Script = std::function<void(RawConnection&)>;
  explicit RawHttpServer(Script script);
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:{port}" + path.
  std::string url(std::string_view path = "/") const;
  // The request heads received so far, in order.
  std::vector<std::string> requests() const;

 private:
  friend class RawConnection;
  void run();
  void serve(int fd);

  Script script_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A cpp-httplib server (plain, or TLS with the given certificate and key files) on
// 127.0.0.1; `setup` registers its handlers before it starts.
class HttplibServer {
 public:
  using Setup = std::function<void(httplib::Server&)>;
  explicit HttplibServer(const Setup& setup);
  HttplibServer(const Setup& setup, const std::string& cert_file, const std::string& key_file);
  // TLS with a context of the caller's making.
  HttplibServer(const Setup& setup, const std::function<bool(SSL_CTX&)>& setup_ssl);
  ~HttplibServer();
  HttplibServer(const HttplibServer&) = delete;
  HttplibServer& operator=(const HttplibServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:{port}" + path, or https for a TLS server.
  std::string url(std::string_view path = "/") const;

 private:
  void start(const Setup& setup);

  std::unique_ptr<httplib::Server> server_;
  bool tls_ = false;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A response head for a script: the status line, the header fields (each ending in
// CRLF), "Connection: close" and the blank line.
std::string head(std::string_view status_line, std::string_view fields);

// The request target of a request head: "GET {target} HTTP/1.1".
std::string request_target(const std::string& request);

// A port on 127.0.0.1 where nothing listens: bound, so nobody else takes it, but not
// listening, so a connection to it is refused.
class DeadPort {
 public:
  DeadPort();
  ~DeadPort();
  DeadPort(const DeadPort&) = delete;
  DeadPort& operator=(const DeadPort&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// How a ScriptedFileServer answers one request for its file.
struct FileAnswer {
  enum class Kind {
    kServe,   // the file: 200, or 206 for a range it honours
    kStatus,  // `status` with an empty body, and Retry-After when given
    kStall,   // the head, then nothing (held until the server stops, at most kMaxHold)
  };
  Kind kind = Kind::kServe;
  std::string etag = "\"v1\"";  // the ETag sent and matched against If-Range; "" none
  bool ranges = true;           // honours "Range: bytes={n}-"; otherwise sends it whole
  // Closes the connection (with a reset when `reset`) after this many bytes of body.
  std::optional<uint64_t> cut_after;
  bool reset = false;
  bool hold = false;  // after the cut, keep the connection open: the rest never comes
  // A 206 whose Content-Range starts here instead of where it was asked to.
  std::optional<uint64_t> range_start;
  std::string content_encoding;  // sent as Content-Encoding when not empty (body unchanged)
  // A pause after every 64 KiB of body, for a transfer slow enough to interrupt.
  std::chrono::milliseconds pace{0};
  long status = 503;
  std::string retry_after;
};

// One file at every path on 127.0.0.1, with answers scripted request by request: the
// n-th request gets plan[n], the last entry repeating. A range asked for with If-Range
// is honoured only while the ETag matches; one at or past the end gets 416. Counts the
// body bytes it sent. With a feed, paths holding "/releases." get the feed instead,
// outside the plan and the counts.
class ScriptedFileServer {
 public:
  ScriptedFileServer(std::string body, std::vector<FileAnswer> plan, std::string feed = "");

  std::string url(std::string_view path = "/") const { return server_.url(path); }
  std::vector<std::string> requests() const { return server_.requests(); }
  // For each request for the file, its Range header's value ("bytes=N-"), or "" when it
  // had none.
  std::vector<std::string> ranges() const;
  uint64_t body_bytes_sent() const { return sent_.load(); }
  // The body bytes sent for each request for the file, in order.
  std::vector<uint64_t> body_bytes_per_request() const;

 private:
  void answer(RawConnection& conn);

  std::string body_;
  std::vector<FileAnswer> plan_;
  std::string feed_;
  mutable std::mutex mutex_;
  std::vector<std::string> ranges_;
  std::vector<uint64_t> sent_per_request_;
  std::atomic<size_t> next_{0};
  std::atomic<uint64_t> sent_{0};
  RawHttpServer server_;
};

// A request head's value of the header `name` (ASCII case ignored), or "".
std::string header_value(const std::string& request, std::string_view name);

}  // namespace norvane::testing
