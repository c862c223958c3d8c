// Placing packages: file names, temporary files and their verification, the directory
// lock, the listing of old packages, and place_package, the
// manager's whole placement with a fetch supplied by the test.
#include "placement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <norvane/manager.h>

#include "file_copy.h"
#include "platform.h"
#include "test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::asset_named;
using testing::CapturedLog;
using testing::make_body;
using testing::message_of;
using testing::names_in;
using testing::read_file;
using testing::RecordingSleeper;
using testing::set_mtime_ago;
using testing::sha1_hex;
using testing::TempDir;
using testing::upper;
using testing::write_file;

// ---------------------------------------------------------------------------------
// File names

TEST(PackageFileNameTest, AcceptsPlainNamesOnly) {
  for (const char* name : {"Sample-1.0.0-osx-full.nupkg", ".nupkg", "...", "..a", "a..",
                           "a b.nupkg", "caf\xC3\xA9.nupkg", "a\\b.nupkg", "-rf", "a:b"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(check_package_file_name(name)) << check_package_file_name(name).error().message;
  }
  EXPECT_TRUE(check_package_file_name(std::string(249, 'a') + ".nupkg"));
  EXPECT_TRUE(check_package_file_name(".pkg.partial"));
  struct Case {
    std::string name;
    std::string message;
  };
  const Case refused[] = {
      {"", "invalid package file name \"\": it is empty"},
      {".", "invalid package file name \".\": it names a directory"},
      {"..", "invalid package file name \"..\": it names a directory"},
      {"../x.nupkg", "invalid package file name \"../x.nupkg\": it contains \"/\""},
      {"/etc/passwd", "invalid package file name \"/etc/passwd\": it contains \"/\""},
      {"sub/x.nupkg", "invalid package file name \"sub/x.nupkg\": it contains \"/\""},
      {"x.nupkg/", "invalid package file name \"x.nupkg/\": it contains \"/\""},
      {std::string("x\0.nupkg", 8),
       "invalid package file name \"x\\0.nupkg\": it contains a NUL byte"},
      {std::string(250, 'a') + ".nupkg", "invalid package file name \"" + std::string(250, 'a') +
                                             ".nupkg\": it is longer than 255 bytes"},
      {".pkg.1.0123456789abcdef.partial",
       "invalid package file name \".pkg.1.0123456789abcdef.partial\": it has the form of a "
       "temporary "
       "download file"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.message);
    const Result<void> checked = check_package_file_name(c.name);
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().message, c.message);
  }
}

TEST(PackageFileNameTest, PatternAndPartialNames) {
  struct Case {
    const char* name;
    bool package;
    bool partial;
  };
  const Case cases[] = {
      {"a.nupkg", true, false},
      {".nupkg", true, false},
      {".hidden.nupkg", true, false},
      {"a.NUPKG", false, false},
      {"a.nupkg.old", false, false},
      {"nupkg", false, false},
      {".a.nupkg.123.0123456789abcdef.partial", false, true},
      {"..nupkg.1.ffffffffffffffff.partial", false, true},
      {"a.nupkg.123.0123456789abcdef.partial", false, false},    // no leading dot
      {".a.nupkg.123.0123456789abcde.partial", false, false},    // 15 digits
      {".a.nupkg.12x.0123456789abcdef.partial", false, false},   // pid not a number
      {".a.nupkg..0123456789abcdef.partial", false, false},      // no pid
      {"..123.0123456789abcdef.partial", false, false},          // no file name
      {".a.nupkg.123.0123456789abcdefg.partial", false, false},  // not hex
      {".a.nupkg.123.0123456789abcdef.partial.nupkg", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(matches_package_pattern(c.name), c.package);
    EXPECT_EQ(is_partial_file_name(c.name), c.partial);
  }
}

// Every name the writer makes is recognised as one of its own, within 255 bytes, and
// only its own: the package names themselves are not.
TEST(PackageFileNameTest, TemporaryNamesRoundTrip) {
  std::string long_name(200, 'a');
  while (long_name.size() < 249) long_name += "\xC3\xA9";
  long_name += ".nupkg";
  for (const std::string& name :
       {std::string("a.nupkg"), std::string("x"), std::string(".nupkg"),
        std::string("My App 1.0.0.nupkg"), std::string(255, 'n'), long_name}) {
    SCOPED_TRACE(name);
    for (const long pid : {1L, 4194304L}) {
      const std::string temp = partial_file_name(name, pid, "0123456789abcdef");
      EXPECT_TRUE(is_partial_file_name(temp)) << temp;
      EXPECT_LE(temp.size(), 255u);
      EXPECT_TRUE(is_valid_utf8(temp)) << temp;
      EXPECT_FALSE(matches_package_pattern(temp));
    }
    EXPECT_FALSE(is_partial_file_name(name));
  }
}

// ---------------------------------------------------------------------------------
// PackageWriter

TEST(PackageWriterTest, WritesBesideTheTargetUnderAFreshName) {
  TempDir dir;
  const fs::path target = dir / "Sample-1.0.0.nupkg";
  const mode_t old_mask = ::umask(027);
  auto first = PackageWriter::create(target, {"Sample-1.0.0.nupkg", "", 0});
  auto second = PackageWriter::create(target, {"Sample-1.0.0.nupkg", "", 0});
  ::umask(old_mask);
  ASSERT_TRUE(first) << first.error().message;
  ASSERT_TRUE(second) << second.error().message;
  EXPECT_NE(first->path(), second->path());
  for (const PackageWriter* w : {&*first, &*second}) {
    const std::string name = w->path().filename().string();
    SCOPED_TRACE(name);
    EXPECT_EQ(w->path().parent_path(), dir.path());
    EXPECT_TRUE(name.starts_with(".Sample-1.0.0.nupkg." + std::to_string(::getpid()) + "."))
        << name;
    EXPECT_TRUE(is_partial_file_name(name));
    EXPECT_FALSE(matches_package_pattern(name));
    struct stat st {};
    ASSERT_EQ(::stat(w->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // 0666 less the umask
  }
  ASSERT_TRUE(first->write("complete"));
  const fs::path first_temp = first->path();
  const fs::path second_temp = second->path();
  ASSERT_TRUE(first->place());
  EXPECT_EQ(read_file(target), "complete");
  EXPECT_FALSE(fs::exists(first_temp));
  // The one not placed goes away with its writer.
  { auto dropped = std::move(second); }
  EXPECT_FALSE(fs::exists(second_temp));
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"Sample-1.0.0.nupkg"});
}

TEST(PackageWriterTest, KeepsTemporaryNamesOfLongFileNamesWithinTheLimit) {
  TempDir dir;
  // 240 bytes ending in two-byte letters: a cut must not split one.
  std::string name(200, 'a');
  while (name.size() < 234) name += "\xC3\xA9";
  name += ".nupkg";
  ASSERT_LE(name.size(), 255u);
  auto writer = PackageWriter::create(dir / name, {name, "", 0});
  ASSERT_TRUE(writer) << writer.error().message;
  const std::string temp = writer->path().filename().string();
  EXPECT_LE(temp.size(), 255u);
  EXPECT_TRUE(is_partial_file_name(temp)) << temp;
  EXPECT_TRUE(is_valid_utf8(temp)) << temp;
  ASSERT_TRUE(writer->write("x"));
  ASSERT_TRUE(writer->place());
  EXPECT_EQ(read_file(dir / name), "x");
}

TEST(PackageWriterTest, RetriesCreatingTheTemporaryFile) {
  TempDir dir;
  RecordingSleeper sleeper;
  CapturedLog log(log::Level::Warn);
  auto writer = PackageWriter::create(dir / "missing" / "a.nupkg", {"a.nupkg", "", 0},
                                      [&](std::chrono::milliseconds d) { sleeper(d); });
  ASSERT_FALSE(writer);
  EXPECT_EQ(writer.error().message, "No such file or directory (os error 2)");
  EXPECT_EQ(sleeper.waits, (std::vector<long>{333, 666, 1000}));
  EXPECT_EQ(log.records().size(), 3u);

  // A directory that appears after the first attempt: one wait, then the file.
  RecordingSleeper second;
  auto late = PackageWriter::create(dir / "late" / "a.nupkg", {"a.nupkg", "", 0},
                                    [&](std::chrono::milliseconds d) {
                                      second(d);
                                      fs::create_directory(dir / "late");
                                    });
  ASSERT_TRUE(late) << late.error().message;
  EXPECT_EQ(second.waits, std::vector<long>{333});
}

TEST(PackageWriterTest, VerifiesSizeAndSha1BeforePlacing) {
  const std::string body = make_body(5000);
  const std::string sha = sha1_hex(body);
  struct Case {
    const char* label;
    std::string sha1;
    uint64_t size;
    std::vector<size_t> writes;  // sizes of the writes, in order, over the body
    std::string message;         // empty: placed
  };
  const Case cases[] = {
      {"nothing expected", "", 0, {5000}, ""},
      {"matching size and SHA1", sha, 5000, {1000, 4000}, ""},
      {"SHA1 in upper case", upper(sha), 5000, {5000}, ""},
      {"empty body, size not checked", sha1_hex(""), 0, {}, ""},
      {"wrong SHA1",
       std::string(40, '0'),
       5000,
       {5000},
       "SHA1 mismatch for 'p.nupkg': expected " + std::string(40, '0') + ", got " + sha},
      {"SHA1 of another length",
       "abc",
       0,
       {5000},
       "SHA1 mismatch for 'p.nupkg': expected abc, got " + sha},
      {"too few bytes",
       sha,
       5001,
       {5000},
       "size mismatch for 'p.nupkg': expected 5001 bytes, got 5000"},
      {"too many bytes stop the write that goes past",
       sha,
       4999,
       {4000, 1000},
       "size mismatch for 'p.nupkg': expected 4999 bytes, got at least 5000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    testing::write_file(dir / "other.nupkg", "old");
    auto writer = PackageWriter::create(dir / "p.nupkg", {"p.nupkg", c.sha1, c.size});
    ASSERT_TRUE(writer) << writer.error().message;
    size_t offset = 0;
    Result<void> result;
    for (size_t n : c.writes) {
      result = writer->write(std::string_view(body).substr(offset, n));
      if (!result) break;
      offset += n;
    }
    if (result) result = writer->place();
    if (c.message.empty()) {
      ASSERT_TRUE(result) << message_of(result);
      EXPECT_EQ(read_file(dir / "p.nupkg"), body.substr(0, offset));
      EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"other.nupkg", "p.nupkg"}));
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message, c.message);
      // The bytes that would go past the size were never written.
      EXPECT_LE(writer->bytes_written(), c.size == 0 ? body.size() : c.size);
      writer = unexpected(Error("dropped"));
      EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"other.nupkg"});
    }
  }
}

TEST(PackageWriterTest, AdoptsContentCopiedIntoIt) {
  const std::string body = make_body(3 << 20);  // more than one read back
  TempDir dir;
  write_file(dir / "source", body);
  struct Case {
    const char* label;
    std::string sha1;
    uint64_t size;
    std::string message;
  };
  const Case cases[] = {
      {"matching", sha1_hex(body), body.size(), ""},
      {"wrong SHA1", sha1_hex("x"), 0,
       "SHA1 mismatch for 'p.nupkg': expected " + sha1_hex("x") + ", got " + sha1_hex(body)},
      {"wrong size", sha1_hex(body), 10,
       "size mismatch for 'p.nupkg': expected 10 bytes, got " + std::to_string(body.size())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto writer = PackageWriter::create(dir / "p.nupkg", {"p.nupkg", c.sha1, c.size});
    ASSERT_TRUE(writer) << writer.error().message;
    ASSERT_TRUE(copy_file_into(dir / "source", writer->fd()));
    ASSERT_TRUE(writer->adopt_content());
    const Result<void> placed = writer->place();
    if (c.message.empty()) {
      ASSERT_TRUE(placed) << message_of(placed);
      EXPECT_TRUE(read_file(dir / "p.nupkg") == body);
      fs::remove(dir / "p.nupkg");
    } else {
      ASSERT_FALSE(placed);
      EXPECT_EQ(placed.error().message, c.message);
    }
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"source"});
  }
}

// ---------------------------------------------------------------------------------
// Listing and clean-up helpers

TEST(ListPackagesTest, MatchesTheDirectoryItselfInByteOrder) {
  TempDir dir;
  const fs::path p = dir / "pkgs";
  for (const char* name : {"b.nupkg", "a.nupkg", ".nupkg", "Z.nupkg", "\xC3\xA9.nupkg", "x.NUPKG",
                           "x.nupkg.txt", ".a.nupkg.1.0123456789abcdef.partial", "notes"})
    write_file(p / name, "x");
  write_file(p / "sub" / "c.nupkg", "x");
  fs::create_directory(p / "dir.nupkg");
  fs::create_symlink(p / "nowhere", p / "dangling.nupkg");
  write_file(dir / "beside.nupkg", "x");
  const auto listed = list_packages(p);
  ASSERT_TRUE(listed) << listed.error().message;
  std::vector<std::string> names;
  for (const auto& path : *listed) {
    EXPECT_EQ(path.parent_path(), p);
    names.push_back(path.filename().string());
  }
  EXPECT_EQ(names, (std::vector<std::string>{".nupkg", "Z.nupkg", "a.nupkg", "b.nupkg",
                                             "dangling.nupkg", "dir.nupkg", "\xC3\xA9.nupkg"}));

  const auto missing = list_packages(dir / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
  const auto file = list_packages(dir / "beside.nupkg");
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().message, "Not a directory (os error 20)");
}

TEST(StalePartialFilesTest, RemovesLeftoversButFreshPartialFilesOfOtherPackages) {
  TempDir dir;
  const fs::path d = dir.path();
  const std::string temporary = ".a.nupkg.77.0123456789abcdef.partial";
  const std::string temporary_dir = ".b.nupkg.79.0123456789abcdef.partial";
  const std::string other_resume = ".b.nupkg.resume", other_record = ".b.nupkg.resume.info";
  const std::string old_resume = ".d.nupkg.resume", old_record = ".d.nupkg.resume.info";
  const std::string own_resume = ".c.nupkg.resume", own_record = ".c.nupkg.resume.info";
  const std::string unrelated = "old-notes.partial";
  for (const auto& name : {temporary, other_resume, other_record, old_resume, old_record,
                           own_resume, own_record, unrelated})
    write_file(d / name, "x");
  fs::create_directory(d / temporary_dir);
  for (const auto& name : {old_resume, old_record})
    set_mtime_ago(d / name, std::chrono::hours(24 * 7 + 1));
  CapturedLog log(log::Level::Info);
  remove_stale_partial_files(d, "c.nupkg");
  // A temporary file goes whatever its age, and so do the placed package's own partial
  // file and record; another package's stay for a week; what is not ours stays.
  EXPECT_EQ(names_in(d),
            (std::vector<std::string>{temporary_dir, other_resume, other_record, unrelated}));
  const auto removed = [&](const std::string& name) {
    return "Removing stale partial download: '" + (d / name).string() + "'";
  };
  std::vector<std::string> expected = {removed(temporary), removed(old_resume), removed(old_record),
                                       removed(own_resume), removed(own_record)};
  std::vector<std::string> messages = log.messages();
  std::sort(expected.begin(), expected.end());
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ(messages, expected);
  // The name just placed is kept, even in the shape of a leftover.
  const std::string placed = ".c.nupkg.80.0123456789abcdef.partial";
  write_file(d / placed, "x");
  remove_stale_partial_files(d, placed);
  EXPECT_TRUE(fs::exists(d / placed));
}

TEST(DirectoryLockTest, TheWaitHasAnEnd) {
  TempDir dir;
  const auto first = DirectoryLock::acquire(dir.path());
  ASSERT_TRUE(first && first->held());
  const auto second = DirectoryLock::acquire(dir.path(), 1000ms);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().message, "another run has been working in '" + dir.path().string() +
                                        "' for more than 1 second; try again later");
}

TEST(DirectoryLockTest, ASecondLockWaitsForTheFirst) {
  TempDir dir;
  CapturedLog log(log::Level::Info);
  std::optional<DirectoryLock> first(*DirectoryLock::acquire(dir.path()));
  ASSERT_TRUE(first->held());
  std::atomic<bool> second_held{false};
  std::thread other([&] {
    const auto second = DirectoryLock::acquire(dir.path());
    second_held = second && second->held();
  });
  // The second waits: give it time to reach the lock, bounded.
  for (int i = 0; i < 200 && log.messages().empty(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(second_held);
  EXPECT_EQ(log.messages(), std::vector<std::string>{"Waiting for another run to finish with '" +
                                                     dir.path().string() + "'"});
  first.reset();
  other.join();
  EXPECT_TRUE(second_held);
  // No file was added to the directory for the lock.
  EXPECT_TRUE(names_in(dir.path()).empty());
}

// ---------------------------------------------------------------------------------
// place_package with a fetch of the test's own

// A fetch that places `content` through a PackageWriter, as the sources do.
PackageFetch writing(std::string content, int* calls = nullptr) {
  return [content = std::move(content), calls](const fs::path& target) -> Result<void> {
    if (calls != nullptr) ++*calls;
    auto writer = PackageWriter::create(target, {target.filename().string(), "", 0});
    if (!writer) return unexpected(std::move(writer).error());
    NV_TRY(writer->write(content));
    return writer->place();
  };
}

std::vector<std::string> manager_records(const CapturedLog& log) {
  std::vector<std::string> out;
  for (const auto& r : log.records()) {
    if (r.target != "norvane::manager") continue;
    out.push_back(std::string(log::level_name(r.level)) + " " + r.message);
  }
  return out;
}

TEST(PlacePackageTest, PlacesThenCleansUpInTheOrderOfTheLog) {
  TempDir dir;
  const fs::path p = dir / "packages";
  write_file(p / "a.nupkg", "a");
  write_file(p / "b.nupkg", "b");
  write_file(p / "keep.NUPKG", "kept");
  write_file(p / "sub" / "inner.nupkg", "kept");
  write_file(p / ".nupkg", "removed");
  CapturedLog log(log::Level::Debug);
  ASSERT_TRUE(place_package(p, asset_named("c.nupkg"), writing("new")));
  EXPECT_EQ(names_in(p), (std::vector<std::string>{"c.nupkg", "keep.NUPKG", "sub"}));
  EXPECT_EQ(read_file(p / "c.nupkg"), "new");
  EXPECT_EQ(read_file(p / "sub" / "inner.nupkg"), "kept");
  const std::string d = p.string();
  EXPECT_EQ(manager_records(log),
            (std::vector<std::string>{
                "INFO Searching for packages to clean in: '" + d + "/*.nupkg'",
                "DEBUG Will delete: '" + d + "/.nupkg'",
                "DEBUG Will delete: '" + d + "/a.nupkg'",
                "DEBUG Will delete: '" + d + "/b.nupkg'",
                "INFO Successfully placed file: '" + d + "/c.nupkg'",
                "INFO Cleaning up old package: '" + d + "/.nupkg'",
                "INFO Cleaning up old package: '" + d + "/a.nupkg'",
                "INFO Cleaning up old package: '" + d + "/b.nupkg'",
            }));
}

TEST(PlacePackageTest, AFailedFetchKeepsTheOldPackages) {
  TempDir dir;
  const fs::path p = dir / "packages";
  write_file(p / "a.nupkg", "a");
  write_file(p / ".a.nupkg.1.0123456789abcdef.partial", "left by a killed run");
  set_mtime_ago(p / ".a.nupkg.1.0123456789abcdef.partial", 3h);
  CapturedLog log(log::Level::Debug);
  const Result<void> placed =
      place_package(p, asset_named("c.nupkg"), [](const fs::path& target) -> Result<void> {
        auto writer = PackageWriter::create(target, {"c.nupkg", "", 3});
        if (!writer) return unexpected(std::move(writer).error());
        NV_TRY(writer->write("no"));
        return writer->place();
      });
  ASSERT_FALSE(placed);
  EXPECT_EQ(placed.error().message, "size mismatch for 'c.nupkg': expected 3 bytes, got 2");
  // Nothing deleted, nothing placed; even the stale file waits for a successful run.
  EXPECT_EQ(names_in(p),
            (std::vector<std::string>{".a.nupkg.1.0123456789abcdef.partial", "a.nupkg"}));
  for (const auto& line : manager_records(log)) {
    EXPECT_EQ(line.find("Successfully placed"), std::string::npos) << line;
    EXPECT_EQ(line.find("Cleaning up"), std::string::npos) << line;
  }
}

TEST(PlacePackageTest, SkipsWhenSomethingIsThere) {
  struct Case {
    const char* label;
    std::function<void(const fs::path& target)> prepare;
    bool skipped;
    uint64_t size = 0;      // the feed's Size
    std::string held = "";  // the size on disk when it is wrong
  };
  const auto file = [](std::string content) {
    return [content](const fs::path& t) { write_file(t, content); };
  };
  const auto link_to_file = [](const fs::path& t) {
    write_file(t.parent_path().parent_path() / "elsewhere", "x");
    fs::create_symlink(t.parent_path().parent_path() / "elsewhere", t);
  };
  const Case cases[] = {
      {"a file, size not given", file("partial or not, it counts"), true},
      {"an empty file, size not given", file(""), true},
      {"a file of the given size", file("new"), true, 3},
      {"a directory", [](const fs::path& t) { fs::create_directories(t); }, true},
      {"a directory, size given", [](const fs::path& t) { fs::create_directories(t); }, true, 3},
      {"a link to a file", link_to_file, true},
      {"a link to a file of the given size", link_to_file, true, 1},
      // A dangling link does not count: the package replaces the link itself (the link's
      // target is not written), and the clean-up does not take it for an old package.
      {"a dangling link",
       [](const fs::path& t) { fs::create_symlink(t.parent_path().parent_path() / "nowhere", t); },
       false},
      // A file cut short, by an older version or a power loss, is fetched again.
      {"a file cut short", file("ne"), false, 3, "2"},
      {"an empty file, size given", file(""), false, 3, "0"},
      {"a longer file", file("newer"), false, 3, "5"},
      {"a link to a file of another size", link_to_file, false, 3, "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    const fs::path p = dir / "packages";
    fs::create_directories(p);
    write_file(p / "old.nupkg", "old");
    c.prepare(p / "c.nupkg");
    CapturedLog log(log::Level::Info);
    int calls = 0;
    NorvaneAsset asset = asset_named("c.nupkg");
    asset.Size = c.size;
    ASSERT_TRUE(place_package(p, asset, writing("new", &calls)));
    const std::string target = (p / "c.nupkg").string();
    if (c.skipped) {
      EXPECT_EQ(calls, 0);
      EXPECT_EQ(manager_records(log),
                std::vector<std::string>{
                    "INFO Package already exists on disk, skipping download: '" + target + "'"});
      EXPECT_TRUE(fs::exists(p / "old.nupkg"));
    } else {
      EXPECT_EQ(calls, 1);
      EXPECT_FALSE(fs::is_symlink(p / "c.nupkg"));
      EXPECT_EQ(read_file(p / "c.nupkg"), "new");
      EXPECT_FALSE(fs::exists(dir / "nowhere"));
      EXPECT_EQ(names_in(p), std::vector<std::string>{"c.nupkg"});
      if (!c.held.empty()) {
        // A link's target is left alone: only the name in the packages directory goes.
        if (fs::exists(dir / "elsewhere")) {
          EXPECT_EQ(read_file(dir / "elsewhere"), "x");
        }
        const auto records = manager_records(log);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.front(),
                  "WARN Package on disk has the wrong size, downloading it again: '" + target +
                      "' holds " + c.held + " bytes, expected " + std::to_string(c.size));
      }
    }
  }
}

TEST(PlacePackageTest, RefusesUnsafeNamesBeforeTouchingTheDisk) {
  const std::string names[] = {"",           ".",           "..",
                               "../c.nupkg", "sub/c.nupkg", std::string("c\0.nupkg", 8)};
  for (const std::string& name : names) {
    SCOPED_TRACE(debug_string(name));
    TempDir dir;
    const fs::path p = dir / "cache" / "packages";
    int calls = 0;
    const Result<void> placed = place_package(p, asset_named(name), writing("new", &calls));
    ASSERT_FALSE(placed);
    EXPECT_TRUE(placed.error().message.starts_with("invalid package file name " +
                                                   debug_string(name) + ": "))
        << placed.error().message;
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(names_in(dir.path()).empty());
  }
}

// The clean-up lists the directory; nothing in its path is a pattern.
TEST(PlacePackageTest, CleansUpOnlyItsOwnDirectoryWhateverItsPathHolds) {
  for (const char* id : {"a*", "[a", "a?", "{a,b}"}) {
    SCOPED_TRACE(id);
    TempDir dir;
    const fs::path p = dir / id / "packages";
    write_file(p / "old.nupkg", "old");
    for (const char* sibling : {"ab", "a", "ax", "[a]", "b"})
      write_file(dir / sibling / "packages" / "other.nupkg", "other");
    CapturedLog log(log::Level::Error);
    ASSERT_TRUE(place_package(p, asset_named("new.nupkg"), writing("new")));
    EXPECT_EQ(names_in(p), std::vector<std::string>{"new.nupkg"});
    for (const char* sibling : {"ab", "a", "ax", "[a]", "b"})
      EXPECT_TRUE(fs::exists(dir / sibling / "packages" / "other.nupkg")) << sibling;
    EXPECT_TRUE(log.records().empty());
  }
}

TEST(PlacePackageTest, RemovesStaleTemporaryFilesAfterASuccess) {
  TempDir dir;
  const fs::path p = dir / "packages";
  const std::string killed = ".c.nupkg.4242.0123456789abcdef.partial";
  write_file(p / killed, "killed long ago");
  write_file(p / ".b.nupkg.resume", "another package, half fetched a week ago");
  write_file(p / ".b.nupkg.resume.info", "its record");
  set_mtime_ago(p / ".b.nupkg.resume", std::chrono::hours(24 * 8));
  set_mtime_ago(p / ".b.nupkg.resume.info", std::chrono::hours(24 * 8));
  write_file(p / ".c.nupkg.resume", "this package, from an attempt over HTTP");
  ASSERT_TRUE(place_package(p, asset_named("c.nupkg"), writing("new")));
  EXPECT_EQ(names_in(p), (std::vector<std::string>{"c.nupkg"}));
}

TEST(PlacePackageTest, ReturnsTheErrorOfCreatingTheDirectory) {
  TempDir dir;
  write_file(dir / "file", "x");
  int calls = 0;
  const Result<void> placed =
      place_package(dir / "file" / "packages", asset_named("c.nupkg"), writing("new", &calls));
  ASSERT_FALSE(placed);
  EXPECT_EQ(placed.error().message, "Not a directory (os error 20)");
  EXPECT_EQ(calls, 0);
}

// Two runs at once, in threads of one process (flock locks belong to the open file,
// so they exclude each other here as across processes): the second waits and then
// finds the package placed.
TEST(PlacePackageTest, ConcurrentPlacementsOfOnePackageFetchItOnce) {
  TempDir dir;
  const fs::path p = dir / "packages";
  write_file(p / "old.nupkg", "old");
  const std::string body = make_body(1 << 20);
  std::atomic<int> calls{0};
  std::atomic<int> inside{0};
  std::atomic<int> most_inside{0};
  const PackageFetch slow = [&](const fs::path& target) -> Result<void> {
    ++calls;
    const int now = ++inside;
    if (now > most_inside) most_inside = now;
    auto writer = PackageWriter::create(target, {"c.nupkg", sha1_hex(body), body.size()});
    if (!writer) return unexpected(std::move(writer).error());
    for (size_t i = 0; i < body.size(); i += 64 * 1024) {
      NV_TRY(writer->write(std::string_view(body).substr(i, 64 * 1024)));
      std::this_thread::sleep_for(5ms);
    }
    --inside;
    return writer->place();
  };
  Result<void> results[2];
  std::thread a([&] { results[0] = place_package(p, asset_named("c.nupkg"), slow); });
  std::thread b([&] { results[1] = place_package(p, asset_named("c.nupkg"), slow); });
  a.join();
  b.join();
  EXPECT_TRUE(results[0]) << message_of(results[0]);
  EXPECT_TRUE(results[1]) << message_of(results[1]);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(most_inside, 1);
  EXPECT_EQ(names_in(p), std::vector<std::string>{"c.nupkg"});
  EXPECT_TRUE(read_file(p / "c.nupkg") == body);
}

}  // namespace
}  // namespace norvane
