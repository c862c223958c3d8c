// Percent-encoding and -decoding of URL text: the URL Standard's percent-encode sets,
// the encoder that the parser and the search setter write components with, and the
// decoder that the host parser reads domains with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvane::url_detail {

// The percent-encode sets, as bits of the table below. Each set contains the one
// before it in this list, except that the fragment set and the query set both start
// from the C0 control set.
enum : std::uint8_t {
  kC0Set = 1,
  kFragmentSet = 2,
  kQuerySet = 4,
  kSpecialQuerySet = 8,
  kPathSet = 16,
  kUserinfoSet = 32,
  kComponentSet = 64,
};

struct EncodeTable {
  std::uint8_t bits[256];
};
extern const EncodeTable kEncodeTable;

inline bool in_set(unsigned char c, std::uint8_t set) { return (kEncodeTable.bits[c] & set) != 0; }

// Appends `in` to `out`, percent-encoding (upper-case hex) every byte in `set`. The
// input is valid UTF-8, so byte-wise encoding is UTF-8 percent-encoding.
void append_encoded(std::string& out, std::string_view in, std::uint8_t set);

// Appends `in` to `out` with every "%" and two hex digits replaced by the byte they
// stand for; any other "%" stays as it is. The result may not be valid UTF-8.
void append_decoded(std::string& out, std::string_view in);

inline bool is_ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool is_ascii_hex(unsigned char c) {
  return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// The value of a hex digit (either case).
inline int hex_value(unsigned char c) {
  if (c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

}  // namespace norvane::url_detail
