// The package manifest: the XML file "nv.version" beside the executable, which names
// the installed package, its version and its release channel.
#pragma once

#include <string>
#include <string_view>

#include <norvane/result.h>
#include <norvane/semver.h>

namespace norvane {

struct Manifest {
  std::string id;
  Version version;
  std::string title;
  std::string authors;
  std::string description;
  std::string machine_architecture;
  std::string runtime_dependencies;
  std::string main_exe;
  std::string os;
  std::string os_min_version;
  std::string channel;  // empty when the manifest names none
};

// Reads a whole manifest document. On success `id` is not empty, `version` is not
// 0.0.0 and `title` is not empty (it defaults to `id`). Fails with the version
// parser's message for an invalid version, or with the "Missing 'id' ..." and
// "Missing 'version' ..." messages. An XML error is logged (target
// "norvane::manifest") and ends reading; the fields read before it still count.
Result<Manifest> parse_manifest(std::string_view text);

}  // namespace norvane
