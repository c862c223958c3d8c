#include <norvane/semver.h>

#include <algorithm>

#include <norvane/util.h>

namespace norvane {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}
bool all_digits(std::string_view s) { return std::all_of(s.begin(), s.end(), is_digit); }

// Reads one version number at text[*pos]; returns an error message or empty.
std::string read_number(std::string_view text, size_t* pos, const char* what, uint64_t* out) {
  const size_t start = *pos;
  while (*pos < text.size() && is_digit(text[*pos])) ++*pos;
  const std::string_view digits = text.substr(start, *pos - start);
  if (digits.empty()) return std::string("expected a ") + what + " version number";
  if (digits.size() > 1 && digits[0] == '0')
    return std::string("leading zero in the ") + what + " version number";
  const std::optional<uint64_t> value = parse_decimal_u64(digits);
  if (!value) return std::string("the ") + what + " version number does not fit in 64 bits";
  *out = *value;
  return {};
}

// Checks dot-separated identifiers; numeric ones may not have leading zeros when
// `numeric_no_leading_zero` is set (pre-release).
std::string check_identifiers(std::string_view list, const char* what,
                              bool numeric_no_leading_zero) {
  size_t start = 0;
  for (;;) {
    const size_t dot = list.find('.', start);
    const std::string_view id =
        list.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (id.empty()) return std::string("empty identifier in the ") + what;
    if (!std::all_of(id.begin(), id.end(), is_ident_char))
      return std::string("invalid character in the ") + what;
    if (numeric_no_leading_zero && id.size() > 1 && id[0] == '0' && all_digits(id))
      return std::string("leading zero in a numeric identifier of the ") + what;
    if (dot == std::string_view::npos) return {};
    start = dot + 1;
  }
}

// Compares two identifiers given as texts. Numeric ones by value; when the values are
// equal (only possible with leading zeros, in build metadata) the longer one is higher.
int compare_identifier(std::string_view a, std::string_view b) {
  const bool na = all_digits(a), nb = all_digits(b);
  if (na && nb) {
    const auto strip = [](std::string_view s) {
      const size_t nz = s.find_first_not_of('0');
      return nz == std::string_view::npos ? std::string_view() : s.substr(nz);
    };
    const std::string_view sa = strip(a), sb = strip(b);
    if (sa.size() != sb.size()) return sa.size() < sb.size() ? -1 : 1;
    if (const int c = sa.compare(sb); c != 0) return c < 0 ? -1 : 1;
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return 0;
  }
  if (na != nb) return na ? -1 : 1;  // numeric ranks below alphanumeric
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Identifier by identifier from the left; a list that is a prefix of the other is lower.
int compare_lists(std::string_view a, std::string_view b) {
  size_t ia = 0, ib = 0;
  for (;;) {
    const bool ea = ia > a.size(), eb = ib > b.size();
    if (ea || eb) return ea == eb ? 0 : (ea ? -1 : 1);
    const size_t da = std::min(a.find('.', ia), a.size());
    const size_t db = std::min(b.find('.', ib), b.size());
    if (const int c = compare_identifier(a.substr(ia, da - ia), b.substr(ib, db - ib)); c != 0)
      return c;
    ia = da + 1;
    ib = db + 1;
  }
}

}  // namespace

std::string Version::to_string() const {
  std::string out =
      std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
  if (!pre.empty()) out += "-" + pre;
  if (!build.empty()) out += "+" + build;
  return out;
}

std::strong_ordering operator<=>(const Version& a, const Version& b) {
  if (auto c = a.major <=> b.major; c != 0) return c;
  if (auto c = a.minor <=> b.minor; c != 0) return c;
  if (auto c = a.patch <=> b.patch; c != 0) return c;
  if (a.pre.empty() != b.pre.empty())
    return a.pre.empty() ? std::strong_ordering::greater : std::strong_ordering::less;
  if (!a.pre.empty()) {
    if (const int c = compare_lists(a.pre, b.pre); c != 0) return c <=> 0;
  }
  if (a.build.empty() != b.build.empty())
    return a.build.empty() ? std::strong_ordering::less : std::strong_ordering::greater;
  if (!a.build.empty()) {
    if (const int c = compare_lists(a.build, b.build); c != 0) return c <=> 0;
  }
  // Identifiers equal as values can still differ as texts only through leading zeros,
  // which compare_identifier already orders; what is left is byte equality.
  return std::strong_ordering::equal;
}

Result<Version> parse_semver(std::string_view text) {
  const auto invalid = [&](const std::string& why) {
    return fail("invalid semantic version " + debug_string(text) + ": " + why);
  };
  if (text.empty()) return invalid("empty text");
  Version v;
  size_t pos = 0;
  const char* names[] = {"major", "minor", "patch"};
  uint64_t* parts[] = {&v.major, &v.minor, &v.patch};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.')
        return invalid(std::string("expected '.' before the ") + names[i] + " version number");
      ++pos;
    }
    if (auto why = read_number(text, &pos, names[i], parts[i]); !why.empty()) return invalid(why);
  }
  const size_t plus = text.find('+', pos);
  if (pos < text.size() && text[pos] == '-') {
    const std::string_view pre = text.substr(
        pos + 1, plus == std::string_view::npos ? std::string_view::npos : plus - pos - 1);
    if (auto why = check_identifiers(pre, "pre-release", true); !why.empty()) return invalid(why);
    v.pre = std::string(pre);
    pos += 1 + pre.size();
  }
  if (pos < text.size() && text[pos] == '+') {
    const std::string_view build = text.substr(pos + 1);
    if (auto why = check_identifiers(build, "build metadata", false); !why.empty())
      return invalid(why);
    v.build = std::string(build);
    pos = text.size();
  }
  if (pos != text.size()) return invalid("unexpected character after the version");
  return v;
}

}  // namespace norvane
