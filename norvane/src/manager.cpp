#include <norvane/manager.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <norvane/log.h>
#include <norvane/util.h>

#include "placement.h"

namespace norvane {

namespace {

constexpr std::string_view kTarget = "norvane::manager";

}  // namespace

void append_json(std::string& out, const UpdateInfo& info) {
  out += "{\"TargetFullRelease\":";
  append_json(out, info.TargetFullRelease);
  out += info.IsDowngrade ? ",\"IsDowngrade\":true}" : ",\"IsDowngrade\":false}";
}

std::string to_json(const UpdateInfo& info) {
  std::string out;
  append_json(out, info);
  return out;
}

// ---------------------------------------------------------------------------------
// The update decision.

std::string practical_channel(const UpdateSettings& settings, const Manifest& manifest) {
  // A requested channel wins even when empty, so an empty request means "osx" rather
  // than the manifest's channel.
  std::string channel = settings.requested_channel ? *settings.requested_channel : manifest.channel;
  if (channel.empty()) channel = "osx";
  return channel;
}

std::optional<ReleaseCandidate> latest_full_release(const NorvaneAssetFeed& feed) {
  std::optional<ReleaseCandidate> best;
  for (const NorvaneAsset& asset : feed.Assets) {
    auto version = parse_semver(asset.Version);
    if (!version) continue;  // not a semantic version: skipped without a record
    if (!ascii_iequal(asset.Type, "Full")) continue;
    NV_DEBUG(kTarget, "Found full release: " + asset.FileName + " (" + version->to_string() + ").");
    // Strictly greater only: among equal versions the first in the feed stays.
    if (!best || *version > best->version) best = ReleaseCandidate{&asset, std::move(*version)};
  }
  return best;
}

Result<std::optional<UpdateInfo>> evaluate_update(const NorvaneAssetFeed& feed,
                                                  std::string_view channel,
                                                  const Manifest& manifest,
                                                  const UpdateSettings& settings) {
  const bool channel_differs = channel != manifest.channel;
  if (feed.Assets.empty()) return fail("Zero assets found in releases feed.");
  auto latest = latest_full_release(feed);
  if (!latest) return fail("No valid full releases found in feed.");

  const norvane::Version& remote = latest->version;
  const norvane::Version& local = manifest.version;
  NV_DEBUG(kTarget,
           "Latest remote release: " + latest->asset->FileName + " (" + remote.to_string() + ").");
  const auto versions = [&] {
    return " (" + local.to_string() + " -> " + remote.to_string() + ").";
  };

  if (remote > local) {
    NV_INFO(kTarget, "Found newer remote release available" + versions());
    return std::optional<UpdateInfo>(UpdateInfo{*latest->asset, false});
  }
  if (settings.allow_downgrade && remote < local) {
    NV_INFO(kTarget, "Found older remote release available and downgrade is enabled" + versions());
    return std::optional<UpdateInfo>(UpdateInfo{*latest->asset, true});
  }
  if (settings.allow_downgrade && channel_differs && remote == local) {
    NV_INFO(kTarget,
            "Latest remote release is the same version of a different channel, and downgrade is "
            "enabled" +
                versions());
    return std::optional<UpdateInfo>(UpdateInfo{*latest->asset, true});
  }
  NV_INFO(kTarget, "No update available.");
  return std::optional<UpdateInfo>();
}

// ---------------------------------------------------------------------------------
// Placing a package.

Result<void> place_package(const std::filesystem::path& packages_dir, const NorvaneAsset& asset,
                           const PackageFetch& fetch) {
  // The name is data from the feed: it must name a file in the packages directory and
  // nothing else, and that is settled before anything is created.
  NV_TRY(check_package_file_name(asset.FileName));
  std::error_code ec;
  std::filesystem::create_directories(packages_dir, ec);
  if (ec) return unexpected(Error::from_errno(ec.value()));

  const std::filesystem::path target = packages_dir / asset.FileName;
  const std::string target_text = path_text(target);
  // From the existence test through the clean-up, no other run works in this directory:
  // one that comes second finds the package placed, or sees the packages placed before.
  NV_TRY_ASSIGN(const DirectoryLock lock, DirectoryLock::acquire(packages_dir));

  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    // A file cut short (older versions wrote straight to this name, and a power loss
    // could empty it) is no package: when the feed gives the size, only that size counts.
    const bool wrong_size =
        asset.Size != 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) != asset.Size;
    if (!wrong_size) {
      NV_INFO(kTarget, "Package already exists on disk, skipping download: '" + target_text + "'");
      return {};
    }
    NV_WARN(kTarget, "Package on disk has the wrong size, downloading it again: '" + target_text +
                         "' holds " + std::to_string(st.st_size) + " bytes, expected " +
                         std::to_string(asset.Size));
    if (::unlink(target.c_str()) != 0) {
      const Error cause = Error::from_errno(errno);
      return unexpected(
          Error("cannot remove '" + target_text + "': " + cause.message, cause.os_code));
    }
  }

  NV_INFO(kTarget, "Searching for packages to clean in: '" + path_text(packages_dir) + "/*.nupkg'");
  std::vector<std::filesystem::path> old_packages;
  if (auto listed = list_packages(packages_dir); !listed) {
    NV_ERROR(kTarget, "Error while searching for packages to clean: " + listed.error().message);
  } else {
    old_packages = std::move(*listed);
    for (const auto& path : old_packages)
      NV_DEBUG(kTarget, "Will delete: '" + path_text(path) + "'");
  }

  NV_TRY(fetch(target));
  NV_INFO(kTarget, "Successfully placed file: '" + target_text + "'");

  for (const auto& path : old_packages) {
    // The package just placed is never an old one, whatever put its name on the list.
    if (path.filename() == target.filename()) continue;
    NV_INFO(kTarget, "Cleaning up old package: '" + path_text(path) + "'");
    ::unlink(path.c_str());  // as a file: a directory stays, and a failure is no error
  }
  remove_stale_partial_files(packages_dir, asset.FileName);
  return {};
}

}  // namespace norvane
