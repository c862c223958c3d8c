#include <norvane/semver.h>

#include <gtest/gtest.h>

namespace norvane {
namespace {

TEST(SemverTest, ParsesAndPrints) {
  auto v = parse_semver("1.2.3-alpha.1+build.007");
  ASSERT_TRUE(v) << v.error().message;
  EXPECT_EQ(v->major, 1u);
  EXPECT_EQ(v->pre, "alpha.1");
  EXPECT_EQ(v->build, "build.007");
  EXPECT_EQ(v->to_string(), "1.2.3-alpha.1+build.007");
}

}  // namespace
}  // namespace norvane
