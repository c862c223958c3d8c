// The basic URL parser of the URL Standard, writing the serialization as it goes.
//
// The parser follows the Standard's state machine, but each state consumes a whole
// run of input at once (a scheme, an authority, a path segment, a query) and writes
// its serialization straight into Url::href_, whose components are therefore in
// order. The few steps that revisit earlier output act on the end of the string: the
// path is always last while it is parsed, so shortening it is a truncation, and the
// "/." that keeps a host-less path starting with "//" from reading as an authority is
// inserted once at the end.
#include <norvane/url.h>

#include <norvane/util.h>

#include <array>
#include <cstring>

#include "percent_encode.h"
#include "url_host.h"

namespace norvane {

namespace {

using url_detail::append_encoded;

bool is_alpha(int c) { return ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_scheme_char(unsigned char c) {
  return is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.';
}

// A Windows drive letter: an ASCII letter and ":" or "|".
bool is_drive_letter(std::string_view s) {
  return s.size() == 2 && is_alpha(static_cast<unsigned char>(s[0])) && (s[1] == ':' || s[1] == '|');
}
bool is_normalized_drive_letter(std::string_view s) { return is_drive_letter(s) && s[1] == ':'; }

// "The code point substring from pointer to the end starts with a Windows drive letter".
bool starts_with_drive_letter(std::string_view s, size_t p) {
  if (s.size() < p + 2 || !is_drive_letter(s.substr(p, 2))) return false;
  if (s.size() == p + 2) return true;
  const char c = s[p + 2];
  return c == '/' || c == '\\' || c == '?' || c == '#';
}

// What ends an authority or a path segment: "/", "?", "#" (bit 1), and "\" (bit 2)
// in special URLs.
enum : std::uint8_t { kEndsSegment = 1, kEndsSpecialSegment = 3 };
constexpr std::array<std::uint8_t, 256> make_segment_ends() {
  std::array<std::uint8_t, 256> t{};
  t['/'] = t['?'] = t['#'] = 1;
  t['\\'] = 2;
  return t;
}
constexpr std::array<std::uint8_t, 256> kSegmentEnds = make_segment_ends();
bool ends_at(char c, std::uint8_t ends) {
  return (kSegmentEnds[static_cast<unsigned char>(c)] & ends) != 0;
}

bool is_percent_2e(std::string_view s, size_t i) {
  return s.size() >= i + 3 && s[i] == '%' && s[i + 1] == '2' && (s[i + 2] | 0x20) == 'e';
}
bool is_single_dot(std::string_view s) {
  return s == "." || (s.size() == 3 && is_percent_2e(s, 0));
}
bool is_double_dot(std::string_view s) {
  switch (s.size()) {
    case 2: return s == "..";
    case 4: return (s[0] == '.' && is_percent_2e(s, 1)) || (is_percent_2e(s, 0) && s[3] == '.');
    case 6: return is_percent_2e(s, 0) && is_percent_2e(s, 3);
    default: return false;
  }
}

}  // namespace

class UrlParser {
 public:
  using Scheme = Url::SchemeType;

  // Parses `s` (trimmed, without tabs and newlines, valid UTF-8) into `u`. Returns
  // null on success, else the error message.
  static const char* run(Url& u, std::string_view s, const Url* base);

  static Scheme scheme_type(std::string_view scheme) {
    switch (scheme.size()) {
      case 2: return scheme == "ws" ? Scheme::Ws : Scheme::NotSpecial;
      case 3:
        if (scheme == "wss") return Scheme::Wss;
        if (scheme == "ftp") return Scheme::Ftp;
        return Scheme::NotSpecial;
      case 4:
        if (scheme == "http") return Scheme::Http;
        if (scheme == "file") return Scheme::File;
        return Scheme::NotSpecial;
      case 5: return scheme == "https" ? Scheme::Https : Scheme::NotSpecial;
      default: return Scheme::NotSpecial;
    }
  }

  static int default_port(Scheme type) {
    switch (type) {
      case Scheme::Http: case Scheme::Ws: return 80;
      case Scheme::Https: case Scheme::Wss: return 443;
      case Scheme::Ftp: return 21;
      default: return -1;
    }
  }

  static void set_no_host(Url& u) {
    u.has_host_ = false;
    u.port_ = -1;
    u.username_end_ = u.host_start_ = u.host_end_ = u.path_start_ = u.scheme_end_ + 1;
  }

  // Host "" (file URLs).
  static void set_empty_host(Url& u) {
    u.href_.resize(u.scheme_end_ + 1);
    u.href_ += "//";
    u.has_host_ = true;
    u.port_ = -1;
    u.username_end_ = u.host_start_ = u.host_end_ = u.path_start_ = u.href_.size();
  }

  static void copy_scheme(Url& u, const Url& base) {
    u.href_.assign(base.href_, 0, base.scheme_end_ + 1);
    u.scheme_end_ = base.scheme_end_;
    u.scheme_ = base.scheme_;
    set_no_host(u);
  }

  // Username, password, host and port of the base (the scheme is already the base's,
  // so the offsets are the base's too).
  static void copy_authority(Url& u, const Url& base) {
    u.href_.resize(u.scheme_end_ + 1);
    if (!base.has_host_) {
      set_no_host(u);
      return;
    }
    u.href_.append(base.href_, base.scheme_end_ + 1, base.path_start_ - base.scheme_end_ - 1);
    u.has_host_ = true;
    u.port_ = base.port_;
    u.username_end_ = base.username_end_;
    u.host_start_ = base.host_start_;
    u.host_end_ = base.host_end_;
    u.path_start_ = u.href_.size();
  }

  static void copy_path(Url& u, const Url& base) {
    u.href_.append(base.href_, base.path_start_, base.path_end() - base.path_start_);
  }

  static void copy_query(Url& u, const Url& base) {
    if (base.query_start_ == Url::npos) return;
    u.query_start_ = u.href_.size();
    u.href_.append(base.href_, base.query_start_, base.query_end() - base.query_start_);
  }

  static void start_query(Url& u) {
    u.query_start_ = u.href_.size();
    u.href_ += '?';
  }
  static void start_fragment(Url& u) {
    u.fragment_start_ = u.href_.size();
    u.href_ += '#';
  }

  // Removes the last path item, except a lone normalized drive letter of a file URL.
  static void shorten_path(Url& u) {
    std::string& out = u.href_;
    const size_t ps = u.path_start_;
    if (out.size() == ps) return;
    if (u.scheme_ == Scheme::File && out.size() - ps == 3 &&
        is_normalized_drive_letter(std::string_view(out).substr(ps + 1, 2)))
      return;
    out.resize(out.rfind('/'));
  }

  static const char* host_error(url_detail::HostError e) {
    switch (e) {
      case url_detail::HostError::InvalidIpv4: return "invalid IPv4 address";
      case url_detail::HostError::InvalidIpv6: return "invalid IPv6 address";
      default: return "invalid host";
    }
  }
};

const char* UrlParser::run(Url& u, std::string_view s, const Url* base) {
  enum class State {
    SchemeStart, Scheme, NoScheme, SpecialRelativeOrAuthority, PathOrAuthority, Relative,
    RelativeSlash, SpecialAuthoritySlashes, SpecialAuthorityIgnoreSlashes, Authority, File,
    FileSlash, FileHost, PathStart, Path, OpaquePath, Query, Fragment, Done,
  };
  std::string& out = u.href_;
  const size_t n = s.size();
  const auto at = [&](size_t i) -> int { return i < n ? static_cast<unsigned char>(s[i]) : -1; };
  out.clear();
  out.reserve(n + 8);
  size_t p = 0;
  bool special = false;
  State state = State::SchemeStart;

  for (;;) {
    switch (state) {
      case State::SchemeStart:
        state = is_alpha(at(0)) ? State::Scheme : State::NoScheme;
        break;

      case State::Scheme: {
        size_t q = 0;
        while (q < n && is_scheme_char(static_cast<unsigned char>(s[q]))) ++q;
        if (q == n || s[q] != ':') {
          state = State::NoScheme;
          break;
        }
        out.resize(q);
        for (size_t i = 0; i < q; ++i) {
          const char c = s[i];
          out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
        }
        out += ':';
        u.scheme_end_ = q;
        u.scheme_ = scheme_type(std::string_view(out).substr(0, q));
        special = u.scheme_ != Scheme::NotSpecial;
        set_no_host(u);
        p = q + 1;
        if (u.scheme_ == Scheme::File) {
          state = State::File;
        } else if (special && base != nullptr && base->scheme() == u.scheme()) {
          state = State::SpecialRelativeOrAuthority;
        } else if (special) {
          state = State::SpecialAuthoritySlashes;
        } else if (at(p) == '/') {
          ++p;
          state = State::PathOrAuthority;
        } else {
          state = State::OpaquePath;
        }
        break;
      }

      case State::NoScheme: {
        p = 0;
        const int c = at(p);
        if (base == nullptr || (base->opaque_path_ && c != '#')) return "relative URL without a base";
        if (base->opaque_path_) {
          // A fragment-only reference to a URL with an opaque path.
          out.assign(base->href_, 0, base->query_end());
          u.scheme_end_ = base->scheme_end_;
          u.scheme_ = base->scheme_;
          special = u.scheme_ != Scheme::NotSpecial;
          set_no_host(u);
          u.path_start_ = base->path_start_;
          u.opaque_path_ = true;
          u.query_start_ = base->query_start_;
          start_fragment(u);
          ++p;
          state = State::Fragment;
        } else {
          state = base->scheme_ != Scheme::File ? State::Relative : State::File;
        }
        break;
      }

      case State::SpecialRelativeOrAuthority:
        if (at(p) == '/' && at(p + 1) == '/') {
          p += 2;
          state = State::SpecialAuthorityIgnoreSlashes;
        } else {
          state = State::Relative;
        }
        break;

      case State::PathOrAuthority:
        if (at(p) == '/') {
          ++p;
          state = State::Authority;
        } else {
          state = State::Path;
        }
        break;

      case State::Relative: {
        copy_scheme(u, *base);
        special = u.scheme_ != Scheme::NotSpecial;
        const int c = at(p);
        if (c == '/' || (special && c == '\\')) {
          ++p;
          state = State::RelativeSlash;
          break;
        }
        copy_authority(u, *base);
        copy_path(u, *base);
        if (c == '?') {
          start_query(u);
          ++p;
          state = State::Query;
        } else if (c == '#') {
          copy_query(u, *base);
          start_fragment(u);
          ++p;
          state = State::Fragment;
        } else if (c != -1) {
          shorten_path(u);
          state = State::Path;
        } else {
          copy_query(u, *base);
          state = State::Done;
        }
        break;
      }

      case State::RelativeSlash: {
        const int c = at(p);
        if (special && (c == '/' || c == '\\')) {
          ++p;
          state = State::SpecialAuthorityIgnoreSlashes;
        } else if (c == '/') {
          ++p;
          state = State::Authority;
        } else {
          copy_authority(u, *base);
          state = State::Path;
        }
        break;
      }

      case State::SpecialAuthoritySlashes:
        if (at(p) == '/' && at(p + 1) == '/') p += 2;
        state = State::SpecialAuthorityIgnoreSlashes;
        break;

      case State::SpecialAuthorityIgnoreSlashes:
        while (at(p) == '/' || at(p) == '\\') ++p;
        state = State::Authority;
        break;

      case State::Authority: {
        // The authority runs to the first "/", "?", "#" (or "\" when special); the
        // credentials end at its last "@".
        const std::uint8_t ends = special ? kEndsSpecialSegment : kEndsSegment;
        size_t e = p;
        size_t at_sign = Url::npos;
        for (; e < n && !ends_at(s[e], ends); ++e) {
          if (s[e] == '@') at_sign = e;
        }
        out.resize(u.scheme_end_ + 1);
        out += "//";
        u.has_host_ = true;
        const size_t user_start = out.size();
        if (at_sign != Url::npos) {
          const std::string_view cred = s.substr(p, at_sign - p);
          const size_t colon = cred.find(':');
          append_encoded(out, cred.substr(0, colon), url_detail::kUserinfoSet);
          u.username_end_ = out.size();
          if (colon != std::string_view::npos) {
            out += ':';
            append_encoded(out, cred.substr(colon + 1), url_detail::kUserinfoSet);
            if (out.size() == u.username_end_ + 1) out.pop_back();  // empty password
          }
          if (out.size() > user_start) out += '@';
          p = at_sign + 1;
          if (p == e) return "missing host";
        } else {
          u.username_end_ = user_start;
        }
        u.host_start_ = out.size();
        // Host state: up to a ":" outside brackets.
        size_t q = p;
        bool brackets = false;
        while (q < e) {
          const char c = s[q];
          if (c == ':' && !brackets) break;
          if (c == '[') brackets = true;
          if (c == ']') brackets = false;
          ++q;
        }
        if (q == p && (q < e || special)) return "missing host";
        if (auto err = url_detail::parse_host(s.substr(p, q - p), special, out);
            err != url_detail::HostError::None)
          return host_error(err);
        u.host_end_ = out.size();
        u.port_ = -1;
        if (q < e) {
          // Port state.
          size_t d = q + 1;
          std::uint32_t port = 0;
          while (d < e && is_digit(static_cast<unsigned char>(s[d]))) {
            port = port * 10 + static_cast<std::uint32_t>(s[d] - '0');
            if (port > 65535) return "invalid port number";
            ++d;
          }
          if (d != e) return "invalid port number";
          if (d > q + 1 && static_cast<int>(port) != default_port(u.scheme_)) {
            u.port_ = static_cast<std::int32_t>(port);
            out += ':';
            out += std::to_string(port);
          }
        }
        u.path_start_ = out.size();
        p = e;
        state = State::PathStart;
        break;
      }

      case State::File: {
        out.assign("file:");
        u.scheme_end_ = 4;
        u.scheme_ = Scheme::File;
        special = true;
        set_no_host(u);
        const int c = at(p);
        if (c == '/' || c == '\\') {
          ++p;
          state = State::FileSlash;
        } else if (base != nullptr && base->scheme_ == Scheme::File) {
          copy_authority(u, *base);
          copy_path(u, *base);
          if (c == '?') {
            start_query(u);
            ++p;
            state = State::Query;
          } else if (c == '#') {
            copy_query(u, *base);
            start_fragment(u);
            ++p;
            state = State::Fragment;
          } else if (c != -1) {
            if (!starts_with_drive_letter(s, p)) {
              shorten_path(u);
            } else {
              out.resize(u.path_start_);
            }
            state = State::Path;
          } else {
            copy_query(u, *base);
            state = State::Done;
          }
        } else {
          set_empty_host(u);
          state = State::Path;
        }
        break;
      }

      case State::FileSlash: {
        const int c = at(p);
        if (c == '/' || c == '\\') {
          ++p;
          state = State::FileHost;
          break;
        }
        if (base != nullptr && base->scheme_ == Scheme::File) {
          copy_authority(u, *base);
          if (!base->has_host_) set_empty_host(u);
          if (!starts_with_drive_letter(s, p)) {
            const std::string_view bp =
                std::string_view(base->href_).substr(base->path_start_, base->path_end() - base->path_start_);
            if (bp.size() >= 3 && is_normalized_drive_letter(bp.substr(1, 2)) &&
                (bp.size() == 3 || bp[3] == '/'))
              out.append(bp.substr(0, 3));
          }
        } else {
          set_empty_host(u);
        }
        state = State::Path;
        break;
      }

      case State::FileHost: {
        size_t e = p;
        while (e < n && s[e] != '/' && s[e] != '\\' && s[e] != '?' && s[e] != '#') ++e;
        const std::string_view buffer = s.substr(p, e - p);
        set_empty_host(u);
        if (is_drive_letter(buffer)) {
          // The drive letter quirk: the buffer is the path's first segment.
          state = State::Path;
          break;
        }
        if (!buffer.empty()) {
          if (auto err = url_detail::parse_host(buffer, true, out); err != url_detail::HostError::None)
            return host_error(err);
          if (std::string_view(out).substr(u.host_start_) == "localhost") out.resize(u.host_start_);
          u.host_end_ = u.path_start_ = out.size();
        }
        p = e;
        state = State::PathStart;
        break;
      }

      case State::PathStart: {
        const int c = at(p);
        if (special) {
          if (c == '/' || c == '\\') ++p;
          state = State::Path;
        } else if (c == '?') {
          start_query(u);
          ++p;
          state = State::Query;
        } else if (c == '#') {
          start_fragment(u);
          ++p;
          state = State::Fragment;
        } else if (c != -1) {
          if (c == '/') ++p;
          state = State::Path;
        } else {
          state = State::Done;
        }
        break;
      }

      case State::Path: {
        const std::uint8_t ends = special ? kEndsSpecialSegment : kEndsSegment;
        for (;;) {
          out += '/';
          const size_t seg = out.size();
          size_t q = p;
          while (q < n && !ends_at(s[q], ends)) ++q;
          append_encoded(out, s.substr(p, q - p), url_detail::kPathSet);
          const bool slash = q < n && (s[q] == '/' || s[q] == '\\');  // "\" ends only special segments
          const std::string_view segment = std::string_view(out).substr(seg);
          if (is_double_dot(segment)) {
            out.resize(seg - 1);
            shorten_path(u);
            if (!slash) out += '/';
          } else if (is_single_dot(segment)) {
            out.resize(slash ? seg - 1 : seg);
          } else if (u.scheme_ == Scheme::File && seg - 1 == u.path_start_ && is_drive_letter(segment)) {
            out[seg + 1] = ':';
          }
          p = q;
          if (!slash) break;
          ++p;
        }
        const int c = at(p);
        if (c == '?') {
          start_query(u);
          ++p;
          state = State::Query;
        } else if (c == '#') {
          start_fragment(u);
          ++p;
          state = State::Fragment;
        } else {
          state = State::Done;
        }
        break;
      }

      case State::OpaquePath: {
        u.opaque_path_ = true;
        u.path_start_ = out.size();
        size_t q = p;
        while (q < n && s[q] != '?' && s[q] != '#') ++q;
        if (q < n && q > p && s[q - 1] == ' ') {
          // A space right before the query or fragment is encoded, so that it stays.
          append_encoded(out, s.substr(p, q - 1 - p), url_detail::kC0Set);
          out += "%20";
        } else {
          append_encoded(out, s.substr(p, q - p), url_detail::kC0Set);
        }
        p = q;
        const int c = at(p);
        if (c == '?') {
          start_query(u);
          ++p;
          state = State::Query;
        } else if (c == '#') {
          start_fragment(u);
          ++p;
          state = State::Fragment;
        } else {
          state = State::Done;
        }
        break;
      }

      case State::Query: {
        size_t q = p;
        while (q < n && s[q] != '#') ++q;
        append_encoded(out, s.substr(p, q - p),
                       special ? url_detail::kSpecialQuerySet : url_detail::kQuerySet);
        p = q;
        if (q < n) {
          start_fragment(u);
          ++p;
          state = State::Fragment;
        } else {
          state = State::Done;
        }
        break;
      }

      case State::Fragment:
        append_encoded(out, s.substr(p), url_detail::kFragmentSet);
        state = State::Done;
        break;

      case State::Done: {
        // The serializer's "/." for a host-less path whose first segment is empty.
        if (!u.has_host_ && !u.opaque_path_ && u.path_end() - u.path_start_ > 1 &&
            out[u.path_start_] == '/' && out[u.path_start_ + 1] == '/') {
          out.insert(u.path_start_, "/.");
          u.path_start_ += 2;
          if (u.query_start_ != Url::npos) u.query_start_ += 2;
          if (u.fragment_start_ != Url::npos) u.fragment_start_ += 2;
        }
        return nullptr;
      }
    }
  }
}

namespace {

bool is_tab_or_newline(unsigned char c) { return c == '\t' || c == '\n' || c == '\r'; }

// Valid UTF-8 without ASCII tabs and newlines: `s` itself, or a copy in `buffer`.
std::string_view clean_input(std::string_view s, std::string& buffer) {
  // Eight bytes at a time: any byte with the high bit set, any tab, LF or CR.
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
  const auto has_zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  std::uint64_t high = 0, tabs = 0;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    high |= w;
    tabs |= has_zero_byte(w ^ (kOnes * '\t')) | has_zero_byte(w ^ (kOnes * '\n')) |
            has_zero_byte(w ^ (kOnes * '\r'));
  }
  for (; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    high |= c;
    tabs |= is_tab_or_newline(c) ? 1u : 0u;
  }
  if ((high & kHighs) != 0 && !is_valid_utf8(s)) {
    buffer = lossy_utf8(s);
    s = buffer;
  }
  if (tabs) {
    std::string t;
    t.reserve(s.size());
    for (char c : s)
      if (!is_tab_or_newline(static_cast<unsigned char>(c))) t += c;
    buffer = std::move(t);
    s = buffer;
  }
  return s;
}

}  // namespace

Result<Url> Url::parse(std::string_view input, const Url* base) {
  size_t b = 0, e = input.size();
  while (b < e && static_cast<unsigned char>(input[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(input[e - 1]) <= 0x20) --e;
  std::string buffer;
  const std::string_view s = clean_input(input.substr(b, e - b), buffer);
  Url url;
  if (const char* error = UrlParser::run(url, s, base)) return fail(error);
  return url;
}

std::string Url::protocol() const { return href_.substr(0, scheme_end_ + 1); }

std::string Url::username() const {
  if (!has_host_) return {};
  return href_.substr(scheme_end_ + 3, username_end_ - (scheme_end_ + 3));
}

std::string Url::password() const {
  if (!has_host_ || username_end_ >= host_start_ || href_[username_end_] != ':') return {};
  return href_.substr(username_end_ + 1, host_start_ - 1 - (username_end_ + 1));
}

std::string Url::host() const {
  if (!has_host_) return {};
  return href_.substr(host_start_, path_start_ - host_start_);
}

std::string Url::hostname() const {
  if (!has_host_) return {};
  return href_.substr(host_start_, host_end_ - host_start_);
}

std::string Url::port() const { return port_ < 0 ? std::string() : std::to_string(port_); }

std::string Url::pathname() const { return href_.substr(path_start_, path_end() - path_start_); }

std::string Url::search() const {
  if (query_start_ == npos || query_end() - query_start_ <= 1) return {};
  return href_.substr(query_start_, query_end() - query_start_);
}

std::string Url::hash() const {
  if (fragment_start_ == npos || href_.size() - fragment_start_ <= 1) return {};
  return href_.substr(fragment_start_);
}

void Url::set_search(std::string_view value) {
  const size_t start = path_end();
  const size_t end = query_end();
  if (value.empty()) {
    href_.erase(start, end - start);
    query_start_ = npos;
    if (fragment_start_ != npos) fragment_start_ = start;
    return;
  }
  if (value.front() == '?') value.remove_prefix(1);
  std::string buffer;
  const std::string_view clean = clean_input(value, buffer);
  std::string query = "?";
  query.reserve(clean.size() + 1);
  append_encoded(query, clean, is_special() ? url_detail::kSpecialQuerySet : url_detail::kQuerySet);
  href_.replace(start, end - start, query);
  query_start_ = start;
  if (fragment_start_ != npos) fragment_start_ = start + query.size();
}

bool is_http_url(std::string_view text) {
  const auto url = Url::parse(text);
  if (!url) return false;
  const std::string_view scheme = url->scheme();
  return scheme == "http" || scheme == "https";
}

}  // namespace norvane
