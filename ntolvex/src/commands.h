// The check and download subcommands, as the front end hands them their parsed
// arguments. Each logs its own arguments, prints its own results on standard output
// and returns success or the error the front end wraps ("Check error: {}", ...).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <norvane/result.h>
#include <norvane/sources.h>
#include <norvane/url.h>

namespace ntolvex {

struct CheckArgs {
  std::string url;
  bool downgrade = false;
  std::optional<std::string> channel;
};

struct DownloadArgs {
  std::string url;
  std::string name;
  std::optional<std::string> channel;
};

// Writes a result line and its line feed to standard output at once. The line is the
// command's answer: when it cannot be written (a parent that closed the pipe), the
// command fails with the OS error rather than report success.
norvane::Result<void> print_result_line(std::string_view text);

// Calls `use` with the update source `url` names and returns what it returns: an
// HttpSource for an http or https URL, otherwise a FileSource on the local folder.
template <class Use>
auto with_source(const std::string& url, Use&& use) {
  if (norvane::is_http_url(url)) return use(norvane::HttpSource(url));
  return use(norvane::FileSource(url));
}

norvane::Result<void> run_check(const CheckArgs& args);
norvane::Result<void> run_download(const DownloadArgs& args);

}  // namespace ntolvex
