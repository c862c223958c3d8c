// The download subcommand: finds the named package file in the release feed and puts
// it into the packages directory, printing progress percentages one a line.
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include <norvane/log.h>
#include <norvane/manager.h>
#include <norvane/sources.h>
#include <norvane/util.h>

#include "commands.h"

namespace ntolvex {

namespace {

constexpr std::string_view kTarget = "ntolvex";

// Prints a percentage as a line of its own. Standard output is line-buffered, so the
// line reaches a reading parent at once. A parent that has stopped reading costs the
// lines, never the download: write failures are ignored (SIGPIPE is too).
void print_progress(int16_t percent) {
  std::fprintf(stdout, "%d\n", static_cast<int>(percent));
  std::fflush(stdout);
}

template <norvane::UpdateSource Source>
norvane::Result<void> download_generic(Source source, const std::string& name,
                                       const std::optional<std::string>& channel) {
  auto manager = norvane::UpdateManager<Source>::create(
      std::move(source), norvane::UpdateSettings{channel, /*allow_downgrade=*/false});
  if (!manager) return norvane::unexpected(std::move(manager).error());
  auto feed = manager->get_release_feed();
  if (!feed) return norvane::unexpected(std::move(feed).error());
  const norvane::NorvaneAsset* found = feed->find(name);
  if (found == nullptr) return norvane::fail("Asset not found in feed: " + name);
  const norvane::NorvaneAsset asset = *found;
  return manager->download_package(asset, print_progress);
}

}  // namespace

norvane::Result<void> run_download(const DownloadArgs& args) {
  NV_INFO(kTarget, "Command: Download");
  NV_INFO(kTarget, "    URL: " + norvane::debug_string(args.url));
  NV_INFO(kTarget, "    Asset Name: " + norvane::debug_string(args.name));
  NV_INFO(kTarget, "    Channel: " + norvane::debug_optional(args.channel));
  return with_source(args.url, [&](auto source) {
    return download_generic(std::move(source), args.name, args.channel);
  });
}

}  // namespace ntolvex
