#include <norvane/sources.h>

#include <optional>

#include <norvane/download.h>
#include <norvane/feed.h>
#include <norvane/log.h>
#include <norvane/url.h>
#include <norvane/util.h>

#include "file_copy.h"
#include "package_transfer.h"
#include "placement.h"

namespace norvane {

namespace {

constexpr std::string_view kTarget = "norvane::sources";
// The feed is handed to its reader in pieces of this size as they arrive: a few fit in
// the reader's queue, so that reading keeps pace with receiving.
constexpr size_t kFeedChunkSize = 64 * 1024;

ExpectedContent expected_content(const NorvaneAsset& asset) {
  return ExpectedContent{asset.FileName, asset.SHA1, asset.Size};
}

}  // namespace

std::string release_feed_name(std::string_view channel) {
  return "releases." + std::string(channel) + ".json";
}

Result<NorvaneAssetFeed> FileSource::fetch_release_feed(std::string_view channel,
                                                        const Manifest&) const {
  // path / name inserts a "/" unless path ends in one, and an empty path gives the
  // bare name, relative to the working directory.
  const std::filesystem::path file = path / release_feed_name(channel);
  NV_INFO(kTarget, "Reading releases from file: " + path_text(file));
  // A feed read from a folder has the limit of one fetched over HTTP.
  NV_TRY_ASSIGN(const std::string text, read_utf8_file(file, kMaxStringBodySize));
  return parse_release_feed(text);
}

Result<void> FileSource::download_asset(const NorvaneAsset& asset,
                                        const std::filesystem::path& local_file,
                                        const ProgressCallback& progress) const {
  NV_TRY(check_package_file_name(asset.FileName));
  const std::filesystem::path source_file = path / asset.FileName;
  NV_INFO(kTarget, "About to copy from file '" + path_text(source_file) + "' to file '" +
                       path_text(local_file) + "'");
  if (progress) progress(50);
  NV_TRY_ASSIGN(PackageWriter writer, PackageWriter::create(local_file, expected_content(asset)));
  // The SHA-1 is computed on another thread as the copy lands.
  NV_TRY(copy_file_into(source_file, writer.fd(), [&](uint64_t n) { writer.copied(n); }));
  NV_TRY(writer.adopt_content());
  NV_TRY(writer.place());
  if (progress) progress(100);
  return {};
}

namespace {

// The base URL of a source: the text with every trailing "/" removed and one "/"
// appended, so that names resolve into its last directory.
Result<Url> base_url(std::string_view text) {
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  return Url::parse(std::string(text) + "/");
}

Result<Url> resolve(std::string_view base_text, std::string_view name) {
  NV_TRY_ASSIGN(const Url base, base_url(base_text));
  return Url::parse(name, &base);
}

}  // namespace

Result<NorvaneAssetFeed> HttpSource::fetch_release_feed(std::string_view channel,
                                                        const Manifest& manifest) const {
  NV_TRY_ASSIGN(Url feed_url, resolve(url, release_feed_name(channel)));
  feed_url.set_search("localVersion=" + manifest.version.to_string() + "&id=" + manifest.id);
  const std::string href = feed_url.href();
  NV_INFO(kTarget, "Downloading releases for channel " + std::string(channel) + " from: " + href);
  NV_TRY_ASSIGN(DownloadAgent agent, get_download_agent());
  RetryBudget budget("Feed request", kFeedAttempts);
  for (;;) {
    budget.start_attempt();
    // The feed is read as it arrives, so its text is never held whole. Over HTTP, bytes
    // that are not UTF-8 are replaced rather than refused.
    std::optional<FeedStreamParser> parser;
    Utf8Repair repair;
    std::string repaired;
    StreamHandler handler;
    handler.chunk_size = kFeedChunkSize;
    handler.on_head = [&](const ResponseHead& head) -> Result<void> {
      parser.emplace(head.content_length.value_or(0));
      return {};
    };
    handler.on_chunk = [&](std::string_view bytes) -> Result<void> {
      parser->push(repair.feed(bytes, repaired));
      return {};
    };
    auto read = agent.read_bounded(href, handler, kMaxStringBodySize);
    if (read) {
      if (!parser) parser.emplace();  // an empty body
      parser->push(repair.finish(repaired));
      return parser->finish();
    }
    if (!budget.wait_for_next(agent.last_failure(), read.error(), retry_sleep))
      return unexpected(budget.final_error(std::move(read).error()));
  }
}

Result<void> HttpSource::download_asset(const NorvaneAsset& asset,
                                        const std::filesystem::path& local_file,
                                        const ProgressCallback& progress) const {
  NV_TRY(check_package_file_name(asset.FileName));
  NV_TRY_ASSIGN(const Url asset_url, resolve(url, asset.FileName));
  const std::string href = asset_url.href();
  NV_INFO(kTarget,
          "About to download from URL '" + href + "' to file '" + path_text(local_file) + "'");
  PackageTransfer transfer;
  transfer.url = href;
  transfer.target = local_file;
  transfer.expected = expected_content(asset);
  transfer.progress = progress;
  transfer.options.accept_gzip = false;  // an archive gains nothing from it
  transfer.sleep = retry_sleep;
  return transfer_package(transfer);
}

}  // namespace norvane
