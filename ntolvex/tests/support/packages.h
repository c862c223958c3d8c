// Packages, feeds and the places they come from, for the tests of the download
// command: content with a known SHA-1, a folder with a feed, and a server on 127.0.0.1
// that serves a feed and its packages.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <norvane/manager.h>

#include "bundle.h"
#include "http_test_server.h"
#include "placement.h"

namespace ntolvex::testing {

using norvane::NorvaneAsset;
using norvane::testing::HttplibServer;
using norvane::testing::make_body;
using norvane::testing::names_in;
using norvane::testing::sha1_hex;
using norvane::testing::write_file;

// An asset of the Sample package with the SHA-1 and size of its content.
inline NorvaneAsset asset(const std::string& file_name, const std::string& content,
                          bool integrity = true) {
  NorvaneAsset a;
  a.PackageId = "Sample";
  a.Version = "2.0.0";
  a.Type = "Full";
  a.FileName = file_name;
  if (integrity) {
    a.SHA1 = sha1_hex(content);
    a.Size = content.size();
  }
  return a;
}

inline std::string feed_of(const std::vector<NorvaneAsset>& assets) {
  std::string text = "{\"Assets\":[";
  for (size_t i = 0; i < assets.size(); ++i) {
    if (i) text += ",";
    text += norvane::to_json(assets[i]);
  }
  return text + "]}";
}

// Every path under `root`, for checking that a refused run wrote nothing.
inline std::set<std::string> tree(const fs::path& root) {
  std::set<std::string> paths;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    paths.insert(it->path().string());
  return paths;
}

// The answer that sends the head of the whole file, then only its first half, with no
// validator (so that nothing is kept to continue from).
inline norvane::testing::FileAnswer half_a_body(uint64_t size) {
  norvane::testing::FileAnswer a;
  a.etag = "";
  a.cut_after = size / 2;
  return a;
}

// The program's own temporary download files.
inline bool is_partial(const std::string& name) { return norvane::is_partial_file_name(name); }

inline std::vector<std::string> partial_files(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& name : names_in(dir))
    if (is_partial(name)) out.push_back(name);
  return out;
}

inline size_t count_lines(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

inline bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return count_lines(lines, line) > 0;
}

// A folder of packages beside the bundle, with its feed.
struct Folder {
  fs::path dir;
  void add(const std::string& file_name, const std::string& content) const {
    write_file(dir / file_name, content);
  }
  void feed(const std::vector<NorvaneAsset>& assets, const std::string& channel = "osx") const {
    write_file(dir / ("releases." + channel + ".json"), feed_of(assets));
  }
};

// A server for a feed and its packages under /pkgs, with Content-Length on every
// response unless the package is served chunked.
class PackageServer {
 public:
  PackageServer()
      : server_([this](httplib::Server& s) {
          s.Get(R"(/pkgs/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            paths_.push_back(req.path);
            const auto found = files_.find(req.matches[1]);
            if (found == files_.end()) {
              res.status = 404;
              return;
            }
            const std::string* body = &found->second;
            if (chunked_.count(req.matches[1]) != 0) {
              res.set_chunked_content_provider(
                  "application/octet-stream", [body](size_t offset, httplib::DataSink& sink) {
                    const size_t n = std::min<size_t>(256 * 1024, body->size() - offset);
                    sink.write(body->data() + offset, n);
                    if (offset + n == body->size()) sink.done();
                    return true;
                  });
            } else {
              res.set_content(*body, "application/octet-stream");
            }
          });
        }) {}

  void add(const std::string& name, std::string content, bool chunked = false) {
    std::lock_guard lock(mutex_);
    files_[name] = std::move(content);
    if (chunked) chunked_.insert(name);
  }
  void feed(const std::vector<NorvaneAsset>& assets) { add("releases.osx.json", feed_of(assets)); }
  std::string url() const { return server_.url("/pkgs"); }
  std::vector<std::string> paths() const {
    std::lock_guard lock(mutex_);
    return paths_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> files_;
  std::set<std::string> chunked_;
  std::vector<std::string> paths_;
  HttplibServer server_;  // last: stopped first
};

}  // namespace ntolvex::testing
