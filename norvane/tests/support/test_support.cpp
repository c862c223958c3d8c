#include "test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>  // mkdtemp on macOS

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace norvane::testing {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "norvane-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make some entries unreadable or unwritable; give them back first.
  for (auto it = fs::recursive_directory_iterator(
           path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = ::getenv(name_.c_str())) old_ = old;
  if (value)
    ::setenv(name_.c_str(), value->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

struct CapturedLog::State {
  mutable std::mutex mutex;
  std::vector<CapturedRecord> records;
};

CapturedLog::CapturedLog(log::Level threshold) : state_(std::make_shared<State>()) {
  struct Sink : log::Sink {
    std::shared_ptr<State> state;
    void write(const log::Record& r) override {
      std::lock_guard lock(state->mutex);
      state->records.push_back({r.level, std::string(r.target), std::string(r.message)});
    }
  };
  auto sink = std::make_unique<Sink>();
  sink->state = state_;
  log::install(std::move(sink), threshold);
}

CapturedLog::~CapturedLog() { log::install(nullptr, log::Level::Off); }

std::vector<CapturedRecord> CapturedLog::records() const {
  std::lock_guard lock(state_->mutex);
  return state_->records;
}

std::vector<std::string> CapturedLog::messages() const {
  std::vector<std::string> out;
  for (const auto& r : records()) out.push_back(r.message);
  return out;
}

NorvaneAsset make_asset(std::string id, std::string version, std::string type, std::string file,
                        std::string sha1, uint64_t size, std::string md, std::string html) {
  return NorvaneAsset{std::move(id),   std::move(version), std::move(type),
                      std::move(file), std::move(sha1),    size,
                      std::move(md),   std::move(html)};
}

NorvaneAsset asset_named(std::string file_name, std::string sha1, uint64_t size) {
  NorvaneAsset asset;
  asset.PackageId = "Sample";
  asset.Version = "1.1.0";
  asset.Type = "Full";
  asset.FileName = std::move(file_name);
  asset.SHA1 = std::move(sha1);
  asset.Size = size;
  return asset;
}

std::string sha1_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    out += hex;
  }
  return out;
}

std::string make_body(size_t size, unsigned seed) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i)
    body[i] = static_cast<char>((i * 29 + i / 263 + seed * 7) % 256);
  return body;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void set_mtime_ago(const fs::path& path, std::chrono::seconds ago) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const timespec times[2] = {{now.tv_sec - ago.count(), 0}, {now.tv_sec - ago.count(), 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    throw std::runtime_error("cannot set the times of " + path.string());
}

void write_file(const fs::path& path, std::string_view content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> source_records(const CapturedLog& log) {
  std::vector<std::string> out;
  for (const auto& r : log.records())
    if (r.target == "norvane::sources" && r.level == log::Level::Info) out.push_back(r.message);
  return out;
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string gzip(std::string_view data) {
  TempDir dir;
  write_file(dir / "plain", data);
  const std::string command =
      "gzip -c -n '" + (dir / "plain").string() + "' > '" + (dir / "plain.gz").string() + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("gzip failed");
  return read_file(dir / "plain.gz");
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::string message_of(const Result<void>& result) {
  return result ? std::string("(success)") : result.error().message;
}

}  // namespace norvane::testing
