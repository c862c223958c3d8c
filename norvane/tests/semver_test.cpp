#include <norvane/semver.h>

#include <gtest/gtest.h>

#include <vector>

namespace norvane {
namespace {

TEST(SemverTest, ParsesEveryPartAndPrintsItBack) {
  struct Case {
    const char* text;
    uint64_t major, minor, patch;
    const char* pre;
    const char* build;
  };
  const Case cases[] = {
      {"0.0.0", 0, 0, 0, "", ""},
      {"1.2.3", 1, 2, 3, "", ""},
      {"1.2.3-alpha.1", 1, 2, 3, "alpha.1", ""},
      {"1.2.3+build.007", 1, 2, 3, "", "build.007"},
      {"1.0.0-x-y.0.z+001.sha-5", 1, 0, 0, "x-y.0.z", "001.sha-5"},
      {"1.0.0--", 1, 0, 0, "-", ""},
      {"18446744073709551615.0.18446744073709551615", 18446744073709551615ull, 0,
       18446744073709551615ull, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto v = parse_semver(c.text);
    ASSERT_TRUE(v) << v.error().message;
    EXPECT_EQ(v->major, c.major);
    EXPECT_EQ(v->minor, c.minor);
    EXPECT_EQ(v->patch, c.patch);
    EXPECT_EQ(v->pre, c.pre);
    EXPECT_EQ(v->build, c.build);
    EXPECT_EQ(v->to_string(), c.text);
  }
}

TEST(SemverTest, RejectsAnythingButOneCompleteVersion) {
  for (const char* text : {"",
                           "1",
                           "1.2",
                           "1.2.3.4",
                           "v1.2.3",
                           " 1.2.3",
                           "1.2.3 ",
                           "1.2.3\n",
                           "01.2.3",
                           "1.02.3",
                           "1.2.03",
                           "1.2.3-",
                           "1.2.3+",
                           "1.2.3-a..b",
                           "1.2.3-01",
                           "1.2.3-a.01",
                           "1.2.3+a..b",
                           "1.2.3-a+",
                           "1.2.3-ä",
                           "1.2.3+b_1",
                           "1..3",
                           "-1.2.3",
                           "1.2.-3",
                           "1.2.3-a b",
                           "18446744073709551616.0.0",
                           "1.99999999999999999999.0",
                           "1.2.3+a+b",
                           "a.b.c"}) {
    SCOPED_TRACE(text);
    auto v = parse_semver(text);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error().message.find('\n'), std::string::npos);
  }
}

TEST(SemverTest, BuildMetadataMayHaveLeadingZeros) {
  EXPECT_TRUE(parse_semver("1.2.3+01"));
  EXPECT_TRUE(parse_semver("1.2.3-a+00.0"));
  EXPECT_TRUE(parse_semver("1.2.3-0"));
}

Version v(const char* text) {
  auto parsed = parse_semver(text);
  EXPECT_TRUE(parsed) << text;
  return parsed ? *parsed : Version{};
}

// Every pair in this list: the earlier ranks strictly lower than the later.
TEST(SemverTest, TotalOrderIncludingBuildMetadata) {
  const std::vector<const char*> ascending = {
      "0.0.1",
      "0.1.0",
      "1.0.0-0",
      "1.0.0-2",
      "1.0.0-10",
      "1.0.0-a",
      "1.0.0-alpha",
      "1.0.0-alpha.1",
      "1.0.0-alpha.beta",
      "1.0.0-beta",
      "1.0.0-beta.2",
      "1.0.0-beta.11",
      "1.0.0-rc.1",
      "1.0.0-rc.1+build",
      "1.0.0",
      "1.0.0+1",
      "1.0.0+01",  // equal in value, more digits ranks higher
      "1.0.0+2",
      "1.0.0+10",
      "1.0.0+10.a",
      "1.0.0+A",
      "1.0.0+a",
      "1.0.0+build",
      "1.0.0+build.2",
      "1.0.1",
      "1.10.0",
      "2.0.0",
      "18446744073709551615.0.0",
  };
  for (size_t i = 0; i < ascending.size(); ++i) {
    for (size_t j = 0; j < ascending.size(); ++j) {
      SCOPED_TRACE(std::string(ascending[i]) + " vs " + ascending[j]);
      const Version a = v(ascending[i]), b = v(ascending[j]);
      EXPECT_EQ(a < b, i < j);
      EXPECT_EQ(a == b, i == j);
      EXPECT_EQ(a > b, i > j);
    }
  }
}

TEST(SemverTest, EqualityComparesTextsExactly) {
  EXPECT_EQ(v("1.0.0-a.1+b"), v("1.0.0-a.1+b"));
  EXPECT_NE(v("1.0.0"), v("1.0.0+0"));
  EXPECT_NE(v("1.0.0+1"), v("1.0.0+01"));
}

}  // namespace
}  // namespace norvane
