// The release feed: the records of the published package files, the reader of the
// feed document and the writer of an asset's compact JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <norvane/result.h>

namespace norvane {

// One published package file. Texts are kept exactly as the feed wrote them; nothing
// is validated while reading (a Version that is no semantic version is kept).
struct NorvaneAsset {
  std::string PackageId;
  std::string Version;
  std::string Type;  // "Full" (any ASCII case) marks a full release
  std::string FileName;
  std::string SHA1;
  uint64_t Size = 0;
  std::string NotesMarkdown;
  std::string NotesHtml;

  friend bool operator==(const NorvaneAsset&, const NorvaneAsset&) = default;
};

// The most assets a feed may hold. Each costs about 230 bytes parsed whatever its text,
// so without a bound a 10 MiB feed of empty assets ("{}") would take a gigabyte; real
// feeds hold a few thousand (a 10 MiB feed of real assets, about 28,000).
inline constexpr size_t kMaxFeedAssets = 50'000;

// A parsed feed: the assets in document order, possibly none.
struct NorvaneAssetFeed {
  std::vector<NorvaneAsset> Assets;

  // The first asset whose FileName equals `name` byte for byte with A-Z and a-z
  // counted equal (no other folding, no trimming), or null. The pointer is into
  // Assets and lives as long as this feed is unchanged.
  const NorvaneAsset* find(std::string_view name) const;
};

// Reads one complete feed document: exactly one JSON value with optional space, tab,
// line feed and carriage return around it; an object with the key "Assets" (other
// keys skipped) or an array read by position; each asset an object with the eight
// keys of NorvaneAsset (other keys skipped, absent ones empty or 0) or an array read
// by position. Fails at the first problem with one message followed by " at line {}
// column {}" (1-based, columns counted in bytes): the JSON syntax error,
// "duplicate field `{}`", "invalid type: {}, expected {}" or
// "invalid value: {}, expected {}". The text is expected to be UTF-8; a string
// holding invalid UTF-8 or a lone surrogate escape is an error.
Result<NorvaneAssetFeed> parse_release_feed(std::string_view text);

// parse_release_feed of the pieces joined, read one piece after the other as
// FeedStreamParser reads them (on the calling thread).
Result<NorvaneAssetFeed> parse_release_feed(std::span<const std::string_view> pieces);

// parse_release_feed for a text that arrives in pieces: the pieces go into a queue of
// bounded size (256 KiB), and once the text is longer than that a thread of its own
// reads them as they are pushed, so that the text is never held whole; a shorter text
// is read at finish(), without a thread. The result, message and position included, is
// parse_release_feed's of the pieces joined. Destroying the parser before finish()
// abandons the parse.
class FeedStreamParser {
 public:
  // `expected_size`, when known, is what the text is expected to hold: room for its
  // assets is reserved at once.
  explicit FeedStreamParser(uint64_t expected_size = 0);
  FeedStreamParser(const FeedStreamParser&) = delete;
  FeedStreamParser& operator=(const FeedStreamParser&) = delete;
  ~FeedStreamParser();

  // The next piece of the text. Waits while the queue is full; once the parse has
  // failed, the bytes are dropped at once.
  void push(std::string_view bytes);
  // The end of the text: waits for the parse and returns its result. Called once.
  Result<NorvaneAssetFeed> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Appends the compact JSON object of an asset: the eight keys always, in declared
// order, Size as a plain decimal integer, texts escaped as JSON strings with only
// the quotation mark, the backslash and the characters below U+0020 escaped.
void append_json(std::string& out, const NorvaneAsset& asset);
std::string to_json(const NorvaneAsset& asset);

}  // namespace norvane
