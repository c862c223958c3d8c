// Percent-encoding: the sets are one table of bits, built at compile time, so that
// testing a byte against any set is one load.
#include "percent_encode.h"

namespace norvane::url_detail {

namespace {

constexpr EncodeTable make_encode_table() {
  EncodeTable t{};
  for (int c = 0; c < 256; ++c) {
    std::uint8_t b = 0;
    if (c < 0x20 || c > 0x7E) b |= kC0Set;
    t.bits[c] = b;
  }
  auto add = [&t](std::uint8_t bit, std::string_view chars, std::uint8_t base_bits) {
    for (int c = 0; c < 256; ++c)
      if (t.bits[c] & base_bits) t.bits[c] |= bit;
    for (char ch : chars) t.bits[static_cast<unsigned char>(ch)] |= bit;
  };
  add(kFragmentSet, " \"<>`", kC0Set);
  add(kQuerySet, " \"#<>", kC0Set);
  add(kSpecialQuerySet, "'", kQuerySet);
  add(kPathSet, "?^`{}", kQuerySet);
  add(kUserinfoSet, "/:;=@[\\]|", kPathSet);
  add(kComponentSet, "$%&+,", kUserinfoSet);
  return t;
}

constexpr char kHexUpper[] = "0123456789ABCDEF";

}  // namespace

constinit const EncodeTable kEncodeTable = make_encode_table();

void append_encoded(std::string& out, std::string_view in, std::uint8_t set) {
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    size_t j = i;
    while (j < n && !in_set(static_cast<unsigned char>(in[j]), set)) ++j;
    out.append(in.data() + i, j - i);
    while (j < n && in_set(static_cast<unsigned char>(in[j]), set)) {
      const auto c = static_cast<unsigned char>(in[j]);
      const char enc[3] = {'%', kHexUpper[c >> 4], kHexUpper[c & 0xF]};
      out.append(enc, 3);
      ++j;
    }
    i = j;
  }
}

void append_decoded(std::string& out, std::string_view in) {
  for (size_t i = 0; i < in.size(); ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c == '%' && i + 2 < in.size() && is_ascii_hex(static_cast<unsigned char>(in[i + 1])) &&
        is_ascii_hex(static_cast<unsigned char>(in[i + 2]))) {
      out += static_cast<char>(hex_value(static_cast<unsigned char>(in[i + 1])) * 16 +
                               hex_value(static_cast<unsigned char>(in[i + 2])));
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
}

}  // namespace norvane::url_detail
