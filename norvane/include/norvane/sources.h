// Update sources: the places release feeds and package files come from. A FileSource
// reads a folder on the local file system, an HttpSource a base URL. Neither keeps any
// state besides its location: no cache, no connection.
#pragma once

#include <concepts>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include <norvane/feed.h>
#include <norvane/manifest.h>
#include <norvane/progress.h>
#include <norvane/result.h>
#include <norvane/util.h>

namespace norvane {

// What UpdateManager needs from a source kind: the feed of one channel, read with the
// manifest of the located installation, and one package file of it, placed at a local
// path.
template <class S>
concept UpdateSource = requires(const S& source, std::string_view channel, const Manifest& manifest,
                                const NorvaneAsset& asset, const std::filesystem::path& local_file,
                                const ProgressCallback& progress) {
  { source.fetch_release_feed(channel, manifest) } -> std::same_as<Result<NorvaneAssetFeed>>;
  { source.download_asset(asset, local_file, progress) } -> std::same_as<Result<void>>;
};

// What both kinds of download_asset promise about the local file:
//  - the asset's FileName must be a plain file name (not empty, ".", "..", no "/", no
//    NUL byte), else "invalid package file name {debug form}: {reason}" before anything
//    is touched;
//  - the bytes go to a temporary file beside the local file ("." + name + "." + pid +
//    "." + random + ".partial", mode 0666 less the umask, created through
//    retry_operation), which is renamed to the local file only when complete and
//    verified, and removed on any failure: the local file never holds a partial file;
//  - when the asset's Size is not 0 the byte count must equal it ("size mismatch for
//    '{FileName}': expected {n} bytes, got {m}"), and when its SHA1 is not empty the
//    SHA-1 of the bytes must equal it, letter case ignored ("SHA1 mismatch for
//    '{FileName}': expected {e}, got {d}").

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
  // in one; an empty `path` gives the bare name), logging the file it reads (info,
  // "norvane::sources"). Fails with the OS error text of an open or read
  // failure, with "stream did not contain valid UTF-8" for a file that is not valid
  // UTF-8, or with the parser's message. The manifest is not used.
  Result<NorvaneAssetFeed> fetch_release_feed(std::string_view channel,
                                              const Manifest& manifest) const;

  // Copies `path`/FileName to `local_file`: logs both paths (info, "norvane::sources"),
  // reports 50, copies content, permission bits and
  // timestamps (a copy-on-write clone where the file system allows), verifies, places,
  // and reports 100. Fails with the OS error, with "the source path is neither a
  // regular file nor a symlink to a regular file", or as said above; after "50" only.
  Result<void> download_asset(const NorvaneAsset& asset, const std::filesystem::path& local_file,
                              const ProgressCallback& progress) const;
};

// A base URL on an HTTP or HTTPS server, kept as the text the caller gave.
struct HttpSource {
  std::string url;
  // The waits between attempts of a request; tests record them.
  Sleeper retry_sleep = sleep_for;

  HttpSource() = default;
  explicit HttpSource(std::string base_url) : url(std::move(base_url)) {}

  // Fetches releases.{channel}.json under the base URL: the url text with every
  // trailing "/" removed and one "/" appended, parsed as an absolute URL; the feed name
  // resolved against it; the query set to "localVersion={version}&id={id}" from the
  // manifest (as the URL search setter encodes it, any fragment kept). Logs the
  // channel and the URL (info, "norvane::sources"), reads the body with a GET (at most
  // 10 MiB: "response too big for into_string"), replaces bytes that are not UTF-8 with
  // U+FFFD and parses it. A request that fails for a passing reason (no connection, a
  // reset, a body cut short, a stall, a 408, 429 or 5xx gateway status) is made again,
  // three attempts in all, after 1 s and 2 s or the server's Retry-After (at most 30 s),
  // each retry logged as a warning. Fails with the URL parser's message, the agent's
  // (followed by " (after {n} attempts)" when there were several) or the feed parser's.

  Result<NorvaneAssetFeed> fetch_release_feed(std::string_view channel,
                                              const Manifest& manifest) const;

  // Downloads FileName, resolved against the base URL as above (so a query or fragment
  // of the url text is lost), to `local_file`: logs the URL and the path (info,
  // "norvane::sources") and streams the body into a temporary file beside it, hashing
  // it on the way, with progress in 5 % steps when the response announces its length.
  // A response that announces another length than a non-zero Size fails before
  // anything is written ("size mismatch for '{FileName}': expected {n} bytes, the
  // response announces {m}"), and one that goes past Size is stopped at once. Failed
  // attempts are made again, four in all, and an interrupted transfer of a package
  // with a SHA-1 continues where it stopped, in this run or the next (see
  // transfer_package in the library's sources). Fails with the URL parser's message,
  // the agent's errors (a body cut short included), an OS error, or as said above.
  Result<void> download_asset(const NorvaneAsset& asset, const std::filesystem::path& local_file,
                              const ProgressCallback& progress) const;
};

}  // namespace norvane
