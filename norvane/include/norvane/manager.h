// The release feed and the update manager: the records of a feed document, its
// reader and the JSON form of an asset, and UpdateManager, which binds one update
// source to the located installation and decides whether an update is offered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <norvane/feed.h>
#include <norvane/locator.h>
#include <norvane/manifest.h>
#include <norvane/progress.h>
#include <norvane/result.h>
#include <norvane/semver.h>
#include <norvane/sources.h>

namespace norvane {

// What the command line asks of the manager.
struct UpdateSettings {
  // The channel asked for; present but empty differs from absent (it means "osx").
  std::optional<std::string> requested_channel;
  // Whether an older release, or the same version from another channel, is offered.
  bool allow_downgrade = false;
};

// The result of a check that found a release to offer.
struct UpdateInfo {
  NorvaneAsset TargetFullRelease;
  bool IsDowngrade = false;  // true when older, or the same version of another channel

  friend bool operator==(const UpdateInfo&, const UpdateInfo&) = default;
};

// {"TargetFullRelease":{...},"IsDowngrade":true|false}, compact, on one line.
void append_json(std::string& out, const UpdateInfo& info);
std::string to_json(const UpdateInfo& info);

// The channel rule: the requested channel when there is one, even empty; otherwise
// the manifest's channel; "osx" when the text taken is empty. Never empty.
std::string practical_channel(const UpdateSettings& settings, const Manifest& manifest);

// The highest full release of a feed and its parsed version.
struct ReleaseCandidate {
  const NorvaneAsset* asset = nullptr;  // into the feed that was searched
  norvane::Version version;
};

// Walks the assets in feed order, skipping those whose Version is not a semantic
// version and those whose Type is not "Full" (ASCII case ignored), and logs each of the
// others (debug, "norvane::manager"). Returns the one with the greatest version, the
// first of equal ones; none when there is none.
std::optional<ReleaseCandidate> latest_full_release(const NorvaneAssetFeed& feed);

// The update decision on a fetched feed, `channel` being the practical channel:
// fails with "Zero assets found in releases feed." or "No valid full releases found
// in feed."; otherwise logs the latest release and the decision ("norvane::manager")
// and returns the release to offer, or none.
Result<std::optional<UpdateInfo>> evaluate_update(const NorvaneAssetFeed& feed,
                                                  std::string_view channel,
                                                  const Manifest& manifest,
                                                  const UpdateSettings& settings);

// Fetches one package into the packages directory, given the target path (the
// directory joined with the asset's FileName). Supplied by the manager's source.
using PackageFetch = std::function<Result<void>(const std::filesystem::path& target)>;

// The download of one asset into `packages_dir`, with `fetch` doing the transfer:
//  1. refuses an unsafe FileName (see check in sources.h) before touching the disk;
//  2. creates the directory with its parents (its OS error is returned);
//  3. takes an exclusive lock on the directory, held to the end, so that another run
//     on the same directory waits (and logs that it waits); a directory that cannot be
//     locked is used without the lock, with a warning;
//  4. when something exists at the target (links followed), logs the skip and
//     succeeds;
//  5. lists the directory's entries ending in ".nupkg", the candidates for clean-up;
//     a directory that cannot be listed is logged as an error and nothing is deleted;
//  6. fetches; a failure is returned and nothing is deleted;
//  7. deletes each listed entry but the target as a file (failures ignored), and
//     removes temporary files of killed runs not modified for an hour.
// Each step is logged to "norvane::manager", at info level but for the listed entries
// (debug), the lock failure (warn) and the listing failure (error).
Result<void> place_package(const std::filesystem::path& packages_dir, const NorvaneAsset& asset,
                           const PackageFetch& fetch);

// The library's entry point for update questions: owns one source, the located
// installation and the settings, and nothing else (no cached feed or channel).
template <UpdateSource Source>
class UpdateManager {
 public:
  // Locates the running installation with auto_locate() and keeps it with the
  // source and the settings (none: no requested channel, no downgrade). Fails with
  // the locator's error unchanged; nothing is looked at or logged besides.
  static Result<UpdateManager> create(Source source,
                                      std::optional<UpdateSettings> settings = std::nullopt) {
    auto locator = auto_locate();
    if (!locator) return unexpected(std::move(locator).error());
    return UpdateManager(std::move(source), std::move(*locator), std::move(settings));
  }

  // A manager over an installation located by the caller (tests do that).
  UpdateManager(Source source, NorvaneLocator locator,
                std::optional<UpdateSettings> settings = std::nullopt)
      : source_(std::move(source)),
        locator_(std::move(locator)),
        settings_(settings ? std::move(*settings) : UpdateSettings{}) {}

  const Source& source() const { return source_; }
  const NorvaneLocator& locator() const { return locator_; }
  const UpdateSettings& settings() const { return settings_; }

  // The channel to read, worked out afresh on every call; never empty.
  std::string get_practical_channel() const {
    return practical_channel(settings_, locator_.manifest);
  }

  // The feed of the practical channel, or the source's error, unchanged.
  Result<NorvaneAssetFeed> get_release_feed() const {
    return source_.fetch_release_feed(get_practical_channel(), locator_.manifest);
  }

  // Reads the feed and decides (evaluate_update): the release to offer, none, or
  // the error of the feed retrieval or of the decision.
  Result<std::optional<UpdateInfo>> get_update_info() const {
    auto feed = get_release_feed();
    if (!feed) return unexpected(std::move(feed).error());
    return evaluate_update(*feed, get_practical_channel(), locator_.manifest, settings_);
  }

  // Places the asset's file in the installation's packages directory (place_package),
  // fetched by the source's download_asset with `progress`.
  Result<void> download_package(const NorvaneAsset& asset, const ProgressCallback& progress) const {
    return place_package(locator_.package_cache_dir, asset,
                         [&](const std::filesystem::path& target) {
                           return source_.download_asset(asset, target, progress);
                         });
  }

 private:
  Source source_;
  NorvaneLocator locator_;
  UpdateSettings settings_;
};

}  // namespace norvane
