// The hasher that follows a file as it is written: the digest of exactly the bytes
// said to be written, whatever the pieces, and a failure when the file holds fewer.
#include "file_hasher.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace norvane {
namespace {

using testing::make_body;
using testing::sha1_hex;
using testing::TempDir;
using testing::write_file;

TEST(FileHasherTest, HashesWhatIsWrittenAsItIsWritten) {
  TempDir dir;
  const std::string body = make_body(3 << 20, 4);
  const auto path = dir / "file";
  write_file(path, "");
  auto hasher = FileHasher::start(path);
  ASSERT_TRUE(hasher) << hasher.error().message;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  // Pieces of every size, the hasher told after each.
  size_t done = 0;
  for (size_t piece : {1ul, 100ul, 65536ul, 262144ul, 262145ul, 1ul << 20}) {
    ASSERT_EQ(::write(fd, body.data() + done, piece), static_cast<ssize_t>(piece));
    done += piece;
    (*hasher)->written(done);
  }
  ASSERT_EQ(::write(fd, body.data() + done, body.size() - done),
            static_cast<ssize_t>(body.size() - done));
  ::close(fd);
  EXPECT_EQ((*hasher)->finish(body.size()), sha1_hex(body));
}

TEST(FileHasherTest, FailsWhenTheFileHoldsLessThanSaid) {
  TempDir dir;
  write_file(dir / "short", "12345");
  auto hasher = FileHasher::start(dir / "short");
  ASSERT_TRUE(hasher);
  EXPECT_EQ((*hasher)->finish(6), "");
  EXPECT_FALSE(FileHasher::start(dir / "missing"));
}

// Given up before the end (a failed transfer), it stops without waiting for bytes that
// never come.
TEST(FileHasherTest, StopsWhenDestroyedEarly) {
  TempDir dir;
  write_file(dir / "file", make_body(1 << 20));
  auto hasher = FileHasher::start(dir / "file");
  ASSERT_TRUE(hasher);
  (*hasher)->written(1 << 19);
  hasher->reset();  // returns; a hang here fails the test by its timeout
}

}  // namespace
}  // namespace norvane
