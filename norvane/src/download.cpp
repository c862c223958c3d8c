#include <norvane/download.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string>
#include <utility>

#include <norvane/log.h>

#include "curl_library.h"
#include "fd.h"
#include "gzip_decoder.h"
#include "transfer.h"

namespace norvane {

namespace {

constexpr const char* kTarget = "norvane::download";
constexpr const char* kTooBig = "response too big for into_string";
constexpr long kMaxRedirects = 5;
// libcurl's receive buffer: one recv() brings at most this much. Small next to the
// chunk buffer (kTransferBufferSize), which gathers what has arrived; at its default of
// 16 KiB the many small reads halve the speed of a fast transfer.
constexpr long kReceiveBufferSize = 128 * 1024;

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
  if (t.exception) {
    // A callback threw: nothing more is handed over, and it is thrown again below.
  } else if (code == CURLE_OK) {
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
  if (t.exception) std::rethrow_exception(t.exception);
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

Result<void> DownloadAgent::read_bounded(std::string_view url, const StreamHandler& handler,
                                         uint64_t max_size) {
  uint64_t received = 0;
  StreamHandler bounded;
  bounded.on_head = [&](const ResponseHead& head) -> Result<void> {
    if (head.content_length && *head.content_length > max_size) return fail(kTooBig);
    return handler.on_head ? handler.on_head(head) : Result<void>();
  };
  bounded.on_chunk = [&](std::string_view bytes) -> Result<void> {
    if (bytes.size() > max_size - received) return fail(kTooBig);
    received += bytes.size();
    return handler.on_chunk ? handler.on_chunk(bytes) : Result<void>();
  };
  bounded.progress = handler.progress;
  bounded.chunk_size = handler.chunk_size;
  return perform(url, bounded, impl_->options.string_body_timeout, nullptr);
}

Result<std::string> DownloadAgent::read_to_string(std::string_view url, uint64_t max_size) {
  std::string body;
  StreamHandler handler;
  handler.on_head = [&](const ResponseHead& head) -> Result<void> {
    if (head.content_length) body.reserve(static_cast<size_t>(*head.content_length));
    return {};
  };
  handler.on_chunk = [&](std::string_view bytes) -> Result<void> {
    body.append(bytes);
    return {};
  };
  NV_TRY(read_bounded(url, handler, max_size));
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
