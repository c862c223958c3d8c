// Update sources: the places release feeds (and package files) come from. A
// FileSource reads a folder on the local file system, an HttpSource a base URL.
// Neither keeps any state besides its location: no cache, no connection.
//
// The feed records they return are declared in <norvane/manager.h>, which includes
// this header; include that one to call a source.
#pragma once

#include <concepts>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include <norvane/manifest.h>
#include <norvane/result.h>

namespace norvane {

struct NorvaneAssetFeed;  // manager.h

// What UpdateManager needs from a source kind: the feed of one channel, read with
// the manifest of the located installation. (download_asset joins this capability
// with the download command.)
template <class S>
concept UpdateSource = requires(const S& source, std::string_view channel, const Manifest& manifest) {
  { source.fetch_release_feed(channel, manifest) } -> std::same_as<Result<NorvaneAssetFeed>>;
};

// The feed file name of a channel: "releases." + channel + ".json", the channel
// unchanged (no case change, no escaping).
std::string release_feed_name(std::string_view channel);

// A folder on the local file system. Checks nothing when built: a missing folder
// shows up only when the feed is read.
struct FileSource {
  // The folder exactly as the caller gave it; a relative one is resolved against the
  // working directory when the feed is read.
  std::filesystem::path path;

  FileSource() = default;
  explicit FileSource(std::filesystem::path folder) : path(std::move(folder)) {}

  // Reads and parses `path`/releases.{channel}.json ("/" inserted unless `path` ends
  // in one; an empty `path` gives the bare name). Logs "Reading releases from file:
  // {}" (info, "norvane::sources"). Fails with the OS error text of an open or read
  // failure, with "stream did not contain valid UTF-8" for a file that is not valid
  // UTF-8, or with the parser's message. The manifest is not used.
  Result<NorvaneAssetFeed> fetch_release_feed(std::string_view channel,
                                              const Manifest& manifest) const;
};

// A base URL on an HTTP or HTTPS server, kept as the text the caller gave.
struct HttpSource {
  std::string url;

  HttpSource() = default;
  explicit HttpSource(std::string base_url) : url(std::move(base_url)) {}

  // Fetches releases.{channel}.json under the base URL with the query
  // "localVersion={version}&id={id}" from the manifest.
  // Not available yet: it fails until the URL parser and the HTTP agent land.
  Result<NorvaneAssetFeed> fetch_release_feed(std::string_view channel,
                                              const Manifest& manifest) const;
};

}  // namespace norvane
