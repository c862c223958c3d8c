#include <norvane/download.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "http_test_server.h"
#include "test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::DeadPort;
using testing::gzip;
using testing::head;
using testing::HttplibServer;
using testing::make_body;
using testing::message_of;
using testing::RawConnection;
using testing::RawHttpServer;
using testing::TempDir;

constexpr size_t kMiB = 1024 * 1024;

struct Outcome {
  Result<void> result;
  std::vector<int16_t> progress;
};

Outcome download(const std::string& url, const fs::path& target, DownloadOptions options = {}) {
  Outcome out;
  out.result = download_url_to_file(
      url, target.string(), [&](int16_t p) { out.progress.push_back(p); }, options);
  return out;
}

// The header fields of a request head, by name as sent.
std::map<std::string, std::string> header_fields(const std::string& request) {
  std::map<std::string, std::string> fields;
  size_t start = request.find("\r\n") + 2;
  while (start < request.size()) {
    const size_t end = request.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    const std::string line = request.substr(start, end - start);
    const size_t colon = line.find(':');
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    fields[line.substr(0, colon)] = value;
    start = end + 2;
  }
  return fields;
}

TEST(DownloadTest, WritesTheBodyAndReportsProgressByContentLength) {
  const std::string kilo = make_body(1000);
  const std::string twelve = make_body(12);
  struct Case {
    const char* name;
    std::string fields;
    std::string wire_body;
    std::string content;
    std::vector<int16_t> progress;
  };
  const Case cases[] = {
      {"length given", "Content-Length: 1000\r\n", kilo, kilo, {100}},
      {"length with a plus sign", "Content-Length: +1000\r\n", kilo, kilo, {100}},
      {"length zero", "Content-Length: 0\r\n", "", "", {}},
      {"length absent", "", kilo, kilo, {}},
      {"length absent, empty body", "", "", "", {}},
      {"chunked",
       "Transfer-Encoding: chunked\r\n",
       "c\r\n" + twelve + "\r\n3e8\r\n" + kilo + "\r\n0\r\n\r\n",
       twelve + kilo,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Head and body in one write arrive in one read: a 1000-byte body reports only 100.
    RawHttpServer server(
        [&](RawConnection& conn) { conn.send(head("HTTP/1.1 200 OK", c.fields) + c.wire_body); });
    TempDir dir;
    const Outcome out = download(server.url("/package.nupkg"), dir / "package.nupkg");
    ASSERT_TRUE(out.result) << message_of(out.result);
    ASSERT_TRUE(fs::exists(dir / "package.nupkg"));
    EXPECT_EQ(testing::read_file(dir / "package.nupkg"), c.content);
    EXPECT_EQ(out.progress, c.progress);
  }
}

// A Content-Length that is not a plain decimal number makes the response invalid:
// taken in part, "12 bytes" would cut the body short and the cut body would pass.
TEST(DownloadTest, AMalformedContentLengthFailsTheRequest) {
  const std::string body = make_body(1000);
  // (The client library itself already refuses a sign or an empty value.)
  for (const char* value : {"12 bytes", "1e3", "0x10", "12,12", "12 12"}) {
    SCOPED_TRACE(value);
    RawHttpServer server([&](RawConnection& conn) {
      conn.send(head("HTTP/1.1 200 OK", std::string("Content-Length: ") + value + "\r\n") + body);
    });
    TempDir dir;
    const Outcome out = download(server.url("/package.nupkg"), dir / "package.nupkg");
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error().message, "invalid Content-Length header: " + debug_string(value));
    EXPECT_FALSE(fs::exists(dir / "package.nupkg"));
  }
}

TEST(DownloadTest, DecodesGzipBodiesAndReportsNoProgress) {
  std::string text;
  for (int i = 0; text.size() < 200'000; ++i)
    text += "line " + std::to_string(i) + " of the feed\n";
  const std::string packed = gzip(text);
  ASSERT_LT(packed.size(), text.size() / 4);
  struct Case {
    const char* name;
    std::string fields;
    std::string wire_body;
    std::string content;
  };
  const std::string length = "Content-Length: " + std::to_string(packed.size()) + "\r\n";
  const Case cases[] = {
      {"gzip", "Content-Encoding: gzip\r\n" + length, packed, text},
      {"x-gzip", "Content-Encoding: x-gzip\r\n" + length, packed, text},
      {"upper case", "Content-Encoding: GZip\r\n" + length, packed, text},
      {"gzip without length", "Content-Encoding: gzip\r\n", packed, text},
      {"gzip, chunked", "Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n",
       [&] {
         std::string chunks;
         for (size_t i = 0; i < packed.size(); i += 1000) {
           const std::string part = packed.substr(i, 1000);
           char size[16];
           std::snprintf(size, sizeof size, "%zx", part.size());
           chunks += std::string(size) + "\r\n" + part + "\r\n";
         }
         return chunks + "0\r\n\r\n";
       }(),
       text},
      {"two members", "Content-Encoding: gzip\r\n", gzip("first\n") + gzip("second\n"),
       "first\nsecond\n"},
      {"empty body", "Content-Encoding: gzip\r\nContent-Length: 0\r\n", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpServer server(
        [&](RawConnection& conn) { conn.send(head("HTTP/1.1 200 OK", c.fields) + c.wire_body); });
    TempDir dir;
    const Outcome out = download(server.url("/feed.json"), dir / "feed.json");
    ASSERT_TRUE(out.result) << message_of(out.result);
    EXPECT_TRUE(testing::read_file(dir / "feed.json") == c.content);
    // The announced length is that of the coded bytes: progress by it would be wrong.
    EXPECT_EQ(out.progress, std::vector<int16_t>{});
  }
}

TEST(DownloadTest, WritesOtherCodingsAsTheyCome) {
  // Not asked for and not decoded: the bytes are the body, and its length holds.
  const std::string bytes = make_body(1000);
  for (const char* coding : {"br", "deflate", "gzip, gzip"}) {
    SCOPED_TRACE(coding);
    RawHttpServer server([&](RawConnection& conn) {
      conn.send(head("HTTP/1.1 200 OK",
                     std::string("Content-Encoding: ") + coding + "\r\nContent-Length: 1000\r\n") +
                bytes);
    });
    TempDir dir;
    const Outcome out = download(server.url("/p"), dir / "p");
    ASSERT_TRUE(out.result) << message_of(out.result);
    EXPECT_TRUE(testing::read_file(dir / "p") == bytes);
    EXPECT_EQ(out.progress, std::vector<int16_t>{100});
  }
}

TEST(DownloadTest, RejectsBrokenGzipBodies) {
  std::string text;
  for (int i = 0; text.size() < 100'000; ++i) text += std::to_string(i * 7919) + "\n";
  const std::string packed = gzip(text);
  struct Case {
    const char* name;
    std::string wire_body;
    std::string message;
  };
  const std::string incomplete = "the gzip-coded body ends before its compressed data";
  const Case cases[] = {
      // The connection's end is the body's end here: only the coding can tell.
      {"cut in the middle", packed.substr(0, packed.size() / 2), incomplete},
      {"trailer missing", packed.substr(0, packed.size() - 8), incomplete},
      {"not gzip", "plain text", "invalid gzip-coded body: incorrect header check"},
      {"garbage after the end", packed + "garbage",
       "invalid gzip-coded body: incorrect header check"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpServer server([&](RawConnection& conn) {
      conn.send(head("HTTP/1.1 200 OK", "Content-Encoding: gzip\r\n") + c.wire_body);
    });
    TempDir dir;
    const Outcome out = download(server.url("/feed.json"), dir / "feed.json");
    ASSERT_FALSE(out.result) << "a broken body was reported as complete";
    EXPECT_EQ(out.result.error().message, c.message);
  }
}

TEST(DownloadTest, SendsOnlyTheClientsOwnHeaders) {
  RawHttpServer server([](RawConnection& conn) {
    conn.send(head("HTTP/1.1 200 OK", "Content-Length: 2\r\n") + "{}");
  });
  TempDir dir;
  const Outcome out = download(server.url("/releases.osx.json?id=MyApp"), dir / "feed");
  ASSERT_TRUE(out.result) << message_of(out.result);
  ASSERT_EQ(server.requests().size(), 1u);
  const std::string request = server.requests()[0];
  EXPECT_TRUE(request.starts_with("GET /releases.osx.json?id=MyApp HTTP/1.1\r\n")) << request;
  const auto fields = header_fields(request);
  std::vector<std::string> names;
  for (const auto& [name, value] : fields) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Accept", "Accept-Encoding", "Host", "User-Agent"}))
      << request;
  EXPECT_EQ(fields.at("Host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(fields.at("User-Agent"),
            std::string("libcurl/") + curl_version_info(CURLVERSION_NOW)->version);
  EXPECT_EQ(fields.at("Accept"), "*/*");
  EXPECT_NE(fields.at("Accept-Encoding").find("gzip"), std::string::npos);
}

// A server with redirect chains: /hop/N redirects to /hop/N-1 (relative and absolute
// Locations alternating), /hop/0 to /missing, /r/N to /r/N-1 and /r/0 answers.
HttplibServer redirecting_server() {
  return HttplibServer([](httplib::Server& s) {
    s.Get(R"(/(hop|r)/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      const std::string kind = req.matches[1];
      const int n = std::stoi(req.matches[2]);
      if (kind == "r" && n == 0) {
        res.set_content("arrived", "application/octet-stream");
        return;
      }
      const std::string next = n == 0 ? "/missing" : "/" + kind + "/" + std::to_string(n - 1);
      const std::string host = req.get_header_value("Host");
      res.set_redirect(n % 2 == 0 ? next : "http://" + host + next, n % 3 == 0 ? 301 : 302);
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("not here", "text/plain");
    });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
      res.status = 503;
      res.set_content("down", "text/plain");
    });
  });
}

TEST(DownloadTest, FailsOnStatusAndLeavesTheTargetUntouched) {
  const HttplibServer server = redirecting_server();
  struct Case {
    const char* name;
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {"404", "/missing", server.url("/missing") + ": status code 404"},
      {"503", "/broken", server.url("/broken") + ": status code 503"},
      {"404 after redirects", "/hop/3",
       server.url("/missing") + ": status code 404 (redirected from " + server.url("/hop/3") + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    testing::write_file(dir / "existing", "old package");
    const Outcome over_existing = download(server.url(c.path), dir / "existing");
    ASSERT_FALSE(over_existing.result);
    EXPECT_EQ(over_existing.result.error().message, c.message);
    EXPECT_EQ(testing::read_file(dir / "existing"), "old package");

    const Outcome over_nothing = download(server.url(c.path), dir / "new");
    ASSERT_FALSE(over_nothing.result);
    EXPECT_EQ(over_nothing.result.error().message, c.message);
    EXPECT_FALSE(fs::exists(dir / "new"));
  }
}

TEST(DownloadTest, FollowsAtMostFiveRedirects) {
  const HttplibServer server = redirecting_server();
  struct Case {
    const char* name;
    std::string path;
    bool arrives;
  };
  const Case cases[] = {
      {"no redirect", "/r/0", true},
      {"five redirects", "/r/5", true},
      {"six redirects", "/r/6", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    testing::write_file(dir / "target", "old package");
    const Outcome out = download(server.url(c.path), dir / "target");
    if (c.arrives) {
      ASSERT_TRUE(out.result) << message_of(out.result);
      EXPECT_EQ(testing::read_file(dir / "target"), "arrived");
    } else {
      ASSERT_FALSE(out.result);
      EXPECT_NE(out.result.error().message.find("Maximum (5) redirects followed"),
                std::string::npos)
          << out.result.error().message;
      EXPECT_EQ(testing::read_file(dir / "target"), "old package");
    }
  }
}

TEST(DownloadTest, RefusesEverySchemeButHttpAndHttps) {
  // Something to fetch at each place a refused URL names, so that following it
  // would succeed.
  TempDir dir;
  testing::write_file(dir / "local.txt", "local secret");
  const std::string file_url = "file://" + (dir / "local.txt").string();
  RawHttpServer other([](RawConnection& conn) { conn.send("220 ready\r\n"); });
  const std::string ftp_url = "ftp://127.0.0.1:" + std::to_string(other.port()) + "/x.nupkg";

  struct Case {
    const char* name;
    std::string location;  // redirected to, or asked for directly when `direct`
    bool direct;
    std::string message_part;
  };
  const Case cases[] = {
      {"redirect to file", file_url, false, "\"file\""},
      {"redirect to ftp", ftp_url, false, "\"ftp\""},
      {"redirect to gopher", "gopher://127.0.0.1:" + std::to_string(other.port()) + "/", false,
       "\"gopher\""},
      {"file URL", file_url, true, "\"file\""},
      {"ftp URL", ftp_url, true, "\"ftp\""},
      {"no scheme", "127.0.0.1:" + std::to_string(other.port()) + "/x.nupkg", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpServer server([&](RawConnection& conn) {
      conn.send(
          head("HTTP/1.1 302 Found", "Location: " + c.location + "\r\nContent-Length: 0\r\n"));
    });
    const Outcome out = download(c.direct ? c.location : server.url("/x.nupkg"), dir / "target");
    ASSERT_FALSE(out.result);
    EXPECT_FALSE(out.result.error().message.empty());
    EXPECT_NE(out.result.error().message.find(c.message_part), std::string::npos)
        << out.result.error().message;
    EXPECT_FALSE(fs::exists(dir / "target"));
    EXPECT_EQ(server.requests().size(), c.direct ? 0u : 1u);
  }
  EXPECT_EQ(other.requests().size(), 0u);
}

TEST(DownloadTest, ABodyCutShortFailsTheTransfer) {
  const std::string body = make_body(100'000);
  const std::string packed = gzip(std::string(300'000, 'z') + body);
  struct Case {
    const char* name;
    std::function<void(RawConnection&)> script;
    std::string message_part;
  };
  const Case cases[] = {
      {"closed before Content-Length",
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
      {"chunked, closed before the last chunk",
       [&](RawConnection& conn) {
         conn.send(head("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n") + "3e8\r\n" +
                   body.substr(0, 1000) + "\r\n");
       },
       "transfer closed"},
      {"gzip closed before Content-Length",
       [&](RawConnection& conn) {
         conn.send(head("HTTP/1.1 200 OK", "Content-Encoding: gzip\r\nContent-Length: " +
                                               std::to_string(packed.size()) + "\r\n") +
                   packed.substr(0, packed.size() / 2));
       },
       "bytes remaining"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpServer server(c.script);
    TempDir dir;
    std::vector<int16_t> progress;
    const Outcome out = download(server.url("/package.nupkg"), dir / "package.nupkg");
    ASSERT_FALSE(out.result) << "a truncated body was reported as complete";
    EXPECT_FALSE(out.result.error().message.empty());
    EXPECT_NE(out.result.error().message.find(c.message_part), std::string::npos)
        << out.result.error().message;
    for (int16_t p : out.progress) EXPECT_LT(p, 100);
  }
}

// A request must keep up a minimum rate, period by period: a trickle is a stall, even
// though bytes keep coming; a slow but steady body is not. The head has a deadline of
// its own, and a body read into memory an overall one.
TEST(DownloadTest, TimeRulesEndTricklesButNotASlowBody) {
  DownloadOptions options;
  options.stall_timeout = 1s;
  options.stall_bytes = 100;
  options.head_timeout = 3s;
  options.string_body_timeout = 4s;
  const std::string body = make_body(1000);
  const std::string stalled = "the transfer stalled: fewer than 100 bytes received in 1 second";
  const auto trickle = [](RawConnection& conn, const std::string& bytes) {
    for (char c : bytes) {
      if (!conn.send(std::string(1, c))) return;
      conn.pause(250ms);
    }
  };
  struct Case {
    const char* name;
    std::function<void(RawConnection&)> script;
    std::string error;  // empty: completes
    bool into_memory = false;
  };
  const Case cases[] = {
      {"no head", [](RawConnection& conn) { conn.hold(); }, stalled},
      {"head, then nothing",
       [](RawConnection& conn) {
         conn.send(head("HTTP/1.1 200 OK", "Content-Length: 1000\r\n"));
         conn.hold();
       },
       stalled},
      {"part of the body, then nothing",
       [&](RawConnection& conn) {
         conn.send(head("HTTP/1.1 200 OK", "Content-Length: 1000\r\n") + body.substr(0, 300));
         conn.hold();
       },
       stalled},
      {"a head that trickles",
       [&](RawConnection& conn) {
         trickle(conn, head("HTTP/1.1 200 OK", "Content-Length: 1000\r\n"));
       },
       stalled},
      {"a body that trickles",
       [&](RawConnection& conn) {
         conn.send(head("HTTP/1.1 200 OK", "Content-Length: 1000\r\n"));
         trickle(conn, body);
       },
       stalled},
      {"header lines fast enough, but never the end of the head",
       [](RawConnection& conn) {
         conn.send("HTTP/1.1 200 OK\r\n");
         for (int i = 0; i < 40; ++i) {
           if (!conn.send("X-Filler-" + std::to_string(i) + ": " + std::string(200, 'f') + "\r\n"))
             return;
           conn.pause(250ms);
         }
       },
       "no complete response head within 3 seconds"},
      {"a slow body with short pauses",
       [&](RawConnection& conn) {
         conn.send(head("HTTP/1.1 200 OK", "Content-Length: 1000\r\n"));
         for (size_t i = 0; i < 1000; i += 125) {
           conn.pause(250ms);
           conn.send(body.substr(i, 125));
         }
       },
       ""},
      {"a body into memory, steady but longer than its deadline",
       [&](RawConnection& conn) {
         conn.send(head("HTTP/1.1 200 OK", "Content-Length: 4000\r\n"));
         for (int i = 0; i < 40; ++i) {
           if (!conn.send(body.substr(0, 100) + "\n")) return;
           conn.pause(200ms);
         }
       },
       "the request did not complete within 4 seconds", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpServer server(c.script);
    TempDir dir;
    Result<void> result;
    if (c.into_memory) {
      auto agent = get_download_agent(options);
      ASSERT_TRUE(agent);
      auto text = agent->read_to_string(server.url("/feed.json"));
      if (!text) result = unexpected(std::move(text).error());
    } else {
      const Outcome out = download(server.url("/package.nupkg"), dir / "package.nupkg", options);
      result = out.result;
      if (c.error.empty() && result) {
        EXPECT_EQ(testing::read_file(dir / "package.nupkg"), body);
      }
    }
    if (c.error.empty()) {
      EXPECT_TRUE(result) << message_of(result);
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message, c.error);
    }
  }
}

TEST(DownloadTest, RetriesCreatingTheTargetFile) {
  const std::string enoent =
      "Retrying operation in {}ms... (error was: Some(Os { code: 2, kind: NotFound, "
      "message: \"No such file or directory\" }))";
  const auto warning = [&](long ms) {
    std::string text = enoent;
    return text.replace(text.find("{}"), 2, std::to_string(ms));
  };
  struct Case {
    const char* name;
    int attempts_failing;  // the sleeper makes the directory after this many waits
    std::vector<long> waits;
  };
  const Case cases[] = {
      {"directory never appears", 4, {333, 666, 1000}},
      {"directory appears after the first attempt", 1, {333}},
      {"directory appears before the last attempt", 3, {333, 666, 1000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpServer server([](RawConnection& conn) {
      conn.send(head("HTTP/1.1 200 OK", "Content-Length: 5\r\n") + "hello");
    });
    TempDir dir;
    const fs::path target = dir / "packages" / "app.nupkg";
    testing::CapturedLog log(log::Level::Warn);
    std::vector<long> waits;
    DownloadOptions options;
    options.sleeper = [&](std::chrono::milliseconds wait) {
      waits.push_back(static_cast<long>(wait.count()));
      if (static_cast<int>(waits.size()) == c.attempts_failing)
        fs::create_directory(dir / "packages");
    };
    const Outcome out = download(server.url("/app.nupkg"), target, options);
    EXPECT_EQ(waits, c.waits);
    std::vector<std::string> warnings;
    for (const auto& r : log.records()) {
      if (r.target == "norvane::util" && r.level == log::Level::Warn) warnings.push_back(r.message);
    }
    std::vector<std::string> expected;
    for (long w : c.waits) expected.push_back(warning(w));
    EXPECT_EQ(warnings, expected);
    if (c.attempts_failing == 4) {
      ASSERT_FALSE(out.result);
      EXPECT_EQ(out.result.error().message, "No such file or directory (os error 2)");
      EXPECT_EQ(out.result.error().os_code, 2);
      EXPECT_FALSE(fs::exists(target));
    } else {
      ASSERT_TRUE(out.result) << message_of(out.result);
      EXPECT_EQ(testing::read_file(target), "hello");
    }
  }
}

TEST(DownloadTest, CreatesTheTargetWithModeLessUmaskAndTruncatesALongerOne) {
  RawHttpServer server([](RawConnection& conn) {
    conn.send(head("HTTP/1.1 200 OK", "Content-Length: 5\r\n") + "fresh");
  });
  TempDir dir;
  testing::write_file(dir / "long", std::string(100'000, 'x'));
  const Outcome over_long = download(server.url("/p"), dir / "long");
  ASSERT_TRUE(over_long.result) << message_of(over_long.result);
  EXPECT_EQ(testing::read_file(dir / "long"), "fresh");

  const mode_t old_mask = ::umask(027);
  const Outcome fresh = download(server.url("/p"), dir / "new");
  ::umask(old_mask);
  ASSERT_TRUE(fresh.result) << message_of(fresh.result);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(DownloadTest, AFailedWriteReturnsTheOsError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is not available here";
  RawHttpServer server([](RawConnection& conn) {
    conn.send(head("HTTP/1.1 200 OK", "Content-Length: 5\r\n") + "bytes");
  });
  const Outcome out = download(server.url("/p"), "/dev/full");
  ASSERT_FALSE(out.result);
  EXPECT_EQ(out.result.error().message, "No space left on device (os error 28)");
  EXPECT_EQ(out.progress, std::vector<int16_t>{});
}

TEST(DownloadTest, ARefusedConnectionLeavesTheTargetUntouched) {
  const DeadPort dead;
  TempDir dir;
  testing::write_file(dir / "existing", "old package");
  const Outcome out =
      download("http://127.0.0.1:" + std::to_string(dead.port()) + "/p", dir / "existing");
  ASSERT_FALSE(out.result);
  EXPECT_NE(out.result.error().message.find("port " + std::to_string(dead.port())),
            std::string::npos)
      << out.result.error().message;
  EXPECT_EQ(testing::read_file(dir / "existing"), "old package");
}

TEST(DownloadTest, IgnoresTheProxyEnvironment) {
  const DeadPort dead;
  const std::string proxy = "http://127.0.0.1:" + std::to_string(dead.port());
  std::vector<std::unique_ptr<testing::ScopedEnv>> env;
  for (const char* name :
       {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
    env.push_back(std::make_unique<testing::ScopedEnv>(name, proxy));
  for (const char* name : {"no_proxy", "NO_PROXY"})
    env.push_back(std::make_unique<testing::ScopedEnv>(name, std::nullopt));
  const HttplibServer server([](httplib::Server& s) {
    s.Get("/p", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("direct", "application/octet-stream");
    });
  });
  TempDir dir;
  const Outcome out = download(server.url("/p"), dir / "p");
  ASSERT_TRUE(out.result) << message_of(out.result);
  EXPECT_EQ(testing::read_file(dir / "p"), "direct");
}

// The server sends a 10 MiB body in five 2 MiB writes, pausing between them. A read
// returns what has arrived, so it never spans a pause, and the reads that end a write end
// exactly at 20 %, 40 %, ... of the body: those steps are always reported. Whether a
// write also arrives in one read is up to the kernel (the reader may wake on its first
// segments), so finer steps in between are allowed, but they must follow the rule.
TEST(DownloadTest, ReportsProgressInFivePercentStepsOfTwoMebibyteWrites) {
  const std::string body = make_body(10 * kMiB);
  RawHttpServer server([&](RawConnection& conn) {
    conn.send(head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n"));
    for (size_t offset = 0; offset < body.size(); offset += 2 * kMiB) {
      conn.pause(150ms);
      conn.send(std::string_view(body).substr(offset, 2 * kMiB));
    }
  });
  TempDir dir;
  const Outcome out = download(server.url("/big.nupkg"), dir / "big.nupkg");
  ASSERT_TRUE(out.result) << message_of(out.result);
  EXPECT_TRUE(testing::read_file(dir / "big.nupkg") == body);
  std::string seen;
  for (int16_t p : out.progress) seen += std::to_string(p) + " ";
  SCOPED_TRACE("progress: " + seen);
  ASSERT_FALSE(out.progress.empty());
  EXPECT_EQ(out.progress.back(), 100);
  EXPECT_TRUE(std::is_sorted(out.progress.begin(), out.progress.end(),
                             [](int16_t a, int16_t b) { return a <= b; }));
  for (int16_t p : out.progress) EXPECT_TRUE(p > 0 && p <= 100 && p % 5 == 0) << p;
  for (int16_t step : {20, 40, 60, 80, 100})
    EXPECT_NE(std::find(out.progress.begin(), out.progress.end(), step), out.progress.end())
        << step;
}

TEST(DownloadTest, DeliversReadsOfUpToTwoMebibytes) {
  const std::string body = make_body(16 * kMiB);
  RawHttpServer server([&](RawConnection& conn) {
    conn.send(head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n") +
              body);
  });
  auto agent = get_download_agent();
  ASSERT_TRUE(agent) << agent.error().message;
  std::vector<size_t> sizes;
  std::string received;
  StreamHandler handler;
  handler.on_chunk = [&](std::string_view bytes) -> Result<void> {
    // A slow first write lets the socket fill, so the next reads find plenty waiting.
    if (sizes.empty()) std::this_thread::sleep_for(100ms);
    sizes.push_back(bytes.size());
    received.append(bytes);
    return {};
  };
  ASSERT_TRUE(agent->stream(server.url("/big"), handler));
  EXPECT_TRUE(received == body);
  EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), kTransferBufferSize);
  // More than the client's default buffer (16 KiB) at once: the larger buffer is in use.
  EXPECT_GT(*std::max_element(sizes.begin(), sizes.end()), size_t{16 * 1024});

  // A handler may ask for smaller chunks.
  sizes.clear();
  received.clear();
  handler.chunk_size = 64 * 1024;
  ASSERT_TRUE(agent->stream(server.url("/big"), handler));
  EXPECT_TRUE(received == body);
  EXPECT_EQ(*std::max_element(sizes.begin(), sizes.end()), size_t{64 * 1024});
}

TEST(ReadToStringTest, CapsTheBodyAtTenMebibytes) {
  const std::string at_cap = make_body(kMaxStringBodySize);
  const std::string past_cap = make_body(kMaxStringBodySize + 1);
  const HttplibServer server([&](httplib::Server& s) {
    const auto serve = [](const std::string& body, bool chunked) {
      return [&body, chunked](const httplib::Request&, httplib::Response& res) {
        if (!chunked) {
          res.set_content(body, "application/octet-stream");
          return;
        }
        res.set_chunked_content_provider(
            "application/octet-stream", [&body](size_t offset, httplib::DataSink& sink) {
              const size_t n = std::min<size_t>(1 << 20, body.size() - offset);
              sink.write(body.data() + offset, n);
              if (offset + n == body.size()) sink.done();
              return true;
            });
      };
    };
    s.Get("/at", serve(at_cap, false));
    s.Get("/past", serve(past_cap, false));
    s.Get("/at-chunked", serve(at_cap, true));
    s.Get("/past-chunked", serve(past_cap, true));
  });
  struct Case {
    const char* path;
    const std::string* body;  // null: too big
  };
  const Case cases[] = {
      {"/at", &at_cap}, {"/past", nullptr}, {"/at-chunked", &at_cap}, {"/past-chunked", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    auto agent = get_download_agent();
    ASSERT_TRUE(agent) << agent.error().message;
    const Result<std::string> read = agent->read_to_string(server.url(c.path));
    if (c.body) {
      ASSERT_TRUE(read) << read.error().message;
      EXPECT_TRUE(*read == *c.body);
    } else {
      ASSERT_FALSE(read);
      EXPECT_EQ(read.error().message, "response too big for into_string");
    }
  }
}

TEST(ReadToStringTest, OneAgentServesRequestsOneAfterAnother) {
  const HttplibServer server = redirecting_server();
  auto agent = get_download_agent();
  ASSERT_TRUE(agent) << agent.error().message;
  const auto first = agent->read_to_string(server.url("/missing"));
  ASSERT_FALSE(first);
  EXPECT_EQ(first.error().message, server.url("/missing") + ": status code 404");
  const auto second = agent->read_to_string(server.url("/r/2"));
  ASSERT_TRUE(second) << second.error().message;
  EXPECT_EQ(*second, "arrived");
  const auto third = agent->read_to_string(server.url("/hop/0"));
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error().message, server.url("/missing") + ": status code 404 (redirected from " +
                                       server.url("/hop/0") + ")");
}

TEST(StreamTest, TheHeadComesOnceBeforeTheBody) {
  const HttplibServer server = redirecting_server();
  struct Case {
    const char* path;
    uint64_t redirects;
  };
  for (const Case& c : {Case{"/r/0", 0}, Case{"/r/3", 3}}) {
    SCOPED_TRACE(c.path);
    auto agent = get_download_agent();
    ASSERT_TRUE(agent) << agent.error().message;
    std::vector<std::string> events;
    ResponseHead seen;
    StreamHandler handler;
    handler.on_head = [&](const ResponseHead& h) -> Result<void> {
      events.push_back("head");
      seen = h;
      return {};
    };
    handler.on_chunk = [&](std::string_view bytes) -> Result<void> {
      events.push_back(std::string(bytes));
      return {};
    };
    handler.progress = [&](int16_t p) { events.push_back(std::to_string(p) + "%"); };
    ASSERT_TRUE(agent->stream(server.url(c.path), handler));
    EXPECT_EQ(events, (std::vector<std::string>{"head", "arrived", "100%"}));
    EXPECT_EQ(seen.status, 200);
    EXPECT_EQ(seen.url, server.url("/r/0"));
    EXPECT_EQ(seen.redirects, c.redirects);
    EXPECT_EQ(seen.content_length, std::optional<uint64_t>(7));
  }
}

TEST(StreamTest, AHandlerErrorEndsTheTransferAtOnce) {
  const std::string body = make_body(8 * kMiB);
  std::atomic<bool> sent_all{false};
  RawHttpServer server([&](RawConnection& conn) {
    conn.send(head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n"));
    for (size_t offset = 0; offset < body.size(); offset += 64 * 1024) {
      if (!conn.send(std::string_view(body).substr(offset, 64 * 1024))) return;
      conn.pause(2ms);
    }
    sent_all = true;
  });
  struct Case {
    const char* name;
    bool fail_head;
  };
  for (const Case& c : {Case{"head refused", true}, Case{"chunk refused", false}}) {
    SCOPED_TRACE(c.name);
    auto agent = get_download_agent();
    ASSERT_TRUE(agent) << agent.error().message;
    int chunks = 0;
    StreamHandler handler;
    handler.on_head = [&](const ResponseHead&) -> Result<void> {
      if (c.fail_head) return fail("no room for it");
      return {};
    };
    handler.on_chunk = [&](std::string_view) -> Result<void> {
      ++chunks;
      return fail("past the expected size");
    };
    const Result<void> result = agent->stream(server.url("/p"), handler);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, c.fail_head ? "no room for it" : "past the expected size");
    EXPECT_EQ(chunks, c.fail_head ? 0 : 1);
  }
  EXPECT_FALSE(sent_all);
}

// An exception from a handler must not cross the client library: the transfer stops
// at once, the exception comes out of the call, and the agent serves the next request.
TEST(StreamTest, AHandlerThatThrowsEndsTheTransferAndTheCallThrows) {
  const std::string body = make_body(4 * kMiB);
  RawHttpServer server([&](RawConnection& conn) {
    conn.send(head("HTTP/1.1 200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n"));
    for (size_t offset = 0; offset < body.size(); offset += 64 * 1024) {
      if (!conn.send(std::string_view(body).substr(offset, 64 * 1024))) return;
      conn.pause(2ms);
    }
  });
  auto agent = get_download_agent();
  ASSERT_TRUE(agent) << agent.error().message;
  for (const char* where : {"head", "chunk", "progress"}) {
    SCOPED_TRACE(where);
    const std::string_view w(where);
    int chunks = 0;
    StreamHandler handler;
    handler.on_head = [&](const ResponseHead&) -> Result<void> {
      if (w == "head") throw std::runtime_error("thrown by the head handler");
      return {};
    };
    handler.on_chunk = [&](std::string_view) -> Result<void> {
      ++chunks;
      if (w == "chunk") throw std::runtime_error("thrown by the chunk handler");
      return {};
    };
    handler.progress = [&](int16_t) {
      if (w == "progress") throw std::runtime_error("thrown by the progress callback");
    };
    try {
      (void)agent->stream(server.url("/p"), handler);
      ADD_FAILURE() << "nothing was thrown";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "thrown by the " + std::string(where) +
                                           (w == "progress" ? " callback" : " handler"));
    }
    if (w == "progress") {
      EXPECT_GE(chunks, 1);  // the first step comes after some chunks
    } else {
      EXPECT_EQ(chunks, w == "head" ? 0 : 1);
    }
  }
  std::string received;
  StreamHandler collect;
  collect.on_chunk = [&](std::string_view bytes) -> Result<void> {
    received.append(bytes);
    return {};
  };
  ASSERT_TRUE(agent->stream(server.url("/p"), collect));
  EXPECT_TRUE(received == body);
}

TEST(ProgressStepsTest, ReportsEachFivePercentStepOnce) {
  struct Case {
    const char* name;
    std::optional<uint64_t> total;
    std::vector<uint64_t> reads;
    std::vector<int16_t> steps;
  };
  std::vector<int16_t> every_step;
  for (int16_t p = 5; p <= 100; p += 5) every_step.push_back(p);
  const Case cases[] = {
      {"10 MiB in 2 MiB reads",
       10 * kMiB,
       std::vector<uint64_t>(5, 2 * kMiB),
       {20, 40, 60, 80, 100}},
      {"100 MiB in 2 MiB reads", 100 * kMiB, std::vector<uint64_t>(50, 2 * kMiB), every_step},
      {"first 2 MiB of 100 MiB", 100 * kMiB, {2 * kMiB}, {}},
      {"1000 bytes in one read", 1000, {1000}, {100}},
      {"uneven reads", 1000, {49, 1, 50, 899, 1}, {5, 10, 95, 100}},
      {"no total", std::nullopt, {500, 500}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgressSteps steps(c.total);
    std::vector<int16_t> got;
    for (uint64_t n : c.reads) {
      if (auto p = steps.advance(n)) got.push_back(*p);
    }
    EXPECT_EQ(got, c.steps);
  }
}

}  // namespace
}  // namespace norvane
