// Host parsing for the URL parser: opaque hosts, IPv6, domains (percent-decoding,
// domain to ASCII through UTS #46, forbidden code points) and IPv4 in all its forms.
#include "url_host.h"

#include <array>
#include <vector>

#include <unicode/uidna.h>

#include <norvane/util.h>

#include "percent_encode.h"

namespace norvane::url_detail {

namespace {

unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c | 0x20 : c; }

// Forbidden host code points (all ASCII).
constexpr std::array<bool, 128> make_forbidden_host() {
  std::array<bool, 128> t{};
  constexpr char kChars[] = "\0\t\n\r #/:<>?@[\\]^|";
  for (char c : std::string_view(kChars, sizeof kChars - 1))
    t[static_cast<unsigned char>(c)] = true;
  return t;
}
constexpr std::array<bool, 128> kForbiddenHost = make_forbidden_host();

bool forbidden_host(unsigned char c) { return c < 128 && kForbiddenHost[c]; }

// Forbidden domain code points: the forbidden host code points, C0 controls, "%" and
// U+007F (only ASCII is looked up).
constexpr std::array<bool, 256> make_forbidden_domain() {
  std::array<bool, 256> t{};
  for (size_t c = 0; c < 128; ++c) t[c] = c < 0x20 || c == '%' || c == 0x7F || kForbiddenHost[c];
  return t;
}
constexpr std::array<bool, 256> kForbiddenDomain = make_forbidden_domain();
bool forbidden_domain(unsigned char c) { return kForbiddenDomain[c]; }

// ---- IPv6 -------------------------------------------------------------------------

bool parse_ipv6(std::string_view in, std::array<std::uint16_t, 8>& address) {
  address.fill(0);
  const size_t n = in.size();
  size_t p = 0;
  int piece = 0;
  int compress = -1;
  auto at = [&](size_t i) -> int { return i < n ? static_cast<unsigned char>(in[i]) : -1; };
  if (at(p) == ':') {
    if (at(p + 1) != ':') return false;
    p += 2;
    ++piece;
    compress = piece;
  }
  while (at(p) != -1) {
    if (piece == 8) return false;
    if (at(p) == ':') {
      if (compress != -1) return false;
      ++p;
      ++piece;
      compress = piece;
      continue;
    }
    unsigned value = 0;
    int length = 0;
    while (length < 4 && at(p) != -1 && is_ascii_hex(static_cast<unsigned char>(at(p)))) {
      value = value * 16 + static_cast<unsigned>(hex_value(static_cast<unsigned char>(at(p))));
      ++p;
      ++length;
    }
    if (at(p) == '.') {
      if (length == 0) return false;
      p -= static_cast<size_t>(length);
      if (piece > 6) return false;
      int numbers_seen = 0;
      while (at(p) != -1) {
        int ipv4_piece = -1;
        if (numbers_seen > 0) {
          if (at(p) == '.' && numbers_seen < 4) {
            ++p;
          } else {
            return false;
          }
        }
        if (at(p) == -1 || !is_ascii_digit(static_cast<unsigned char>(at(p)))) return false;
        while (at(p) != -1 && is_ascii_digit(static_cast<unsigned char>(at(p)))) {
          const int number = at(p) - '0';
          if (ipv4_piece == -1) {
            ipv4_piece = number;
          } else if (ipv4_piece == 0) {
            return false;
          } else {
            ipv4_piece = ipv4_piece * 10 + number;
          }
          if (ipv4_piece > 255) return false;
          ++p;
        }
        address[static_cast<size_t>(piece)] =
            static_cast<std::uint16_t>(address[static_cast<size_t>(piece)] * 0x100 + ipv4_piece);
        ++numbers_seen;
        if (numbers_seen == 2 || numbers_seen == 4) ++piece;
      }
      if (numbers_seen != 4) return false;
      break;
    } else if (at(p) == ':') {
      ++p;
      if (at(p) == -1) return false;
    } else if (at(p) != -1) {
      return false;
    }
    address[static_cast<size_t>(piece)] = static_cast<std::uint16_t>(value);
    ++piece;
  }
  if (compress != -1) {
    int swaps = piece - compress;
    piece = 7;
    while (piece != 0 && swaps > 0) {
      std::swap(address[static_cast<size_t>(piece)],
                address[static_cast<size_t>(compress + swaps - 1)]);
      --piece;
      --swaps;
    }
  } else if (piece != 8) {
    return false;
  }
  return true;
}

void serialize_ipv6(const std::array<std::uint16_t, 8>& a, std::string& out) {
  // The first longest run of two or more zero pieces is compressed.
  int compress = -1, best = 1;
  for (int i = 0; i < 8;) {
    if (a[static_cast<size_t>(i)] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && a[static_cast<size_t>(j)] == 0) ++j;
    if (j - i > best) {
      best = j - i;
      compress = i;
    }
    i = j;
  }
  out += '[';
  bool ignore0 = false;
  for (int i = 0; i < 8; ++i) {
    const std::uint16_t v = a[static_cast<size_t>(i)];
    if (ignore0 && v == 0) continue;
    ignore0 = false;
    if (compress == i) {
      out += i == 0 ? "::" : ":";
      ignore0 = true;
      continue;
    }
    char buf[4];
    int len = 0;
    std::uint16_t x = v;
    do {
      buf[len++] = "0123456789abcdef"[x & 0xF];
      x = static_cast<std::uint16_t>(x >> 4);
    } while (x != 0);
    while (len > 0) out += buf[--len];
    if (i != 7) out += ':';
  }
  out += ']';
}

// ---- IPv4 -------------------------------------------------------------------------

// The IPv4 number parser; values past 2^32 saturate (they fail later anyway).
bool parse_ipv4_number(std::string_view in, std::uint64_t* value) {
  if (in.empty()) return false;
  unsigned radix = 10;
  if (in.size() >= 2 && in[0] == '0' && (in[1] == 'x' || in[1] == 'X')) {
    in.remove_prefix(2);
    radix = 16;
  } else if (in.size() >= 2 && in[0] == '0') {
    in.remove_prefix(1);
    radix = 8;
  }
  std::uint64_t v = 0;
  constexpr std::uint64_t kCap = std::uint64_t{1} << 40;
  for (char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    unsigned d;
    if (radix == 16) {
      if (!is_ascii_hex(c)) return false;
      d = static_cast<unsigned>(hex_value(c));
    } else {
      if (!is_ascii_digit(c)) return false;
      d = c - '0';
      if (d >= radix) return false;
    }
    v = v * radix + d;
    if (v > kCap) v = kCap;
  }
  *value = v;
  return true;
}

// The "ends in a number" checker.
bool ends_in_number(std::string_view in) {
  if (in.empty()) return false;
  if (in.back() == '.') {
    in.remove_suffix(1);  // a trailing empty label is dropped (there are two or more)
  }
  const size_t dot = in.rfind('.');
  const std::string_view last = dot == std::string_view::npos ? in : in.substr(dot + 1);
  if (!last.empty()) {
    bool digits = true;
    for (char c : last) digits = digits && is_ascii_digit(static_cast<unsigned char>(c));
    if (digits) return true;
  }
  std::uint64_t ignored;
  return parse_ipv4_number(last, &ignored);
}

bool parse_ipv4(std::string_view in, std::uint32_t* address) {
  std::string_view parts[5];
  size_t count = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = in.find('.', start);
    const std::string_view part =
        in.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (count == 5) return false;
    parts[count++] = part;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (parts[count - 1].empty() && count > 1) --count;
  if (count > 4) return false;
  std::uint64_t numbers[4];
  for (size_t i = 0; i < count; ++i) {
    if (!parse_ipv4_number(parts[i], &numbers[i])) return false;
  }
  for (size_t i = 0; i + 1 < count; ++i) {
    if (numbers[i] > 255) return false;
  }
  if (numbers[count - 1] >= (std::uint64_t{1} << (8 * (5 - count)))) return false;
  std::uint64_t ipv4 = numbers[count - 1];
  for (size_t i = 0; i + 1 < count; ++i) ipv4 += numbers[i] << (8 * (3 - i));
  *address = static_cast<std::uint32_t>(ipv4);
  return true;
}

void serialize_ipv4(std::uint32_t a, std::string& out) {
  for (int i = 3; i >= 0; --i) {
    out += std::to_string((a >> (8 * i)) & 0xFF);
    if (i != 0) out += '.';
  }
}

// ---- Domain to ASCII --------------------------------------------------------------

const UIDNA* uts46() {
  static const UIDNA* const idna = [] {
    UErrorCode error = U_ZERO_ERROR;
    // CheckHyphens=false, CheckBidi=true, CheckJoiners=true, UseSTD3ASCIIRules=false,
    // Transitional_Processing=false; VerifyDnsLength=false is the error filter below.
    UIDNA* p =
        uidna_openUTS46(UIDNA_CHECK_BIDI | UIDNA_CHECK_CONTEXTJ | UIDNA_NONTRANSITIONAL_TO_ASCII |
                            UIDNA_NONTRANSITIONAL_TO_UNICODE,
                        &error);
    return U_FAILURE(error) ? nullptr : p;
  }();
  return idna;
}

// Errors that the Standard's options turn off: VerifyDnsLength=false (empty labels,
// lengths) and CheckHyphens=false (hyphens at the start, end, and in places 3-4).
constexpr std::uint32_t kIgnoredIdnaErrors =
    UIDNA_ERROR_EMPTY_LABEL | UIDNA_ERROR_LABEL_TOO_LONG | UIDNA_ERROR_DOMAIN_NAME_TOO_LONG |
    UIDNA_ERROR_LEADING_HYPHEN | UIDNA_ERROR_TRAILING_HYPHEN | UIDNA_ERROR_HYPHEN_3_4;

// The longest non-ASCII domain handed to ICU. The Standard sets no limit
// (VerifyDnsLength=false), but ICU's time grows with the square of the number of
// labels (about 0.2 s for 80,000), and no resolvable name comes near this: a longer
// one fails as an invalid host rather than stalling the parser.
constexpr size_t kMaxIdnaInput = 64 * 1024;

// UTS #46 ToASCII of a UTF-8 name; false on an error that counts.
bool icu_to_ascii(std::string_view name, std::string& result) {
  const UIDNA* idna = uts46();
  if (idna == nullptr || name.size() > kMaxIdnaInput) return false;
  result.resize(name.size() * 4 + 64);
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode error = U_ZERO_ERROR;
    UIDNAInfo info = UIDNA_INFO_INITIALIZER;
    const int32_t len =
        uidna_nameToASCII_UTF8(idna, name.data(), static_cast<int32_t>(name.size()), result.data(),
                               static_cast<int32_t>(result.size()), &info, &error);
    if (error == U_BUFFER_OVERFLOW_ERROR && attempt == 0) {
      result.resize(static_cast<size_t>(len) + 1);
      continue;
    }
    if (U_FAILURE(error)) return false;
    result.resize(static_cast<size_t>(len));
    return (info.errors & ~kIgnoredIdnaErrors) == 0;
  }
  return false;
}

// Label separators before mapping: U+002E, U+3002, U+FF0E, U+FF61 (UTS #46 maps the
// last three to U+002E). Returns the separator's length at `i`, or 0.
size_t separator_at(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  if (s[i] == '.') return 1;
  if (i + 2 < s.size()) {
    if (b(i) == 0xE3 && b(i + 1) == 0x80 && b(i + 2) == 0x82) return 3;
    if (b(i) == 0xEF && b(i + 1) == 0xBC && b(i + 2) == 0x8E) return 3;
    if (b(i) == 0xEF && b(i + 1) == 0xBD && b(i + 2) == 0xA1) return 3;
  }
  return 0;
}

bool is_ascii(std::string_view s) {
  unsigned high = 0;
  for (char c : s) high |= static_cast<unsigned char>(c);
  return (high & 0x80) == 0;
}

bool starts_with_ace_prefix(std::string_view label) {
  return label.size() >= 4 && (label[0] | 0x20) == 'x' && (label[1] | 0x20) == 'n' &&
         label[2] == '-' && label[3] == '-';
}

// A domain with non-ASCII code points. Its all-ASCII labels that start with "xn--"
// are kept as they are (lower-cased), as in an all-ASCII domain, whether or not their
// Punycode is valid: they reach ICU as a stand-in label of the same kind ("xnx-" and
// the rest: letters, digits and hyphens, no ACE prefix) so that the other labels are
// still checked in context (CheckBidi), and are put back afterwards.
bool unicode_domain_to_ascii(std::string_view domain, std::string& out) {
  struct Label {
    size_t begin, end;
  };
  std::vector<Label> labels;
  std::vector<size_t> ace;  // indices of ASCII "xn--" labels
  size_t begin = 0;
  for (size_t i = 0; i <= domain.size();) {
    const size_t sep = i < domain.size() ? separator_at(domain, i) : 1;
    if (sep == 0) {
      ++i;
      continue;
    }
    const std::string_view label = domain.substr(begin, i - begin);
    if (starts_with_ace_prefix(label) && is_ascii(label)) ace.push_back(labels.size());
    labels.push_back({begin, i});
    i += sep;
    begin = i;
  }

  std::string result;
  if (ace.empty()) {
    if (!icu_to_ascii(domain, result)) return false;
    out += result;
    return true;
  }
  std::string stand_in;
  stand_in.reserve(domain.size());
  size_t next_ace = 0;
  for (size_t k = 0; k < labels.size(); ++k) {
    const std::string_view label = domain.substr(labels[k].begin, labels[k].end - labels[k].begin);
    if (next_ace < ace.size() && ace[next_ace] == k) {
      ++next_ace;
      stand_in += label.size() == 4 ? std::string_view("xn-") : std::string_view("xnx-");
      stand_in.append(label.substr(4));
    } else {
      stand_in.append(label);
    }
    if (k + 1 < labels.size()) stand_in += '.';
  }
  if (!icu_to_ascii(stand_in, result)) return false;
  // Put the original labels back; a mapping that added label separators makes the
  // labels impossible to match, and then the domain is converted as it is.
  size_t count = 1;
  for (char c : result) count += c == '.';
  if (count != labels.size()) {
    if (!icu_to_ascii(domain, result)) return false;
    out += result;
    return true;
  }
  next_ace = 0;
  size_t pos = 0;
  for (size_t k = 0; k < labels.size(); ++k) {
    size_t dot = result.find('.', pos);
    if (dot == std::string::npos) dot = result.size();
    if (next_ace < ace.size() && ace[next_ace] == k) {
      ++next_ace;
      for (size_t i = labels[k].begin; i < labels[k].end; ++i)
        out += static_cast<char>(ascii_lower(static_cast<unsigned char>(domain[i])));
    } else {
      out.append(result, pos, dot - pos);
    }
    if (k + 1 < labels.size()) out += '.';
    pos = dot + 1;
  }
  return true;
}

}  // namespace

bool domain_to_ascii(std::string_view domain, std::string& out) {
  const size_t start = out.size();
  if (domain.empty()) return false;
  if (is_ascii(domain)) {
    // ASCII: UTS #46 only lower-cases it (UseSTD3ASCIIRules=false); labels starting
    // with "xn--" are kept as they are.
    out.resize(start + domain.size());
    char* dst = out.data() + start;
    bool forbidden = false;
    for (size_t i = 0; i < domain.size(); ++i) {
      const auto c = static_cast<unsigned char>(domain[i]);
      forbidden |= kForbiddenDomain[c];
      dst[i] = static_cast<char>(ascii_lower(c));
    }
    return !forbidden;
  }
  if (!unicode_domain_to_ascii(domain, out)) return false;
  if (out.size() == start) return false;
  for (size_t i = start; i < out.size(); ++i) {
    if (forbidden_domain(static_cast<unsigned char>(out[i]))) return false;
  }
  return true;
}

HostError parse_host(std::string_view input, bool special, std::string& out) {
  if (!input.empty() && input.front() == '[') {
    if (input.size() < 2 || input.back() != ']') return HostError::InvalidIpv6;
    std::array<std::uint16_t, 8> address;
    if (!parse_ipv6(input.substr(1, input.size() - 2), address)) return HostError::InvalidIpv6;
    serialize_ipv6(address, out);
    return HostError::None;
  }
  if (!special) {
    // Opaque host.
    for (char c : input) {
      if (forbidden_host(static_cast<unsigned char>(c))) return HostError::Invalid;
    }
    append_encoded(out, input, kC0Set);
    return HostError::None;
  }
  // Domain: percent-decode, UTF-8 decode without BOM, domain to ASCII.
  std::string decoded;
  std::string_view domain = input;
  if (input.find('%') != std::string_view::npos) {
    decoded.reserve(input.size());
    append_decoded(decoded, input);
    if (!is_valid_utf8(decoded)) decoded = lossy_utf8(decoded);
    domain = decoded;
  }
  const size_t start = out.size();
  if (!domain_to_ascii(domain, out)) return HostError::Invalid;
  const std::string_view ascii = std::string_view(out).substr(start);
  if (ends_in_number(ascii)) {
    std::uint32_t address;
    if (!parse_ipv4(ascii, &address)) return HostError::InvalidIpv4;
    out.resize(start);
    serialize_ipv4(address, out);
  }
  return HostError::None;
}

}  // namespace norvane::url_detail
