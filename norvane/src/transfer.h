// The state of one request as libcurl's callbacks see it: the head of each response,
// the body gathered into chunks (or decoded), progress, the time rules and what kind of
// failure ended it; the callbacks themselves; and the parsers of the header values.
//
// Internal to the download agent.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <norvane/download.h>
#include <norvane/util.h>

#include "curl_library.h"
#include "gzip_decoder.h"

namespace norvane {

// The text without the spaces, tabs, carriage returns and line feeds around it.
std::string_view trim(std::string_view text);

// An unsigned 64-bit decimal with an optional leading "+", and nothing else.
std::optional<uint64_t> parse_content_length(std::string_view text);

// "bytes {first}-{last}/{total or *}", with nothing else, or none.
std::optional<ContentRange> parse_content_range(std::string_view text);

// A Retry-After value as seconds from now: a number of seconds, or an HTTP date (a date
// in the past is no wait). None when it is neither.
std::optional<std::chrono::seconds> parse_retry_after(const std::string& text);

// The state of one request, handed to libcurl's callbacks.
struct Transfer {
  using Clock = std::chrono::steady_clock;

  CURL* curl = nullptr;
  const StreamHandler* handler = nullptr;
  std::string first_url;
  std::chrono::seconds stall_timeout{0};
  uint64_t stall_bytes = 0;
  std::chrono::seconds head_timeout{0};
  std::optional<std::chrono::seconds> total_timeout;

  // Of the response whose head is being read; reset by each status line.
  std::optional<uint64_t> content_length;
  std::vector<std::string> codings;  // Content-Encoding, "identity" left out
  std::string etag;
  std::string last_modified;
  std::string content_range;
  std::string retry_after;

  bool head_delivered = false;
  ProgressSteps steps{std::nullopt};
  // libcurl reads the socket into its own receive buffer (kReceiveBufferSize), again
  // and again while data is waiting, and hands it to the write callback in pieces of at
  // most 16 KiB. The pieces are gathered here and handed on as one chunk when that pass
  // is over (libcurl then reports progress) or the buffer is full, so that a chunk is
  // what had arrived, up to chunk_size(). Allocated once, with the final head.
  // (A receive buffer as large as this one would double the memory a transfer holds,
  // for no gain in speed.)
  std::unique_ptr<char[]> buffer;
  size_t buffered = 0;
  // What a callback threw: the transfer was stopped, and the agent throws it again once
  // libcurl has returned.
  std::exception_ptr exception;

  // Runs a callback's work; when it throws, keeps the exception and returns `stop`,
  // which tells libcurl to end the transfer.
  template <typename Work, typename Value>
  Value guarded(Work&& work, Value stop) noexcept {
    try {
      return work();
    } catch (...) {
      exception = std::current_exception();
      return stop;
    }
  }

  size_t chunk_size() const {
    return std::clamp<size_t>(handler->chunk_size, 1, kTransferBufferSize);
  }
  // Present when the final response is gzip-coded: its bytes are decoded into `buffer`.
  std::unique_ptr<GzipDecoder> gzip;
  // A failure of our own (status, handler, cap, a time rule) that ended the transfer,
  // and what kind it was.
  std::optional<Error> error;
  RequestFailure failure;
  // The time rules. Bytes received, head and body as they came, count for the rate,
  // period by period from the first connection; the head must be complete within its
  // deadline from that connection, and the whole request within its own, if any.
  Clock::time_point started = Clock::now();
  std::optional<Clock::time_point> connected;
  Clock::time_point period_start = Clock::now();
  uint64_t received = 0;
  uint64_t period_received = 0;
  bool head_complete = false;

  long response_code() const {
    long code = 0;
    curl_api().easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    return code;
  }
  std::string effective_url() const {
    char* url = nullptr;
    curl_api().easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
    return url != nullptr ? std::string(url) : first_url;
  }
  long redirect_count() const {
    long count = 0;
    curl_api().easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &count);
    return count;
  }

  Error status_error(long status) const {
    std::string message = effective_url() + ": status code " + std::to_string(status);
    if (redirect_count() > 0) message += " (redirected from " + first_url + ")";
    return Error(std::move(message));
  }

  // The body of the final response is starting (or, for an empty body, the transfer
  // has ended): the head in hand is the final one.
  Result<void> deliver_head() {
    head_delivered = true;
    ResponseHead head;
    head.status = response_code();
    if (head.status >= 400) {
      failure = status_failure(head.status);
      return unexpected(status_error(head.status));
    }
    head.url = effective_url();
    head.redirects = static_cast<uint64_t>(redirect_count());
    head.coded = !codings.empty();
    head.etag = etag;
    head.last_modified = last_modified;
    if (head.status == 206) head.content_range = parse_content_range(content_range);
    // A gzip or x-gzip body is decoded, and then has another length than the one
    // announced. Any other coding is not ours to undo: its bytes are the body.
    if (codings.size() == 1 &&
        (ascii_iequal(codings[0], "gzip") || ascii_iequal(codings[0], "x-gzip")))
      gzip = std::make_unique<GzipDecoder>();
    else
      head.content_length = content_length;
    steps = ProgressSteps(head.content_length);
    // Not zero-filled: only the part that reads fill is ever touched.
    buffer = std::make_unique_for_overwrite<char[]>(chunk_size());
    if (handler->on_head) {
      Result<void> handled = handler->on_head(head);
      if (!handled) failure.kind = FailureKind::kHandler;
      return handled;
    }
    return {};
  }

  RequestFailure status_failure(long status) const {
    return RequestFailure{FailureKind::kStatus, status, parse_retry_after(retry_after)};
  }

  void fail_with(Error e, FailureKind kind) {
    error = std::move(e);
    if (failure.kind == FailureKind::kNone) failure.kind = kind;
  }

  // Hands the gathered bytes to the handler, then reports progress.
  Result<void> flush() {
    if (buffered == 0) return {};
    const std::string_view chunk(buffer.get(), std::exchange(buffered, 0));
    if (handler->on_chunk) {
      Result<void> handled = handler->on_chunk(chunk);
      if (!handled) {
        failure.kind = FailureKind::kHandler;
        return handled;
      }
    }
    if (auto step = steps.advance(chunk.size()); step && handler->progress)
      handler->progress(*step);
    return {};
  }
};

// The callbacks below stop the transfer rather than let an exception cross libcurl's
// frames (Transfer::guarded), except on_debug, which drops the record it was making.

// Each header line of every response, redirects and interim responses included, and
// then the trailers of a chunked body.
size_t on_header(char* data, size_t size, size_t count, void* user);

// Pieces of the final response's body as they came (a gzip coding not yet undone),
// gathered into the buffer or decoded into it.
size_t on_body(char* data, size_t size, size_t count, void* user);

// Called after each read and about once a second while the transfer waits: hands on
// the read just gathered, then applies the time rules.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

// Called once a connection is made, before the request is sent: the time rules count
// from the first one.
int on_connected(void* user, char*, char*, int, int);

// libcurl's own account of the exchange, kept at trace level (never the body).
int on_debug(CURL*, curl_infotype type, char* data, size_t size, void*);

}  // namespace norvane
