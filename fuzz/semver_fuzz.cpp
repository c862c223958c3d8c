// Semantic versions: a parsed version's text form parses back to an equal version,
// and the order is a total order (antisymmetric, transitive, consistent with
// equality) on the three versions the input splits into.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include <norvane/semver.h>

namespace {
void check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<norvane::Version> versions;
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t end = std::min(input.find('\n', start), input.size());
    auto v = norvane::parse_semver(input.substr(start, end - start));
    if (v) {
      auto again = norvane::parse_semver(v->to_string());
      check(again.has_value() && *again == *v && again->to_string() == v->to_string());
      versions.push_back(*v);
    }
    if (end >= input.size()) break;
    start = end + 1;
  }
  for (const auto& a : versions) {
    check(a == a && !(a < a));
    for (const auto& b : versions) {
      check((a < b) + (a == b) + (a > b) == 1);
      check((a < b) == (b > a));
      for (const auto& c : versions) {
        if (a < b && b < c) check(a < c);
        if (a == b && b == c) check(a == c);
      }
    }
  }
  return 0;
}
