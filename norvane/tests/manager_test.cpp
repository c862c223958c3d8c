#include <norvane/manager.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace norvane {
namespace {

using testing::make_asset;

using norvane::testing::CapturedLog;

// ---------------------------------------------------------------------------------
// Writing the update.

TEST(AssetJsonTest, WritesUpdateInfo) {
  const NorvaneAsset asset = make_asset("A", "2.0.0", "Full", "a.nupkg", "s", 3, "m", "h");
  const std::string asset_json = to_json(asset);
  EXPECT_EQ(to_json(UpdateInfo{asset, false}),
            "{\"TargetFullRelease\":" + asset_json + ",\"IsDowngrade\":false}");
  EXPECT_EQ(to_json(UpdateInfo{asset, true}),
            "{\"TargetFullRelease\":" + asset_json + ",\"IsDowngrade\":true}");
  // One line, whatever the texts hold.
  EXPECT_EQ(to_json(UpdateInfo{make_asset("a\nb", "\r", "", "")}).find_first_of("\r\n"),
            std::string::npos);
}

// ---------------------------------------------------------------------------------
// The channel rule.

TEST(PracticalChannelTest, RequestedThenManifestThenOsx) {
  struct Case {
    const char* label;
    std::optional<std::string> requested;
    std::string manifest_channel;
    std::string expected;
  };
  const Case cases[] = {
      {"requested wins", "beta", "stable", "beta"},
      {"requested empty means osx, not the manifest's", "", "stable", "osx"},
      {"manifest channel", std::nullopt, "stable", "stable"},
      {"nothing gives osx", std::nullopt, "", "osx"},
      {"kept exactly", "Beta Channel", "", "Beta Channel"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Manifest manifest;
    manifest.channel = c.manifest_channel;
    EXPECT_EQ(practical_channel(UpdateSettings{c.requested, false}, manifest), c.expected);
  }
}

// ---------------------------------------------------------------------------------
// The manager over a source that serves a fixed feed.

struct FakeSource {
  Result<NorvaneAssetFeed> feed;
  std::shared_ptr<std::vector<std::string>> channels = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<std::vector<std::string>> ids = std::make_shared<std::vector<std::string>>();

  Result<NorvaneAssetFeed> fetch_release_feed(std::string_view channel,
                                              const Manifest& manifest) const {
    channels->emplace_back(channel);
    ids->push_back(manifest.id);
    return feed;
  }
  // Package downloads are tested with the sources themselves.
  Result<void> download_asset(const NorvaneAsset&, const std::filesystem::path&,
                              const ProgressCallback&) const {
    return fail("not a package source");
  }
};
static_assert(UpdateSource<FakeSource>);
static_assert(UpdateSource<FileSource>);
static_assert(UpdateSource<HttpSource>);

NorvaneLocator make_locator(const std::string& version, const std::string& channel) {
  NorvaneLocator locator;
  locator.manifest.id = "MyApp";
  auto parsed = parse_semver(version);
  EXPECT_TRUE(parsed) << version;
  if (parsed) locator.manifest.version = *parsed;
  locator.manifest.channel = channel;
  return locator;
}

NorvaneAssetFeed feed_of(std::vector<NorvaneAsset> assets) {
  NorvaneAssetFeed feed;
  feed.Assets = std::move(assets);
  return feed;
}

NorvaneAsset full(const std::string& version, const std::string& file = "") {
  return make_asset("MyApp", version, "Full",
                    file.empty() ? "MyApp-" + version + "-full.nupkg" : file);
}

TEST(UpdateManagerTest, PassesChannelAndManifestToTheSource) {
  FakeSource source{feed_of({full("1.0.0")})};
  UpdateManager<FakeSource> manager(source, make_locator("1.0.0", "stable"),
                                    UpdateSettings{"", true});
  EXPECT_EQ(manager.get_practical_channel(), "osx");
  auto feed = manager.get_release_feed();
  ASSERT_TRUE(feed);
  EXPECT_EQ(feed->Assets.size(), 1u);
  EXPECT_EQ(*source.channels, std::vector<std::string>{"osx"});
  EXPECT_EQ(*source.ids, std::vector<std::string>{"MyApp"});

  // Without settings: the manifest's channel, and no downgrade.
  UpdateManager<FakeSource> plain(FakeSource{feed_of({full("0.9.0")})},
                                  make_locator("1.0.0", "stable"));
  EXPECT_EQ(plain.get_practical_channel(), "stable");
  EXPECT_FALSE(plain.settings().allow_downgrade);
  EXPECT_FALSE(plain.settings().requested_channel.has_value());
  auto info = plain.get_update_info();
  ASSERT_TRUE(info) << info.error().message;
  EXPECT_FALSE(info->has_value());
}

TEST(UpdateManagerTest, SourceErrorsPassUnchanged) {
  FakeSource source{fail("No such file or directory (os error 2)")};
  UpdateManager<FakeSource> manager(source, make_locator("1.0.0", ""));
  auto feed = manager.get_release_feed();
  ASSERT_FALSE(feed);
  EXPECT_EQ(feed.error().message, "No such file or directory (os error 2)");
  auto info = manager.get_update_info();
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().message, "No such file or directory (os error 2)");
}

struct DecisionCase {
  const char* label;
  std::string local;
  std::string manifest_channel;
  std::optional<std::string> requested;
  bool downgrade;
  std::vector<NorvaneAsset> assets;
  // Expected: an error message, or the FileName offered and IsDowngrade, or nothing.
  std::string error;
  std::string offered;  // empty: nothing offered
  bool is_downgrade;
  std::string record;  // the info record of the decision; empty when failing
};

TEST(UpdateManagerTest, DecisionTable) {
  const DecisionCase cases[] = {
      {"newer",
       "1.2.3",
       "",
       std::nullopt,
       false,
       {full("1.2.4")},
       "",
       "MyApp-1.2.4-full.nupkg",
       false,
       "Found newer remote release available (1.2.3 -> 1.2.4)."},
      {"newer with downgrade allowed",
       "1.2.3",
       "",
       std::nullopt,
       true,
       {full("1.2.4")},
       "",
       "MyApp-1.2.4-full.nupkg",
       false,
       "Found newer remote release available (1.2.3 -> 1.2.4)."},
      {"older without downgrade",
       "2.0.0",
       "",
       std::nullopt,
       false,
       {full("1.0.0")},
       "",
       "",
       false,
       "No update available."},
      {"older with downgrade",
       "2.0.0",
       "",
       std::nullopt,
       true,
       {full("1.0.0")},
       "",
       "MyApp-1.0.0-full.nupkg",
       true,
       "Found older remote release available and downgrade is enabled (2.0.0 -> 1.0.0)."},
      {"pre-release below its release",
       "1.0.0",
       "",
       std::nullopt,
       false,
       {full("1.0.0-beta")},
       "",
       "",
       false,
       "No update available."},
      {"pre-release as a downgrade",
       "1.0.0",
       "",
       std::nullopt,
       true,
       {full("1.0.0-beta")},
       "",
       "MyApp-1.0.0-beta-full.nupkg",
       true,
       "Found older remote release available and downgrade is enabled (1.0.0 -> 1.0.0-beta)."},
      {"same version, other channel requested",
       "1.0.0",
       "stable",
       "beta",
       true,
       {full("1.0.0")},
       "",
       "MyApp-1.0.0-full.nupkg",
       true,
       "Latest remote release is the same version of a different channel, and downgrade is enabled "
       "(1.0.0 -> 1.0.0)."},
      {"same version, same channel requested",
       "1.0.0",
       "stable",
       "stable",
       true,
       {full("1.0.0")},
       "",
       "",
       false,
       "No update available."},
      {"same version, no channel anywhere: osx differs",
       "1.0.0",
       "",
       std::nullopt,
       true,
       {full("1.0.0")},
       "",
       "MyApp-1.0.0-full.nupkg",
       true,
       "Latest remote release is the same version of a different channel, and downgrade is enabled "
       "(1.0.0 -> 1.0.0)."},
      {"same version, manifest channel osx",
       "1.0.0",
       "osx",
       std::nullopt,
       true,
       {full("1.0.0")},
       "",
       "",
       false,
       "No update available."},
      {"same version, empty request reads osx",
       "1.0.0",
       "stable",
       "",
       true,
       {full("1.0.0")},
       "",
       "MyApp-1.0.0-full.nupkg",
       true,
       "Latest remote release is the same version of a different channel, and downgrade is enabled "
       "(1.0.0 -> 1.0.0)."},
      {"same version, other channel, no downgrade",
       "1.0.0",
       "stable",
       "beta",
       false,
       {full("1.0.0")},
       "",
       "",
       false,
       "No update available."},
      {"channel compared case-sensitively",
       "1.0.0",
       "Stable",
       "stable",
       true,
       {full("1.0.0")},
       "",
       "MyApp-1.0.0-full.nupkg",
       true,
       "Latest remote release is the same version of a different channel, and downgrade is enabled "
       "(1.0.0 -> 1.0.0)."},
      {"higher build metadata is newer",
       "1.0.0+build.1",
       "",
       std::nullopt,
       false,
       {full("1.0.0+build.2")},
       "",
       "MyApp-1.0.0+build.2-full.nupkg",
       false,
       "Found newer remote release available (1.0.0+build.1 -> 1.0.0+build.2)."},
      {"lower build metadata only as downgrade",
       "1.0.0+build.2",
       "",
       std::nullopt,
       false,
       {full("1.0.0+build.1")},
       "",
       "",
       false,
       "No update available."},
      {"lower build metadata with downgrade",
       "1.0.0+build.2",
       "beta",
       "beta",
       true,
       {full("1.0.0+build.1")},
       "",
       "MyApp-1.0.0+build.1-full.nupkg",
       true,
       "Found older remote release available and downgrade is enabled (1.0.0+build.2 -> "
       "1.0.0+build.1)."},
      {"zero assets",
       "1.0.0",
       "",
       std::nullopt,
       true,
       {},
       "Zero assets found in releases feed.",
       "",
       false,
       ""},
      {"no full release",
       "1.0.0",
       "",
       std::nullopt,
       true,
       {make_asset("MyApp", "2.0.0", "Delta", "d.nupkg"),
        make_asset("MyApp", "2.0.0", "Fullx", "e.nupkg"),
        make_asset("MyApp", "2.0.0", "", "f.nupkg")},
       "No valid full releases found in feed.",
       "",
       false,
       ""},
      {"only full release has no semantic version",
       "1.0.0",
       "",
       std::nullopt,
       true,
       {full("1.2")},
       "No valid full releases found in feed.",
       "",
       false,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CapturedLog log(log::Level::Info);
    FakeSource source{feed_of(c.assets)};
    UpdateManager<FakeSource> manager(source, make_locator(c.local, c.manifest_channel),
                                      UpdateSettings{c.requested, c.downgrade});
    auto info = manager.get_update_info();
    if (!c.error.empty()) {
      ASSERT_FALSE(info);
      EXPECT_EQ(info.error().message, c.error);
      EXPECT_TRUE(log.records().empty());
      continue;
    }
    ASSERT_TRUE(info) << info.error().message;
    if (c.offered.empty()) {
      EXPECT_FALSE(info->has_value());
    } else {
      ASSERT_TRUE(info->has_value());
      EXPECT_EQ((*info)->TargetFullRelease.FileName, c.offered);
      EXPECT_EQ((*info)->IsDowngrade, c.is_downgrade);
    }
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, log::Level::Info);
    EXPECT_EQ(records[0].target, "norvane::manager");
    EXPECT_EQ(records[0].message, c.record);
  }
}

struct ChoiceCase {
  const char* label;
  std::vector<NorvaneAsset> assets;
  const char* chosen;  // FileName; null: none
};

TEST(UpdateManagerTest, ChoosesTheHighestFullRelease) {
  const ChoiceCase cases[] = {
      {"highest wins, wherever it stands",
       {full("1.0.0"), full("3.0.0"), full("2.0.0")},
       "MyApp-3.0.0-full.nupkg"},
      {"first of equal versions stays",
       {full("2.0.0", "first.nupkg"), full("2.0.0", "second.nupkg"), full("1.0.0")},
       "first.nupkg"},
      {"build metadata breaks the tie",
       {full("1.0.0"), full("1.0.0+build.2")},
       "MyApp-1.0.0+build.2-full.nupkg"},
      {"numeric build identifiers by value",
       {full("1.0.0+10", "ten"), full("1.0.0+9", "nine")},
       "ten"},
      {"release above its pre-release",
       {full("1.0.0"), full("1.0.0-rc.1")},
       "MyApp-1.0.0-full.nupkg"},
      {"type in any ASCII case",
       {make_asset("MyApp", "1.0.0", "Full", "a"), make_asset("MyApp", "2.0.0", "FULL", "b"),
        make_asset("MyApp", "3.0.0", "full", "c"), make_asset("MyApp", "4.0.0", "fULl", "d")},
       "d"},
      {"non-full assets ignored, however high",
       {make_asset("MyApp", "9.0.0", "Delta", "delta"),
        make_asset("MyApp", "1.0.0", "Full", "full")},
       "full"},
      {"invalid versions skipped",
       {make_asset("MyApp", "v9.0.0", "Full", "v"), make_asset("MyApp", "9.0", "Full", "short"),
        make_asset("MyApp", " 9.0.0", "Full", "space"),
        make_asset("MyApp", "1.0.0", "Full", "valid")},
       "valid"},
      {"package id and file name do not filter",
       {make_asset("Other", "5.0.0", "Full", ""), make_asset("MyApp", "1.0.0", "Full", "mine")},
       ""},
      {"nothing full", {make_asset("MyApp", "1.0.0", "Delta", "d")}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const NorvaneAssetFeed feed = feed_of(c.assets);
    auto best = latest_full_release(feed);
    if (c.chosen == nullptr) {
      EXPECT_FALSE(best.has_value());
      continue;
    }
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->asset->FileName, c.chosen);
    EXPECT_EQ(best->version.to_string(), best->asset->Version);
  }
}

// The offered asset is printed as the feed wrote it, type and package id included.
TEST(UpdateManagerTest, OffersTheAssetUnchanged) {
  const NorvaneAsset asset =
      make_asset("SomethingElse", "2.0.0+b.1", "fUlL", "x.nupkg", "sha", 99, "md", "html");
  FakeSource source{feed_of({make_asset("MyApp", "3.0.0", "Delta", "d"), asset})};
  UpdateManager<FakeSource> manager(source, make_locator("1.0.0", ""));
  auto info = manager.get_update_info();
  ASSERT_TRUE(info) << info.error().message;
  ASSERT_TRUE(info->has_value());
  EXPECT_EQ((*info)->TargetFullRelease, asset);
  EXPECT_FALSE((*info)->IsDowngrade);
}

TEST(UpdateManagerTest, LogsTheScanAtDebugLevel) {
  CapturedLog log(log::Level::Trace);
  FakeSource source{
      feed_of({make_asset("MyApp", "beta", "Full", "skipped-quietly"), full("1.0.0+b"),
               make_asset("MyApp", "5.0.0", "Delta", "delta"), full("2.0.0")})};
  UpdateManager<FakeSource> manager(source, make_locator("1.0.0", ""));
  auto info = manager.get_update_info();
  ASSERT_TRUE(info) << info.error().message;
  std::vector<std::string> manager_records;
  for (const auto& r : log.records()) {
    if (r.target != "norvane::manager") continue;
    manager_records.push_back(std::string(log::level_name(r.level)) + " " + r.message);
  }
  const std::vector<std::string> expected = {
      "DEBUG Found full release: MyApp-1.0.0+b-full.nupkg (1.0.0+b).",
      "DEBUG Found full release: MyApp-2.0.0-full.nupkg (2.0.0).",
      "DEBUG Latest remote release: MyApp-2.0.0-full.nupkg (2.0.0).",
      "INFO Found newer remote release available (1.0.0 -> 2.0.0).",
  };
  EXPECT_EQ(manager_records, expected);
}

}  // namespace
}  // namespace norvane