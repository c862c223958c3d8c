// The manifest reader on arbitrary bytes: it returns a manifest that keeps its
// invariants, or an error, and nothing else.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <norvane/manifest.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto manifest =
      norvane::parse_manifest(std::string_view(reinterpret_cast<const char*>(data), size));
  if (manifest) {
    if (manifest->id.empty() || manifest->title.empty() || manifest->version == norvane::Version{})
      std::abort();
  } else if (manifest.error().message.empty()) {
    std::abort();
  }
  return 0;
}
