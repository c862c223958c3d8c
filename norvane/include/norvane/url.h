// URLs as the WHATWG URL Standard defines them: the basic URL parser (with a base
// for relative references), the serializer, the attribute getters of the URL API and
// its search setter, and is_http_url.
//
// A Url keeps its serialization (href) and the offsets of its components, so the
// getters are slices of one string. Input is arbitrary bytes: invalid UTF-8 is read as
// U+FFFD, and parsing only ever returns a URL or an error, never crashes or hangs.
// International domain names go through UTS #46 (ICU) with the Standard's options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <norvane/result.h>

namespace norvane {

class Url {
 public:
  // Parses `input` as a URL, relative to `base` when one is given (the basic URL
  // parser without encoding override or state override). The error is one line
  // naming the problem: "relative URL without a base", "missing host",
  // "invalid host", "invalid IPv4 address", "invalid IPv6 address",
  // "invalid port number".
  static Result<Url> parse(std::string_view input, const Url* base = nullptr);

  // The URL API's getters. href is the serialization; protocol ends in ":"; host
  // includes ":port" when there is a port; port, search and hash are empty when
  // null, and search and hash also when the query or fragment is empty; otherwise
  // they start with "?" and "#".
  std::string href() const { return href_; }
  std::string protocol() const;
  std::string username() const;
  std::string password() const;
  std::string host() const;
  std::string hostname() const;
  std::string port() const;
  std::string pathname() const;
  std::string search() const;
  std::string hash() const;

  // The search setter: an empty value removes the query; otherwise one leading "?"
  // is dropped, tabs and newlines are removed and the rest becomes the query,
  // percent-encoded with the (special-)query set. The fragment is kept.
  void set_search(std::string_view value);

  // Views without copies, for callers in the library.
  std::string_view scheme() const noexcept {
    return std::string_view(href_).substr(0, scheme_end_);
  }
  bool is_special() const noexcept { return scheme_ != SchemeType::NotSpecial; }
  bool has_host() const noexcept { return has_host_; }
  // The port number, or -1 when the port is null (absent or the scheme's default).
  int port_number() const noexcept { return port_; }

  friend bool operator==(const Url& a, const Url& b) noexcept { return a.href_ == b.href_; }

 private:
  friend class UrlParser;
  enum class SchemeType : std::uint8_t { NotSpecial, Http, Https, Ws, Wss, Ftp, File };
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  Url() = default;
  std::size_t path_end() const noexcept {
    return query_start_ != npos      ? query_start_
           : fragment_start_ != npos ? fragment_start_
                                     : href_.size();
  }
  std::size_t query_end() const noexcept {
    return fragment_start_ != npos ? fragment_start_ : href_.size();
  }

  // Layout of href_:
  //   scheme ":" ["//" [username [":" password] "@"] host [":" port]] ["/."] path
  //   ["?" query] ["#" fragment]
  std::string href_;
  std::size_t scheme_end_ = 0;         // index of the ":" after the scheme
  std::size_t username_end_ = 0;       // end of the username (start when no host)
  std::size_t host_start_ = 0;         // start of the host (after "@" when credentials)
  std::size_t host_end_ = 0;           // end of the host, before ":port"
  std::size_t path_start_ = 0;         // start of the path (after a "/." prefix)
  std::size_t query_start_ = npos;     // index of "?", npos when the query is null
  std::size_t fragment_start_ = npos;  // index of "#", npos when the fragment is null
  std::int32_t port_ = -1;
  SchemeType scheme_ = SchemeType::NotSpecial;
  bool has_host_ = false;
  bool opaque_path_ = false;
};

// True when `text` parses as an absolute URL (no base) whose scheme is http or https.
bool is_http_url(std::string_view text);

}  // namespace norvane
