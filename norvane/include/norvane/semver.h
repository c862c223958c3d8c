// Semantic versions: exact Semantic Versioning 2.0.0 texts, their text form, and a
// total order in which build metadata breaks the ties that precedence leaves.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include <norvane/result.h>

namespace norvane {

struct Version {
  uint64_t major = 0;
  uint64_t minor = 0;
  uint64_t patch = 0;
  std::string pre;    // dot-separated pre-release identifiers, empty when none
  std::string build;  // dot-separated build-metadata identifiers, empty when none

  // major.minor.patch, then "-pre" and "+build" when not empty.
  std::string to_string() const;

  // Equal exactly when all five parts are equal, the texts byte for byte.
  friend bool operator==(const Version&, const Version&) = default;
  // Numbers, then pre-release precedence (none ranks above any), then build metadata.
  friend std::strong_ordering operator<=>(const Version& a, const Version& b);
};

// Parses exactly one version with nothing around it: no "v", no whitespace, three
// numbers without leading zeros that fit 64 bits, non-empty identifiers of ASCII
// letters, digits and "-", numeric pre-release identifiers without leading zeros.
// The error names what is wrong and quotes the text.
Result<Version> parse_semver(std::string_view text);

}  // namespace norvane
