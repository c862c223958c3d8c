#include <norvane/feed.h>

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace norvane {
namespace {

using testing::make_asset;

// ---------------------------------------------------------------------------------
// Reading feeds.

struct ReadCase {
  const char* label;
  std::string text;
  std::vector<NorvaneAsset> assets;
};

std::vector<ReadCase> read_cases() {
  const NorvaneAsset full = make_asset("MyApp", "1.2.3", "Full", "MyApp-1.2.3-full.nupkg",
                                       "da39a3ee", 1234, "* notes", "<p>notes</p>");
  return {
      {"empty object", "{}", {}},
      {"empty array", "[]", {}},
      {"empty Assets", R"({"Assets":[]})", {}},
      {"lower-case key is skipped", R"({"assets":[{"Version":"1.0.0"}]})", {}},
      {"one empty asset", R"({"Assets":[{}]})", {NorvaneAsset{}}},
      {"all fields",
       R"({"Assets":[{"PackageId":"MyApp","Version":"1.2.3","Type":"Full",
           "FileName":"MyApp-1.2.3-full.nupkg","SHA1":"da39a3ee","Size":1234,
           "NotesMarkdown":"* notes","NotesHtml":"<p>notes</p>"}]})",
       {full}},
      {"fields in any order",
       R"({"Assets":[{"NotesHtml":"<p>notes</p>","Size":1234,"SHA1":"da39a3ee",
           "FileName":"MyApp-1.2.3-full.nupkg","NotesMarkdown":"* notes","Type":"Full",
           "Version":"1.2.3","PackageId":"MyApp"}]})",
       {full}},
      {"positional asset",
       R"({"Assets":[["MyApp","1.2.3","Full","MyApp-1.2.3-full.nupkg","da39a3ee",1234,"* notes","<p>notes</p>"]]})",
       {full}},
      {"short positional asset",
       R"({"Assets":[["MyApp","1.2.3"]]})",
       {make_asset("MyApp", "1.2.3", "", "")}},
      {"empty positional asset", R"({"Assets":[[]]})", {NorvaneAsset{}}},
      {"positional feed",
       R"([[{"Version":"1.0.0"},["A"]]])",
       {make_asset("", "1.0.0", "", ""), make_asset("A", "", "", "")}},
      {"positional feed and asset",
       R"([[["MyApp","1.2.3","Full","MyApp-1.2.3-full.nupkg","da39a3ee",1234,"* notes","<p>notes</p>"]]])",
       {full}},
      {"assets keep their order",
       R"({"Assets":[{"FileName":"b"},{"FileName":"a"},{"FileName":"b"}]})",
       {make_asset("", "", "", "b"), make_asset("", "", "", "a"), make_asset("", "", "", "b")}},
      {"unknown keys skipped with nested values",
       R"({"Before":{"a":[1,{"Assets":[{"Version":"9"}]}],"b":null},
           "Assets":[{"Extra":[[{"Version":5}],{"x":{"y":[true,false,-1.5e3]}}],"Version":"1.0.0",
                      "version":null,"Size ":"x"}],
           "After":"tail","Again":[]})",
       {make_asset("", "1.0.0", "", "")}},
      {"unknown keys may repeat", R"({"x":1,"x":2,"Assets":[{"y":1,"y":2}]})", {NorvaneAsset{}}},
      {"whitespace around and inside",
       " \t\r\n{ \"Assets\" :\n[ { \"Size\" : 7 } ] }\r\n\t ",
       {make_asset("", "", "", "", "", 7)}},
      {"escapes resolved",
       R"({"Assets":[{"FileName":"a\"b\\c\/d\b\f\n\r\t\u00e9\u20ac\ud83d\ude00"}]})",
       {make_asset("", "", "", "a\"b\\c/d\b\f\n\r\t\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")}},
      {"escaped key is matched",
       R"({"\u0041ssets":[{"\u0056ersion":"2.0.0"}]})",
       {make_asset("", "2.0.0", "", "")}},
      {"NUL escape survives",
       R"({"Assets":[{"NotesMarkdown":"a\u0000b"}]})",
       {make_asset("", "", "", "", "", 0, std::string("a\0b", 3))}},
      {"raw UTF-8 kept",
       "{\"Assets\":[{\"NotesHtml\":\"\xC3\xA9\xF0\x9F\x98\x80\"}]}",
       {make_asset("", "", "", "", "", 0, "", "\xC3\xA9\xF0\x9F\x98\x80")}},
      {"largest Size",
       R"({"Assets":[{"Size":18446744073709551615}]})",
       {make_asset("", "", "", "", "", UINT64_MAX)}},
      {"zero Size", R"({"Assets":[{"Size":0}]})", {NorvaneAsset{}}},
      {"nothing validated",
       R"({"Assets":[{"Version":"beta","Type":"delta","FileName":""}]})",
       {make_asset("", "beta", "delta", "")}},
      {"Assets key after others", R"({"a":1,"Assets":[{}],"b":2})", {NorvaneAsset{}}},
  };
}

TEST(ReleaseFeedTest, ReadsDocuments) {
  for (const auto& c : read_cases()) {
    SCOPED_TRACE(c.label);
    auto feed = parse_release_feed(c.text);
    ASSERT_TRUE(feed) << feed.error().message;
    EXPECT_EQ(feed->Assets, c.assets);
  }
}

struct RejectCase {
  const char* label;
  std::string text;
  std::string message;
};

std::vector<RejectCase> reject_cases() {
  return {
      // Format errors.
      {"duplicate Version, equal values", R"({"Assets":[{"Version":"1","Version":"1"}]})",
       "duplicate field `Version` at line 1 column 27"},
      {"duplicate Assets", R"({"Assets":[],"Assets":[]})",
       "duplicate field `Assets` at line 1 column 14"},
      {"duplicate key spelled with an escape", R"({"Assets":[{"Size":1,"\u0053ize":2}]})",
       "duplicate field `Size` at line 1 column 22"},
      {"Size too large", R"({"Assets":[{"Size":18446744073709551616}]})",
       "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 20"},
      {"Size negative", R"({"Assets":[{"Size":-1}]})",
       "invalid value: integer `-1`, expected u64 at line 1 column 20"},
      {"Size minus zero", R"({"Assets":[{"Size":-0}]})",
       "invalid value: integer `-0`, expected u64 at line 1 column 20"},
      {"Size with fraction", R"({"Assets":[{"Size":1.0}]})",
       "invalid type: floating point `1.0`, expected u64 at line 1 column 20"},
      {"Size with exponent", R"({"Assets":[{"Size":1e3}]})",
       "invalid type: floating point `1e3`, expected u64 at line 1 column 20"},
      {"Size as string", R"({"Assets":[{"Size":"123"}]})",
       "invalid type: string \"123\", expected u64 at line 1 column 20"},
      {"Size null", R"({"Assets":[{"Size":null}]})",
       "invalid type: null, expected u64 at line 1 column 20"},
      {"Version null", R"({"Assets":[{"Version":null}]})",
       "invalid type: null, expected a string at line 1 column 23"},
      {"Version number", R"({"Assets":[{"Version":1}]})",
       "invalid type: integer `1`, expected a string at line 1 column 23"},
      {"Type float", R"({"Assets":[{"Type":1.5}]})",
       "invalid type: floating point `1.5`, expected a string at line 1 column 20"},
      {"FileName boolean", R"({"Assets":[{"FileName":true}]})",
       "invalid type: boolean `true`, expected a string at line 1 column 24"},
      {"SHA1 array", R"({"Assets":[{"SHA1":[]}]})",
       "invalid type: sequence, expected a string at line 1 column 20"},
      {"NotesHtml object", R"({"Assets":[{"NotesHtml":{}}]})",
       "invalid type: map, expected a string at line 1 column 25"},
      {"positional text field", R"({"Assets":[["id",false]]})",
       "invalid type: boolean `false`, expected a string at line 1 column 18"},
      {"positional Size", R"({"Assets":[["","","","","",-2]]})",
       "invalid value: integer `-2`, expected u64 at line 1 column 28"},
      {"nine positional fields", R"({"Assets":[["","","","","",0,"","",""]]})",
       "invalid length: too many elements, expected struct NorvaneAsset with 8 elements at line 1 "
       "column 36"},
      {"two positional feed elements", R"([[],[]])",
       "invalid length: too many elements, expected struct NorvaneAssetFeed with 1 element at line "
       "1 column 5"},
      {"top level number", "5",
       "invalid type: integer `5`, expected struct NorvaneAssetFeed at line 1 column 1"},
      {"top level string", R"("x")",
       "invalid type: string \"x\", expected struct NorvaneAssetFeed at line 1 column 1"},
      {"top level null", "null",
       "invalid type: null, expected struct NorvaneAssetFeed at line 1 column 1"},
      {"Assets object", R"({"Assets":{}})",
       "invalid type: map, expected a sequence at line 1 column 11"},
      {"Assets string", R"({"Assets":"a"})",
       "invalid type: string \"a\", expected a sequence at line 1 column 11"},
      {"positional feed with a map", R"([{}])",
       "invalid type: map, expected a sequence at line 1 column 2"},
      {"asset number", R"({"Assets":[5]})",
       "invalid type: integer `5`, expected struct NorvaneAsset at line 1 column 12"},
      {"asset string", R"({"Assets":[{},"x"]})",
       "invalid type: string \"x\", expected struct NorvaneAsset at line 1 column 15"},
      {"position on a later line", "{\n  \"Assets\": [\n    {\"Version\": 7}\n  ]\n}",
       "invalid type: integer `7`, expected a string at line 3 column 17"},
      {"string quoted in debug form", R"({"Assets":"a\"b\nc"})",
       "invalid type: string \"a\\\"b\\nc\", expected a sequence at line 1 column 11"},
      // Syntax errors, with the reader's own descriptions.
      {"empty text", "", "The document is empty. at line 1 column 1"},
      {"only whitespace", " \n ", "The document is empty. at line 2 column 2"},
      {"trailing text", "{} x",
       "The document root must not be followed by other values. at line 1 column 4"},
      {"second value", "{}{}",
       "The document root must not be followed by other values. at line 1 column 3"},
      {"trailing text on a later line", "{}\n\n  ]",
       "The document root must not be followed by other values. at line 3 column 3"},
      {"NUL byte after the value", std::string("{}\0", 3),
       "The document root must not be followed by other values. at line 1 column 3"},
      {"NUL byte before the value", std::string("\0{}", 3),
       "Unexpected NUL character. at line 1 column 1"},
      {"NUL byte inside a string", std::string("{\"a\0\":1}", 8),
       "Unexpected NUL character. at line 1 column 4"},
      {"byte order mark", "\xEF\xBB\xBF{}", "Invalid value. at line 1 column 1"},
      {"unterminated string", R"({"Assets":[{"Version":"1.0})",
       "Missing a closing quotation mark in string. at line 1 column 28"},
      {"bad escape", R"({"Assets":[{"Version":"\x"}]})",
       "Invalid escape character in string. at line 1 column 24"},
      {"raw control character in a string", "{\"a\":\"\t\"}",
       "Invalid escape character in string. at line 1 column 7"},
      {"missing comma", R"({"Assets":[] "x":1})",
       "Missing a comma or '}' after an object member. at line 1 column 14"},
      {"missing colon", R"({"Assets" []})",
       "Missing a colon after a name of object member. at line 1 column 11"},
      {"trailing comma in array", R"({"Assets":[{},]})", "Invalid value. at line 1 column 15"},
      {"trailing comma in object", R"({"Assets":[],})",
       "Missing a name for object member. at line 1 column 14"},
      {"unquoted key", R"({Assets:[]})", "Missing a name for object member. at line 1 column 2"},
      {"unclosed object", R"({"Assets":[])",
       "Missing a comma or '}' after an object member. at line 1 column 13"},
      {"single quotes", "{'Assets':[]}", "Missing a name for object member. at line 1 column 2"},
      {"comment", "{} // x",
       "The document root must not be followed by other values. at line 1 column 4"},
      {"leading zero", R"({"x":01})",
       "Missing a comma or '}' after an object member. at line 1 column 7"},
      {"NaN", R"({"x":NaN})", "Invalid value. at line 1 column 6"},
      {"lone high surrogate", R"({"Assets":[{"Type":"\ud800"}]})",
       "The surrogate pair in string is invalid. at line 1 column 21"},
      {"lone low surrogate", R"({"Assets":[{"Type":"\udc00"}]})",
       "The surrogate pair in string is invalid. at line 1 column 20"},
      {"lone low surrogate in a skipped key", R"({"\udfff":1})",
       "The surrogate pair in string is invalid. at line 1 column 2"},
      {"invalid UTF-8 in a string", "{\"Assets\":[{\"Type\":\"\xC3(\"}]}",
       "Invalid encoding in string. at line 1 column 21"},
      {"encoded surrogate in a string", "{\"a\":\"\xED\xA0\x80\"}",
       "Invalid encoding in string. at line 1 column 7"},
      // The reader takes the bytes of a sequence before it checks them, newlines too.
      {"sequence cut by newlines", "{\n\"a\":\"\xF0\n\n\n\"}",
       "Invalid encoding in string. at line 2 column 6"},
      {"number too big for the reader", R"({"x":1e400})",
       "Number too big to be stored in double. at line 1 column 6"},
  };
}

TEST(ReleaseFeedTest, RejectsDocuments) {
  for (const auto& c : reject_cases()) {
    SCOPED_TRACE(c.label);
    auto feed = parse_release_feed(c.text);
    ASSERT_FALSE(feed) << "read " << feed->Assets.size() << " assets";
    EXPECT_EQ(feed.error().message, c.message);
  }
}

// Only the first problem is reported, and no partial feed comes back.
TEST(ReleaseFeedTest, StopsAtTheFirstProblem) {
  auto feed = parse_release_feed(R"({"Assets":[{"Version":"1.0.0"},{"Size":-1},{"Type":5}]} x)");
  ASSERT_FALSE(feed);
  EXPECT_EQ(feed.error().message, "invalid value: integer `-1`, expected u64 at line 1 column 40");
}

std::string repeat(std::string_view piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Skipped values of any depth are read without recursion; malformed ones still fail.
TEST(ReleaseFeedTest, DeepNestingDoesNotExhaustTheStack) {
  constexpr size_t kDepth = 100000;
  const std::string arrays = repeat("[", kDepth) + repeat("]", kDepth);
  const std::string objects = repeat("{\"a\":", kDepth) + "1" + repeat("}", kDepth);
  struct Case {
    const char* label;
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      {"arrays in a feed key", "{\"x\":" + arrays + ",\"Assets\":[{}]}", true},
      {"objects in an asset key", "{\"Assets\":[{\"x\":" + objects + ",\"FileName\":\"f\"}]}",
       true},
      {"unclosed arrays", "{\"x\":" + repeat("[", kDepth), false},
      {"unclosed objects", "{\"Assets\":[{\"x\":" + repeat("{\"a\":", kDepth), false},
      {"deep arrays in a text field", "{\"Assets\":[{\"Type\":" + arrays + "}]}", false},
      {"deep top level", arrays, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto feed = parse_release_feed(c.text);
    EXPECT_EQ(feed.has_value(), c.ok) << (feed ? "" : feed.error().message);
    if (feed) {
      EXPECT_EQ(feed->Assets.size(), 1u);
    }
  }
}

// What the parsed feed holds is bounded, not only its text: empty assets cost far more
// parsed than written.
TEST(ReleaseFeedTest, HoldsAtMostTheMostAssets) {
  const std::string most = repeat("{},", kMaxFeedAssets - 1) + "{}";
  const std::string positional = repeat("[],", kMaxFeedAssets - 1) + "[]";
  for (const std::string* assets : {&most, &positional}) {
    auto feed = parse_release_feed("{\"Assets\":[" + *assets + "]}");
    ASSERT_TRUE(feed) << feed.error().message;
    EXPECT_EQ(feed->Assets.size(), kMaxFeedAssets);
    auto over = parse_release_feed("[[" + *assets + ",{}]]");
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().message,
              "too many assets: a feed holds at most 50000 at line 1 column " +
                  std::to_string(2 + assets->size() + 2));
  }
}

// The reader must not need a terminator behind the text it is given.
TEST(ReleaseFeedTest, ReadsOnlyTheGivenBytes) {
  const std::string buffer = R"({"Assets":[{"FileName":"a"}]}{"Assets":[]})";
  auto feed = parse_release_feed(std::string_view(buffer).substr(0, 29));
  ASSERT_TRUE(feed) << feed.error().message;
  ASSERT_EQ(feed->Assets.size(), 1u);
  EXPECT_EQ(feed->Assets[0].FileName, "a");
  auto cut = parse_release_feed(std::string_view(buffer).substr(0, 20));
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().message, "Missing a closing quotation mark in string. at line 1 column 21");
}

// ---------------------------------------------------------------------------------
// Reading a feed as it arrives.

// Through the stream parser (on its thread when the text is longer than its queue), and
// on the calling thread from a list of pieces; both must give the same result.
Result<NorvaneAssetFeed> parse_in_pieces(std::string_view text, size_t piece) {
  FeedStreamParser parser(text.size());
  std::vector<std::string_view> pieces;
  for (size_t i = 0; i < text.size(); i += piece) {
    parser.push(text.substr(i, piece));
    pieces.push_back(text.substr(i, piece));
  }
  auto streamed = parser.finish();
  auto listed = parse_release_feed(std::span<const std::string_view>(pieces));
  EXPECT_EQ(streamed.has_value(), listed.has_value());
  if (streamed && listed) {
    EXPECT_EQ(streamed->Assets, listed->Assets);
  } else if (!streamed && !listed) {
    EXPECT_EQ(streamed.error().message, listed.error().message);
  }
  return streamed;
}

// Wherever the pieces are cut, the feed or the error, its position included, is that of
// the text read whole.
TEST(FeedStreamParserTest, ReadsAsTheWholeText) {
  for (const size_t piece : {1, 2, 5, 4096}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    for (const auto& c : read_cases()) {
      SCOPED_TRACE(c.label);
      auto feed = parse_in_pieces(c.text, piece);
      ASSERT_TRUE(feed) << feed.error().message;
      EXPECT_EQ(feed->Assets, c.assets);
    }
    for (const auto& c : reject_cases()) {
      SCOPED_TRACE(c.label);
      auto feed = parse_in_pieces(c.text, piece);
      ASSERT_FALSE(feed) << "read " << feed->Assets.size() << " assets";
      EXPECT_EQ(feed.error().message, c.message);
    }
  }
}

// A feed many times the size of the queue between the threads, on many lines.
TEST(FeedStreamParserTest, ReadsTextsLargerThanItsQueue) {
  std::string text = "{\"Assets\": [\n";
  for (int i = 0; i < 5000; ++i) {
    text += i == 0 ? "" : ",\n";
    text += R"(  {"Version": "1.0.)" + std::to_string(i) +
            R"(", "Type": "Full", "NotesMarkdown": "* caf\u00e9 \"quoted\"\n* \u2713",)"
            R"( "Extra": [1, {"a": null}], "Size": )" +
            std::to_string(i * 7919) + "}";
  }
  const std::string bad = text + ",\n  {\"Size\": -1}\n]}";
  text += "\n]}";
  ASSERT_GT(text.size(), 600'000u);
  const auto whole = parse_release_feed(text);
  ASSERT_TRUE(whole) << whole.error().message;
  for (const size_t piece : {3, 7000, 1'000'000}) {
    auto feed = parse_in_pieces(text, piece);
    ASSERT_TRUE(feed) << feed.error().message;
    EXPECT_EQ(feed->Assets, whole->Assets);
    auto refused = parse_in_pieces(bad, piece);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message,
              "invalid value: integer `-1`, expected u64 at line 5002 column 12");
  }
}

// Once the text is refused, what still arrives is dropped without waiting for room;
// a parse never finished is abandoned, whether or not it waits for bytes.
TEST(FeedStreamParserTest, NeitherAFailedNorAnAbandonedParseHoldsTheWriterUp) {
  const std::string filler(4 * 1024 * 1024, ' ');
  {
    FeedStreamParser parser;
    parser.push("{\"Assets\": 5");
    for (int i = 0; i < 4; ++i) parser.push(filler);
    const auto feed = parser.finish();
    ASSERT_FALSE(feed);
    EXPECT_EQ(feed.error().message,
              "invalid type: integer `5`, expected a sequence at line 1 column 12");
  }
  { FeedStreamParser nothing_pushed; }
  {
    FeedStreamParser short_text;
    short_text.push(R"({"Assets": [{"Version": "1.0.0"}, )");
  }
  {
    // Its thread reads the long text up to where it stops, then waits for more.
    FeedStreamParser long_text;
    long_text.push(R"({"Assets": [)" + std::string(2 * 1024 * 1024, ' '));
  }
}

// ---------------------------------------------------------------------------------
// Writing assets.

TEST(AssetJsonTest, WritesCompactObjectInFieldOrder) {
  EXPECT_EQ(
      to_json(NorvaneAsset{}),
      R"({"PackageId":"","Version":"","Type":"","FileName":"","SHA1":"","Size":0,"NotesMarkdown":"","NotesHtml":""})");
  EXPECT_EQ(
      to_json(make_asset("MyApp", "1.0.0+b", "full", "MyApp-1.0.0-full.nupkg", "ab12", UINT64_MAX,
                         "md", "h")),
      R"({"PackageId":"MyApp","Version":"1.0.0+b","Type":"full","FileName":"MyApp-1.0.0-full.nupkg",)"
      R"("SHA1":"ab12","Size":18446744073709551615,"NotesMarkdown":"md","NotesHtml":"h"})");
}

TEST(AssetJsonTest, EscapesTexts) {
  struct Case {
    const char* label;
    std::string text;
    std::string json;
  };
  const Case cases[] = {
      {"quotation mark", "a\"b", R"("a\"b")"},
      {"backslash", "a\\b", R"("a\\b")"},
      {"short escapes", "\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"other controls in lower-case hex", std::string("\0\x01\x0b\x0e\x1a\x1f", 6),
       R"("\u0000\u0001\u000b\u000e\u001a\u001f")"},
      {"solidus unescaped", "a/b", R"("a/b")"},
      {"DEL unescaped", "\x7f", "\"\x7f\""},
      {"space unescaped", " ", R"(" ")"},
      {"non-ASCII as raw UTF-8", "\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80",
       "\"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\""},
      {"escapes between runs", "ab\ncd\"ef", R"("ab\ncd\"ef")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    NorvaneAsset asset;
    asset.NotesMarkdown = c.text;
    EXPECT_EQ(
        to_json(asset),
        R"({"PackageId":"","Version":"","Type":"","FileName":"","SHA1":"","Size":0,"NotesMarkdown":)" +
            c.json + R"(,"NotesHtml":""})");
  }
}

// Whatever is read can be written and read back unchanged.
TEST(AssetJsonTest, RoundTrips) {
  std::string every_control;
  for (int c = 0; c < 0x20; ++c) every_control += static_cast<char>(c);
  const NorvaneAsset assets[] = {
      make_asset("Id \"q\"", "1.0.0-beta+007", "FULL", "dir/My App.nupkg", "\\", 42, every_control,
                 "\x7f\xC3\xA9"),
      make_asset("", "", "", "", "", 0, "", ""),
  };
  for (const auto& asset : assets) {
    SCOPED_TRACE(asset.PackageId);
    auto feed = parse_release_feed("{\"Assets\":[" + to_json(asset) + "]}");
    ASSERT_TRUE(feed) << feed.error().message;
    ASSERT_EQ(feed->Assets.size(), 1u);
    EXPECT_EQ(feed->Assets[0], asset);
  }
}

// ---------------------------------------------------------------------------------
// Looking assets up by file name.

TEST(AssetFeedTest, FindsByFileNameIgnoringAsciiCase) {
  NorvaneAssetFeed feed;
  feed.Assets = {make_asset("1", "", "", "MyApp-1.0.0-full.nupkg"),
                 make_asset("2", "", "", "myapp-1.0.0-FULL.nupkg"),
                 make_asset("3", "", "", "\xC3\x89t\xC3\xA9.nupkg"), make_asset("4", "", "", ""),
                 make_asset("5", "", "", "a b")};
  struct Case {
    const char* name;
    const char* id;  // null: not found
  };
  const Case cases[] = {
      {"MyApp-1.0.0-full.nupkg", "1"},
      {"MYAPP-1.0.0-FULL.NUPKG", "1"},  // the first of two matches
      {"myapp-1.0.0-full.nupkg", "1"},
      {"\xC3\x89t\xC3\xA9.nupkg", "3"},
      {"\xC3\x89T\xC3\xA9.NUPKG", "3"},
      {"\xC3\xA9t\xC3\xA9.nupkg", nullptr},  // no case folding beyond ASCII
      {"MyApp-1.0.0-full.nupk", nullptr},
      {"MyApp-1.0.0-full.nupkg ", nullptr},  // no trimming
      {" a b", nullptr},
      {"A B", "5"},
      {"", "4"},
      {"missing.nupkg", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const NorvaneAsset* found = feed.find(c.name);
    if (c.id == nullptr) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->PackageId, c.id);
    }
  }
  EXPECT_EQ(NorvaneAssetFeed{}.find("x"), nullptr);
}

}  // namespace
}  // namespace norvane
