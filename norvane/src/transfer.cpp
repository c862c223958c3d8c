#include "transfer.h"

#include <algorithm>
#include <ctime>

#include <norvane/log.h>

namespace norvane {

namespace {
constexpr const char* kTarget = "norvane::download";
}  // namespace

std::string_view trim(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// An unsigned 64-bit decimal with an optional leading "+", and nothing else.
std::optional<uint64_t> parse_content_length(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return parse_decimal_u64(text);
}

// "bytes {first}-{last}/{total or *}", with nothing else, or none.
std::optional<ContentRange> parse_content_range(std::string_view text) {
  if (!text.starts_with("bytes ")) return std::nullopt;
  text.remove_prefix(6);
  const size_t dash = text.find('-');
  const size_t slash = text.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
    return std::nullopt;
  const auto first = parse_decimal_u64(text.substr(0, dash));
  const auto last = parse_decimal_u64(text.substr(dash + 1, slash - dash - 1));
  if (!first || !last || *last < *first) return std::nullopt;
  ContentRange range{*first, *last, std::nullopt};
  const std::string_view total = text.substr(slash + 1);
  if (total != "*") {
    range.total = parse_decimal_u64(total);
    if (!range.total || *range.total <= *last) return std::nullopt;
  }
  return range;
}

// A Retry-After value as seconds from now: a number of seconds, or an HTTP date (a date
// in the past is no wait). None when it is neither.
std::optional<std::chrono::seconds> parse_retry_after(const std::string& text) {
  if (text.empty()) return std::nullopt;
  if (const auto seconds = parse_decimal_u64(text)) {
    constexpr uint64_t kDay = 86'400;  // anything longer is no different for a caller
    return std::chrono::seconds(static_cast<long long>(std::min(*seconds, kDay)));
  }
  const time_t when = curl_api().getdate(text.c_str(), nullptr);
  if (when < 0) return std::nullopt;
  const time_t now = ::time(nullptr);
  return std::chrono::seconds(when > now ? static_cast<long long>(when - now) : 0);
}

// Each header line of every response, redirects and interim responses included, and
// then the trailers of a chunked body.
namespace {

size_t take_header(Transfer* t, char* data, size_t n) {
  t->received += n;
  if (t->head_delivered) return n;
  const std::string_view line(data, n);
  if (line.starts_with("HTTP/")) {
    t->content_length.reset();
    t->codings.clear();
    t->etag.clear();
    t->last_modified.clear();
    t->content_range.clear();
    t->retry_after.clear();
    t->head_complete = false;
    return n;
  }
  if (trim(line).empty()) {
    // The end of a head. A status of 400 or more is final: no redirect follows it, and
    // its body is not wanted.
    const long status = t->response_code();
    if (status >= 400) {
      t->failure = t->status_failure(status);
      t->error = t->status_error(status);
      return 0;
    }
    // Interim answers and redirects are followed by another head.
    t->head_complete = status >= 200 && (status < 300 || status >= 400 || status == 304);
    return n;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return n;
  const std::string_view name = trim(line.substr(0, colon));
  const std::string_view value = trim(line.substr(colon + 1));
  if (ascii_iequal(name, "Content-Length")) {
    // A length that is not a plain number makes the response invalid: taken in part,
    // "12 bytes" would cut the body at 12.
    t->content_length = parse_content_length(value);
    if (!t->content_length) {
      t->fail_with(Error("invalid Content-Length header: " + debug_string(value)),
                   FailureKind::kOther);
      return 0;
    }
  } else if (ascii_iequal(name, "ETag")) {
    t->etag = value;
  } else if (ascii_iequal(name, "Last-Modified")) {
    t->last_modified = value;
  } else if (ascii_iequal(name, "Content-Range")) {
    t->content_range = value;
  } else if (ascii_iequal(name, "Retry-After")) {
    t->retry_after = value;
  } else if (ascii_iequal(name, "Content-Encoding")) {
    for (std::string_view rest = value; !rest.empty();) {
      const size_t comma = rest.find(',');
      const std::string_view coding = trim(rest.substr(0, comma));
      if (!coding.empty() && !ascii_iequal(coding, "identity")) t->codings.emplace_back(coding);
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
  }
  return n;
}

// Pieces of the final response's body as they came (a gzip coding not yet undone),
// gathered into the buffer or decoded into it.
size_t take_body(Transfer* t, char* data, size_t n) {
  if (n == 0) return 0;
  t->received += n;
  if (!t->head_delivered) {
    if (auto head = t->deliver_head(); !head) {
      t->fail_with(std::move(head).error(), FailureKind::kOther);
      return 0;
    }
  }
  if (t->gzip) {
    auto decoded = t->gzip->decode(std::string_view(data, n), t->buffer.get(), &t->buffered,
                                   t->chunk_size(), [t] { return t->flush(); });
    if (!decoded) {
      t->fail_with(std::move(decoded).error(), FailureKind::kOther);  // not gzip
      return 0;
    }
    return n;
  }
  for (size_t done = 0; done < n;) {
    if (t->buffered == t->chunk_size()) {
      if (auto flushed = t->flush(); !flushed) {
        t->fail_with(std::move(flushed).error(), FailureKind::kHandler);
        return 0;
      }
    }
    const size_t take = std::min(n - done, t->chunk_size() - t->buffered);
    std::memcpy(t->buffer.get() + t->buffered, data + done, take);
    t->buffered += take;
    done += take;
  }
  return n;
}

// Called after each read and about once a second while the transfer waits: hands on
// the read just gathered, then applies the time rules.
int take_progress(Transfer* t) {
  const auto before = Transfer::Clock::now();
  if (auto flushed = t->flush(); !flushed) {
    t->fail_with(std::move(flushed).error(), FailureKind::kHandler);
    return 1;
  }
  const auto now = Transfer::Clock::now();
  // Time spent handing the bytes on (writing them out) is not time without data.
  t->period_start += now - before;
  if (t->total_timeout && now - t->started >= *t->total_timeout) {
    t->fail_with(Error("the request did not complete within " + seconds_text(*t->total_timeout)),
                 FailureKind::kOther);
    return 1;
  }
  if (!t->connected) return 0;  // connecting has its own timeout
  if (!t->head_complete && !t->head_delivered && now - *t->connected >= t->head_timeout) {
    t->fail_with(Error("no complete response head within " + seconds_text(t->head_timeout)),
                 FailureKind::kStall);
    return 1;
  }
  if (now - t->period_start >= t->stall_timeout) {
    if (t->received - t->period_received < t->stall_bytes) {
      t->fail_with(Error("the transfer stalled: fewer than " + std::to_string(t->stall_bytes) +
                         " bytes received in " + seconds_text(t->stall_timeout)),
                   FailureKind::kStall);
      return 1;
    }
    t->period_start = now;
    t->period_received = t->received;
  }
  return 0;
}

}  // namespace

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  return t->guarded([&] { return take_header(t, data, size * count); }, size_t{0});
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  // 0 ends the transfer whatever the size (an empty piece is never handed over).
  return t->guarded([&] { return take_body(t, data, size * count); }, size_t{0});
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  return t->guarded([&] { return take_progress(t); }, 1);
}

// Called once a connection is made, before the request is sent: the time rules count
// from the first one.
int on_connected(void* user, char*, char*, int, int) {
  auto* t = static_cast<Transfer*>(user);
  if (!t->connected) {
    t->connected = Transfer::Clock::now();
    t->period_start = *t->connected;
    t->period_received = t->received;
  }
  return CURL_PREREQFUNC_OK;
}

// libcurl's own account of the exchange, kept at trace level (never the body).
int on_debug(CURL*, curl_infotype type, char* data, size_t size, void*) {
  if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) return 0;
  const char* prefix = type == CURLINFO_TEXT ? "* " : type == CURLINFO_HEADER_IN ? "< " : "> ";
  std::string_view text(data, size);
  try {
    while (!text.empty()) {
      const size_t end = text.find('\n');
      const std::string_view line = trim(text.substr(0, end));
      if (!line.empty()) NV_TRACE(kTarget, prefix + lossy_utf8(line));
      if (end == std::string_view::npos) break;
      text.remove_prefix(end + 1);
    }
  } catch (...) {
    // A record that cannot be made is dropped: it must not end the transfer.
  }
  return 0;
}

}  // namespace norvane
