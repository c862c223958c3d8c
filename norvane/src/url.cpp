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
  return s.size() == 2 && is_alpha(static_cast<unsigned char>(s[0])) &&
         (s[1] == ':' || s[1] == '|');
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

// Where the host in s[p, end) ends: at the first ":" outside brackets, else at `end`.
size_t host_end(std::string_view s, size_t p, size_t end) {
  bool brackets = false;
  for (; p < end; ++p) {
    const char c = s[p];
    if (c == ':' && !brackets) break;
    if (c == '[') brackets = true;
    if (c == ']') brackets = false;
  }
  return p;
}

bool is_percent_2e(std::string_view s, size_t i) {
  return s.size() >= i + 3 && s[i] == '%' && s[i + 1] == '2' && (s[i + 2] | 0x20) == 'e';
}
bool is_single_dot(std::string_view s) {
  return s == "." || (s.size() == 3 && is_percent_2e(s, 0));
}
bool is_double_dot(std::string_view s) {
  switch (s.size()) {
    case 2:
      return s == "..";
    case 4:
      return (s[0] == '.' && is_percent_2e(s, 1)) || (is_percent_2e(s, 0) && s[3] == '.');
    case 6:
      return is_percent_2e(s, 0) && is_percent_2e(s, 3);
    default:
      return false;
  }
}

}  // namespace

// The parser's states. Each state with a body is a member function that consumes its
// run of input and returns the next state; parse() is the loop that dispatches them. The
// state functions are forced inline into that loop, so that the position, the flags
// and the output stay in registers as in one function.
class UrlParser {
 public:
  using Scheme = Url::SchemeType;

  // Parses `s` (trimmed, without tabs and newlines, valid UTF-8) into `u`. Returns
  // null on success, else the error message.
  static const char* run(Url& u, std::string_view s, const Url* base);

 private:
  enum class State : std::uint8_t {
    SchemeStart,
    Scheme,
    NoScheme,
    SpecialRelativeOrAuthority,
    PathOrAuthority,
    Relative,
    RelativeSlash,
    SpecialAuthoritySlashes,
    SpecialAuthorityIgnoreSlashes,
    Authority,
    File,
    FileSlash,
    FileHost,
    PathStart,
    Path,
    OpaquePath,
    Query,
    Fragment,
    Done,
    Failure,
  };

  UrlParser(Url& u, std::string_view s, const Url* base)
      : u_(u), out_(u.href_), s_(s), n_(s.size()), base_(base) {}

  // The code point at `i`, or -1 past the end (the Standard's EOF code point).
  int at(size_t i) const { return i < n_ ? static_cast<unsigned char>(s_[i]) : -1; }
  // The input from `begin` to `end`. Not s_.substr(): a call that is not inlined would
  // take the parser's address and keep its position out of registers.
  std::string_view input(size_t begin, size_t end) const {
    return std::string_view(s_.data() + begin, end - begin);
  }

  State fail(const char* message) {
    error_ = message;
    return State::Failure;
  }

  // The state loop; null on success, else the error message.
  [[gnu::always_inline]] inline const char* parse();

  [[gnu::always_inline]] inline State scheme_start_state();
  [[gnu::always_inline]] inline State scheme_state();
  [[gnu::always_inline]] inline State no_scheme_state();
  [[gnu::always_inline]] inline State special_relative_or_authority_state();
  [[gnu::always_inline]] inline State path_or_authority_state();
  [[gnu::always_inline]] inline State relative_state();
  [[gnu::always_inline]] inline State relative_slash_state();
  [[gnu::always_inline]] inline State special_authority_slashes_state();
  [[gnu::always_inline]] inline void skip_slashes();
  [[gnu::always_inline]] inline State authority_state();
  [[gnu::always_inline]] inline bool credentials(size_t at_sign, size_t end);
  [[gnu::always_inline]] inline State host_and_port(size_t end);
  [[gnu::always_inline]] inline State file_state();
  [[gnu::always_inline]] inline State file_slash_state();
  [[gnu::always_inline]] inline State file_host_state();
  [[gnu::always_inline]] inline State path_start_state();
  [[gnu::always_inline]] inline State path_state();
  [[gnu::always_inline]] inline State opaque_path_state();
  [[gnu::always_inline]] inline State query_state();
  [[gnu::always_inline]] inline State fragment_state();
  [[gnu::always_inline]] inline void finish();

  // What may follow a path: "?" starts the query, "#" the fragment, and anything else
  // (the end of the input) ends the URL.
  [[gnu::always_inline]] inline State query_or_fragment() {
    if (at(p_) == '?') {
      start_query(u_);
      ++p_;
      return State::Query;
    }
    return fragment_or_done();
  }
  [[gnu::always_inline]] inline State fragment_or_done() {
    if (at(p_) == '#') {
      start_fragment(u_);
      ++p_;
      return State::Fragment;
    }
    return State::Done;
  }
  // After the base's path was copied and the input is at "?", "#" or its end: the
  // base's query stays unless the input brings its own.
  [[gnu::always_inline]] inline State after_base_path(int c) {
    if (c != '?') copy_query(u_, *base_);
    return query_or_fragment();
  }

  static Scheme scheme_type(std::string_view scheme) {
    switch (scheme.size()) {
      case 2:
        return scheme == "ws" ? Scheme::Ws : Scheme::NotSpecial;
      case 3:
        if (scheme == "wss") return Scheme::Wss;
        if (scheme == "ftp") return Scheme::Ftp;
        return Scheme::NotSpecial;
      case 4:
        if (scheme == "http") return Scheme::Http;
        if (scheme == "file") return Scheme::File;
        return Scheme::NotSpecial;
      case 5:
        return scheme == "https" ? Scheme::Https : Scheme::NotSpecial;
      default:
        return Scheme::NotSpecial;
    }
  }

  static int default_port(Scheme type) {
    switch (type) {
      case Scheme::Http:
      case Scheme::Ws:
        return 80;
      case Scheme::Https:
      case Scheme::Wss:
        return 443;
      case Scheme::Ftp:
        return 21;
      default:
        return -1;
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
      case url_detail::HostError::InvalidIpv4:
        return "invalid IPv4 address";
      case url_detail::HostError::InvalidIpv6:
        return "invalid IPv6 address";
      default:
        return "invalid host";
    }
  }

  Url& u_;
  std::string& out_;  // u_.href_, the serialization written so far
  const std::string_view s_;
  const size_t n_;
  const Url* const base_;
  size_t p_ = 0;  // the pointer: the next code point to read
  bool special_ = false;
  const char* error_ = nullptr;
};

const char* UrlParser::run(Url& u, std::string_view s, const Url* base) {
  u.href_.clear();
  u.href_.reserve(s.size() + 8);
  UrlParser parser(u, s, base);
  return parser.parse();
}

const char* UrlParser::parse() {
  State state = State::SchemeStart;
  for (;;) {
    switch (state) {
      case State::SchemeStart:
        state = scheme_start_state();
        break;
      case State::Scheme:
        state = scheme_state();
        break;
      case State::NoScheme:
        state = no_scheme_state();
        break;
      case State::SpecialRelativeOrAuthority:
        state = special_relative_or_authority_state();
        break;
      case State::PathOrAuthority:
        state = path_or_authority_state();
        break;
      case State::Relative:
        state = relative_state();
        break;
      case State::RelativeSlash:
        state = relative_slash_state();
        break;
      case State::SpecialAuthoritySlashes:
        state = special_authority_slashes_state();
        break;
      case State::SpecialAuthorityIgnoreSlashes:
        // Always followed by the authority state: falling through spares every special
        // URL a jump through the state table.
        skip_slashes();
        [[fallthrough]];
      case State::Authority:
        state = authority_state();
        break;
      case State::File:
        state = file_state();
        break;
      case State::FileSlash:
        state = file_slash_state();
        break;
      case State::FileHost:
        state = file_host_state();
        break;
      case State::PathStart:
        state = path_start_state();
        break;
      case State::Path:
        state = path_state();
        break;
      case State::OpaquePath:
        state = opaque_path_state();
        break;
      case State::Query:
        state = query_state();
        break;
      case State::Fragment:
        state = fragment_state();
        break;
      case State::Done:
        finish();
        return nullptr;
      case State::Failure:
        return error_;
    }
  }
}

UrlParser::State UrlParser::scheme_start_state() {
  return is_alpha(at(0)) ? State::Scheme : State::NoScheme;
}

UrlParser::State UrlParser::scheme_state() {
  size_t q = 0;
  while (q < n_ && is_scheme_char(static_cast<unsigned char>(s_[q]))) ++q;
  if (q == n_ || s_[q] != ':') return State::NoScheme;
  out_.resize(q);
  for (size_t i = 0; i < q; ++i) {
    const char c = s_[i];
    out_[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
  }
  out_ += ':';
  u_.scheme_end_ = q;
  u_.scheme_ = scheme_type(std::string_view(out_).substr(0, q));
  special_ = u_.scheme_ != Scheme::NotSpecial;
  set_no_host(u_);
  p_ = q + 1;
  if (u_.scheme_ == Scheme::File) return State::File;
  if (special_ && base_ != nullptr && base_->scheme() == u_.scheme()) {
    return State::SpecialRelativeOrAuthority;
  }
  if (special_) return State::SpecialAuthoritySlashes;
  if (at(p_) == '/') {
    ++p_;
    return State::PathOrAuthority;
  }
  return State::OpaquePath;
}

UrlParser::State UrlParser::no_scheme_state() {
  p_ = 0;
  const int c = at(p_);
  if (base_ == nullptr || (base_->opaque_path_ && c != '#')) {
    return fail("relative URL without a base");
  }
  if (!base_->opaque_path_) return base_->scheme_ != Scheme::File ? State::Relative : State::File;
  // A fragment-only reference to a URL with an opaque path.
  out_.assign(base_->href_, 0, base_->query_end());
  u_.scheme_end_ = base_->scheme_end_;
  u_.scheme_ = base_->scheme_;
  special_ = u_.scheme_ != Scheme::NotSpecial;
  set_no_host(u_);
  u_.path_start_ = base_->path_start_;
  u_.opaque_path_ = true;
  u_.query_start_ = base_->query_start_;
  start_fragment(u_);
  ++p_;
  return State::Fragment;
}

UrlParser::State UrlParser::special_relative_or_authority_state() {
  if (at(p_) == '/' && at(p_ + 1) == '/') {
    p_ += 2;
    return State::SpecialAuthorityIgnoreSlashes;
  }
  return State::Relative;
}

UrlParser::State UrlParser::path_or_authority_state() {
  if (at(p_) == '/') {
    ++p_;
    return State::Authority;
  }
  return State::Path;
}

UrlParser::State UrlParser::relative_state() {
  copy_scheme(u_, *base_);
  special_ = u_.scheme_ != Scheme::NotSpecial;
  const int c = at(p_);
  if (c == '/' || (special_ && c == '\\')) {
    ++p_;
    return State::RelativeSlash;
  }
  copy_authority(u_, *base_);
  copy_path(u_, *base_);
  if (c == '?' || c == '#' || c == -1) return after_base_path(c);
  shorten_path(u_);
  return State::Path;
}

UrlParser::State UrlParser::relative_slash_state() {
  const int c = at(p_);
  if (special_ && (c == '/' || c == '\\')) {
    ++p_;
    return State::SpecialAuthorityIgnoreSlashes;
  }
  if (c == '/') {
    ++p_;
    return State::Authority;
  }
  copy_authority(u_, *base_);
  return State::Path;
}

UrlParser::State UrlParser::special_authority_slashes_state() {
  if (at(p_) == '/' && at(p_ + 1) == '/') p_ += 2;
  return State::SpecialAuthorityIgnoreSlashes;
}

// The special authority ignore slashes state.
void UrlParser::skip_slashes() {
  while (at(p_) == '/' || at(p_) == '\\') ++p_;
}

// The authority runs to the first "/", "?", "#" (or "\" when special); the
// credentials end at its last "@".
UrlParser::State UrlParser::authority_state() {
  const std::uint8_t ends = special_ ? kEndsSpecialSegment : kEndsSegment;
  size_t e = p_;
  size_t at_sign = Url::npos;
  for (; e < n_ && !ends_at(s_[e], ends); ++e) {
    if (s_[e] == '@') at_sign = e;
  }
  out_.resize(u_.scheme_end_ + 1);
  out_ += "//";
  u_.has_host_ = true;
  if (at_sign != Url::npos) {
    if (!credentials(at_sign, e)) return fail("missing host");
  } else {
    u_.username_end_ = out_.size();
  }
  return host_and_port(e);
}

// The username and password before the "@" at `at_sign`; false when no host follows
// before `end`.
bool UrlParser::credentials(size_t at_sign, size_t end) {
  const size_t user_start = out_.size();
  const std::string_view cred = input(p_, at_sign);
  const size_t colon = cred.find(':');
  append_encoded(out_, cred.substr(0, colon), url_detail::kUserinfoSet);
  u_.username_end_ = out_.size();
  if (colon != std::string_view::npos) {
    out_ += ':';
    append_encoded(out_, cred.substr(colon + 1), url_detail::kUserinfoSet);
    if (out_.size() == u_.username_end_ + 1) out_.pop_back();  // empty password
  }
  if (out_.size() > user_start) out_ += '@';
  p_ = at_sign + 1;
  return p_ != end;
}

// The host state, up to a ":" outside brackets, and the port state, to `end`.
UrlParser::State UrlParser::host_and_port(size_t end) {
  u_.host_start_ = out_.size();
  const size_t q = host_end(s_, p_, end);
  if (q == p_ && (q < end || special_)) return fail("missing host");
  if (auto err = url_detail::parse_host(input(p_, q), special_, out_);
      err != url_detail::HostError::None)
    return fail(host_error(err));
  u_.host_end_ = out_.size();
  u_.port_ = -1;
  if (q < end) {
    size_t d = q + 1;
    std::uint32_t port = 0;
    while (d < end && is_digit(static_cast<unsigned char>(s_[d]))) {
      port = port * 10 + static_cast<std::uint32_t>(s_[d] - '0');
      if (port > 65535) return fail("invalid port number");
      ++d;
    }
    if (d != end) return fail("invalid port number");
    if (d > q + 1 && static_cast<int>(port) != default_port(u_.scheme_)) {
      u_.port_ = static_cast<std::int32_t>(port);
      out_ += ':';
      out_ += std::to_string(port);
    }
  }
  u_.path_start_ = out_.size();
  p_ = end;
  return State::PathStart;
}

UrlParser::State UrlParser::file_state() {
  out_.assign("file:");
  u_.scheme_end_ = 4;
  u_.scheme_ = Scheme::File;
  special_ = true;
  set_no_host(u_);
  const int c = at(p_);
  if (c == '/' || c == '\\') {
    ++p_;
    return State::FileSlash;
  }
  if (base_ == nullptr || base_->scheme_ != Scheme::File) {
    set_empty_host(u_);
    return State::Path;
  }
  copy_authority(u_, *base_);
  copy_path(u_, *base_);
  if (c == '?' || c == '#' || c == -1) return after_base_path(c);
  if (!starts_with_drive_letter(s_, p_)) {
    shorten_path(u_);
  } else {
    out_.resize(u_.path_start_);
  }
  return State::Path;
}

UrlParser::State UrlParser::file_slash_state() {
  const int c = at(p_);
  if (c == '/' || c == '\\') {
    ++p_;
    return State::FileHost;
  }
  if (base_ == nullptr || base_->scheme_ != Scheme::File) {
    set_empty_host(u_);
    return State::Path;
  }
  copy_authority(u_, *base_);
  if (!base_->has_host_) set_empty_host(u_);
  if (!starts_with_drive_letter(s_, p_)) {
    const size_t start = base_->path_start_;
    const std::string_view bp =
        std::string_view(base_->href_).substr(start, base_->path_end() - start);
    if (bp.size() >= 3 && is_normalized_drive_letter(bp.substr(1, 2)) &&
        (bp.size() == 3 || bp[3] == '/'))
      out_.append(bp.substr(0, 3));
  }
  return State::Path;
}

UrlParser::State UrlParser::file_host_state() {
  size_t e = p_;
  while (e < n_ && s_[e] != '/' && s_[e] != '\\' && s_[e] != '?' && s_[e] != '#') ++e;
  const std::string_view buffer = input(p_, e);
  set_empty_host(u_);
  // The drive letter quirk: the buffer is the path's first segment.
  if (is_drive_letter(buffer)) return State::Path;
  if (!buffer.empty()) {
    if (auto err = url_detail::parse_host(buffer, true, out_); err != url_detail::HostError::None)
      return fail(host_error(err));
    if (std::string_view(out_).substr(u_.host_start_) == "localhost") out_.resize(u_.host_start_);
    u_.host_end_ = u_.path_start_ = out_.size();
  }
  p_ = e;
  return State::PathStart;
}

UrlParser::State UrlParser::path_start_state() {
  const int c = at(p_);
  if (special_) {
    if (c == '/' || c == '\\') ++p_;
    return State::Path;
  }
  if (c == '?' || c == '#' || c == -1) return query_or_fragment();
  if (c == '/') ++p_;
  return State::Path;
}

// The path's segments, each up to "/", "?", "#" (or "\" when special), with "." and
// ".." segments applied as they are written.
UrlParser::State UrlParser::path_state() {
  const std::uint8_t ends = special_ ? kEndsSpecialSegment : kEndsSegment;
  for (;;) {
    out_ += '/';
    const size_t seg = out_.size();
    size_t q = p_;
    while (q < n_ && !ends_at(s_[q], ends)) ++q;
    append_encoded(out_, input(p_, q), url_detail::kPathSet);
    const bool slash = q < n_ && (s_[q] == '/' || s_[q] == '\\');  // "\" ends only special segments
    const std::string_view segment = std::string_view(out_).substr(seg);
    if (is_double_dot(segment)) {
      out_.resize(seg - 1);
      shorten_path(u_);
      if (!slash) out_ += '/';
    } else if (is_single_dot(segment)) {
      out_.resize(slash ? seg - 1 : seg);
    } else if (u_.scheme_ == Scheme::File && seg - 1 == u_.path_start_ &&
               is_drive_letter(segment)) {
      out_[seg + 1] = ':';
    }
    p_ = q;
    if (!slash) break;
    ++p_;
  }
  return query_or_fragment();
}

UrlParser::State UrlParser::opaque_path_state() {
  u_.opaque_path_ = true;
  u_.path_start_ = out_.size();
  size_t q = p_;
  while (q < n_ && s_[q] != '?' && s_[q] != '#') ++q;
  if (q < n_ && q > p_ && s_[q - 1] == ' ') {
    // A space right before the query or fragment is encoded, so that it stays.
    append_encoded(out_, input(p_, q - 1), url_detail::kC0Set);
    out_ += "%20";
  } else {
    append_encoded(out_, input(p_, q), url_detail::kC0Set);
  }
  p_ = q;
  return query_or_fragment();
}

UrlParser::State UrlParser::query_state() {
  size_t q = p_;
  while (q < n_ && s_[q] != '#') ++q;
  append_encoded(out_, input(p_, q),
                 special_ ? url_detail::kSpecialQuerySet : url_detail::kQuerySet);
  p_ = q;
  return fragment_or_done();
}

UrlParser::State UrlParser::fragment_state() {
  append_encoded(out_, input(p_, n_), url_detail::kFragmentSet);
  return State::Done;
}

// The serializer's "/." for a host-less path whose first segment is empty.
void UrlParser::finish() {
  if (!u_.has_host_ && !u_.opaque_path_ && u_.path_end() - u_.path_start_ > 1 &&
      out_[u_.path_start_] == '/' && out_[u_.path_start_ + 1] == '/') {
    out_.insert(u_.path_start_, "/.");
    u_.path_start_ += 2;
    if (u_.query_start_ != Url::npos) u_.query_start_ += 2;
    if (u_.fragment_start_ != Url::npos) u_.fragment_start_ += 2;
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
