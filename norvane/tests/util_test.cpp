#include <norvane/util.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace norvane {
namespace {

using testing::CapturedLog;
using testing::RecordingSleeper;
using testing::TempDir;

TEST(RetryOperationTest, FourAttemptsThreeWarningsAndTheWaits) {
  CapturedLog log;
  RecordingSleeper sleeper;
  int calls = 0;
  auto result = retry_operation(
      [&]() -> Result<int> {
        ++calls;
        return unexpected(Error::from_errno(ENOENT));
      },
      std::ref(sleeper));
  ASSERT_FALSE(result);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(result.error().message, "No such file or directory (os error 2)");
  EXPECT_EQ(sleeper.waits, (std::vector<long>{333, 666, 1000}));
  const std::string detail =
      "(error was: Some(Os { code: 2, kind: NotFound, message: \"No such file or directory\" }))";
  const auto records = log.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].message, "Retrying operation in 333ms... " + detail);
  EXPECT_EQ(records[1].message, "Retrying operation in 666ms... " + detail);
  EXPECT_EQ(records[2].message, "Retrying operation in 1000ms... " + detail);
  for (const auto& r : records) {
    EXPECT_EQ(r.level, log::Level::Warn);
    EXPECT_EQ(r.target, "norvane::util");
  }
}

TEST(RetryOperationTest, StopsAtTheFirstSuccess) {
  CapturedLog log;
  RecordingSleeper sleeper;
  int calls = 0;
  auto result = retry_operation(
      [&]() -> Result<int> {
        if (++calls < 2) return fail("not yet");
        return 7;
      },
      std::ref(sleeper));
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, 7);
  EXPECT_EQ(sleeper.waits, std::vector<long>{333});
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0],
            "Retrying operation in 333ms... (error was: Some(Custom { kind: Other, error: \"not "
            "yet\" }))");
}

TEST(RetryOperationTest, WaitsEvenWhenWarningsAreFilteredOut) {
  CapturedLog log(log::Level::Error);
  RecordingSleeper sleeper;
  auto result = retry_operation([]() -> Result<void> { return fail("no"); }, std::ref(sleeper));
  EXPECT_FALSE(result);
  EXPECT_EQ(sleeper.waits.size(), 3u);
  EXPECT_TRUE(log.records().empty());
}

TEST(DebugFormTest, QuotesAndEscapes) {
  struct Case {
    std::string text, expected;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"http://h/x", "\"http://h/x\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"t\tn\nr\r", "\"t\\tn\\nr\\r\""},
      {std::string("nul\0x", 5), "\"nul\\0x\""},
      {"\x1b[0m\x7f", "\"\\u{1b}[0m\\u{7f}\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"bad\xff", "\"bad\xef\xbf\xbd\""},
      {"c1 \xc2\x9b"
       "2J \xc2\x85 \xc2\xa0",
       "\"c1 \\u{9b}2J \\u{85} \xc2\xa0\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(debug_string(c.text), c.expected);
  }
  EXPECT_EQ(debug_optional(std::nullopt), "None");
  EXPECT_EQ(debug_optional(std::string("beta")), "Some(\"beta\")");
  EXPECT_EQ(debug_optional(std::string()), "Some(\"\")");
  EXPECT_EQ(debug_bool(true), "true");
  EXPECT_EQ(debug_bool(false), "false");
}

// Only control characters change: quotes, backslashes and other text stay as they are.
TEST(DebugFormTest, EscapesControlCharactersOnly) {
  struct Case {
    std::string text, expected;
  };
  const Case cases[] = {
      {"", ""},
      {"plain 'quoted' \"double\" back\\slash caf\xc3\xa9",
       "plain 'quoted' \"double\" back\\slash caf\xc3\xa9"},
      {"a\n12:00:00 [ERROR] forged", "a\\n12:00:00 [ERROR] forged"},
      {"\x1b[2J\r\t\x7f", "\\u{1b}[2J\\r\\t\\u{7f}"},
      {std::string("nul\0x", 5), "nul\\0x"},
      {"csi \xc2\x9b nel \xc2\x85 nbsp \xc2\xa0", "csi \\u{9b} nel \\u{85} nbsp \xc2\xa0"},
      {"cut \xc2", "cut \xc2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(escape_control_characters(c.text), c.expected);
  }
}

TEST(DecimalTest, ReadsDigitsUpTo64Bits) {
  struct Case {
    const char* text;
    std::optional<uint64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},  // one past the largest
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+1", std::nullopt},
      {"-1", std::nullopt},
      {"1 ", std::nullopt},
      {"1e3", std::nullopt},
      {"\xD9\xA1", std::nullopt},  // a digit of another script
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_decimal_u64(c.text), c.value);
  }
}

TEST(Utf8Test, ReplacesEachMaximalInvalidSequence) {
  struct Case {
    std::string bytes, expected;
    bool valid;
  };
  const std::string r = "\xef\xbf\xbd";
  const Case cases[] = {
      {"plain", "plain", true},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", true},
      {"\xff", r, false},
      {"a\x80z", "a" + r + "z", false},
      {"\xc0\xaf", r + r, false},                  // overlong
      {"\xe0\x80\x80", r + r + r, false},          // overlong three-byte
      {"\xed\xa0\x80", r + r + r, false},          // surrogate
      {"\xf4\x90\x80\x80", r + r + r + r, false},  // past U+10FFFF
      {"\xe2\x82", r, false},                      // truncated at the end
      {"\xe2\x82z", r + "z", false},               // truncated before a letter
      {"\xf0\x9f\x98", r, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
    EXPECT_EQ(lossy_utf8(c.bytes), c.expected);
  }
}

// Text repaired as it arrives: wherever the pieces are cut, even inside a sequence and
// into pieces shorter than one, the result is that of the text repaired whole.
TEST(Utf8Test, RepairsPiecesAsTheWholeText) {
  const std::string texts[] = {
      "a\xc3\xa9"
      "b\xe2\x82\xac\xf0\x9f\x98\x80z",    // valid, sequences of every length
      "\xe2\x82\xe2\x82\xac\xf0\x9f\x98",  // cut sequences before whole ones
      "\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xff\x80",
      "x\xf0\x9f\x98",  // cut by the end of the text
      "\xf0\x9f\x98\x80\xf0",
  };
  const auto repaired = [](const std::vector<std::string_view>& pieces) {
    Utf8Repair repair;
    std::string out, scratch;
    for (std::string_view piece : pieces) out += repair.feed(piece, scratch);
    out += repair.finish(scratch);
    return out;
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(::testing::PrintToString(text));
    const std::string whole = lossy_utf8(text);
    const std::string_view view(text);
    std::vector<std::string_view> bytes;
    for (size_t i = 0; i < view.size(); ++i) bytes.push_back(view.substr(i, 1));
    EXPECT_EQ(repaired(bytes), whole);
    for (size_t i = 0; i <= view.size(); ++i) {
      for (size_t j = i; j <= view.size(); ++j) {
        SCOPED_TRACE("cut at " + std::to_string(i) + " and " + std::to_string(j));
        EXPECT_EQ(repaired({view.substr(0, i), view.substr(i, j - i), view.substr(j)}), whole);
      }
    }
  }
  // Valid text that ends on a whole sequence comes back as itself, not copied.
  Utf8Repair repair;
  std::string scratch;
  const std::string_view valid = texts[0];
  EXPECT_EQ(repair.feed(valid, scratch).data(), valid.data());
}

TEST(HomeDirectoryTest, HomeWinsEvenWhenEmpty) {
  {
    testing::ScopedEnv home("HOME", "/Users/u");
    EXPECT_EQ(home_directory(), std::filesystem::path("/Users/u"));
  }
  {
    testing::ScopedEnv home("HOME", "");
    EXPECT_EQ(home_directory(), std::filesystem::path(""));
  }
  {
    testing::ScopedEnv home("HOME", std::nullopt);
    auto dir = home_directory();
    ASSERT_TRUE(dir.has_value());  // the password database knows the test's user
    EXPECT_FALSE(dir->empty());
  }
}

// Whole-file reads take regular files only, within their limit, and never block or
// allocate for what a special or huge file claims.
TEST(ReadFileTest, TakesRegularFilesWithinTheLimitOnly) {
  TempDir dir;
  const std::filesystem::path p = dir.path();
  testing::write_file(p / "ten", "0123456789");
  testing::write_file(p / "latin1", "caf\xe9");
  std::filesystem::create_symlink(p / "ten", p / "link");
  ASSERT_EQ(::mkfifo((p / "fifo").c_str(), 0600), 0);
  std::filesystem::create_directory(p / "dir");
  {
    std::FILE* f = std::fopen((p / "sparse").c_str(), "w");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(::ftruncate(::fileno(f), off_t{1} << 40), 0);  // 1 TiB of nothing
    std::fclose(f);
  }
  std::filesystem::create_symlink("/dev/zero", p / "zero");
  const auto quoted = [&](const char* name) { return "'" + (p / name).string() + "'"; };
  struct Case {
    const char* name;
    uint64_t limit;
    std::string content_or_error;
    bool ok;
  };
  const Case cases[] = {
      {"ten", 10, "0123456789", true},
      {"link", 100, "0123456789", true},
      {"ten", 9, quoted("ten") + " is larger than 9 bytes", false},
      {"fifo", 100, quoted("fifo") + " is not a regular file", false},
      {"dir", 100, "Is a directory (os error 21)", false},
      {"zero", 100, quoted("zero") + " is not a regular file", false},
      {"sparse", 10'485'760, quoted("sparse") + " is larger than 10485760 bytes", false},
      {"missing", 100, "No such file or directory (os error 2)", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = read_file(p / c.name, c.limit);
    ASSERT_EQ(r.has_value(), c.ok);
    EXPECT_EQ(c.ok ? *r : r.error().message, c.content_or_error);
  }
  EXPECT_TRUE(read_utf8_file(p / "ten", 10));
  EXPECT_EQ(read_utf8_file(p / "latin1", 10).error().message, "stream did not contain valid UTF-8");
}

}  // namespace
}  // namespace norvane
