#include <norvane/manifest.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace norvane {
namespace {

using testing::CapturedLog;

const char* kMissingId = "Missing 'id' in package manifest. Please contact the application author.";
const char* kMissingVersion =
    "Missing 'version' in package manifest. Please contact the application author.";

std::string doc(const std::string& metadata) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package><metadata>" + metadata +
         "</metadata></package>";
}

struct Accepted {
  const char* name;
  std::string text;
  std::string id, version, title, channel, description;
  bool logs_error;
};

TEST(ManifestTest, AcceptedDocuments) {
  const Accepted cases[] = {
      {"plain", doc("<id>Sample</id><version>1.2.3</version><channel>osx</channel>"), "Sample",
       "1.2.3", "Sample", "osx", "", false},
      {"title kept, no channel", doc("<id>A</id><version>1.0.0</version><title>Nice</title>"), "A",
       "1.0.0", "Nice", "", "", false},
      {"pre-release of 0.0.0", doc("<id>A</id><version>0.0.0-beta</version>"), "A", "0.0.0-beta",
       "A", "", "", false},
      {"build of 0.0.0", doc("<id>A</id><version>0.0.0+5</version>"), "A", "0.0.0+5", "A", "", "",
       false},
      {"later id wins", doc("<id>First</id><id>Second</id><version>1.0.0</version>"), "Second",
       "1.0.0", "Second", "", "", false},
      {"blanks around the id are kept", doc("<id>\n  Spaced \n</id><version>1.0.0</version>"),
       "\n  Spaced \n", "1.0.0", "\n  Spaced \n", "", "", false},
      {"any depth, any parent", "<a><b><c><id>Deep</id></c></b><version>2.0.0</version></a>",
       "Deep", "2.0.0", "Deep", "", "", false},
      {"entities resolved",
       doc("<id>A</id><version>1.0.0</version><title>A &amp; B &#x263A;</title>"), "A", "1.0.0",
       "A & B \xe2\x98\xba", "", "", false},
      {"declared entity",
       "<!DOCTYPE p [<!ENTITY who \"World\">]><p><id>Hello &who;!</id><version>1.0.0</version></p>",
       "Hello World!", "1.0.0", "Hello World!", "", "", false},
      {"declared namespace prefix",
       "<p xmlns:n=\"urn:x\"><n:id>Ns</n:id><n:version>3.0.0</n:version></p>", "Ns", "3.0.0", "Ns",
       "", "", false},
      {"byte-order mark", "\xef\xbb\xbf" + doc("<id>Bom</id><version>1.0.0</version>"), "Bom",
       "1.0.0", "Bom", "", "", false},
      {"only CDATA stays empty",
       doc("<id>A</id><version>1.0.0</version><description><![CDATA[raw]]></description>"), "A",
       "1.0.0", "A", "", "", false},
      {"text after CDATA wins",
       doc("<id>A</id><version>1.0.0</version><description>one<![CDATA[two]]>three</description>"),
       "A", "1.0.0", "A", "", "three", false},
      {"text around a child: the last text",
       doc("<id>A</id><version>1.0.0</version><title>first<b>bold</b>second</title>"), "A", "1.0.0",
       "second", "", "", false},
      {"child of description counts for itself",
       doc("<id>A</id><version>1.0.0</version><description>d<channel>beta</channel></description>"),
       "A", "1.0.0", "A", "beta", "d", false},
      {"comments skipped", doc("<id>A<!-- x --></id><version>1.0.0</version>"), "A", "1.0.0", "A",
       "", "", false},
      {"two roots accepted", "<a><id>A</id></a>\n<b><version>1.0.0</version></b><c/>", "A", "1.0.0",
       "A", "", "", false},
      {"truncated after the fields",
       "<package><metadata><id>Cut</id><version>1.0.0</version><description>half", "Cut", "1.0.0",
       "Cut", "", "", true},
      {"element names are case-sensitive",
       doc("<id>A</id><version>1.0.0</version><Channel>no</Channel>"), "A", "1.0.0", "A", "", "",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog log;
    auto m = parse_manifest(c.text);
    ASSERT_TRUE(m) << m.error().message;
    EXPECT_EQ(m->id, c.id);
    EXPECT_EQ(m->version.to_string(), c.version);
    EXPECT_EQ(m->title, c.title);
    EXPECT_EQ(m->channel, c.channel);
    EXPECT_EQ(m->description, c.description);
    const auto records = log.records();
    if (c.logs_error) {
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(records[0].level, log::Level::Error);
      EXPECT_EQ(records[0].target, "norvane::manifest");
      EXPECT_EQ(records[0].message.rfind("Error: ", 0), 0u) << records[0].message;
      EXPECT_EQ(records[0].message.find('\n'), std::string::npos);
    } else {
      EXPECT_TRUE(records.empty()) << records[0].message;
    }
  }
}

TEST(ManifestTest, ReadsEveryField) {
  auto m = parse_manifest(
      doc("<id>A</id><version>1.0.0</version><title>T</title><authors>Au</authors>"
          "<description>D</description><machineArchitecture>x64</machineArchitecture>"
          "<runtimeDependencies>R</runtimeDependencies><mainExe>M</mainExe><os>osx</os>"
          "<osMinVersion>10.15</osMinVersion><channel>C</channel>"));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->title, "T");
  EXPECT_EQ(m->authors, "Au");
  EXPECT_EQ(m->description, "D");
  EXPECT_EQ(m->machine_architecture, "x64");
  EXPECT_EQ(m->runtime_dependencies, "R");
  EXPECT_EQ(m->main_exe, "M");
  EXPECT_EQ(m->os, "osx");
  EXPECT_EQ(m->os_min_version, "10.15");
  EXPECT_EQ(m->channel, "C");
}

struct Rejected {
  const char* name;
  std::string text;
  std::string message;  // exact, or a prefix ending in '*'
  bool logs_error;
};

TEST(ManifestTest, RejectedDocuments) {
  const Rejected cases[] = {
      {"empty text", "", kMissingId, true},
      {"no id", doc("<version>1.0.0</version>"), kMissingId, false},
      {"no version", doc("<id>A</id>"), kMissingVersion, false},
      {"both missing: id first", doc("<title>T</title>"), kMissingId, false},
      {"version 0.0.0 counts as missing", doc("<id>A</id><version>0.0.0</version>"),
       kMissingVersion, false},
      {"whitespace-only id", doc("<id>  \n </id><version>1.0.0</version>"), kMissingId, false},
      {"id only as an attribute", doc("<id value=\"A\"/><version>1.0.0</version>"), kMissingId,
       false},
      {"version over several lines", doc("<id>A</id><version>\n  1.0.0\n</version>"),
       "invalid semantic version*", false},
      {"version with a v", doc("<id>A</id><version>v1.0.0</version>"), "invalid semantic version*",
       false},
      {"first of two versions invalid",
       doc("<id>A</id><version>1.2</version><version>1.0.0</version>"), "invalid semantic version*",
       false},
      {"invalid version wins over a later XML error",
       "<p><id>A</id><version>1.2</version><oops></p>", "invalid semantic version*", false},
      {"undeclared entity stops reading", doc("<id>&nope;</id><version>1.0.0</version>"),
       kMissingId, true},
      {"undeclared prefix stops reading", doc("<x:id>A</x:id><version>1.0.0</version>"), kMissingId,
       true},
      {"undeclared prefix before the version",
       doc("<id>A</id><x:note>n</x:note><version>1.0.0</version>"), kMissingVersion, true},
      {"undeclared attribute prefix before the version",
       doc("<id>A</id><note x:kind=\"k\"/><version>1.0.0</version>"), kMissingVersion, true},
      {"cut before the version", "<package><metadata><id>A</id><vers", kMissingVersion, true},
      {"not XML", "just text", kMissingId, true},
      // Handed the whole text at once, the parser overlooks the text between the two and
      // reads the internal subset after all; a byte at a time it does not.
      {"internal subset after the doctype's end",
       "<!DOCTYPE p>[<!ENTITY w \"World\">]><p><id>Hello &w;</id><version>1.0.0</version></p>",
       kMissingId, true},
      {"UTF-16", std::string("\xff\xfe<\0p\0>\0", 8), kMissingId, true},
      {"external entity is not loaded",
       "<!DOCTYPE p [<!ENTITY x SYSTEM \"file:///etc/hostname\">]><p><id>&x;</id>"
       "<version>1.0.0</version></p>",
       kMissingId, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog log;
    auto m = parse_manifest(c.text);
    ASSERT_FALSE(m) << m->id;
    if (c.message.back() == '*') {
      EXPECT_EQ(m.error().message.rfind(c.message.substr(0, c.message.size() - 1), 0), 0u)
          << m.error().message;
    } else {
      EXPECT_EQ(m.error().message, c.message);
    }
    const auto records = log.records();
    EXPECT_EQ(records.size(), c.logs_error ? 1u : 0u);
    for (const auto& r : records) {
      EXPECT_EQ(r.level, log::Level::Error);
      EXPECT_EQ(r.target, "norvane::manifest");
      EXPECT_EQ(r.message.rfind("Error: ", 0), 0u);
    }
  }
}

TEST(ManifestTest, EntityExpansionIsBounded) {
  std::string text = "<!DOCTYPE p [<!ENTITY a \"aaaaaaaaaa\">";
  const char* prev = "a";
  const char* names[] = {"b", "c", "d", "e", "f", "g", "h", "i", "j"};
  for (const char* n : names) {
    text += std::string("<!ENTITY ") + n + " \"";
    for (int i = 0; i < 10; ++i) text += std::string("&") + prev + ";";
    text += "\">";
    prev = n;
  }
  text += "]><p><id>A</id><version>1.0.0</version><title>&j;</title></p>";
  CapturedLog log;
  auto m = parse_manifest(text);  // must end quickly, with or without the title
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, "A");
  EXPECT_LT(m->title.size(), 100000000u);
}

}  // namespace
}  // namespace norvane
