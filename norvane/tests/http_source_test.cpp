// The HTTP update source's feed fetch, against servers on 127.0.0.1: the URL it asks
// for, its failures, the body cap and the replacement of bytes that are not UTF-8.
#include <norvane/sources.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include <norvane/manager.h>
#include <norvane/util.h>

#include "http_test_server.h"
#include "test_support.h"

namespace norvane {
namespace {

using testing::CapturedLog;
using testing::HttplibServer;
using testing::RawConnection;
using testing::RawHttpServer;
using testing::request_target;
using testing::source_records;
using testing::TempDir;

constexpr const char* kFeed =
    R"({"Assets":[{"PackageId":"MyApp","Version":"2.0.0","Type":"Full","FileName":"MyApp-2.0.0.nupkg"}]})";

Manifest manifest(const std::string& id, const std::string& version) {
  Manifest m;
  m.id = id;
  auto parsed = parse_semver(version);
  if (!parsed) throw std::runtime_error("bad version in a test: " + version);
  m.version = *parsed;
  return m;
}

std::string ok_response(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

TEST(HttpSourceTest, RequestsTheChannelFeedUnderTheBaseUrl) {
  RawHttpServer server([](RawConnection& conn) { conn.send(ok_response(kFeed)); });
  const std::string s = server.url("");
  const std::string q = "?localVersion=1.2.3&id=MyApp";
  struct Case {
    const char* label;
    std::string base;
    std::string channel;
    std::string id;
    std::string version;
    std::string target;  // what the server sees
    std::string logged;  // the URL in the log record
  };
  const Case cases[] = {
      {"folder without a slash", s + "/feeds", "osx", "MyApp", "1.2.3",
       "/feeds/releases.osx.json" + q, ""},
      {"folder with a slash", s + "/feeds/", "osx", "MyApp", "1.2.3",
       "/feeds/releases.osx.json" + q, ""},
      {"folder with several slashes", s + "/feeds///", "osx", "MyApp", "1.2.3",
       "/feeds/releases.osx.json" + q, ""},
      {"nested folder", s + "/a/b", "osx", "MyApp", "1.2.3", "/a/b/releases.osx.json" + q, ""},
      {"host only", s, "osx", "MyApp", "1.2.3", "/releases.osx.json" + q, ""},
      {"host and slash", s + "/", "osx", "MyApp", "1.2.3", "/releases.osx.json" + q, ""},
      // The "/" goes into the query or fragment, so the feed name replaces the folder.
      {"base with a query", s + "/feeds?x=1", "osx", "MyApp", "1.2.3", "/releases.osx.json" + q,
       ""},
      {"base with a fragment", s + "/feeds#top", "osx", "MyApp", "1.2.3", "/releases.osx.json" + q,
       ""},
      {"id with a space", s + "/feeds", "osx", "My App", "1.2.3",
       "/feeds/releases.osx.json?localVersion=1.2.3&id=My%20App", ""},
      {"id with an ampersand", s + "/feeds", "osx", "A&B=C", "1.2.3",
       "/feeds/releases.osx.json?localVersion=1.2.3&id=A&B=C", ""},
      {"id with non-ASCII letters and a quote", s + "/feeds", "osx", "Caf\xC3\xA9\"'", "1.2.3",
       "/feeds/releases.osx.json?localVersion=1.2.3&id=Caf%C3%A9%22%27", ""},
      {"version with pre-release and build", s + "/feeds", "osx", "MyApp", "1.2.3-beta.1+build.5",
       "/feeds/releases.osx.json?localVersion=1.2.3-beta.1+build.5&id=MyApp", ""},
      {"channel with a space", s + "/feeds", "beta one", "MyApp", "1.2.3",
       "/feeds/releases.beta%20one.json" + q, ""},
      // The rest of the name becomes a query, which the new query replaces.
      {"channel with a question mark", s + "/feeds", "a?b", "MyApp", "1.2.3",
       "/feeds/releases.a" + q, ""},
      // The rest becomes a fragment, which stays after the query and is not sent.
      {"channel with a number sign", s + "/feeds", "a#b", "MyApp", "1.2.3", "/feeds/releases.a" + q,
       s + "/feeds/releases.a" + q + "#b.json"},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CapturedLog log(log::Level::Info);
    const auto feed = HttpSource(c.base).fetch_release_feed(c.channel, manifest(c.id, c.version));
    ASSERT_TRUE(feed) << feed.error().message;
    ASSERT_EQ(feed->Assets.size(), 1u);
    EXPECT_EQ(feed->Assets[0].FileName, "MyApp-2.0.0.nupkg");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), seen + 1);
    EXPECT_EQ(request_target(requests[seen]), c.target);
    ++seen;
    const std::string logged = c.logged.empty() ? s + c.target : c.logged;
    EXPECT_EQ(source_records(log), std::vector<std::string>{"Downloading releases for channel " +
                                                            c.channel + " from: " + logged});
  }
}

TEST(HttpSourceTest, ReturnsTheErrorsOfTheUrlTheAgentAndTheParser) {
  const HttplibServer server([](httplib::Server& s) {
    s.Get("/feeds/releases.osx.json", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(kFeed, "application/json");
    });
    s.Get("/bad/releases.osx.json", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"Assets":[{"Size":"1"}]})", "application/json");
    });
    s.Get("/empty/releases.osx.json", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("", "application/json");
    });
    s.Get("/gone/releases.osx.json",
          [](const httplib::Request&, httplib::Response& res) { res.status = 410; });
  });
  const testing::DeadPort dead;
  const std::string dead_url = "http://127.0.0.1:" + std::to_string(dead.port()) + "/feeds";
  const std::string q = "?localVersion=1.2.3&id=MyApp";
  struct Case {
    const char* label;
    std::string base;
    std::string channel;
    std::string message;  // empty: only that there is one
  };
  const Case cases[] = {
      {"channel not published", server.url("/feeds"), "beta",
       server.url("/feeds/releases.beta.json") + q + ": status code 404"},
      {"gone", server.url("/gone"), "osx",
       server.url("/gone/releases.osx.json") + q + ": status code 410"},
      {"feed that does not parse", server.url("/bad"), "osx",
       "invalid type: string \"1\", expected u64 at line 1 column 20"},
      {"empty body", server.url("/empty"), "osx", "The document is empty. at line 1 column 1"},
      {"base that is no URL", "", "osx", "relative URL without a base"},
      {"base with an invalid port", "http://127.0.0.1:99999/feeds", "osx", "invalid port number"},
      {"refused connection", dead_url, "osx", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    HttpSource source(c.base);
    testing::RecordingSleeper waits;
    source.retry_sleep = std::ref(waits);
    const auto feed = source.fetch_release_feed(c.channel, manifest("MyApp", "1.2.3"));
    ASSERT_FALSE(feed);
    if (c.message.empty())
      EXPECT_FALSE(feed.error().message.empty());
    else
      EXPECT_EQ(feed.error().message, c.message);
  }
}

// A feed request that fails for a passing reason is made again, three times in all.
TEST(HttpSourceTest, TriesTheFeedAgainAfterPassingFailures) {
  struct Case {
    const char* label;
    std::vector<std::string> answers;  // one a request, the last repeating
    std::vector<long> waits;
    std::string error;  // empty: the feed is read
  };
  const std::string unavailable =
      "HTTP/1.1 503 Busy\r\nRetry-After: 3\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  const std::string bad_gateway =
      "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  const std::string cut =
      "HTTP/1.1 200 OK\r\nContent-Length: 500\r\nConnection: close\r\n\r\n{\"Assets\":[";
  const std::string not_found =
      "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  const Case cases[] = {
      {"unavailable, then read", {unavailable, ok_response(kFeed)}, {3000}, ""},
      {"cut short twice, then read", {cut, cut, ok_response(kFeed)}, {1000, 2000}, ""},
      {"a bad gateway every time",
       {bad_gateway},
       {1000, 2000},
       "status code 502 (after 3 attempts)"},
      {"not found", {not_found}, {}, "status code 404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::atomic<size_t> turn{0};
    RawHttpServer server(
        [&](RawConnection& conn) { conn.send(c.answers[std::min(turn++, c.answers.size() - 1)]); });
    HttpSource source(server.url("/feeds"));
    testing::RecordingSleeper waits;
    source.retry_sleep = std::ref(waits);
    CapturedLog log(log::Level::Warn);
    const auto feed = source.fetch_release_feed("osx", manifest("MyApp", "1.2.3"));
    EXPECT_EQ(waits.waits, c.waits);
    EXPECT_EQ(log.messages().size(), c.waits.size());
    if (c.error.empty()) {
      ASSERT_TRUE(feed) << feed.error().message;
      EXPECT_EQ(feed->Assets.size(), 1u);
    } else {
      ASSERT_FALSE(feed);
      EXPECT_TRUE(feed.error().message.ends_with(c.error)) << feed.error().message;
    }
    if (!log.messages().empty()) {
      EXPECT_TRUE(
          log.messages()[0].starts_with("Feed request attempt 1 of 3 failed, trying again in "))
          << log.messages()[0];
    }
  }
}

TEST(HttpSourceTest, ReadsBodiesOfUpToTenMebibytes) {
  // A valid feed padded with trailing whitespace to the size wanted.
  const auto padded = [](size_t size) {
    std::string body = kFeed;
    body.resize(size, ' ');
    return body;
  };
  const std::string at_cap = padded(10'485'760);
  const std::string past_cap = padded(10'485'761);
  const HttplibServer server([&](httplib::Server& s) {
    s.Get("/at/releases.osx.json", [&](const httplib::Request&, httplib::Response& res) {
      res.set_content(at_cap, "application/json");
    });
    s.Get("/past/releases.osx.json", [&](const httplib::Request&, httplib::Response& res) {
      res.set_content(past_cap, "application/json");
    });
  });
  const auto at =
      HttpSource(server.url("/at")).fetch_release_feed("osx", manifest("MyApp", "1.2.3"));
  ASSERT_TRUE(at) << at.error().message;
  EXPECT_EQ(at->Assets.size(), 1u);
  const auto past =
      HttpSource(server.url("/past")).fetch_release_feed("osx", manifest("MyApp", "1.2.3"));
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().message, "response too big for into_string");
}

// The one difference between the kinds a user can see: over HTTP, bytes that are not
// UTF-8 are replaced; from a folder, the feed is refused.
TEST(HttpSourceTest, ReplacesInvalidUtf8WhereAFolderRefusesIt) {
  struct Case {
    const char* label;
    std::string notes;     // as sent
    std::string replaced;  // as read over HTTP
  };
  // Long enough to arrive in many pieces, with sequences of every length (and cut ones)
  // at every offset, so that the ends of the pieces fall inside them.
  std::string valid_text, mixed_text;
  for (int i = 0; valid_text.size() < 600'000; ++i) {
    const std::string run = std::string(i % 7, 'a') + "\xC3\xA9\xE2\x9C\x93\xF0\x9F\x98\x80";
    valid_text += run;
    mixed_text += run + "\xE9" + "\xF0\x9F";
  }
  const Case cases[] = {
      {"long valid text", valid_text, valid_text},
      {"long text with invalid sequences", mixed_text, lossy_utf8(mixed_text)},
      {"Latin-1 byte", "caf\xE9", "caf\xEF\xBF\xBD"},
      {"overlong slash",
       "a\xC0\xAF"
       "b",
       "a\xEF\xBF\xBD\xEF\xBF\xBD"
       "b"},
      {"surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"valid text stays", "caf\xC3\xA9", "caf\xC3\xA9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string body =
        "{\"Assets\":[{\"Version\":\"1.0.0\",\"NotesHtml\":\"" + c.notes + "\"}]}";
    RawHttpServer server([&](RawConnection& conn) { conn.send(ok_response(body)); });
    const auto feed =
        HttpSource(server.url("/f")).fetch_release_feed("osx", manifest("MyApp", "1.2.3"));
    ASSERT_TRUE(feed) << feed.error().message;
    ASSERT_EQ(feed->Assets.size(), 1u);
    EXPECT_EQ(feed->Assets[0].NotesHtml, c.replaced);

    TempDir dir;
    testing::write_file(dir / "releases.osx.json", body);
    const auto from_folder = FileSource(dir.path()).fetch_release_feed("osx", Manifest{});
    if (c.notes == c.replaced) {
      ASSERT_TRUE(from_folder) << from_folder.error().message;
      EXPECT_EQ(from_folder->Assets[0].NotesHtml, c.replaced);
    } else {
      ASSERT_FALSE(from_folder);
      EXPECT_EQ(from_folder.error().message, "stream did not contain valid UTF-8");
    }
  }
}

}  // namespace
}  // namespace norvane
