#include "logging.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace ntolvex {
namespace {

namespace fs = std::filesystem;
using norvane::log::Level;
using norvane::log::Record;
using norvane::testing::read_file;
using norvane::testing::TempDir;
using norvane::testing::write_file;

TEST(LogLineTest, FieldsByLevel) {
  struct Case {
    Level level;
    const char* file;
    unsigned line;
    const char* expected;
  };
  // 09:05:03 UTC plus one hour.
  const long long now = 9 * 3600 + 5 * 60 + 3;
  const Case cases[] = {
      {Level::Error, "a.cpp", 1, "10:05:03 [ERROR] hello\n"},
      {Level::Warn, "a.cpp", 1, "10:05:03 [WARN] hello\n"},
      {Level::Info, nullptr, 0, "10:05:03 [INFO] hello\n"},
      {Level::Debug, "a.cpp", 1, "10:05:03 [DEBUG] (1) norvane::manager: hello\n"},
      {Level::Trace, "src/a.cpp", 42,
       "10:05:03 [TRACE] (1) norvane::manager: [src/a.cpp:42] hello\n"},
      {Level::Trace, nullptr, 0,
       "10:05:03 [TRACE] (1) norvane::manager: [<unknown>:<unknown>] hello\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    const Record r{c.level, "norvane::manager", c.file, c.line, "hello"};
    EXPECT_EQ(format_record(r, now, 3600), c.expected);
  }
  const Record r{Level::Info, "ntolvex", nullptr, 0, "x"};
  EXPECT_EQ(format_record(r, 3600, -7200), "23:00:00 [INFO] x\n");  // across midnight
  // A record is one line whatever its message holds: a header value from a server, a
  // file name from a feed.
  const Record forged{Level::Trace, "norvane::download", "d.cpp", 7,
                      "< X-Evil: a\r\n10:00:00 [ERROR] forged\x1b[2J"};
  EXPECT_EQ(format_record(forged, 3600, 0),
            "01:00:00 [TRACE] (1) norvane::download: [d.cpp:7] < X-Evil: a\\r\\n10:00:00 [ERROR] "
            "forged\\u{1b}[2J\n");
}

class RotationTest : public ::testing::Test {
 protected:
  fs::path base() const { return dir_ / "Logs" / "norvane.log"; }
  fs::path numbered(int n) const { return fs::path(base().string() + "." + std::to_string(n)); }
  TempDir dir_;
};

// The one case at the default limit of 1 MiB; the others use a small one.
TEST_F(RotationTest, APieceThatCrossesTheLimitIsSplit) {
  write_file(base(), std::string(1048570, 'a'));
  RotatingLogFile log(base());
  ASSERT_TRUE(log.open());
  EXPECT_EQ(log.byte_count(), 1048570u);
  ASSERT_TRUE(log.write("0123456789abcdefghij"));
  EXPECT_EQ(fs::file_size(numbered(1)), 1048576u);
  EXPECT_EQ(read_file(numbered(1)).substr(1048570), "012345");
  EXPECT_EQ(read_file(base()), "6789abcdefghij");
  EXPECT_EQ(log.byte_count(), 14u);
}

TEST_F(RotationTest, ReachingTheLimitExactlyDoesNotRotate) {
  write_file(base(), std::string(90, 'a'));
  RotatingLogFile log(base(), 100);
  ASSERT_TRUE(log.open());
  ASSERT_TRUE(log.write("0123456789"));
  EXPECT_FALSE(fs::exists(numbered(1)));
  EXPECT_EQ(fs::file_size(base()), 100u);
  ASSERT_TRUE(log.write("x"));
  EXPECT_EQ(fs::file_size(numbered(1)), 100u);
  EXPECT_EQ(read_file(base()), "x");
}

TEST_F(RotationTest, AFileAlreadyOverTheLimitIsRotatedWhole) {
  const std::string old(100 + 50, 'o');
  write_file(base(), old);
  RotatingLogFile log(base(), 100);
  ASSERT_TRUE(log.open());
  ASSERT_TRUE(log.write("new line\n"));
  EXPECT_EQ(read_file(numbered(1)), old);
  EXPECT_EQ(read_file(base()), "new line\n");
}

TEST_F(RotationTest, OnlyTheNewestCopyIsKept) {
  write_file(base(), std::string(100, 'c'));
  write_file(numbered(1), "one");
  write_file(numbered(2), "two");
  write_file(numbered(3), "three");
  write_file(base().string() + ".5.gz", "five");
  write_file(base().string() + ".old", "old");
  write_file(base().string() + ".x1", "x1");
  fs::create_directories(base().string() + ".7");  // not a regular file: not numbered
  RotatingLogFile log(base(), 100);
  ASSERT_TRUE(log.open());
  ASSERT_TRUE(log.write("z"));
  EXPECT_EQ(read_file(numbered(1)), std::string(100, 'c'));
  EXPECT_FALSE(fs::exists(numbered(2)));
  EXPECT_FALSE(fs::exists(numbered(3)));
  EXPECT_FALSE(fs::exists(numbered(4)));
  EXPECT_FALSE(fs::exists(base().string() + ".5.gz"));
  EXPECT_EQ(read_file(base().string() + ".old"), "old");
  EXPECT_EQ(read_file(base().string() + ".x1"), "x1");
  EXPECT_TRUE(fs::is_directory(base().string() + ".7"));
  EXPECT_EQ(read_file(base()), "z");
}

TEST_F(RotationTest, APieceLongerThanTheLimitRotatesAsOftenAsItNeeds) {
  RotatingLogFile log(base(), 100);
  ASSERT_TRUE(log.open());
  ASSERT_TRUE(log.write(std::string(250, 'p')));
  EXPECT_EQ(fs::file_size(numbered(1)), 100u);
  EXPECT_EQ(fs::file_size(base()), 50u);
  EXPECT_FALSE(fs::exists(numbered(2)));
}

TEST_F(RotationTest, ByteCountingGoesOnAcrossRuns) {
  {
    RotatingLogFile log(base(), 100);
    ASSERT_TRUE(log.open());
    ASSERT_TRUE(log.write(std::string(60, 'a')));
  }
  RotatingLogFile log(base(), 100);
  ASSERT_TRUE(log.open());
  EXPECT_EQ(log.byte_count(), 60u);
  ASSERT_TRUE(log.write(std::string(50, 'b')));
  EXPECT_EQ(read_file(numbered(1)), std::string(60, 'a') + std::string(40, 'b'));
  EXPECT_EQ(read_file(base()), std::string(10, 'b'));
}

TEST_F(RotationTest, AVanishedDirectoryIsCreatedAgain) {
  RotatingLogFile log(base(), 10);
  ASSERT_TRUE(log.open());
  ASSERT_TRUE(log.write("12345"));
  fs::remove_all(base().parent_path());
  ASSERT_TRUE(log.write("abcdefgh"));
  EXPECT_TRUE(fs::exists(base()));
  EXPECT_EQ(read_file(base()), "fgh");
}

TEST_F(RotationTest, AnUncreatableDirectoryFailsTheOpen) {
  write_file(dir_ / "Logs", "a file where the directory should be");
  RotatingLogFile log(base());
  EXPECT_FALSE(log.open());
  EXPECT_FALSE(log.write("dropped"));
}

}  // namespace
}  // namespace ntolvex
