#include <norvane/feed.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <norvane/util.h>

namespace norvane {

namespace {

// ---------------------------------------------------------------------------------
// Reading a feed.
//
// RapidJSON's reader stops at end of input on a NUL character, so the stream below
// ends at the view's end instead of relying on a terminator, and the check for
// trailing text is ours (a NUL byte after the value is trailing text, not an end).

class ViewStream {
 public:
  using Ch = char;
  explicit ViewStream(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}
  Ch Peek() const { return p_ == end_ ? '\0' : *p_; }
  Ch Take() { return p_ == end_ ? '\0' : *p_++; }
  size_t Tell() const { return static_cast<size_t>(p_ - begin_); }
  // Writing is never used by a non-destructive parse.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

 private:
  const char* begin_;
  const char* p_;
  const char* end_;
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

bool is_json_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The offset of the opening quotation mark of the string whose closing one is just
// before `end`: the nearest quotation mark before it with an even number of
// backslashes in front (every quotation mark inside a string is escaped).
size_t string_start(std::string_view text, size_t end) {
  if (end < 2 || end > text.size()) return end;
  for (size_t i = end - 1; i-- > 0;) {
    if (text[i] != '"') continue;
    size_t backslashes = 0;
    while (backslashes < i && text[i - 1 - backslashes] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return i;
  }
  return end;
}

std::string with_position(std::string message, std::string_view text, size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
  const size_t line_start = before.rfind('\n');
  const size_t column = offset - (line_start == std::string_view::npos ? 0 : line_start + 1) + 1;
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace
}  // namespace norvane

// Lets the reader keep the stream in registers, as it does for its own string stream.
template <>
struct rapidjson::StreamTraits<norvane::ViewStream> {
  enum { copyOptimization = 1 };
};

namespace norvane {

Result<NorvaneAssetFeed> parse_release_feed(std::string_view text) {
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                              rapidjson::kParseNumbersAsStringsFlag |
                              rapidjson::kParseValidateEncodingFlag;
  FeedHandler handler;
  // Room for as many assets as a feed of this size holds when each takes 128 bytes
  // (real ones take more): reserved address space that is touched only as assets
  // arrive, so the list is not copied while it grows.
  handler.feed.Assets.reserve(std::min<size_t>(text.size() / 128, kMaxFeedAssets));
  ViewStream stream(text);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);
  if (result.IsError()) {
    size_t offset = result.Offset();
    std::string message;
    if (result.Code() == rapidjson::kParseErrorTermination) {
      message = std::move(handler.error);
      // Point at the start of the value or key that was refused.
      if (handler.anchor == FeedHandler::Anchor::kStringBefore) offset = string_start(text, offset);
      if (handler.anchor == FeedHandler::Anchor::kLiteralBefore && offset >= handler.literal_length)
        offset -= handler.literal_length;
    } else if (offset < text.size() && text[offset] == '\0') {
      // The reader takes a NUL byte for the end of input and says so.
      message = "Unexpected NUL character.";
    } else {
      message = rapidjson::GetParseError_En(result.Code());
    }
    return fail(with_position(std::move(message), text, offset));
  }
  size_t rest = stream.Tell();
  while (rest < text.size() && is_json_whitespace(text[rest])) ++rest;
  if (rest != text.size())
    return fail(with_position(
        rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular), text, rest));
  return std::move(handler.feed);
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
