// The URL parser on arbitrary bytes, with and without a base, and the search setter.
// A successful parse serializes to an href that parses again to the same href.
// Input: the first line is the base (when it parses), the rest the input; the last
// line, when there are three, is also given to the search setter.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <norvane/url.h>

namespace {

void check_roundtrip(const norvane::Url& url) {
  const std::string href = url.href();
  auto again = norvane::Url::parse(href);
  if (!again || again->href() != href) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (auto whole = norvane::Url::parse(input)) check_roundtrip(*whole);
  norvane::is_http_url(input);

  const size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  auto base = norvane::Url::parse(input.substr(0, newline));
  std::string_view rest = input.substr(newline + 1);
  std::string_view search;
  if (const size_t second = rest.find('\n'); second != std::string_view::npos) {
    search = rest.substr(second + 1);
    rest = rest.substr(0, second);
  }
  if (base) {
    check_roundtrip(*base);
    if (auto url = norvane::Url::parse(rest, &*base)) {
      check_roundtrip(*url);
      url->set_search(search);
      check_roundtrip(*url);
    }
  }
  return 0;
}
