// A package over a network that fails: the attempts within a run, their waits and
// final error, and the resumption of a transfer from the bytes an earlier attempt or
// run kept, against scripted servers on 127.0.0.1.
#include "package_transfer.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "http_test_server.h"
#include "test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using testing::CapturedLog;
using testing::DeadPort;
using testing::FileAnswer;
using testing::make_body;
using testing::names_in;
using testing::read_file;
using testing::RecordingSleeper;
using testing::ScriptedFileServer;
using testing::sha1_hex;
using testing::TempDir;
using testing::write_file;

constexpr uint64_t kSize = 1'000'000;

FileAnswer cut(uint64_t after, bool reset = false) {
  FileAnswer a;
  a.cut_after = after;
  a.reset = reset;
  return a;
}
FileAnswer whole() { return FileAnswer{}; }
FileAnswer status(long code, std::string retry_after = "") {
  FileAnswer a;
  a.kind = FileAnswer::Kind::kStatus;
  a.status = code;
  a.retry_after = std::move(retry_after);
  return a;
}
template <class F>
FileAnswer with(FileAnswer a, F change) {
  change(a);
  return a;
}

// One package transfer into a packages directory, with its waits and progress recorded.
struct Transfer {
  TempDir dir;
  std::string body = make_body(kSize, 7);
  RecordingSleeper waits;
  std::vector<int> progress;

  fs::path packages() const { return dir / "packages"; }
  fs::path target() const { return packages() / "p.nupkg"; }

  Result<void> run(const std::string& url, bool integrity = true,
                   const std::function<void(PackageTransfer&)>& change = {}) {
    fs::create_directories(packages());
    PackageTransfer t;
    t.url = url;
    t.target = target();
    t.expected = ExpectedContent{"p.nupkg", integrity ? sha1_hex(body) : "", integrity ? kSize : 0};
    t.progress = [this](int16_t p) { progress.push_back(p); };
    t.options.accept_gzip = false;
    t.sleep = std::ref(waits);
    if (change) change(t);
    return transfer_package(t);
  }
  bool placed() const { return fs::exists(target()) && read_file(target()) == body; }

  // What an earlier run of `url` left: the partial file with `kept`, and its record.
  std::string record(const std::string& url, uint64_t size = kSize) const {
    return "url " + debug_string(url) + "\nsha1 " + debug_string(sha1_hex(body)) + "\nsize " +
           std::to_string(size) + "\nvalidator \"v1\"\n";
  }
  void keep(const std::string& url, const std::string& kept) const {
    write_file(packages() / ".p.nupkg.resume", kept);
    write_file(packages() / ".p.nupkg.resume.info", record(url));
  }
};

bool rising_multiples_of_five(const std::vector<int>& progress) {
  int last = 0;
  for (int p : progress) {
    if (p <= last || p % 5 != 0) return false;
    last = p;
  }
  return true;
}

// ---------------------------------------------------------------------------------
// Within a run

TEST(PackageTransferTest, ContinuesAfterEachCutWhereTheLastAttemptStopped) {
  struct Case {
    const char* label;
    std::vector<FileAnswer> plan;
    std::vector<std::string> ranges;  // what each request asked for
    std::vector<long> waits;          // in milliseconds
  };
  const Case cases[] = {
      {"closed twice",
       {cut(300'000), cut(300'000), whole()},
       {"", "bytes=300000-", "bytes=600000-"},
       {1000, 2000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Transfer t;
    ScriptedFileServer server(t.body, c.plan);
    CapturedLog log(log::Level::Info);
    const Result<void> placed = t.run(server.url("/p.nupkg"));
    ASSERT_TRUE(placed) << placed.error().message;
    EXPECT_TRUE(t.placed());
    EXPECT_EQ(server.ranges(), c.ranges);
    EXPECT_EQ(t.waits.waits, c.waits);
    // Nothing is fetched twice.
    EXPECT_EQ(server.body_bytes_sent(), kSize);
    EXPECT_EQ(names_in(t.packages()), std::vector<std::string>{"p.nupkg"});
    EXPECT_TRUE(rising_multiples_of_five(t.progress)) << ::testing::PrintToString(t.progress);
    EXPECT_EQ(t.progress.back(), 100);
    const auto messages = log.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_TRUE(
        messages[0].starts_with("Download attempt 1 of 4 failed, trying again in 1 second: "))
        << messages[0];
    const std::string from = c.ranges[1].substr(6, c.ranges[1].size() - 7);
    EXPECT_EQ(messages[1], "Resuming the download of '" + server.url("/p.nupkg") + "' at byte " +
                               from + " of 1000000");
  }
}

// A reset may drop bytes in flight: the next attempt asks for the rest of what arrived.
TEST(PackageTransferTest, ContinuesAfterAReset) {
  Transfer t;
  ScriptedFileServer server(t.body, {cut(450'000, true), whole()});
  const Result<void> placed = t.run(server.url("/p.nupkg"));
  ASSERT_TRUE(placed) << placed.error().message;
  EXPECT_TRUE(t.placed());
  const auto ranges = server.ranges();
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0], "");
  ASSERT_TRUE(ranges[1].starts_with("bytes=")) << ranges[1];
  EXPECT_LE(std::stoull(ranges[1].substr(6)), 450'000u);
  EXPECT_EQ(t.waits.waits, std::vector<long>{1000});
}

// Whatever the server does with the range, the package ends whole and verified.
TEST(PackageTransferTest, StartsAgainFromZeroWhenTheRangeIsNotHonoured) {
  struct Case {
    const char* label;
    FileAnswer second;
    uint64_t sent;  // body bytes in all, at most (a refused answer may be sent whole)
    std::vector<std::string> ranges;
    std::vector<long> waits;
  };
  const Case cases[] = {
      {"no range support",
       with(whole(), [](FileAnswer& a) { a.ranges = false; }),
       300'000 + kSize,
       {"", "bytes=300000-"},
       {1000}},
      {"the ETag changed",
       with(whole(), [](FileAnswer& a) { a.etag = "\"v2\""; }),
       300'000 + kSize,
       {"", "bytes=300000-"},
       {1000}},
      // A 206 that starts elsewhere is dropped, and the whole file asked for at once.
      {"a wrong Content-Range",
       with(whole(), [](FileAnswer& a) { a.range_start = 0; }),
       2 * kSize,
       {"", "bytes=300000-", ""},
       {1000}},
      {"a coded partial answer",
       with(whole(), [](FileAnswer& a) { a.content_encoding = "br"; }),
       2 * kSize,
       {"", "bytes=300000-", ""},
       {1000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Transfer t;
    FileAnswer third = whole();
    third.ranges = false;
    ScriptedFileServer server(t.body, {cut(300'000), c.second, third});
    const Result<void> placed = t.run(server.url("/p.nupkg"));
    ASSERT_TRUE(placed) << placed.error().message;
    EXPECT_TRUE(t.placed());
    EXPECT_EQ(server.ranges(), c.ranges);
    EXPECT_LE(server.body_bytes_sent(), c.sent);
    EXPECT_GE(server.body_bytes_sent(), 300'000 + kSize);
    EXPECT_EQ(t.waits.waits, c.waits);
    EXPECT_TRUE(rising_multiples_of_five(t.progress)) << ::testing::PrintToString(t.progress);
    EXPECT_EQ(names_in(t.packages()), std::vector<std::string>{"p.nupkg"});
  }
}

TEST(PackageTransferTest, WaitsAsTheServerAsksAndGivesUpAfterFourAttempts) {
  struct Case {
    const char* label;
    std::vector<FileAnswer> plan;
    std::vector<long> waits;
    std::string error;  // empty: placed
  };
  const DeadPort dead;
  const std::string dead_url = "http://127.0.0.1:" + std::to_string(dead.port()) + "/p.nupkg";
  const Case cases[] = {
      {"Retry-After in seconds", {status(503, "5"), whole()}, {5000}, ""},
      {"Retry-After capped at 30 s", {status(429, "120"), whole()}, {30000}, ""},
      {"Retry-After as a date in the past",
       {status(503, "Wed, 21 Oct 2015 07:28:00 GMT"), whole()},
       {0},
       ""},
      {"gateway statuses",
       {status(502), status(504), status(500), whole()},
       {1000, 2000, 4000},
       ""},
      {"request timeout", {status(408), whole()}, {1000}, ""},
      {"always unavailable",
       {status(503)},
       {1000, 2000, 4000},
       ": status code 503 (after 4 attempts)"},
      {"always cut", {cut(1000)}, {1000, 2000, 4000}, " (after 4 attempts)"},
      // Not worth another attempt: the answer will be the same.
      {"not found", {status(404)}, {}, ": status code 404"},
      {"forbidden", {status(403)}, {}, ": status code 403"},
      {"not implemented", {status(501)}, {}, ": status code 501"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Transfer t;
    ScriptedFileServer server(t.body, c.plan);
    const Result<void> placed = t.run(server.url("/p.nupkg"));
    EXPECT_EQ(t.waits.waits, c.waits);
    if (c.error.empty()) {
      ASSERT_TRUE(placed) << placed.error().message;
      EXPECT_TRUE(t.placed());
    } else {
      ASSERT_FALSE(placed);
      EXPECT_TRUE(placed.error().message.ends_with(c.error)) << placed.error().message;
      EXPECT_FALSE(fs::exists(t.target()));
    }
  }
  Transfer refused;
  const Result<void> placed = refused.run(dead_url);
  ASSERT_FALSE(placed);
  EXPECT_EQ(refused.waits.waits, (std::vector<long>{1000, 2000, 4000}));
  EXPECT_TRUE(placed.error().message.ends_with(" (after 4 attempts)")) << placed.error().message;
}

// A stall costs at most two stall periods: one more attempt, then the run fails.
TEST(PackageTransferTest, AStallIsTriedOnceMore) {
  Transfer t;
  FileAnswer stall;
  stall.kind = FileAnswer::Kind::kStall;
  ScriptedFileServer server(t.body, {stall, stall, whole()});
  const Result<void> placed = t.run(server.url("/p.nupkg"), true, [](PackageTransfer& p) {
    p.options.stall_timeout = std::chrono::seconds(1);
  });
  ASSERT_FALSE(placed);
  EXPECT_EQ(placed.error().message,
            "the transfer stalled: fewer than 1024 bytes received in 1 second (after 2 attempts)");
  EXPECT_EQ(t.waits.waits, std::vector<long>{1000});
}

// A wrong package is not fetched again: the next answer would be the same.
TEST(PackageTransferTest, AWrongPackageIsNotTriedAgain) {
  Transfer t;
  ScriptedFileServer server(make_body(kSize, 8), {whole()});
  const Result<void> placed = t.run(server.url("/p.nupkg"));
  ASSERT_FALSE(placed);
  EXPECT_TRUE(placed.error().message.starts_with("SHA1 mismatch for 'p.nupkg': expected "))
      << placed.error().message;
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(t.waits.waits.empty());
  EXPECT_TRUE(names_in(t.packages()).empty());
}

// ---------------------------------------------------------------------------------
// Across runs

TEST(PackageTransferTest, AFailedRunKeepsItsBytesForTheNext) {
  Transfer t;
  std::string failing_url;
  {
    ScriptedFileServer failing(t.body, {cut(200'000), cut(100'000), status(404)});
    failing_url = failing.url("/p.nupkg");
    const Result<void> placed = t.run(failing_url);
    ASSERT_FALSE(placed);
    EXPECT_TRUE(placed.error().message.ends_with(": status code 404 (after 3 attempts)"))
        << placed.error().message;
  }
  // The bytes and their record, neither under a package name.
  EXPECT_EQ(names_in(t.packages()),
            (std::vector<std::string>{".p.nupkg.resume", ".p.nupkg.resume.info"}));
  EXPECT_EQ(fs::file_size(t.packages() / ".p.nupkg.resume"), 300'000u);

  // Under a package name there is nothing, and the record says what the bytes are.
  EXPECT_EQ(read_file(t.packages() / ".p.nupkg.resume"), t.body.substr(0, 300'000));
  EXPECT_EQ(read_file(t.packages() / ".p.nupkg.resume.info"), t.record(failing_url));
}

TEST(PackageTransferTest, ANewRunContinuesFromTheKeptBytes) {
  Transfer t;
  ScriptedFileServer server(t.body, {cut(400'000), status(404), whole()});
  ASSERT_FALSE(t.run(server.url("/p.nupkg")));
  ASSERT_EQ(fs::file_size(t.packages() / ".p.nupkg.resume"), 400'000u);
  t.progress.clear();
  const Result<void> placed = t.run(server.url("/p.nupkg"));
  ASSERT_TRUE(placed) << placed.error().message;
  EXPECT_TRUE(t.placed());
  EXPECT_EQ(server.ranges(), (std::vector<std::string>{"", "bytes=400000-", "bytes=400000-"}));
  EXPECT_EQ(server.body_bytes_sent(), kSize);
  // Progress starts at the share already on disk.
  ASSERT_FALSE(t.progress.empty());
  EXPECT_EQ(t.progress.front(), 40);
  EXPECT_EQ(t.progress.back(), 100);
  EXPECT_EQ(names_in(t.packages()), std::vector<std::string>{"p.nupkg"});
}

// What the record does not vouch for is not continued.
TEST(PackageTransferTest, OnlyWhatTheRecordDescribesIsContinued) {
  struct Case {
    const char* label;
    std::function<void(Transfer&, const std::string& url)> prepare;
    std::string range;  // the first request's
  };
  const auto kept = [](Transfer& t, const std::string& record) {
    write_file(t.packages() / ".p.nupkg.resume", t.body.substr(0, 100'000));
    write_file(t.packages() / ".p.nupkg.resume.info", record);
  };
  const auto record = [](const Transfer& t, const std::string& url, uint64_t size) {
    return t.record(url, size);
  };
  const Case cases[] = {
      {"a matching record",
       [&](Transfer& t, const std::string& u) { kept(t, record(t, u, kSize)); }, "bytes=100000-"},
      {"another URL",
       [&](Transfer& t, const std::string& u) { kept(t, record(t, u + "x", kSize)); }, ""},
      {"another size", [&](Transfer& t, const std::string& u) { kept(t, record(t, u, kSize + 1)); },
       ""},
      {"a torn record",
       [&](Transfer& t, const std::string& u) { kept(t, record(t, u, kSize).substr(0, 40)); }, ""},
      {"no record",
       [&](Transfer& t, const std::string&) { write_file(t.packages() / ".p.nupkg.resume", "x"); },
       ""},
      {"an empty partial file",
       [&](Transfer& t, const std::string& u) {
         kept(t, record(t, u, kSize));
         write_file(t.packages() / ".p.nupkg.resume", "");
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Transfer t;
    fs::create_directories(t.packages());
    ScriptedFileServer server(t.body, {whole()});
    c.prepare(t, server.url("/p.nupkg"));
    const Result<void> placed = t.run(server.url("/p.nupkg"));
    ASSERT_TRUE(placed) << placed.error().message;
    EXPECT_TRUE(t.placed());
    EXPECT_EQ(server.ranges().front(), c.range);
    EXPECT_EQ(names_in(t.packages()), std::vector<std::string>{"p.nupkg"});
  }
}

// A range the server cannot satisfy (416), or a partial answer that starts elsewhere,
// drops the kept bytes and asks for the whole file at once, without a wait.
TEST(PackageTransferTest, AnUnsatisfiableOrMisplacedRangeStartsAgainAtOnce) {
  struct Case {
    const char* label;
    FileAnswer first;
  };
  const Case cases[] = {
      {"416", status(416)},
      {"a 206 from byte 0", with(whole(), [](FileAnswer& a) { a.range_start = 0; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Transfer t;
    FileAnswer second = whole();
    second.ranges = false;
    ScriptedFileServer server(t.body, {c.first, second});
    const std::string url = server.url("/p.nupkg");
    t.keep(url, t.body.substr(0, 600'000));
    CapturedLog log(log::Level::Warn);
    const Result<void> placed = t.run(url);
    ASSERT_TRUE(placed) << placed.error().message;
    EXPECT_TRUE(t.placed());
    EXPECT_EQ(server.ranges(), (std::vector<std::string>{"bytes=600000-", ""}));
    EXPECT_TRUE(t.waits.waits.empty());
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_TRUE(log.messages()[0].starts_with(
        "The server did not continue the download at byte 600000, downloading it from the "
        "start: "))
        << log.messages()[0];
    EXPECT_EQ(names_in(t.packages()), std::vector<std::string>{"p.nupkg"});
  }
}

// Kept bytes that are wrong are found by the SHA-1 over the whole file; the package is
// then fetched once more, whole.
TEST(PackageTransferTest, AResumedPackageThatFailsItsCheckIsFetchedWhole) {
  Transfer t;
  ScriptedFileServer server(t.body, {whole()});
  const std::string url = server.url("/p.nupkg");
  std::string damaged = t.body.substr(0, 500'000);
  damaged[1234] ^= 0x55;
  t.keep(url, damaged);
  CapturedLog log(log::Level::Warn);
  const Result<void> placed = t.run(url);
  ASSERT_TRUE(placed) << placed.error().message;
  EXPECT_TRUE(t.placed());
  EXPECT_EQ(server.ranges(), (std::vector<std::string>{"bytes=500000-", ""}));
  EXPECT_TRUE(t.waits.waits.empty());
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_TRUE(
      log.messages()[0].starts_with("The resumed download of 'p.nupkg' did not verify, downloading "
                                    "it from the start: SHA1 mismatch for 'p.nupkg'"))
      << log.messages()[0];
}

// A run killed after the last byte but before the rename left the whole package.
TEST(PackageTransferTest, ACompletePartialFileIsPlacedWithoutARequest) {
  Transfer t;
  ScriptedFileServer server(t.body, {whole()});
  const std::string url = server.url("/p.nupkg");
  t.keep(url, t.body);
  ASSERT_TRUE(t.run(url));
  EXPECT_TRUE(t.placed());
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(t.progress, std::vector<int>{100});
  EXPECT_EQ(names_in(t.packages()), std::vector<std::string>{"p.nupkg"});
}

// Without a validator, a coding or a SHA-1 to prove the joined bytes, nothing is kept:
// the next attempt starts from zero and a failed run leaves nothing.
TEST(PackageTransferTest, NothingIsKeptThatCouldNotBeContinued) {
  struct Case {
    const char* label;
    FileAnswer first;
    bool integrity;
  };
  const Case cases[] = {
      {"no validator", with(cut(300'000), [](FileAnswer& a) { a.etag = ""; }), true},
      {"a weak ETag", with(cut(300'000), [](FileAnswer& a) { a.etag = "W/\"v1\""; }), true},
      {"a coded body", with(cut(300'000), [](FileAnswer& a) { a.content_encoding = "br"; }), true},
      {"no SHA-1", cut(300'000), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Transfer t;
    {
      ScriptedFileServer failing(t.body, {c.first, status(404)});
      ASSERT_FALSE(t.run(failing.url("/p.nupkg"), c.integrity));
      EXPECT_EQ(failing.ranges(), (std::vector<std::string>{"", ""}));
      EXPECT_TRUE(names_in(t.packages()).empty());
    }
  }
}

// A name of the partial file held by something that is no file does not stop the
// download: it is made whole, and nothing is kept.
TEST(PackageTransferTest, ANameThatCannotBeKeptFallsBackToATemporaryFile) {
  for (const char* name : {".p.nupkg.resume", ".p.nupkg.resume.info"}) {
    SCOPED_TRACE(name);
    Transfer t;
    fs::create_directories(t.packages() / name / "inside");
    ScriptedFileServer server(t.body, {whole()});
    CapturedLog log(log::Level::Warn);
    const Result<void> placed = t.run(server.url("/p.nupkg"));
    ASSERT_TRUE(placed) << placed.error().message;
    EXPECT_TRUE(t.placed());
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_TRUE(log.messages()[0].starts_with("Cannot keep the download of '" +
                                              server.url("/p.nupkg") + "' for resuming: "))
        << log.messages()[0];
    EXPECT_EQ(names_in(t.packages()), (std::vector<std::string>{name, "p.nupkg"}));
  }
}

}  // namespace
}  // namespace norvane
