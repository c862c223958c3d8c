#include <norvane/sources.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <optional>

#include <norvane/download.h>
#include <norvane/log.h>
#include <norvane/manager.h>
#include <norvane/url.h>
#include <norvane/util.h>

#include "placement.h"
#include "platform.h"

namespace norvane {

namespace {

constexpr std::string_view kTarget = "norvane::sources";

// A file descriptor owned from the line that opens it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The whole file as bytes. The size from fstat is only a hint for the buffer: the
// file is read until the end, however long it turns out to be.
Result<std::string> read_whole_file(const std::filesystem::path& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return unexpected(Error::from_errno(errno));
  // One byte more than the size, so that a file of the size it claims is read in one
  // call and the next one sees its end.
  struct stat info {};
  size_t hint = 0;
  if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
    hint = static_cast<size_t>(info.st_size);
  // The buffer is not zeroed first: read() fills what is kept, and for a large feed
  // the zeroing would cost as much as the read.
  std::string bytes;
  const auto grow = [&bytes](size_t size) {
    bytes.resize_and_overwrite(size, [](char*, size_t n) { return n; });
  };
  grow(hint + 1);
  size_t used = 0;
  for (;;) {
    if (used == bytes.size()) grow(std::max<size_t>(2 * bytes.size(), 65536));
    const ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(Error::from_errno(errno));
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

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
  auto text = read_whole_file(file);
  if (!text) return unexpected(std::move(text).error());
  if (!is_valid_utf8(*text)) return fail("stream did not contain valid UTF-8");
  return parse_release_feed(*text);
}

Result<void> FileSource::download_asset(const NorvaneAsset& asset,
                                        const std::filesystem::path& local_file,
                                        const ProgressCallback& progress) const {
  NV_TRY(check_package_file_name(asset.FileName));
  const std::filesystem::path source_file = path / asset.FileName;
  NV_INFO(kTarget, "About to copy from file '" + path_text(source_file) + "' to file '" +
                       path_text(local_file) + "'");
  if (progress) progress(50);
  auto writer = PackageWriter::create(local_file, expected_content(asset));
  if (!writer) return unexpected(std::move(writer).error());
  NV_TRY(platform::copy_file_into(source_file, writer->fd()));
  NV_TRY(writer->adopt_content());
  NV_TRY(writer->place());
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
  auto base = base_url(base_text);
  if (!base) return unexpected(std::move(base).error());
  return Url::parse(name, &*base);
}

}  // namespace

Result<NorvaneAssetFeed> HttpSource::fetch_release_feed(std::string_view channel,
                                                        const Manifest& manifest) const {
  auto feed_url = resolve(url, release_feed_name(channel));
  if (!feed_url) return unexpected(std::move(feed_url).error());
  feed_url->set_search("localVersion=" + manifest.version.to_string() + "&id=" + manifest.id);
  const std::string href = feed_url->href();
  NV_INFO(kTarget, "Downloading releases for channel " + std::string(channel) + " from: " + href);
  auto agent = get_download_agent();
  if (!agent) return unexpected(std::move(agent).error());
  auto body = agent->read_to_string(href, kMaxStringBodySize);
  if (!body) return unexpected(std::move(body).error());
  // Over HTTP, bytes that are not UTF-8 are replaced rather than refused.
  if (is_valid_utf8(*body)) return parse_release_feed(*body);
  return parse_release_feed(lossy_utf8(*body));
}

Result<void> HttpSource::download_asset(const NorvaneAsset& asset,
                                        const std::filesystem::path& local_file,
                                        const ProgressCallback& progress) const {
  NV_TRY(check_package_file_name(asset.FileName));
  auto asset_url = resolve(url, asset.FileName);
  if (!asset_url) return unexpected(std::move(asset_url).error());
  const std::string href = asset_url->href();
  NV_INFO(kTarget, "About to download from URL '" + href + "' to file '" + path_text(local_file) + "'");
  auto agent = get_download_agent();
  if (!agent) return unexpected(std::move(agent).error());

  const ExpectedContent expected = expected_content(asset);
  std::optional<PackageWriter> writer;
  StreamHandler handler;
  // The temporary file is created only once the final head is in: a failed request
  // leaves nothing behind.
  handler.on_head = [&](const ResponseHead& head) -> Result<void> {
    if (expected.size != 0 && head.content_length && *head.content_length != expected.size) {
      return fail("size mismatch for '" + asset.FileName + "': expected " +
                  std::to_string(expected.size) + " bytes, the response announces " +
                  std::to_string(*head.content_length));
    }
    auto created = PackageWriter::create(local_file, expected);
    if (!created) return unexpected(std::move(created).error());
    writer.emplace(std::move(created).value());
    return {};
  };
  handler.on_chunk = [&](std::string_view bytes) { return writer->write(bytes); };
  handler.progress = progress;
  NV_TRY(agent->stream(href, handler));
  if (!writer) return fail("the response to " + href + " had no head");
  return writer->place();
}

}  // namespace norvane
