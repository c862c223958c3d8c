#include "gzip_decoder.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace norvane {
namespace {

using testing::gzip;
using testing::make_body;
using testing::message_of;

// What decoding a whole coded body gives: the decoded bytes and the outcome, either
// the first error of decode() or that of finish().
struct Decoded {
  std::string bytes;
  Result<void> result;
};

// Feeds `coded` to one decoder in pieces of `piece` bytes, into an output space of
// `capacity` bytes that is drained into the result whenever it fills.
Decoded decode_all(std::string_view coded, size_t piece, size_t capacity) {
  Decoded out;
  GzipDecoder decoder;
  std::vector<char> space(capacity);
  size_t used = 0;
  const GzipDecoder::Drain drain = [&]() -> Result<void> {
    out.bytes.append(space.data(), used);
    used = 0;
    return {};
  };
  for (size_t at = 0; at < coded.size(); at += piece) {
    out.result = decoder.decode(coded.substr(at, piece), space.data(), &used, capacity, drain);
    if (!out.result) return out;
  }
  out.bytes.append(space.data(), used);
  out.result = decoder.finish();
  return out;
}

TEST(GzipDecoderTest, DecodesBodies) {
  const std::string text = make_body(300'000);
  const std::string packed = gzip(text);
  struct Case {
    const char* name;
    std::string coded;
    std::string decoded;
  };
  const Case cases[] = {
      {"one member", packed, text},
      {"several members", gzip("first\n") + gzip("") + gzip("third\n") + packed,
       "first\nthird\n" + text},
      {"an empty member", gzip(""), ""},
      {"no bytes at all", "", ""},
  };
  // Whole, byte by byte, and with an output space smaller than one member's output.
  struct Feed {
    size_t piece;
    size_t capacity;
  };
  constexpr Feed kFeeds[] = {{1 << 30, 1 << 20}, {1, 1 << 20}, {4096, 7}, {1, 1}};
  for (const Case& c : cases) {
    for (const Feed& f : kFeeds) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(f.piece) + ", space of " +
                   std::to_string(f.capacity));
      const Decoded out = decode_all(c.coded, f.piece, f.capacity);
      ASSERT_TRUE(out.result) << message_of(out.result);
      EXPECT_TRUE(out.bytes == c.decoded) << out.bytes.size() << " bytes decoded";
    }
  }
}

TEST(GzipDecoderTest, RejectsBrokenBodies) {
  const std::string packed = gzip(make_body(100'000));
  struct Case {
    const char* name;
    std::string coded;
    std::string message;
  };
  const std::string cut = "the gzip-coded body ends before its compressed data";
  const std::string not_gzip = "invalid gzip-coded body: incorrect header check";
  const Case cases[] = {
      {"cut in the middle", packed.substr(0, packed.size() / 2), cut},
      {"trailer missing", packed.substr(0, packed.size() - 8), cut},
      {"header alone", packed.substr(0, 10), cut},
      {"second member cut short", gzip("first\n") + packed.substr(0, 100), cut},
      {"not gzip", "plain text", not_gzip},
      {"trailing bytes", packed + "garbage", not_gzip},
      {"trailing zero bytes", packed + std::string(4, '\0'), not_gzip},
      {"trailer altered", packed.substr(0, packed.size() - 1) + char(packed.back() ^ 1),
       "invalid gzip-coded body: incorrect length check"},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t{1} << 30, size_t{1}}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      const Decoded out = decode_all(c.coded, piece, 64 * 1024);
      ASSERT_FALSE(out.result) << "a broken body was decoded as complete";
      EXPECT_EQ(out.result.error().message, c.message);
    }
  }
}

TEST(GzipDecoderTest, StopsWithTheDrainsError) {
  const std::string packed = gzip(make_body(10'000));
  GzipDecoder decoder;
  char space[100];
  size_t used = 0;
  int drains = 0;
  const auto result = decoder.decode(packed, space, &used, sizeof space, [&]() -> Result<void> {
    ++drains;
    return fail("the disk is full");
  });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "the disk is full");
  EXPECT_EQ(drains, 1);
  EXPECT_EQ(used, sizeof space);  // what was decoded before stays for the caller
}

}  // namespace
}  // namespace norvane
