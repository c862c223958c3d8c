// The URL Standard's host parser and serializers, used by url.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace norvane::url_detail {

enum class HostError : std::uint8_t { None, Invalid, InvalidIpv4, InvalidIpv6 };

// The host parser: parses `input` (the host text of a URL, still percent-encoded,
// valid UTF-8) and appends the host's serialization to `out`. `special` selects
// domains (with IDNA and IPv4) over opaque hosts. On failure `out` may hold a partial
// result past its old size; the caller drops it.
HostError parse_host(std::string_view input, bool special, std::string& out);

// Domain to ASCII with beStrict false, for an already percent-decoded domain (valid
// UTF-8). Appends the result to `out`; false on failure.
bool domain_to_ascii(std::string_view domain, std::string& out);

// The percent-encode sets, as bits of the table below.
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

}  // namespace norvane::url_detail
