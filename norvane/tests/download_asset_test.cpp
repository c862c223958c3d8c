// download_asset of both update sources: where the file comes from, what reaches the
// local file, the integrity checks, and that a failure leaves nothing behind.
#include <norvane/sources.h>

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include <norvane/manager.h>

#include "http_test_server.h"
#include "test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::asset_named;
using testing::CapturedLog;
using testing::gzip;
using testing::head;
using testing::HttplibServer;
using testing::make_body;
using testing::message_of;
using testing::names_in;
using testing::RawConnection;
using testing::RawHttpServer;
using testing::read_file;
using testing::request_target;
using testing::sha1_hex;
using testing::source_records;
using testing::TempDir;
using testing::upper;
using testing::write_file;

struct Fetched {
  Result<void> result;
  std::vector<int16_t> progress;
};

template <class Source>
Fetched fetch(const Source& source, const NorvaneAsset& asset, const fs::path& local_file) {
  Fetched out;
  out.result =
      source.download_asset(asset, local_file, [&](int16_t p) { out.progress.push_back(p); });
  return out;
}

// ---------------------------------------------------------------------------------
// From a folder

TEST(FileSourceDownloadTest, CopiesWithProgressFiftyThenHundred) {
  TempDir dir;
  const std::string body = make_body(300'000);
  write_file(dir / "feeds" / "Sample-1.1.0.nupkg", body);
  ASSERT_EQ(::chmod((dir / "feeds" / "Sample-1.1.0.nupkg").c_str(), 0604), 0);
  fs::create_directories(dir / "packages");
  CapturedLog log(log::Level::Info);
  const fs::path local = dir / "packages" / "Sample-1.1.0.nupkg";
  const Fetched out = fetch(FileSource(dir / "feeds"),
                            asset_named("Sample-1.1.0.nupkg", sha1_hex(body), body.size()), local);
  ASSERT_TRUE(out.result) << message_of(out.result);
  EXPECT_EQ(out.progress, (std::vector<int16_t>{50, 100}));
  EXPECT_TRUE(read_file(local) == body);
  struct stat st {};
  ASSERT_EQ(::stat(local.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(names_in(dir / "packages"), std::vector<std::string>{"Sample-1.1.0.nupkg"});
  EXPECT_EQ(source_records(log),
            std::vector<std::string>{"About to copy from file '" +
                                     (dir / "feeds" / "Sample-1.1.0.nupkg").string() +
                                     "' to file '" + local.string() + "'"});
}

TEST(FileSourceDownloadTest, AFailedCopyReportsOnlyFiftyAndLeavesNothing) {
  TempDir dir;
  const std::string body = make_body(10'000);
  write_file(dir / "feeds" / "p.nupkg", body);
  fs::create_directories(dir / "feeds" / "d.nupkg");
  fs::create_directories(dir / "packages");
  const std::string sha = sha1_hex(body);
  struct Case {
    const char* label;
    NorvaneAsset asset;
    std::string message;
  };
  const Case cases[] = {
      {"missing file", asset_named("missing.nupkg"), "No such file or directory (os error 2)"},
      {"a directory", asset_named("d.nupkg"),
       "the source path is neither a regular file nor a symlink to a regular file"},
      {"wrong SHA1", asset_named("p.nupkg", std::string(40, 'a'), body.size()),
       "SHA1 mismatch for 'p.nupkg': expected " + std::string(40, 'a') + ", got " + sha},
      {"wrong size", asset_named("p.nupkg", sha, 9'999),
       "size mismatch for 'p.nupkg': expected 9999 bytes, got 10000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Fetched out =
        fetch(FileSource(dir / "feeds"), c.asset, dir / "packages" / c.asset.FileName);
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error().message, c.message);
    EXPECT_EQ(out.progress, std::vector<int16_t>{50});
    EXPECT_TRUE(names_in(dir / "packages").empty());
  }
  const Fetched matching =
      fetch(FileSource(dir / "feeds"), asset_named("p.nupkg", upper(sha), body.size()),
            dir / "packages" / "p.nupkg");
  ASSERT_TRUE(matching.result) << message_of(matching.result);
}

TEST(FileSourceDownloadTest, RefusesUnsafeNamesWithoutReadingOrWriting) {
  TempDir dir;
  write_file(dir / "secret.nupkg", "outside the folder");
  fs::create_directories(dir / "feeds");
  fs::create_directories(dir / "packages");
  for (const char* name : {"../secret.nupkg", "..", ""}) {
    SCOPED_TRACE(name);
    const Fetched out =
        fetch(FileSource(dir / "feeds"), asset_named(name), dir / "packages" / "x.nupkg");
    ASSERT_FALSE(out.result);
    EXPECT_TRUE(out.result.error().message.starts_with("invalid package file name"))
        << out.result.error().message;
    EXPECT_TRUE(out.progress.empty());
    EXPECT_TRUE(names_in(dir / "packages").empty());
  }
}

// ---------------------------------------------------------------------------------
// Over HTTP

TEST(HttpSourceDownloadTest, ResolvesTheFileNameAgainstTheBaseUrl) {
  const std::string body = "package bytes";
  RawHttpServer server([&](RawConnection& conn) {
    conn.send(head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n") +
              body);
  });
  const std::string s = server.url("");
  struct Case {
    const char* label;
    std::string base;
    std::string file_name;
    std::string target;
  };
  const Case cases[] = {
      {"folder", s + "/pkgs", "Sample-1.1.0.nupkg", "/pkgs/Sample-1.1.0.nupkg"},
      {"folder with a slash", s + "/pkgs/", "Sample-1.1.0.nupkg", "/pkgs/Sample-1.1.0.nupkg"},
      {"folder with several slashes", s + "/pkgs////", "Sample-1.1.0.nupkg",
       "/pkgs/Sample-1.1.0.nupkg"},
      {"nested folder", s + "/a/b", "Sample-1.1.0.nupkg", "/a/b/Sample-1.1.0.nupkg"},
      {"host only", s, "Sample-1.1.0.nupkg", "/Sample-1.1.0.nupkg"},
      // The "/" lands in the query, which the file name's resolution drops.
      {"base with a query", s + "/dir?x=1", "Sample-1.1.0.nupkg", "/Sample-1.1.0.nupkg"},
      {"base with a fragment", s + "/dir#top", "Sample-1.1.0.nupkg", "/Sample-1.1.0.nupkg"},
      {"name with a space", s + "/pkgs", "My Pkg.nupkg", "/pkgs/My%20Pkg.nupkg"},
      {"name with non-ASCII letters", s + "/pkgs", "caf\xC3\xA9.nupkg", "/pkgs/caf%C3%A9.nupkg"},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    CapturedLog log(log::Level::Info);
    const fs::path local = dir / "local.nupkg";
    const Fetched out = fetch(HttpSource(c.base), asset_named(c.file_name), local);
    ASSERT_TRUE(out.result) << message_of(out.result);
    EXPECT_EQ(read_file(local), body);
    EXPECT_EQ(out.progress, std::vector<int16_t>{100});
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), seen + 1);
    EXPECT_EQ(request_target(requests[seen]), c.target);
    ++seen;
    EXPECT_EQ(source_records(log),
              std::vector<std::string>{"About to download from URL '" + s + c.target +
                                       "' to file '" + local.string() + "'"});
  }
}

TEST(HttpSourceDownloadTest, PlacesOnlyVerifiedBytes) {
  const std::string body = make_body(100'000);
  const std::string sha = sha1_hex(body);
  const std::string packed = gzip(body);
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  const auto chunked = [](const std::string& data) {
    std::string out;
    for (size_t i = 0; i < data.size(); i += 7000) {
      const std::string part = data.substr(i, 7000);
      char size[16];
      std::snprintf(size, sizeof size, "%zx", part.size());
      out += std::string(size) + "\r\n" + part + "\r\n";
    }
    return out + "0\r\n\r\n";
  };
  struct Case {
    const char* label;
    std::string fields;
    std::string wire_body;
    std::string sha1;
    uint64_t size;
    std::string message;  // empty: placed
    // How much of a chunked or coded body one read brings is up to the kernel, so for
    // a body that goes past the size the count at the end of the message may vary.
    bool message_is_prefix = false;
  };
  const Case cases[] = {
      {"nothing to check", length, body, "", 0, ""},
      {"matching SHA1 and size", length, body, sha, body.size(), ""},
      {"SHA1 in upper case", length, body, upper(sha), body.size(), ""},
      {"chunked, matching", "Transfer-Encoding: chunked\r\n", chunked(body), sha, body.size(), ""},
      {"gzip-coded: the decoded bytes count", "Content-Encoding: gzip\r\n", packed, sha,
       body.size(), ""},
      {"wrong SHA1", length, body, sha1_hex("other"), body.size(),
       "SHA1 mismatch for 'p.nupkg': expected " + sha1_hex("other") + ", got " + sha},
      {"announced length differs", length, body, sha, 99'999,
       "size mismatch for 'p.nupkg': expected 99999 bytes, the response announces 100000"},
      {"chunked, longer than the size", "Transfer-Encoding: chunked\r\n", chunked(body), "", 50'000,
       "size mismatch for 'p.nupkg': expected 50000 bytes, got at least ", true},
      {"chunked, shorter than the size", "Transfer-Encoding: chunked\r\n", chunked(body), "",
       100'001, "size mismatch for 'p.nupkg': expected 100001 bytes, got 100000"},
      {"gzip-coded, longer than the size", "Content-Encoding: gzip\r\n", packed, "", 1'000,
       "size mismatch for 'p.nupkg': expected 1000 bytes, got at least ", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RawHttpServer server(
        [&](RawConnection& conn) { conn.send(head("HTTP/1.1 200 OK", c.fields) + c.wire_body); });
    TempDir dir;
    write_file(dir / "old.nupkg", "old");
    const Fetched out = fetch(HttpSource(server.url("/pkgs")),
                              asset_named("p.nupkg", c.sha1, c.size), dir / "p.nupkg");
    if (c.message.empty()) {
      ASSERT_TRUE(out.result) << message_of(out.result);
      EXPECT_TRUE(read_file(dir / "p.nupkg") == body);
      EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"old.nupkg", "p.nupkg"}));
      continue;
    }
    ASSERT_FALSE(out.result);
    if (c.message_is_prefix) {
      EXPECT_TRUE(out.result.error().message.starts_with(c.message)) << out.result.error().message;
    } else {
      EXPECT_EQ(out.result.error().message, c.message);
    }
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"old.nupkg"});
  }
}

// A body that goes past the size is not read to its end: the transfer stops at the
// first read that goes past.
TEST(HttpSourceDownloadTest, StopsATransferThatGoesPastTheSize) {
  const std::string body = make_body(8 << 20);
  std::atomic<bool> sent_all{false};
  RawHttpServer server([&](RawConnection& conn) {
    conn.send(head("HTTP/1.1 200 OK", ""));  // no length: ends with the connection
    for (size_t offset = 0; offset < body.size(); offset += 64 * 1024) {
      if (!conn.send(std::string_view(body).substr(offset, 64 * 1024))) return;
      conn.pause(2ms);
    }
    sent_all = true;
  });
  TempDir dir;
  const Fetched out =
      fetch(HttpSource(server.url("/")), asset_named("p.nupkg", "", 100'000), dir / "p.nupkg");
  ASSERT_FALSE(out.result);
  EXPECT_TRUE(out.result.error().message.starts_with(
      "size mismatch for 'p.nupkg': expected 100000 bytes, got at least "))
      << out.result.error().message;
  EXPECT_FALSE(sent_all);
  EXPECT_TRUE(names_in(dir.path()).empty());
}

TEST(HttpSourceDownloadTest, AFailedTransferLeavesNothing) {
  const std::string body = make_body(100'000);
  struct Case {
    const char* label;
    std::function<void(RawConnection&)> script;
    std::string message_part;
  };
  const Case cases[] = {
      {"closed mid-body",
       [&](RawConnection& conn) {
         conn.send(head("HTTP/1.1 200 OK", "Content-Length: 100000\r\n") + body.substr(0, 40'000));
       },
       "60000 bytes remaining"},
      {"reset mid-body",
       [&](RawConnection& conn) {
         conn.send(head("HTTP/1.1 200 OK", "Content-Length: 100000\r\n") + body.substr(0, 40'000));
         conn.pause(100ms);
         conn.reset();
       },
       ""},
      {"not found",
       [](RawConnection& conn) {
         conn.send(head("HTTP/1.1 404 Not Found", "Content-Length: 0\r\n"));
       },
       ": status code 404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RawHttpServer server(c.script);
    TempDir dir;
    write_file(dir / "old.nupkg", "old");
    const Fetched out =
        fetch(HttpSource(server.url("/pkgs")), asset_named("p.nupkg"), dir / "p.nupkg");
    ASSERT_FALSE(out.result);
    EXPECT_NE(out.result.error().message.find(c.message_part), std::string::npos)
        << out.result.error().message;
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"old.nupkg"});
    for (int16_t p : out.progress) EXPECT_LT(p, 100);
  }
}

TEST(HttpSourceDownloadTest, ReportsProgressOnlyWhenTheLengthIsAnnounced) {
  const std::string body = make_body(10 << 20);
  const HttplibServer server([&](httplib::Server& s) {
    s.Get("/pkgs/sized.nupkg", [&](const httplib::Request&, httplib::Response& res) {
      res.set_content(body, "application/octet-stream");
    });
    s.Get("/pkgs/chunked.nupkg", [&](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider(
          "application/octet-stream", [&](size_t offset, httplib::DataSink& sink) {
            const size_t n = std::min<size_t>(1 << 20, body.size() - offset);
            sink.write(body.data() + offset, n);
            if (offset + n == body.size()) sink.done();
            return true;
          });
    });
  });
  for (const char* name : {"sized.nupkg", "chunked.nupkg"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    const Fetched out = fetch(HttpSource(server.url("/pkgs")),
                              asset_named(name, sha1_hex(body), body.size()), dir / name);
    ASSERT_TRUE(out.result) << message_of(out.result);
    EXPECT_TRUE(read_file(dir / name) == body);
    if (std::string(name) == "sized.nupkg") {
      ASSERT_FALSE(out.progress.empty());
      EXPECT_EQ(out.progress.back(), 100);
      for (int16_t p : out.progress) EXPECT_TRUE(p > 0 && p % 5 == 0) << p;
    } else {
      EXPECT_TRUE(out.progress.empty());
    }
  }
}

}  // namespace
}  // namespace norvane
