// The check subcommand end to end over HTTP: the built program run from a fake bundle
// against a feed server on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "bundle.h"
#include "http_test_server.h"

namespace ntolvex::testing {
namespace {

using norvane::testing::HttplibServer;

constexpr const char* kFeed =
    R"({"Assets":[{"PackageId":"Sample","Version":"1.0.0","Type":"Full","FileName":"Sample-1.0.0.nupkg","SHA1":"aa","Size":1},)"
    R"({"PackageId":"Sample","Version":"2.0.0","Type":"Full","FileName":"Sample-2.0.0.nupkg","SHA1":"bb","Size":2,"NotesMarkdown":"caf)"
    "\xE9"  // not UTF-8: replaced over HTTP
    R"("}]})";

constexpr const char* kOffered =
    R"({"TargetFullRelease":{"PackageId":"Sample","Version":"2.0.0","Type":"Full","FileName":"Sample-2.0.0.nupkg",)"
    R"("SHA1":"bb","Size":2,"NotesMarkdown":"caf)"
    "\xEF\xBF\xBD"
    R"(","NotesHtml":""},"IsDowngrade":false})"
    "\n";

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class FeedServer {
 public:
  FeedServer()
      : server_([this](httplib::Server& s) {
          s.Get(R"(/feeds/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            targets_.push_back(req.target);
            const std::string name = req.matches[1];
            if (name == "releases.osx.json" || name == "releases.beta.json")
              res.set_content(kFeed, "application/json");
            else if (name == "releases.broken.json")
              res.set_content(R"({"Assets":[{"Version":"1.0.0"})", "application/json");
            else if (name == "releases.empty.json")
              res.set_content(R"({"Assets":[]})", "application/json");
            else
              res.status = 404;
          });
        }) {}
  std::string url(const std::string& path) const { return server_.url(path); }
  std::vector<std::string> targets() const {
    std::lock_guard lock(mutex_);
    return targets_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
  HttplibServer server_;  // last: stopped first
};

TEST(CheckHttpTest, PrintsTheOfferedReleaseFromAFeedServer) {
  FeedServer server;
  struct Case {
    const char* label;
    std::vector<std::string> args;  // after check
    std::string target;             // the request the server saw
  };
  const std::string q = "?localVersion=1.2.3&id=Sample";
  const Case cases[] = {
      {"base folder", {"--url", server.url("/feeds")}, "/feeds/releases.osx.json" + q},
      {"base with slashes", {"--url", server.url("/feeds//")}, "/feeds/releases.osx.json" + q},
      {"upper-case scheme",
       {"--url", "HTTP://127.0.0.1:" + server.url("").substr(17) + "/feeds"},
       "/feeds/releases.osx.json" + q},
      {"channel",
       {"--url", server.url("/feeds"), "--channel", "beta"},
       "/feeds/releases.beta.json" + q},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeBundle bundle;
    std::vector<std::string> args = {"check"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const size_t before = server.targets().size();
    const RunResult r = bundle.run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, kOffered);
    const auto targets = server.targets();
    ASSERT_EQ(targets.size(), before + 1);
    EXPECT_EQ(targets.back(), c.target);
    EXPECT_TRUE(has_line(bundle.log_lines(), "[INFO] Downloading releases for channel " +
                                                 std::string(c.args.size() > 2 ? "beta" : "osx") +
                                                 " from: " + server.url(c.target)))
        << bundle.log();
  }
}

TEST(CheckHttpTest, FailuresPrintNothingOnStandardOutput) {
  FeedServer server;
  struct Case {
    const char* label;
    std::string channel;
    std::string message;
  };
  const std::string q = "?localVersion=1.2.3&id=Sample";
  const Case cases[] = {
      {"malformed feed", "broken",
       "Missing a comma or ']' after an array element. at line 1 column 31"},
      {"zero assets", "empty", "Zero assets found in releases feed."},
      {"channel not published", "stable",
       server.url("/feeds/releases.stable.json") + q + ": status code 404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeBundle bundle;
    const RunResult r =
        bundle.run({"check", "--url", server.url("/feeds"), "--channel", c.channel});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: Check error: " + c.message + "\n");
    EXPECT_EQ(bundle.log_lines().back(), "[ERROR] Check error: " + c.message);
  }
}

}  // namespace
}  // namespace ntolvex::testing
