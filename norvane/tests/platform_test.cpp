// The platform layer's contract, which every platform file must pass: the whole-file
// copy with its metadata and its refusals, and the durable flush.
#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "fd.h"
#include "file_copy.h"
#include "test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using testing::make_body;
using testing::read_file;
using testing::set_mtime_ago;
using testing::TempDir;
using testing::write_file;

// copy_file_into() a file `to` that is created or truncated.
Result<void> copy_with_metadata(const fs::path& from, const fs::path& to) {
  UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!out) return unexpected(Error::from_errno(errno));
  NV_TRY(copy_file_into(from, out.get()));
  return out.close();
}

TEST(FileCopyTest, CopiesRegularFilesAndLinksToThemWithTheirMetadata) {
  TempDir dir;
  const std::string big = make_body(5 << 20);
  write_file(dir / "big", big);
  write_file(dir / "small", "small file");
  write_file(dir / "empty", "");
  ASSERT_EQ(::chmod((dir / "small").c_str(), 0751), 0);
  set_mtime_ago(dir / "small", std::chrono::hours(30));
  fs::create_symlink(dir / "small", dir / "link");
  const fs::file_time_type small_time = fs::last_write_time(dir / "small");
  struct Case {
    const char* label;
    fs::path from;
    std::string content;
  };
  const Case cases[] = {
      {"large file", dir / "big", big},
      {"small file", dir / "small", "small file"},
      {"link to a file", dir / "link", "small file"},
      {"empty file", dir / "empty", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path to = dir / "copy";
    write_file(to, "longer content that the copy must replace entirely, all of it");
    ASSERT_TRUE(copy_with_metadata(c.from, to));
    EXPECT_TRUE(read_file(to) == c.content);
    struct stat from_st {
    }, to_st{};
    ASSERT_EQ(::stat(c.from.c_str(), &from_st), 0);
    ASSERT_EQ(::lstat(to.c_str(), &to_st), 0);
    EXPECT_TRUE(S_ISREG(to_st.st_mode));
    EXPECT_EQ(to_st.st_mode & 07777, from_st.st_mode & 07777);
    // To the nanosecond (the time type of std::filesystem keeps them on both systems,
    // whose struct stat names the field differently).
    EXPECT_TRUE(fs::last_write_time(to) == fs::last_write_time(c.from));
  }
  struct stat link_copy {};
  ASSERT_EQ(::stat((dir / "copy").c_str(), &link_copy), 0);
  // The link's target was copied: mode 0751 and the old time stamp.
  ASSERT_TRUE(copy_with_metadata(dir / "link", dir / "copy"));
  ASSERT_EQ(::stat((dir / "copy").c_str(), &link_copy), 0);
  EXPECT_EQ(link_copy.st_mode & 07777, 0751u);
  EXPECT_TRUE(fs::last_write_time(dir / "copy") == small_time);
}

// A file that reports no size but has content (procfs), on a file system the kernel
// cannot copy from: the read-and-write fallback copies it whole.
TEST(FileCopyTest, CopiesFilesTheKernelCannotCopy) {
  if (!fs::exists("/proc/version")) GTEST_SKIP() << "no /proc/version here";
  TempDir dir;
  ASSERT_TRUE(copy_with_metadata("/proc/version", dir / "copy"));
  const std::string copied = read_file(dir / "copy");
  EXPECT_FALSE(copied.empty());
  EXPECT_EQ(copied, read_file("/proc/version"));
}

TEST(FileCopyTest, RefusesEverythingButRegularFiles) {
  TempDir dir;
  fs::create_directory(dir / "dir");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  fs::create_symlink(dir / "dir", dir / "link-to-dir");
  fs::create_symlink(dir / "fifo", dir / "link-to-fifo");
  const std::string not_a_file =
      "the source path is neither a regular file nor a symlink to a regular file";
  struct Case {
    const char* label;
    fs::path from;
    std::string message;
  };
  const Case cases[] = {
      {"directory", dir / "dir", not_a_file},
      // A fifo must not be opened for reading: that would wait for a writer forever.
      {"fifo", dir / "fifo", not_a_file},
      {"link to a directory", dir / "link-to-dir", not_a_file},
      {"link to a fifo", dir / "link-to-fifo", not_a_file},
      {"character device", "/dev/null", not_a_file},
      {"dangling link", dir / "dangling", "No such file or directory (os error 2)"},
      {"missing file", dir / "missing", "No such file or directory (os error 2)"},
      {"below a file", dir / "fifo" / "x", "Not a directory (os error 20)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(out, 0);
    const Result<void> copied = copy_file_into(c.from, out);
    ::close(out);
    ASSERT_FALSE(copied);
    EXPECT_EQ(copied.error().message, c.message);
    EXPECT_EQ(fs::file_size(dir / "out"), 0u);
  }
}

TEST(FlushToStorageTest, FlushesFilesAndDirectoriesAndReportsBadDescriptors) {
  TempDir dir;
  write_file(dir / "file", "content");
  UniqueFd file(::open((dir / "file").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(file);
  EXPECT_TRUE(platform::flush_to_storage(file.get()));
  UniqueFd directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(directory);
  EXPECT_TRUE(platform::flush_to_storage(directory.get()));
  const Result<void> bad = platform::flush_to_storage(-1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, "Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace norvane
