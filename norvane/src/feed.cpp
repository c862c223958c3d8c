#include <norvane/feed.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <norvane/util.h>

namespace norvane {

namespace {

// ---------------------------------------------------------------------------------
// Reading a feed.

// The pieces of a text on their way from the thread that receives them to the one that
// reads them: a ring of fixed size. The writer waits while it is full; the reader is
// handed the bytes in place and gives them back when it asks for more.
class PieceQueue {
 public:
  explicit PieceQueue(size_t capacity)
      : ring_(std::make_unique_for_overwrite<char[]>(capacity)), capacity_(capacity) {}

  // Writer: copies the bytes in, waiting for room; drops them once the reader is done.
  void push(std::string_view bytes) {
    std::unique_lock lock(mutex_);
    while (!bytes.empty()) {
      room_.wait(lock, [&] { return reader_done_ || written_ - released_ < capacity_; });
      if (reader_done_) return;
      const size_t at = static_cast<size_t>(written_ % capacity_);
      const size_t n = std::min(
          {bytes.size(), static_cast<size_t>(capacity_ - (written_ - released_)), capacity_ - at});
      // The room past `written_` is the writer's alone; the reader never looks there.
      lock.unlock();
      std::memcpy(ring_.get() + at, bytes.data(), n);
      lock.lock();
      written_ += n;
      bytes.remove_prefix(n);
      bytes_.notify_one();
    }
  }

  // Writer: no more bytes follow; with `abandoned`, the reader stops where it is.
  void close(bool abandoned) {
    const std::lock_guard lock(mutex_);
    ended_ = true;
    abandoned_ = abandoned;
    bytes_.notify_one();
  }

  // Reader: gives back the bytes handed out before and waits for the next ones; empty
  // at the end of the text or when it was abandoned. (The writer has then stopped, so
  // the bytes last handed out stay as they were.)
  std::string_view next() {
    std::unique_lock lock(mutex_);
    released_ = handed_;
    room_.notify_one();
    bytes_.wait(lock, [&] { return abandoned_ || ended_ || written_ > released_; });
    if (abandoned_ || written_ == released_) return {};
    const size_t at = static_cast<size_t>(released_ % capacity_);
    const size_t n = std::min(static_cast<size_t>(written_ - released_), capacity_ - at);
    handed_ = released_ + n;
    return {ring_.get() + at, n};
  }

  // How many bytes can be pushed without waiting.
  size_t room() {
    const std::lock_guard lock(mutex_);
    return static_cast<size_t>(capacity_ - (written_ - released_));
  }

  // Reader: it reads no more, so the writer need not wait for it.
  void reader_done() {
    const std::lock_guard lock(mutex_);
    reader_done_ = true;
    room_.notify_one();
  }

 private:
  std::unique_ptr<char[]> ring_;
  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable room_;
  std::condition_variable bytes_;
  // Counts of bytes since the start; their remainders by the capacity are ring offsets.
  uint64_t written_ = 0;
  uint64_t handed_ = 0;
  uint64_t released_ = 0;
  bool ended_ = false;
  bool abandoned_ = false;
  bool reader_done_ = false;
};

// The reader's stream: a text given whole, or pieces taken from a queue. RapidJSON's
// reader stops at end of input on a NUL character, so the stream ends where the text
// ends instead of relying on a terminator, and the check for trailing text is ours (a
// NUL byte after the value is trailing text, not an end).
//
// Read in pieces, it keeps what an error message needs once the pieces before are gone:
// the count of their lines and where the last few start, and where the last string
// opened; a text given whole is looked at instead. That state lies outside the stream,
// which the reader copies into registers.
struct PiecesRead {
  static constexpr size_t kNowhere = static_cast<size_t>(-1);

  // Where the pieces come from: the next one, empty at the end. Null once the text has
  // ended.
  std::function<std::string_view()> next;
  size_t span_offset = 0;        // of the span being read, in the text
  size_t lines_before_span = 0;  // newlines before the span being read
  // Where the last newlines before the span are, the n-th (from 1) at [(n - 1) % 4]. An
  // error can point a few bytes before the bytes taken last (the start of a UTF-8
  // sequence whose bytes were taken to check it), so a few lines back are kept.
  std::array<size_t, 4> last_newlines{};
  size_t string_start = 0;
  size_t escaped_at = kNowhere;  // the byte a backslash escapes
  bool in_string = false;

  // The n-th newline's offset, for one of the last few.
  size_t newline(size_t n) const { return last_newlines[(n - 1) % last_newlines.size()]; }
};

template <bool kInPieces>
class TextStream {
 public:
  using Ch = char;
  explicit TextStream(std::string_view text) requires(!kInPieces)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}
  explicit TextStream(PiecesRead* pieces) requires kInPieces : pieces_(pieces) {}

  [[gnu::always_inline]] Ch Peek() {
    if constexpr (!kInPieces) return p_ == end_ ? '\0' : *p_;
    if (p_ == end_ && !refill()) return '\0';
    return *p_;
  }
  [[gnu::always_inline]] Ch Take() {
    if constexpr (!kInPieces) return p_ == end_ ? '\0' : *p_++;
    if (p_ == end_ && !refill()) return '\0';
    const char c = *p_++;
    if (c == '"' || c == '\\') note_string_syntax(pieces_, Tell() - 1, c);
    return c;
  }
  size_t Tell() const { return span_offset() + static_cast<size_t>(p_ - begin_); }
  // Writing is never used by a non-destructive parse.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

  // " at line {l} column {c}" (1-based, columns counted in bytes) for an offset in the
  // span being read or a few bytes before it: where a value, a key or the byte being
  // read starts.
  std::string position(size_t offset) const {
    size_t line = 1;
    size_t line_start = 0;
    if constexpr (kInPieces) {
      // The newlines before the span, but those at or after the offset.
      const PiecesRead& read = *pieces_;
      const size_t all = read.lines_before_span;
      size_t n = all;
      while (n > 0 && all - n < read.last_newlines.size() && read.newline(n) >= offset) --n;
      line += n;
      if (n > 0 && all - n < read.last_newlines.size()) line_start = read.newline(n) + 1;
    }
    if (offset >= span_offset()) {
      const std::string_view before(begin_,
                                    std::min(offset - span_offset(), size_t(end_ - begin_)));
      line += static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
      if (const size_t last = before.rfind('\n'); last != std::string_view::npos)
        line_start = span_offset() + last + 1;
    }
    const size_t column = offset >= line_start ? offset - line_start + 1 : 1;
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
  }
  // Where the string whose closing quotation mark was taken last opened.
  size_t string_start() const {
    if constexpr (kInPieces) {
      return pieces_->string_start;
    } else {
      // The nearest quotation mark before the closing one with an even number of
      // backslashes in front: every quotation mark inside a string is escaped.
      const size_t end = Tell();
      if (end < 2) return end;
      for (size_t i = end - 1; i-- > 0;) {
        if (begin_[i] != '"') continue;
        size_t backslashes = 0;
        while (backslashes < i && begin_[i - 1 - backslashes] == '\\') ++backslashes;
        if (backslashes % 2 == 0) return i;
      }
      return end;
    }
  }
  // Whether the byte at `offset` is a NUL byte of the text rather than its end.
  bool is_nul_at(size_t offset) {
    return offset == Tell() && (p_ != end_ || refill()) && *p_ == '\0';
  }
  // Takes the whitespace after the value; true when the text ends there.
  bool only_whitespace_follows() {
    for (;;) {
      if (p_ == end_ && !refill()) return true;
      const char c = *p_;
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
      ++p_;
    }
  }

 private:
  size_t span_offset() const {
    if constexpr (kInPieces) return pieces_->span_offset;
    return 0;
  }

  // The two calls below are handed what they need rather than the stream, whose
  // address is then never taken: the reader keeps its copy in registers.
  bool refill() {
    if constexpr (kInPieces) {
      const std::string_view span = next_span(pieces_, begin_, end_);
      if (span.empty()) return false;
      begin_ = p_ = span.data();
      end_ = span.data() + span.size();
      return true;
    }
    return false;
  }

  // The span after [begin, end), which was read to its end; empty at the end of the
  // text. The lines of the span are counted before it is given back.
  [[gnu::noinline]] static std::string_view next_span(PiecesRead* pieces, const char* begin,
                                                      const char* end) {
    if (!pieces->next) return {};
    size_t lines = pieces->lines_before_span;
    std::array<size_t, 4> last_newlines = pieces->last_newlines;
    for (const char* p = begin; p != end; ++p) {
      p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      if (p == nullptr) break;
      ++lines;
      last_newlines[(lines - 1) % last_newlines.size()] =
          pieces->span_offset + static_cast<size_t>(p - begin);
    }
    const std::string_view span = pieces->next();
    if (span.empty()) {
      // The end: the span stays the one being read, and nothing more is asked for.
      pieces->next = nullptr;
      return {};
    }
    pieces->lines_before_span = lines;
    pieces->last_newlines = last_newlines;
    pieces->span_offset += static_cast<size_t>(end - begin);
    return span;
  }

  // A quotation mark or a backslash was taken at `at`: keeps track of where strings
  // open. A backslash escapes the byte after it (only strings hold one); an escaped
  // backslash escapes nothing.
  [[gnu::noinline]] static void note_string_syntax(PiecesRead* pieces, size_t at, char c) {
    const bool escaped = at == pieces->escaped_at;
    if (c == '\\') {
      pieces->escaped_at = escaped ? PiecesRead::kNowhere : at + 1;
    } else if (!escaped) {
      pieces->in_string = !pieces->in_string;
      if (pieces->in_string) pieces->string_start = at;
    }
  }

  const char* begin_ = nullptr;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  PiecesRead* pieces_ = nullptr;
};

// The eight asset fields, in declared (and positional) order.
constexpr std::array<std::string_view, 8> kFieldNames = {
    "PackageId", "Version", "Type", "FileName", "SHA1", "Size", "NotesMarkdown", "NotesHtml"};
constexpr size_t kSizeField = 5;

// The text field at a position, or null for Size; const for the writer, mutable for
// the reader.
template <typename Asset>
auto text_field(Asset& asset, size_t index) -> decltype(&asset.PackageId) {
  switch (index) {
    case 0:
      return &asset.PackageId;
    case 1:
      return &asset.Version;
    case 2:
      return &asset.Type;
    case 3:
      return &asset.FileName;
    case 4:
      return &asset.SHA1;
    case 6:
      return &asset.NotesMarkdown;
    case 7:
      return &asset.NotesHtml;
    default:
      return nullptr;
  }
}

// Describes a number as the error messages quote it: an integer when written without
// fraction or exponent, otherwise a floating-point number, in both cases as written.
bool is_integer_text(std::string_view number) {
  return number.find_first_of(".eE") == std::string_view::npos;
}

std::string number_description(std::string_view number) {
  return (is_integer_text(number) ? "integer `" : "floating point `") + std::string(number) + "`";
}

// A decoded string can still be ill-formed UTF-8 in one way: RapidJSON encodes a
// lone \uDC00-\uDFFF escape as the surrogate itself (ED B0..BF xx). Valid input
// never holds ED followed by A0..BF, so that pair marks it.
bool has_encoded_surrogate(const char* str, size_t length) {
  const char* end = str + length;
  for (const char* p = str; p != end; ++p) {
    p = static_cast<const char*>(std::memchr(p, '\xED', static_cast<size_t>(end - p)));
    if (p == nullptr) return false;
    if (p + 1 != end && static_cast<unsigned char>(p[1]) >= 0xA0) return true;
  }
  return false;
}

// The SAX handler: a state machine over the few levels a feed has (the feed, its
// asset list, one asset), and a depth counter for values that are skipped, so that
// nesting of any depth costs no stack here (the reader runs iteratively).
class FeedHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, FeedHandler> {
 public:
  // Where the value that stopped the parse starts, relative to the offset the
  // reader reports: it reports the start of a number, object or array, but the end
  // of a string or a literal.
  enum class Anchor { kAtOffset, kStringBefore, kLiteralBefore };

  // Set when the handler stopped the parse; the message without a position.
  std::string error;
  Anchor anchor = Anchor::kAtOffset;
  size_t literal_length = 0;  // for kLiteralBefore
  NorvaneAssetFeed feed;

  bool Null() { return literal("null", 4); }
  bool Bool(bool b) { return b ? literal("boolean `true`", 4) : literal("boolean `false`", 5); }
  bool RawNumber(const char* str, rapidjson::SizeType length, bool) {
    const std::string_view number(str, length);
    anchor = Anchor::kAtOffset;
    if (skipping()) return true;
    const Slot slot = next_slot();
    if (slot == Slot::kSkip) return true;
    if (slot == Slot::kField && field_ == kSizeField) return store_size(number);
    return unexpected_value(slot, number_description(number));
  }
  bool String(const char* str, rapidjson::SizeType length, bool) {
    anchor = Anchor::kStringBefore;
    if (has_encoded_surrogate(str, length))
      return fail_with("The surrogate pair in string is invalid.");
    if (skipping()) return true;
    const Slot slot = next_slot();
    if (slot == Slot::kSkip) return true;
    if (slot == Slot::kField) {
      if (std::string* text = text_field(asset(), field_)) {
        text->assign(str, length);
        return true;
      }
    }
    return unexpected_value(slot, "string " + debug_string(std::string_view(str, length)));
  }
  bool Key(const char* str, rapidjson::SizeType length, bool) {
    anchor = Anchor::kStringBefore;
    if (has_encoded_surrogate(str, length))
      return fail_with("The surrogate pair in string is invalid.");
    if (skipping()) return true;
    const std::string_view key(str, length);
    if (top() == Frame::kFeedObject) {
      if (key != "Assets") {
        pending_ = Slot::kSkip;
        return true;
      }
      if (assets_seen_) return fail_with("duplicate field `Assets`");
      assets_seen_ = true;
      pending_ = Slot::kAssets;
      return true;
    }
    // An asset object: the only other level with keys that are not skipped.
    const auto found = std::find(kFieldNames.begin(), kFieldNames.end(), key);
    if (found == kFieldNames.end()) {
      pending_ = Slot::kSkip;
      return true;
    }
    const size_t index = static_cast<size_t>(found - kFieldNames.begin());
    if (fields_seen_ & (1u << index))
      return fail_with("duplicate field `" + std::string(key) + "`");
    fields_seen_ |= 1u << index;
    pending_ = Slot::kField;
    field_ = index;
    return true;
  }
  bool StartObject() {
    anchor = Anchor::kAtOffset;
    return start(Frame::kFeedObject, Frame::kAssetObject, "map");
  }
  bool StartArray() {
    anchor = Anchor::kAtOffset;
    return start(Frame::kFeedArray, Frame::kAssetArray, "sequence");
  }
  bool EndObject(rapidjson::SizeType) { return end(); }
  bool EndArray(rapidjson::SizeType) { return end(); }

 private:
  // What a value stands for where it occurs.
  enum class Slot { kRoot, kAssets, kAsset, kField, kSkip, kExtraFeedElement, kExtraAssetElement };
  enum class Frame { kFeedObject, kFeedArray, kAssetList, kAssetObject, kAssetArray };
  struct Level {
    Frame frame;
    size_t next_index = 0;  // positional forms: the position of the next element
  };

  bool skipping() const { return skip_depth_ != 0; }
  Frame top() const { return levels_[depth_ - 1].frame; }
  NorvaneAsset& asset() { return feed.Assets.back(); }

  // The slot of the value that starts now, advancing the position in an array.
  Slot next_slot() {
    if (depth_ == 0) return Slot::kRoot;
    Level& level = levels_[depth_ - 1];
    switch (level.frame) {
      case Frame::kFeedObject:
      case Frame::kAssetObject:
        return pending_;
      case Frame::kFeedArray:
        return level.next_index++ == 0 ? Slot::kAssets : Slot::kExtraFeedElement;
      case Frame::kAssetList:
        return Slot::kAsset;
      case Frame::kAssetArray: {
        const size_t index = level.next_index++;
        if (index >= kFieldNames.size()) return Slot::kExtraAssetElement;
        field_ = index;
        return Slot::kField;
      }
    }
    return Slot::kSkip;
  }

  void push(Frame frame) { levels_[depth_++] = Level{frame, 0}; }

  bool start(Frame feed_form, Frame asset_form, const char* kind) {
    if (skipping()) {
      ++skip_depth_;
      return true;
    }
    const Slot slot = next_slot();
    switch (slot) {
      case Slot::kSkip:
        skip_depth_ = 1;
        return true;
      case Slot::kRoot:
        push(feed_form);
        return true;
      case Slot::kAssets:
        if (asset_form != Frame::kAssetArray) return unexpected_value(slot, kind);
        push(Frame::kAssetList);
        return true;
      case Slot::kAsset:
        if (feed.Assets.size() == kMaxFeedAssets)
          return fail_with("too many assets: a feed holds at most " +
                           std::to_string(kMaxFeedAssets));
        feed.Assets.emplace_back();
        fields_seen_ = 0;
        push(asset_form);
        return true;
      default:
        return unexpected_value(slot, kind);
    }
  }

  bool end() {
    if (skipping()) {
      --skip_depth_;
      return true;
    }
    --depth_;
    return true;
  }

  bool literal(const char* description, size_t length) {
    anchor = Anchor::kLiteralBefore;
    literal_length = length;
    if (skipping()) return true;
    const Slot slot = next_slot();
    if (slot == Slot::kSkip) return true;
    return unexpected_value(slot, description);
  }

  bool store_size(std::string_view number) {
    if (!is_integer_text(number))
      return fail_with("invalid type: " + number_description(number) + ", expected u64");
    if (number.front() == '-')
      return fail_with("invalid value: " + number_description(number) + ", expected u64");
    const std::optional<uint64_t> value = parse_decimal_u64(number);
    if (!value) return fail_with("invalid value: " + number_description(number) + ", expected u64");
    asset().Size = *value;
    return true;
  }

  // The error for a value of the wrong kind in a slot.
  bool unexpected_value(Slot slot, const std::string& found) {
    switch (slot) {
      case Slot::kRoot:
        return fail_with("invalid type: " + found + ", expected struct NorvaneAssetFeed");
      case Slot::kAssets:
        return fail_with("invalid type: " + found + ", expected a sequence");
      case Slot::kAsset:
        return fail_with("invalid type: " + found + ", expected struct NorvaneAsset");
      case Slot::kField:
        return fail_with("invalid type: " + found + ", expected " +
                         (field_ == kSizeField ? "u64" : "a string"));
      case Slot::kExtraFeedElement:
        return fail_with(
            "invalid length: too many elements, expected struct NorvaneAssetFeed with 1 element");
      case Slot::kExtraAssetElement:
        return fail_with(
            "invalid length: too many elements, expected struct NorvaneAsset with 8 elements");
      case Slot::kSkip:
        break;
    }
    return true;
  }

  bool fail_with(std::string message) {
    error = std::move(message);
    return false;
  }

  std::array<Level, 3> levels_{};  // a feed, its asset list and one asset at most
  size_t depth_ = 0;
  uint64_t skip_depth_ = 0;
  Slot pending_ = Slot::kSkip;  // what the value after the last key stands for
  size_t field_ = 0;            // the asset field of a kField slot
  bool assets_seen_ = false;
  unsigned fields_seen_ = 0;  // bit per asset field, for duplicate keys
};

}  // namespace
}  // namespace norvane

// Lets the reader keep the stream in registers, as it does for its own string stream.
template <bool kInPieces>
struct rapidjson::StreamTraits<norvane::TextStream<kInPieces>> {
  enum { copyOptimization = 1 };
};

namespace norvane {

namespace {

// Room for as many assets as a text of this size holds when each takes 128 bytes (real
// ones take more): reserved address space that is touched only as assets arrive, so
// the list is not copied while it grows.
size_t assets_room(uint64_t text_size) {
  return static_cast<size_t>(std::min<uint64_t>(text_size / 128, kMaxFeedAssets));
}

template <typename Stream>
Result<NorvaneAssetFeed> read_feed(Stream& stream, size_t room) {
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                              rapidjson::kParseNumbersAsStringsFlag |
                              rapidjson::kParseValidateEncodingFlag;
  FeedHandler handler;
  handler.feed.Assets.reserve(room);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);
  if (result.IsError()) {
    size_t offset = result.Offset();
    std::string message;
    if (result.Code() == rapidjson::kParseErrorTermination) {
      message = std::move(handler.error);
      // Point at the start of the value or key that was refused.
      if (handler.anchor == FeedHandler::Anchor::kStringBefore) offset = stream.string_start();
      if (handler.anchor == FeedHandler::Anchor::kLiteralBefore && offset >= handler.literal_length)
        offset -= handler.literal_length;
    } else if (stream.is_nul_at(offset)) {
      // The reader takes a NUL byte for the end of input and says so.
      message = "Unexpected NUL character.";
    } else {
      message = rapidjson::GetParseError_En(result.Code());
    }
    return fail(message + stream.position(offset));
  }
  if (!stream.only_whitespace_follows())
    return fail(rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular) +
                stream.position(stream.Tell()));
  return std::move(handler.feed);
}

// A quarter of a megabyte in flight: a few reads of the socket.
constexpr size_t kPieceQueueSize = 256 * 1024;

}  // namespace

Result<NorvaneAssetFeed> parse_release_feed(std::string_view text) {
  TextStream<false> stream(text);
  return read_feed(stream, assets_room(text.size()));
}

Result<NorvaneAssetFeed> parse_release_feed(std::span<const std::string_view> pieces) {
  uint64_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  size_t i = 0;
  PiecesRead read{.next = [&]() -> std::string_view {
    while (i < pieces.size() && pieces[i].empty()) ++i;  // an empty piece is no end
    return i < pieces.size() ? pieces[i++] : std::string_view();
  }};
  TextStream<true> stream(&read);
  return read_feed(stream, assets_room(size));
}

struct FeedStreamParser::State {
  PieceQueue queue{kPieceQueueSize};
  size_t room;  // for the assets
  std::optional<Result<NorvaneAssetFeed>> result;
  std::exception_ptr failure;  // what the reading thread threw
  std::thread reader;

  void start_reader() {
    reader = std::thread([this] {
      try {
        PiecesRead pieces{.next = [this] { return queue.next(); }};
        TextStream<true> stream(&pieces);
        result = read_feed(stream, room);
      } catch (...) {
        failure = std::current_exception();
      }
      queue.reader_done();
    });
  }
};

// A text that fits in the queue is read there once it has ended, on the calling
// thread: a small feed costs no thread. The thread starts with the first byte that
// would not fit.
FeedStreamParser::FeedStreamParser(uint64_t expected_size) : state_(std::make_unique<State>()) {
  state_->room = assets_room(expected_size);
}

FeedStreamParser::~FeedStreamParser() {
  if (!state_->reader.joinable()) return;
  state_->queue.close(/*abandoned=*/true);
  state_->reader.join();
}

void FeedStreamParser::push(std::string_view bytes) {
  State& state = *state_;
  if (!state.reader.joinable()) {
    if (bytes.size() <= state.queue.room()) {
      state.queue.push(bytes);  // nothing waits, as there is room
      return;
    }
    state.start_reader();
  }
  state.queue.push(bytes);
}

Result<NorvaneAssetFeed> FeedStreamParser::finish() {
  State& state = *state_;
  state.queue.close(/*abandoned=*/false);
  if (!state.reader.joinable()) {
    // Every byte is in the queue, from its start: nothing was read, so nothing wrapped.
    const std::string_view text = state.queue.next();
    TextStream<false> stream(text);
    return read_feed(stream, std::max(state.room, assets_room(text.size())));
  }
  state.reader.join();
  if (state.failure) std::rethrow_exception(state.failure);
  return std::move(*state.result);
}

const NorvaneAsset* NorvaneAssetFeed::find(std::string_view name) const {
  for (const NorvaneAsset& asset : Assets)
    if (ascii_iequal(asset.FileName, name)) return &asset;
  return nullptr;
}

// ---------------------------------------------------------------------------------
// Writing JSON. RapidJSON's writer escapes more than we want (U+007F) and in upper
// case hex, so the strings are written here.

namespace {

// 0: unchanged; otherwise the letter after the backslash ('u' for \u00xx).
constexpr std::array<char, 256> make_escapes() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}
constexpr std::array<char, 256> kEscapes = make_escapes();

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char escape = kEscapes[c];
    if (escape == 0) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    out += '\\';
    out += escape;
    if (escape == 'u') {
      constexpr char kHex[] = "0123456789abcdef";
      out += "00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

}  // namespace

void append_json(std::string& out, const NorvaneAsset& asset) {
  out.reserve(out.size() + 128 + asset.PackageId.size() + asset.Version.size() + asset.Type.size() +
              asset.FileName.size() + asset.SHA1.size() + asset.NotesMarkdown.size() +
              asset.NotesHtml.size());
  out += '{';
  for (size_t i = 0; i < kFieldNames.size(); ++i) {
    if (i != 0) out += ',';
    out += '"';
    out += kFieldNames[i];
    out += "\":";
    if (const std::string* text = text_field(asset, i)) {
      append_json_string(out, *text);
    } else {
      out += std::to_string(asset.Size);
    }
  }
  out += '}';
}

std::string to_json(const NorvaneAsset& asset) {
  std::string out;
  append_json(out, asset);
  return out;
}

}  // namespace norvane
