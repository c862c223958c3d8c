#include <norvane/util.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "fd.h"

namespace norvane {

void sleep_for(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

namespace detail {
void log_retry(long wait_ms, const Error& error) {
  NV_WARN("norvane::util", "Retrying operation in " + std::to_string(wait_ms) +
                               "ms... (error was: Some(" + debug_form(error) + "))");
}
}  // namespace detail

namespace {

// The home directory of the password-database entry for the real user id, or none.
std::optional<std::string> password_home_directory() {
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    return std::string(found->pw_dir);
  }
}

}  // namespace

std::optional<std::filesystem::path> home_directory() {
  if (const char* home = std::getenv("HOME")) return std::filesystem::path(home);
  if (auto home = password_home_directory()) return std::filesystem::path(*home);
  return std::nullopt;
}

namespace {

// Length of the valid UTF-8 sequence starting at bytes[i], or 0 when the bytes there
// do not start one. For an invalid start, `*skip` is the length of the maximal
// subpart to replace with one U+FFFD (at least 1).
size_t utf8_sequence(std::string_view bytes, size_t i, size_t* skip) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char c = b(i);
  *skip = 1;
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= bytes.size()) return 0;
    const unsigned char t = b(i + k);
    if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xBF)) return 0;
    *skip = k + 1;
  }
  return need + 1;
}

void append_escaped(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\0':
      out += "\\0";
      return;
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
    out += buf;
  } else {
    out += static_cast<char>(c);
  }
}

}  // namespace

bool ascii_iequal(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::optional<uint64_t> parse_decimal_u64(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(Error::from_errno(errno));
    }
    if (n == 0) return fail("failed to write whole buffer");
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

Result<std::string> read_file(const std::filesystem::path& path, uint64_t max_size) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return unexpected(Error::from_errno(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return unexpected(Error::from_errno(errno));
  const std::string quoted = "'" + path_text(path) + "'";
  if (S_ISDIR(info.st_mode)) return unexpected(Error::from_errno(EISDIR));
  if (!S_ISREG(info.st_mode)) return fail(quoted + " is not a regular file");
  const auto too_large = [&] {
    return fail(quoted + " is larger than " + std::to_string(max_size) + " bytes");
  };
  const auto size = static_cast<uint64_t>(info.st_size);
  if (size > max_size) return too_large();
  // One byte more than the size, so that a file of the size it claims is read in one
  // call and the next one sees its end. A file that grows meanwhile is read on, up to
  // the limit. The buffer is not zeroed first: read() fills what is kept, and for a
  // large feed the zeroing would cost as much as the read.
  std::string bytes;
  const auto grow = [&bytes](size_t n) {
    bytes.resize_and_overwrite(n, [](char*, size_t m) { return m; });
  };
  grow(static_cast<size_t>(size) + 1);
  size_t used = 0;
  for (;;) {
    if (used == bytes.size()) {
      if (used > max_size) return too_large();
      grow(static_cast<size_t>(std::min<uint64_t>(2 * bytes.size(), max_size + 1)));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(Error::from_errno(errno));
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > max_size) return too_large();
  bytes.resize(used);
  return bytes;
}

Result<std::string> read_utf8_file(const std::filesystem::path& path, uint64_t max_size) {
  auto text = read_file(path, max_size);
  if (text && !is_valid_utf8(*text)) return fail("stream did not contain valid UTF-8");
  return text;
}

namespace {

// The offset of the first byte from `i` on that is not ASCII, or the size; eight bytes
// at a time, since feeds are mostly ASCII.
size_t skip_ascii(std::string_view bytes, size_t i) {
  constexpr uint64_t kHighBits = 0x8080808080808080;
  for (uint64_t word; i + sizeof word <= bytes.size(); i += sizeof word) {
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if ((word & kHighBits) != 0) break;
  }
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i;
}

// The offset of the first byte that starts no whole valid sequence, or the size.
size_t valid_prefix(std::string_view bytes) {
  size_t i = 0;
  for (;;) {
    i = skip_ascii(bytes, i);
    if (i == bytes.size()) return i;
    size_t skip;
    const size_t n = utf8_sequence(bytes, i, &skip);
    if (n == 0) return i;
    i += n;
  }
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Whether a sequence that utf8_sequence refused at `i` was only cut by the end of the
// bytes: a lead byte followed by nothing but fitting continuation bytes.
bool is_cut_sequence(std::string_view bytes, size_t i, size_t skip) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  return lead >= 0xC2 && lead <= 0xF4 && i + skip == bytes.size();
}

// Appends the repaired text of bytes[from, end) to `out` and returns where a cut
// sequence at the end starts (bytes.size() when there is none). With `final`, a cut
// sequence is repaired too.
size_t append_repaired(std::string_view bytes, size_t from, bool final, std::string& out) {
  size_t run = from;  // start of the valid bytes not yet copied
  size_t i = from;
  for (;;) {
    i = skip_ascii(bytes, i);
    if (i == bytes.size()) break;
    size_t skip;
    if (const size_t n = utf8_sequence(bytes, i, &skip); n != 0) {
      i += n;
      continue;
    }
    if (!final && is_cut_sequence(bytes, i, skip)) break;
    out.append(bytes.substr(run, i - run));
    out += kReplacement;
    i += skip;
    run = i;
  }
  out.append(bytes.substr(run, i - run));
  return i;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) { return valid_prefix(bytes) == bytes.size(); }

std::string_view Utf8Repair::feed(std::string_view bytes, std::string& scratch) {
  size_t from = 0;  // where in `bytes` the held bytes' sequence ends
  scratch.clear();
  if (!held_.empty()) {
    // The held bytes start one sequence of at most 4 bytes, and all fit it so far: the
    // first 3 bytes of this piece complete or refute it.
    const std::string joined = held_ + std::string(bytes.substr(0, 3));
    size_t skip;
    const size_t n = utf8_sequence(joined, 0, &skip);
    if (n == 0 && is_cut_sequence(joined, 0, skip)) {
      held_ = joined;  // still cut: this piece was too short to decide it
      return scratch;
    }
    if (n != 0) {
      scratch.append(joined, 0, n);
    } else {
      scratch += kReplacement;
    }
    from = (n != 0 ? n : skip) - held_.size();
    held_.clear();
  } else {
    const size_t valid = valid_prefix(bytes);
    if (valid == bytes.size()) return bytes;
    scratch.assign(bytes.substr(0, valid));
    from = valid;
  }
  scratch.reserve(scratch.size() + bytes.size() - from);
  const size_t cut = append_repaired(bytes, from, false, scratch);
  held_.assign(bytes.substr(cut));
  return scratch;
}

std::string_view Utf8Repair::finish(std::string& scratch) {
  scratch.clear();
  append_repaired(held_, 0, true, scratch);
  held_.clear();
  return scratch;
}

std::string lossy_utf8(std::string_view bytes) {
  Utf8Repair repair;
  std::string scratch;
  std::string out(repair.feed(bytes, scratch));
  out += repair.finish(scratch);
  return out;
}

std::string seconds_text(std::chrono::seconds period) {
  const long long n = period.count();
  return std::to_string(n) + (n == 1 ? " second" : " seconds");
}

std::string path_text(const std::filesystem::path& path) { return lossy_utf8(path.native()); }

namespace {

// The C1 control characters U+0080 to U+009F, in UTF-8 "\xC2\x80" to "\xC2\x9F".
bool is_c1_at(std::string_view text, size_t i) {
  return i + 1 < text.size() && static_cast<unsigned char>(text[i]) == 0xC2 &&
         static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
         static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

void append_c1(std::string& out, unsigned char second) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", second);
  out += buf;
}

}  // namespace

std::string debug_string(std::string_view text) {
  const std::string valid = lossy_utf8(text);
  std::string out = "\"";
  for (size_t i = 0; i < valid.size(); ++i) {
    if (is_c1_at(valid, i)) {
      append_c1(out, static_cast<unsigned char>(valid[++i]));
    } else {
      append_escaped(out, static_cast<unsigned char>(valid[i]));
    }
  }
  return out + "\"";
}

std::string escape_control_characters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (is_c1_at(text, i)) {
      append_c1(out, static_cast<unsigned char>(text[++i]));
    } else if (c < 0x20 || c == 0x7F) {
      append_escaped(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string debug_optional(const std::optional<std::string>& text) {
  return text ? "Some(" + debug_string(*text) + ")" : "None";
}

std::string_view debug_bool(bool value) { return value ? "true" : "false"; }

}  // namespace norvane
