// The library's HTTP side: an agent with the program's fixed client settings, through
// which every request goes; a streamed GET whose caller handles the head and each chunk
// of the body; a whole-body read into memory with a cap; and download_url_to_file,
// which streams one URL into one local file with progress in 5 % steps.
//
// The `download` command does not go through download_url_to_file: it calls the
// source's download_asset (HttpSource streams with DownloadAgent::stream into a
// temporary file, verifies it and renames it), inside the manager's package placement
// (place_package: lock, skip, clean-up). download_url_to_file is the plain transfer of
// one URL to one path, without a temporary file or verification: it measures and tests
// the transfer alone (the agent's tests and the download benchmark use it).
//
// Settings of every agent: TLS with the system's trusted roots, TLS 1.0 at least, the
// certificate chain and the host name verified; a connect timeout (30 s), a deadline for
// the response head (60 s), a minimum transfer rate (1 KiB a minute) and, for a body
// read into memory, an overall deadline (5 minutes); redirects followed, at most 5, and
// only ever to http or https; no proxy, whatever the environment says; TCP no-delay; no
// request headers of our own beyond the client's User-Agent, Accept, Accept-Encoding
// (gzip) and, for a range request, Range and If-Range. A gzip or x-gzip body is decoded
// on the fly, and then its Content-Length is not used for progress; a body in any other
// coding is handed on as it comes. The agent does not try a request again: whoever asks
// decides that, from last_failure().
//
// Everything runs on the calling thread with blocking I/O. Nothing is kept between
// calls: each agent lives as long as the request or transfer that asked for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <norvane/progress.h>
#include <norvane/result.h>
#include <norvane/util.h>

namespace norvane {

// The largest body DownloadAgent::read_to_string accepts, in bytes (10 MiB).
inline constexpr uint64_t kMaxStringBodySize = 10'485'760;
// The most one read of a body delivers, in bytes (2 MiB): the client's receive buffer.
inline constexpr size_t kTransferBufferSize = 2'097'152;

// The agent's settings that callers may change; the defaults are the program's.
struct DownloadOptions {
  // For each connection attempt, TLS handshake included.
  std::chrono::seconds connect_timeout{30};
  // A request that receives fewer than `stall_bytes` bytes (head and body alike) in a
  // period of `stall_timeout`, counted from the connection and then period by period,
  // has stalled and fails with "the transfer stalled: fewer than {b} bytes received in
  // {n} seconds". A trickle is a stall; a slow but live link (1 KiB in a minute is 17
  // bytes a second) is not.
  std::chrono::seconds stall_timeout{60};
  uint64_t stall_bytes = 1024;
  // From the first connection, the final response's head must be complete within this
  // long, redirects included: "no complete response head within {n} seconds".
  std::chrono::seconds head_timeout{60};
  // read_to_string (the feed, 10 MiB at most) must complete within this long: "the
  // request did not complete within {n} seconds". A package transfer has no such limit.
  std::chrono::seconds string_body_timeout{300};
  // Offer gzip (Accept-Encoding). Packages are archives and gain nothing from it, so
  // their requests do not offer it. A gzip-coded body is decoded either way: some hosts
  // store files with that coding and send it whatever the request says.
  bool accept_gzip = true;
  // The waits of the retried file creation in download_url_to_file; tests record them.
  Sleeper sleeper = sleep_for;
};

// The range of a partial answer (206): "Content-Range: bytes {first}-{last}/{total}",
// the total "*" when unknown.
struct ContentRange {
  uint64_t first = 0;
  uint64_t last = 0;
  std::optional<uint64_t> total;
};

// The final response of a request, as the transfer saw its head.
struct ResponseHead {
  long status = 0;         // below 400: a status of 400 or more fails the request
  std::string url;         // the URL that answered, after any redirects
  uint64_t redirects = 0;  // how many redirects were followed to get here
  // The body's length in the bytes the caller receives: the Content-Length (unsigned
  // decimal, an optional leading "+"), or empty when it is absent or unparsable, or when
  // the body is gzip-coded (and so decoded on the way).
  std::optional<uint64_t> content_length;
  // Whether the body came with a content coding (gzip, decoded on the way, or another).
  bool coded = false;
  // The validators, as sent (trimmed), or empty.
  std::string etag;
  std::string last_modified;
  // The Content-Range of a 206 when it has the form above, or none.
  std::optional<ContentRange> content_range;
};

// A request for the rest of a body from byte `from` on ("Range: bytes={from}-"), only
// if it still has the validator `if_range` (a strong ETag or a Last-Modified date),
// sent as "If-Range" unless empty.
struct RangeRequest {
  uint64_t from = 0;
  std::string if_range;
};

// What ended a request that failed, for a caller that decides whether to try again.
enum class FailureKind {
  kNone,       // the request succeeded
  kTransient,  // no connection, a reset or dropped connection, a body cut short
  kStall,      // the minimum rate or the head's deadline was not met
  kStatus,     // a final status of 400 or more
  kHandler,    // a callback of the handler failed (its error is returned unchanged)
  kOther,      // anything else: TLS, name resolution, a malformed answer, too many redirects
};

struct RequestFailure {
  FailureKind kind = FailureKind::kNone;
  long status = 0;  // for kStatus
  // For kStatus: the Retry-After of that response, as seconds from now, when it had one
  // (a number of seconds or an HTTP date).
  std::optional<std::chrono::seconds> retry_after;
};

// What the caller of DownloadAgent::stream does with a response. Each member may be
// empty. The callbacks run on the calling thread inside the transfer and must not throw.
struct StreamHandler {
  // Called once with the final head, before the first chunk; for an empty body, once
  // the transfer has completed. Not called when the request fails before (transport
  // failure, status of 400 or more), so whatever it creates is never touched by a failed
  // request. An error ends the transfer at once and is returned unchanged.
  std::function<Result<void>(const ResponseHead&)> on_head;
  // Called with each read of the body (decoded), in order: what one read of the socket
  // brought, at most kTransferBufferSize bytes; the bytes are valid only during the
  // call. An error ends the transfer at once (no further byte is read) and is returned
  // unchanged.
  std::function<Result<void>(std::string_view bytes)> on_chunk;
  // Called after a chunk was handled, by the ProgressSteps rule over the head's
  // content_length.
  ProgressCallback progress;
  // The most bytes a chunk holds (1 to kTransferBufferSize). A handler that hands the
  // bytes on to work that runs beside the transfer takes smaller chunks, so that the
  // work starts sooner and never waits for a whole buffer.
  size_t chunk_size = kTransferBufferSize;
};

// An HTTP client with the fixed settings above. Move-only; owns its client handle and
// closes its connection when destroyed. Requests may be made one after the other.
class DownloadAgent {
 public:
  DownloadAgent(DownloadAgent&&) noexcept;
  DownloadAgent& operator=(DownloadAgent&&) noexcept;
  ~DownloadAgent();

  // GETs `url` (an absolute http or https URL) and hands the final response to
  // `handler`. Succeeds when the whole body was received and handled. Fails with
  //  - "{url}: status code {n}" for a final status of 400 or more, the URL being the
  //    one that gave the status, followed by " (redirected from {first url})" when
  //    redirects were followed; the body is not read;
  //  - the client's description of a transport failure: name resolution, connection,
  //    TLS, too many redirects, a redirect to another scheme, a malformed response,
  //    and a body that ends before its Content-Length or whose connection drops;
  //  - "the gzip-coded body ends before its compressed data" for a coded body cut
  //    short, and "invalid gzip-coded body: {zlib's message}" for one that is not gzip;
  //  - "the transfer stalled: fewer than {b} bytes received in {n} seconds", "no
  //    complete response head within {n} seconds" (the options' rules);
  //  - "invalid Content-Length header: {value in debug form}" for a length that is not
  //    a plain decimal number (an optional leading "+" allowed);
  //  - the error of a handler callback, unchanged.
  Result<void> stream(std::string_view url, const StreamHandler& handler);
  // The same with a range request; a 206 answer is then handed to the handler too.
  Result<void> stream(std::string_view url, const StreamHandler& handler,
                      const RangeRequest& range);

  // GETs `url` and returns the whole (decoded) body as bytes, which need not be UTF-8.
  // Fails as stream() does, with "response too big for into_string" for a body of
  // more than `max_size` bytes, and with "the request did not complete within {n}
  // seconds" past the options' string_body_timeout.
  Result<std::string> read_to_string(std::string_view url, uint64_t max_size = kMaxStringBodySize);
  // The same limits, with the body handed to `handler` as it arrives instead of kept.
  Result<void> read_bounded(std::string_view url, const StreamHandler& handler,
                            uint64_t max_size = kMaxStringBodySize);

  // Why the last request failed; kind kNone after a success.
  const RequestFailure& last_failure() const;

 private:
  struct Impl;
  explicit DownloadAgent(std::unique_ptr<Impl> impl);
  Result<void> perform(std::string_view url, const StreamHandler& handler,
                       std::optional<std::chrono::seconds> total_timeout,
                       const RangeRequest* range);
  friend Result<DownloadAgent> get_download_agent(const DownloadOptions& options);

  std::unique_ptr<Impl> impl_;
};

// Builds a fresh agent, loading the HTTP client library on the first call. Fails with
// "cannot load the HTTP client library {name}: {reason}" when it cannot be loaded, and
// with the client's or the TLS layer's message when the client cannot be set up.
Result<DownloadAgent> get_download_agent(const DownloadOptions& options = {});

// Streams `url` into the file at `file_path`, reporting progress in 5 % steps when the
// response announces its length. The request comes first: the file is created (mode
// 0666 less the umask) or truncated only once the final head is in, so a failed request
// leaves it untouched. Creation is retried (retry_operation: four attempts, three
// warnings); when all fail, the fourth attempt's OS error is returned. Each read is
// written out at once. A failed write, or a failure of the transfer once the file
// exists, leaves the partial file in place and returns the error (OS error or the
// failures of DownloadAgent::stream). The file is written in place under its final name.
Result<void> download_url_to_file(std::string_view url, std::string_view file_path,
                                  const ProgressCallback& progress,
                                  const DownloadOptions& options = {});

}  // namespace norvane
