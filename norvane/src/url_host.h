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

}  // namespace norvane::url_detail
