// The feed reader and the asset writer: any input gives a feed or an error, and a
// feed written out and read again gives the same assets.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <norvane/feed.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto feed =
      norvane::parse_release_feed(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!feed) {
    if (feed.error().message.empty()) std::abort();
    return 0;
  }
  std::string text = "{\"Assets\":[";
  for (size_t i = 0; i < feed->Assets.size(); ++i) {
    if (i) text += ',';
    norvane::append_json(text, feed->Assets[i]);
  }
  text += "]}";
  auto again = norvane::parse_release_feed(text);
  if (!again || again->Assets != feed->Assets) std::abort();
  return 0;
}
