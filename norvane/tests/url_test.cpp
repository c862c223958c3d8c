// The URL parser against the Web Platform Tests data (testdata/url/, see its README),
// then what the project itself relies on: is_http_url, resolving a feed name against
// a base URL, the search setter and the error messages.
#include <norvane/url.h>

#include <norvane/util.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;

const fs::path kDataDir = fs::path(NORVANE_TESTDATA_DIR) / "url";

std::string str(const rapidjson::Value& v) {
  return std::string(v.GetString(), v.GetStringLength());
}

rapidjson::Document load(const char* name) {
  const std::string text = testing::read_file(kDataDir / name);
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  if (doc.HasParseError())
    ADD_FAILURE() << name << ": JSON parse error at " << doc.GetErrorOffset();
  return doc;
}

// Cases of urltestdata.json that this parser is known not to pass, with the reason.
// Keep it small; every entry is a case the report names.
struct KnownException {
  std::string_view input;
  std::string_view base;  // "" for none
  std::string_view reason;
};
// None at present: with ICU's UTS #46 (ICU 72, Unicode 15) every case passes.
constexpr std::array<KnownException, 0> kKnownExceptions{};

bool is_known_exception(const std::string& input, const std::optional<std::string>& base) {
  for (const auto& k : kKnownExceptions) {
    if (k.input == input && k.base == base.value_or("")) return true;
  }
  return false;
}

using Getter = std::string (Url::*)() const;
struct Field {
  const char* name;
  Getter get;
};
constexpr Field kFields[] = {
    {"href", &Url::href},         {"protocol", &Url::protocol}, {"username", &Url::username},
    {"password", &Url::password}, {"host", &Url::host},         {"hostname", &Url::hostname},
    {"port", &Url::port},         {"pathname", &Url::pathname}, {"search", &Url::search},
    {"hash", &Url::hash},
};

// Adds "field: got X, want Y" lines for every field of `expected` that `url` gets wrong.
void compare_fields(const Url& url, const rapidjson::Value& expected, std::string& problems) {
  for (const auto& f : kFields) {
    if (!expected.HasMember(f.name)) continue;
    const std::string want = str(expected[f.name]);
    const std::string got = (url.*f.get)();
    if (got != want) {
      problems += std::string("\n    ") + f.name + ": got " + debug_string(got) + ", want " +
                  debug_string(want);
    }
  }
}

TEST(UrlConformance, UrlTestData) {
  const rapidjson::Document doc = load("urltestdata.json");
  ASSERT_TRUE(doc.IsArray());
  std::vector<std::string> mismatches;
  size_t cases = 0, passed = 0, skipped = 0;
  for (const auto& item : doc.GetArray()) {
    if (item.IsString()) continue;  // comments
    ++cases;
    const std::string input = str(item["input"]);
    std::optional<std::string> base;
    if (item.HasMember("base") && item["base"].IsString()) base = str(item["base"]);
    const std::string label =
        "input " + debug_string(input) + " base " + (base ? debug_string(*base) : "null");
    if (is_known_exception(input, base)) {
      ++skipped;
      continue;
    }
    std::optional<Url> base_url;
    if (base) {
      auto parsed_base = Url::parse(*base);
      if (!parsed_base) {
        mismatches.push_back(label + "\n    the base failed: " + parsed_base.error().message);
        continue;
      }
      base_url = *parsed_base;
    }
    const auto url = Url::parse(input, base_url ? &*base_url : nullptr);
    const bool want_failure = item.HasMember("failure") && item["failure"].GetBool();
    std::string problems;
    if (want_failure) {
      if (url) problems = "\n    expected failure, got " + debug_string(url->href());
    } else if (!url) {
      problems = "\n    unexpected failure: " + url.error().message;
    } else {
      compare_fields(*url, item, problems);
    }
    if (!url && url.error().message.find('\n') != std::string::npos)
      problems += "\n    the error message is not one line";
    if (problems.empty()) {
      ++passed;
    } else {
      mismatches.push_back(label + problems);
    }
  }
  std::string report;
  for (const auto& m : mismatches) report += m + "\n";
  EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " of " << cases
                                  << " cases of urltestdata.json fail:\n"
                                  << report;
  EXPECT_EQ(skipped, kKnownExceptions.size()) << "a known exception matches no case";
  std::printf("urltestdata.json: %zu cases, %zu passed, %zu known exceptions\n", cases, passed,
              skipped);
}

TEST(UrlConformance, SettersSearch) {
  const rapidjson::Document doc = load("setters_tests.json");
  ASSERT_TRUE(doc.IsObject() && doc.HasMember("search"));
  std::vector<std::string> mismatches;
  size_t cases = 0;
  for (const auto& item : doc["search"].GetArray()) {
    if (item.IsString()) continue;
    ++cases;
    const std::string href = str(item["href"]);
    const std::string value = str(item["new_value"]);
    const std::string label = "href " + debug_string(href) + " new_value " + debug_string(value);
    auto url = Url::parse(href);
    if (!url) {
      mismatches.push_back(label + "\n    the href failed: " + url.error().message);
      continue;
    }
    url->set_search(value);
    std::string problems;
    compare_fields(*url, item["expected"], problems);
    // The result must read back as itself.
    const auto again = Url::parse(url->href());
    if (!again || again->href() != url->href())
      problems += "\n    the new href does not parse back";
    if (!problems.empty()) mismatches.push_back(label + problems);
  }
  std::string report;
  for (const auto& m : mismatches) report += m + "\n";
  EXPECT_GT(cases, 10u);
  EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " of " << cases
                                  << " search setter cases fail:\n"
                                  << report;
}

// Every href of the conformance data parses back to itself (serialization is
// idempotent), and parsing it again with its own base gives the same URL.
TEST(UrlConformance, HrefsParseBackToThemselves) {
  const rapidjson::Document doc = load("urltestdata.json");
  std::vector<std::string> mismatches;
  for (const auto& item : doc.GetArray()) {
    if (item.IsString() || !item.HasMember("href")) continue;
    const std::string href = str(item["href"]);
    const auto url = Url::parse(href);
    if (!url) {
      mismatches.push_back(debug_string(href) + ": " + url.error().message);
    } else if (url->href() != href) {
      mismatches.push_back(debug_string(href) + " became " + debug_string(url->href()));
    }
  }
  std::string report;
  for (const auto& m : mismatches) report += m + "\n";
  EXPECT_TRUE(mismatches.empty()) << report;
}

TEST(IsHttpUrl, Table) {
  struct Case {
    const char* text;
    bool want;
  } cases[] = {
      {"http://example.com/", true},
      {"https://example.com/releases/", true},
      {"HTTPS://EXAMPLE.COM/x", true},
      {"HtTp://example.com", true},
      {"  https://example.com/  ", true},
      {"http://127.0.0.1:8080/feed", true},
      {"http://[::1]/", true},
      {"file:///tmp/x", false},
      {"FILE:///tmp/x", false},
      {"/tmp/x", false},
      {"tmp/x", false},
      {"./releases", false},
      {"C:\\updates", false},
      {"", false},
      {"   ", false},
      {"ftp://x", false},
      {"ws://x", false},
      {"mailto:someone@example.com", false},
      {"http://", false},
      {"http://exa mple.com/", false},
      {"https://[::1/", false},
      {"httpx://example.com/", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_http_url(c.text), c.want) << c.text;
}

Url parse_ok(std::string_view text, const Url* base = nullptr) {
  auto url = Url::parse(text, base);
  EXPECT_TRUE(url) << text << ": " << (url ? "" : url.error().message);
  return url ? *url : *Url::parse("about:blank");
}

TEST(Url, ResolvesAFeedNameAgainstABase) {
  const Url dir = parse_ok("http://h/dir/");
  EXPECT_EQ(parse_ok("releases.osx.json", &dir).href(), "http://h/dir/releases.osx.json");
  // The last segment of the base path is replaced; its query goes away.
  const Url with_query = parse_ok("http://h/dir?x=1/");
  EXPECT_EQ(with_query.pathname(), "/dir");
  EXPECT_EQ(with_query.search(), "?x=1/");
  EXPECT_EQ(parse_ok("releases.osx.json", &with_query).href(), "http://h/releases.osx.json");
  const Url typical = parse_ok("https://updates.example.com/releases/osx/");
  EXPECT_EQ(parse_ok("releases.beta.json", &typical).href(),
            "https://updates.example.com/releases/osx/releases.beta.json");
  const Url no_slash = parse_ok("https://updates.example.com/releases/osx");
  EXPECT_EQ(parse_ok("releases.beta.json", &no_slash).href(),
            "https://updates.example.com/releases/releases.beta.json");
}

TEST(Url, ParsesATypicalUpdateUrl) {
  const Url url = parse_ok("https://User:Pw@Updates.Example.COM:8443/releases/osx/?a=1#top");
  EXPECT_EQ(url.href(), "https://User:Pw@updates.example.com:8443/releases/osx/?a=1#top");
  EXPECT_EQ(url.protocol(), "https:");
  EXPECT_EQ(url.username(), "User");
  EXPECT_EQ(url.password(), "Pw");
  EXPECT_EQ(url.host(), "updates.example.com:8443");
  EXPECT_EQ(url.hostname(), "updates.example.com");
  EXPECT_EQ(url.port(), "8443");
  EXPECT_EQ(url.port_number(), 8443);
  EXPECT_EQ(url.pathname(), "/releases/osx/");
  EXPECT_EQ(url.search(), "?a=1");
  EXPECT_EQ(url.hash(), "#top");
  EXPECT_EQ(parse_ok("http://h:80/").href(), "http://h/");
  EXPECT_EQ(parse_ok("http://h:80/").port_number(), -1);
}

TEST(Url, SetSearchEncodesSpacesAndKeepsAmpersands) {
  Url url = parse_ok("https://updates.example.com/releases/releases.osx.json");
  url.set_search("localVersion=1.2.3&id=My App");
  EXPECT_EQ(url.search(), "?localVersion=1.2.3&id=My%20App");
  EXPECT_EQ(
      url.href(),
      "https://updates.example.com/releases/releases.osx.json?localVersion=1.2.3&id=My%20App");
  // The setter escapes nothing that separates parameters: an id with "&" stays as it is.
  url.set_search("localVersion=1.2.3&id=Tom&Jerry");
  EXPECT_EQ(url.search(), "?localVersion=1.2.3&id=Tom&Jerry");
  // The special-query set: "'" is encoded for http(s), not for other schemes.
  url.set_search("id='x'");
  EXPECT_EQ(url.search(), "?id=%27x%27");
  Url other = parse_ok("sc://h/p");
  other.set_search("id='x'");
  EXPECT_EQ(other.search(), "?id='x'");
  // An earlier query is replaced; an empty value removes it.
  url.set_search("");
  EXPECT_EQ(url.href(), "https://updates.example.com/releases/releases.osx.json");
  EXPECT_EQ(url.search(), "");
}

TEST(Url, SetSearchKeepsTheFragment) {
  Url url = parse_ok("https://h/feed.json?old=1#frag");
  url.set_search("localVersion=1.0.0&id=app");
  EXPECT_EQ(url.href(), "https://h/feed.json?localVersion=1.0.0&id=app#frag");
  EXPECT_EQ(url.hash(), "#frag");
  EXPECT_EQ(url.pathname(), "/feed.json");
  url.set_search("?a\tb\n#c");
  EXPECT_EQ(url.href(), "https://h/feed.json?ab%23c#frag");
  url.set_search("");
  EXPECT_EQ(url.href(), "https://h/feed.json#frag");
  EXPECT_EQ(url.hash(), "#frag");
  url.set_search("x=\xff");  // invalid UTF-8 becomes U+FFFD
  EXPECT_EQ(url.href(), "https://h/feed.json?x=%EF%BF%BD#frag");
}

TEST(Url, ErrorMessagesNameTheProblemOnOneLine) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"releases.osx.json", "relative URL without a base"},
      {"", "relative URL without a base"},
      {"http://exa mple.com/", "invalid host"},
      {"http://ex\xff.com/", "invalid host"},
      {"http://[::1/", "invalid IPv6 address"},
      {"http://[1:2:3]/", "invalid IPv6 address"},
      {"http://1.2.3.256/", "invalid IPv4 address"},
      {"http://h:99999/", "invalid port number"},
      {"http://h:8x/", "invalid port number"},
      {"http://user@/", "missing host"},
      {"http:///", "missing host"},
  };
  for (const auto& c : cases) {
    const auto url = Url::parse(c.text);
    ASSERT_FALSE(url) << c.text;
    EXPECT_EQ(url.error().message, c.message) << c.text;
    EXPECT_EQ(url.error().message.find('\n'), std::string::npos);
  }
}

TEST(Url, InvalidUtf8IsReadAsReplacementCharacters) {
  EXPECT_EQ(parse_ok("https://x/\xff\xfe?\xc3#\xe2\x82").href(),
            "https://x/%EF%BF%BD%EF%BF%BD?%EF%BF%BD#%EF%BF%BD");
  EXPECT_EQ(parse_ok("sc://\xc0\xaf/").host(), "%EF%BF%BD%EF%BF%BD");
  EXPECT_FALSE(
      Url::parse("https://\xed\xa0\x80/"));  // an encoded surrogate is U+FFFD: not a domain
  EXPECT_FALSE(Url::parse("https://%ff/"));
}

TEST(Url, InternationalDomainNames) {
  EXPECT_EQ(parse_ok("https://B\xc3\xbc"
                     "cher.example/")
                .hostname(),
            "xn--bcher-kva.example");
  EXPECT_EQ(parse_ok("https://xn--a.example/").hostname(), "xn--a.example");
  EXPECT_EQ(parse_ok("https://XN--A.example/").hostname(), "xn--a.example");
  // An ASCII "xn--" label next to a non-ASCII one is kept as it is too.
  EXPECT_EQ(parse_ok("https://xn--a.b\xc3\xbc"
                     "cher/")
                .hostname(),
            "xn--a.xn--bcher-kva");
  EXPECT_EQ(parse_ok("https://\xe2\x98\x83.XN--n3h/").hostname(), "xn--n3h.xn--n3h");
  EXPECT_FALSE(Url::parse("https://a\xe3\x80\x82%/"));  // U+3002 is a dot; "%" is forbidden
}

TEST(Url, LongInputs) {
  std::string dots;
  for (int i = 0; i < 20000; ++i) dots += "a/../";
  EXPECT_EQ(parse_ok("http://h/" + dots + "x").href(), "http://h/x");
  const std::string ascii_host(200000, 'a');
  EXPECT_EQ(parse_ok("http://" + ascii_host + "/").hostname(), ascii_host);
  // A non-ASCII domain longer than 64 KiB is refused instead of keeping ICU busy.
  std::string idn;
  for (int i = 0; i < 30000; ++i) idn += "\xc3\xbc.";
  const auto url = Url::parse("http://" + idn + "x/");
  ASSERT_FALSE(url);
  EXPECT_EQ(url.error().message, "invalid host");
}

}  // namespace
}  // namespace norvane
