#include <norvane/download.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <norvane/log.h>

#include "curl_library.h"
#include "fd.h"
#include "gzip_decoder.h"

namespace norvane {

namespace {

constexpr const char* kTarget = "norvane::download";
constexpr const char* kTooBig = "response too big for into_string";
constexpr long kMaxRedirects = 5;
// libcurl's receive buffer: one recv() brings at most this much. Small next to the
// chunk buffer (kTransferBufferSize), which gathers what has arrived; at its default of
// 16 KiB the many small reads halve the speed of a fast transfer.
constexpr long kReceiveBufferSize = 128 * 1024;

// The loaded library. Only called once curl_loaded() has succeeded.
const CurlApi& curl_api() { return *curl_library(); }

// Loads the library on first use; fails with the reason it cannot be loaded.
Result<void> curl_loaded() {
  const Result<CurlApi>& library = curl_library();
  if (!library) return unexpected(library.error());
  return {};
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_api().easy_cleanup(curl); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct CurlUrlDeleter {
  void operator()(CURLU* url) const { curl_api().url_cleanup(url); }
};

// curl_global_init is not thread-safe on every build; a function-local static runs it
// once. It is never undone: the process ends with the library in use.
CURLcode global_init() {
  static const CURLcode code = curl_api().global_init(CURL_GLOBAL_DEFAULT);
  return code;
}

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

std::string seconds_text(std::chrono::seconds period) {
  const long long n = period.count();
  return std::to_string(n) + (n == 1 ? " second" : " seconds");
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
  // what had arrived, up to kTransferBufferSize. Allocated once, with the final head.
  // (A receive buffer as large as this one would double the memory a transfer holds,
  // for no gain in speed.)
  std::unique_ptr<char[]> buffer;
  size_t buffered = 0;
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
    buffer = std::make_unique_for_overwrite<char[]>(kTransferBufferSize);
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

// Each header line of every response, redirects and interim responses included, and
// then the trailers of a chunked body.
size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
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
size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
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
                                   kTransferBufferSize, [t] { return t->flush(); });
    if (!decoded) {
      t->fail_with(std::move(decoded).error(), FailureKind::kOther);  // not gzip
      return 0;
    }
    return n;
  }
  for (size_t done = 0; done < n;) {
    if (t->buffered == kTransferBufferSize) {
      if (auto flushed = t->flush(); !flushed) {
        t->fail_with(std::move(flushed).error(), FailureKind::kHandler);
        return 0;
      }
    }
    const size_t take = std::min(n - done, kTransferBufferSize - t->buffered);
    std::memcpy(t->buffer.get() + t->buffered, data + done, take);
    t->buffered += take;
    done += take;
  }
  return n;
}

// Called after each read and about once a second while the transfer waits: hands on
// the read just gathered, then applies the time rules.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
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
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = trim(text.substr(0, end));
    if (!line.empty()) NV_TRACE(kTarget, prefix + lossy_utf8(line));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return 0;
}

// A scheme must be given: libcurl would otherwise guess one for a bare host name.
Result<void> check_absolute_url(const std::string& url) {
  std::unique_ptr<CURLU, CurlUrlDeleter> parsed(curl_api().url());
  if (!parsed) return fail("out of memory");
  const CURLUcode code =
      curl_api().url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME);
  if (code != CURLUE_OK) {
    const auto describe = curl_api().url_strerror;
    return fail(url + ": " +
                (describe ? std::string(describe(code)) : "URL error " + std::to_string(code)));
  }
  return {};
}

}  // namespace

struct DownloadAgent::Impl {
  DownloadOptions options;
  CurlHandle curl;
  std::string user_agent;
  RequestFailure failure;          // of the last request
  bool knows_connections = false;  // the library reports each connection (7.80 and later)
  char error_buffer[CURL_ERROR_SIZE] = {};
};

DownloadAgent::DownloadAgent(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DownloadAgent::DownloadAgent(DownloadAgent&&) noexcept = default;
DownloadAgent& DownloadAgent::operator=(DownloadAgent&&) noexcept = default;
DownloadAgent::~DownloadAgent() = default;

Result<DownloadAgent> get_download_agent(const DownloadOptions& options) {
  NV_TRY(curl_loaded());
  if (const CURLcode code = global_init(); code != CURLE_OK)
    return fail(std::string("cannot initialise the HTTP client: ") +
                curl_api().easy_strerror(code));
  const curl_version_info_data* info = curl_api().version_info(CURLVERSION_NOW);
  if ((info->features & CURL_VERSION_SSL) == 0)
    return fail("the HTTP client was built without TLS support");

  auto impl = std::make_unique<DownloadAgent::Impl>();
  impl->options = options;
  impl->curl.reset(curl_api().easy_init());
  if (!impl->curl) return fail("cannot create an HTTP client handle");
  impl->user_agent = std::string("libcurl/") + info->version;

  CURL* c = impl->curl.get();
  const long connect_ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(options.connect_timeout).count());
  // Every option below must take: a client that silently kept a default (a proxy, an
  // unverified peer, another scheme) would not be the client this program promises.
  CURLcode code = CURLE_OK;
  const auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl_api().easy_setopt(c, option, value);
  };
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_ERRORBUFFER, impl->error_buffer);
  // Libraries before 7.85 take the schemes as a bit mask only.
  const auto set_schemes = [&](CURLoption names, CURLoption mask) {
    if (code != CURLE_OK) return;
    code = curl_api().easy_setopt(c, names, "http,https");
    if (code == CURLE_UNKNOWN_OPTION)
      code = curl_api().easy_setopt(c, mask, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  };
  set_schemes(CURLOPT_PROTOCOLS_STR, CURLOPT_PROTOCOLS);
  set_schemes(CURLOPT_REDIR_PROTOCOLS_STR, CURLOPT_REDIR_PROTOCOLS);
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, kMaxRedirects);
  set(CURLOPT_PROXY, "");
  set(CURLOPT_NOPROXY, "*");
  set(CURLOPT_TCP_NODELAY, 1L);
  set(CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  set(CURLOPT_TIMEOUT, 0L);
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_0));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_USERAGENT, impl->user_agent.c_str());
  // Offer gzip where wanted, and decode it ourselves (GzipDecoder).
  if (options.accept_gzip) set(CURLOPT_ACCEPT_ENCODING, "gzip");
  set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
  set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  set(CURLOPT_HEADERFUNCTION, on_header);
  set(CURLOPT_WRITEFUNCTION, on_body);
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, on_progress);
  // Libraries before 7.80 cannot say when a connection is made: the time rules then
  // count from the start of the request.
  if (code == CURLE_OK &&
      curl_api().easy_setopt(c, CURLOPT_PREREQFUNCTION, on_connected) == CURLE_OK)
    impl->knows_connections = true;
  if (log::enabled(log::Level::Trace)) {
    set(CURLOPT_DEBUGFUNCTION, on_debug);
    set(CURLOPT_VERBOSE, 1L);
  }
  if (code != CURLE_OK)
    return fail(std::string("cannot set up the HTTP client: ") + curl_api().easy_strerror(code));
  return DownloadAgent(std::move(impl));
}

Result<void> DownloadAgent::stream(std::string_view url, const StreamHandler& handler) {
  return perform(url, handler, std::nullopt, nullptr);
}

Result<void> DownloadAgent::stream(std::string_view url, const StreamHandler& handler,
                                   const RangeRequest& range) {
  return perform(url, handler, std::nullopt, &range);
}

const RequestFailure& DownloadAgent::last_failure() const { return impl_->failure; }

namespace {

// The kind of a failure that libcurl reported itself.
FailureKind failure_kind(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_CONNECT:     // refused, unreachable
    case CURLE_OPERATION_TIMEDOUT:  // no connection within the connect timeout
    case CURLE_PARTIAL_FILE:        // the body ended before its length
    case CURLE_GOT_NOTHING:         // the connection closed before any answer
    case CURLE_SEND_ERROR:          // reset while sending
    case CURLE_RECV_ERROR:          // reset while receiving, or a chunked body cut short
      return FailureKind::kTransient;
    default:
      return FailureKind::kOther;
  }
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_api().slist_free_all(list); }
};

}  // namespace

Result<void> DownloadAgent::perform(std::string_view url, const StreamHandler& handler,
                                    std::optional<std::chrono::seconds> total_timeout,
                                    const RangeRequest* range) {
  impl_->failure = RequestFailure{};
  Transfer t;
  t.curl = impl_->curl.get();
  t.handler = &handler;
  t.first_url = std::string(url);
  t.stall_timeout = impl_->options.stall_timeout;
  t.stall_bytes = impl_->options.stall_bytes;
  t.head_timeout = impl_->options.head_timeout;
  t.total_timeout = total_timeout;
  if (auto absolute = check_absolute_url(t.first_url); !absolute) {
    impl_->failure.kind = FailureKind::kOther;
    return absolute;
  }
  NV_DEBUG(kTarget, "GET " + lossy_utf8(url));

  CURL* c = t.curl;
  impl_->error_buffer[0] = '\0';
  // A range asks for the rest of the body, and only of the same version of it.
  std::string range_text;
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  if (range != nullptr) {
    range_text = std::to_string(range->from) + "-";
    if (!range->if_range.empty()) {
      headers.reset(curl_api().slist_append(nullptr, ("If-Range: " + range->if_range).c_str()));
      if (!headers) return fail("out of memory");
    }
  }
  CURLcode code = curl_api().easy_setopt(c, CURLOPT_RANGE, range ? range_text.c_str() : nullptr);
  if (code == CURLE_OK) code = curl_api().easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  if (code == CURLE_OK) code = curl_api().easy_setopt(c, CURLOPT_URL, t.first_url.c_str());
  if (code == CURLE_OK) code = curl_api().easy_setopt(c, CURLOPT_HEADERDATA, &t);
  if (code == CURLE_OK) code = curl_api().easy_setopt(c, CURLOPT_WRITEDATA, &t);
  if (code == CURLE_OK) code = curl_api().easy_setopt(c, CURLOPT_XFERINFODATA, &t);
  if (code == CURLE_OK && impl_->knows_connections)
    code = curl_api().easy_setopt(c, CURLOPT_PREREQDATA, &t);
  if (code == CURLE_OK) {
    t.started = Transfer::Clock::now();
    if (!impl_->knows_connections) on_connected(&t, nullptr, nullptr, 0, 0);
    code = curl_api().easy_perform(c);
  }

  Result<void> result;
  if (code == CURLE_OK) {
    result = t.head_delivered ? t.flush()          // the last read
                              : t.deliver_head();  // an empty body
    if (result && t.gzip) {
      result = t.gzip->finish();
      if (!result) t.failure.kind = FailureKind::kTransient;  // cut short
    }
  } else if (t.error) {
    result = unexpected(std::move(*t.error));
  } else {
    t.failure.kind = failure_kind(code);
    // What the last read brought before the failure is kept, as it would have been
    // had the failure come one read later.
    Result<void> flushed = t.head_delivered ? t.flush() : Result<void>();
    if (!flushed) {
      result = std::move(flushed);
    } else {
      result = fail(impl_->error_buffer[0] != '\0' ? std::string(trim(impl_->error_buffer))
                                                   : std::string(curl_api().easy_strerror(code)));
    }
  }
  // The handle lives on for the next request; it must not point at this frame.
  curl_api().easy_setopt(c, CURLOPT_HEADERDATA, nullptr);
  curl_api().easy_setopt(c, CURLOPT_WRITEDATA, nullptr);
  curl_api().easy_setopt(c, CURLOPT_XFERINFODATA, nullptr);
  if (impl_->knows_connections) curl_api().easy_setopt(c, CURLOPT_PREREQDATA, nullptr);
  curl_api().easy_setopt(c, CURLOPT_RANGE, nullptr);
  curl_api().easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
  if (!result) {
    impl_->failure = t.failure;
    if (impl_->failure.kind == FailureKind::kNone) impl_->failure.kind = FailureKind::kOther;
  }

  if (result) {
    NV_DEBUG(kTarget, "GET " + lossy_utf8(url) + ": status " + std::to_string(t.response_code()) +
                          ", " + std::to_string(t.steps.downloaded()) + " bytes, " +
                          std::to_string(t.redirect_count()) + " redirects");
  } else {
    NV_DEBUG(kTarget, "GET " + lossy_utf8(url) + " failed (" + curl_api().easy_strerror(code) +
                          "): " + result.error().message);
  }
  return result;
}

Result<std::string> DownloadAgent::read_to_string(std::string_view url, uint64_t max_size) {
  std::string body;
  StreamHandler handler;
  handler.on_head = [&](const ResponseHead& head) -> Result<void> {
    if (!head.content_length) return {};
    if (*head.content_length > max_size) return fail(kTooBig);
    body.reserve(static_cast<size_t>(*head.content_length));
    return {};
  };
  handler.on_chunk = [&](std::string_view bytes) -> Result<void> {
    if (bytes.size() > max_size - body.size()) return fail(kTooBig);
    body.append(bytes);
    return {};
  };
  NV_TRY(perform(url, handler, impl_->options.string_body_timeout, nullptr));
  return body;
}

Result<void> download_url_to_file(std::string_view url, std::string_view file_path,
                                  const ProgressCallback& progress,
                                  const DownloadOptions& options) {
  NV_TRY_ASSIGN(DownloadAgent agent, get_download_agent(options));

  const std::string path(file_path);
  const Sleeper& sleeper = options.sleeper ? options.sleeper : Sleeper(sleep_for);
  UniqueFd file;
  StreamHandler handler;
  // The file is created only once the final head is in, so that a failed request
  // leaves whatever is at the path untouched.
  handler.on_head = [&](const ResponseHead&) -> Result<void> {
    NV_TRY_ASSIGN(file, retry_operation(
                            [&]() -> Result<UniqueFd> {
                              const int fd = ::open(path.c_str(),
                                                    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
                              if (fd < 0) return unexpected(Error::from_errno(errno));
                              return UniqueFd(fd);
                            },
                            sleeper));
    return {};
  };
  // Each read is written out before the next one; a failed write ends the transfer and
  // the partial file stays.
  handler.on_chunk = [&](std::string_view bytes) { return write_all(file.get(), bytes); };
  handler.progress = progress;

  Result<void> result = agent.stream(url, handler);
  Result<void> closed = file.close();
  if (result && !closed) return closed;
  return result;
}

}  // namespace norvane
