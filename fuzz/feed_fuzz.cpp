// The feed reader and the asset writer: any input gives a feed or an error, the same
// when the input is read in pieces, and a feed written out and read again gives the
// same assets. UTF-8 repair of the input in pieces gives what repairing it whole gives.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <norvane/feed.h>
#include <norvane/util.h>

namespace {

// Pieces of sizes taken from the input's own bytes, so that the fuzzer steers the cuts.
template <typename Take>
void in_pieces(std::string_view text, Take&& take) {
  size_t i = 0;
  for (size_t k = 0; i < text.size(); ++k) {
    const size_t n = 1 + static_cast<unsigned char>(text[k % text.size()]) % 7;
    take(text.substr(i, n));
    i += std::min(n, text.size() - i);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto feed = norvane::parse_release_feed(input);

  std::vector<std::string_view> pieces;
  in_pieces(input, [&](std::string_view piece) { pieces.push_back(piece); });
  auto streamed = norvane::parse_release_feed(std::span<const std::string_view>(pieces));
  if (feed.has_value() != streamed.has_value()) std::abort();
  if (feed && feed->Assets != streamed->Assets) std::abort();
  if (!feed && feed.error().message != streamed.error().message) std::abort();

  norvane::Utf8Repair repair;
  std::string repaired, scratch;
  in_pieces(input, [&](std::string_view piece) { repaired += repair.feed(piece, scratch); });
  repaired += repair.finish(scratch);
  if (repaired != norvane::lossy_utf8(input)) std::abort();

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
