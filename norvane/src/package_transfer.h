// Fetching over HTTP when the network is not to be trusted: which failed requests are
// worth another attempt and how long to wait first, and the transfer of one package
// into its place that tries again within the run and continues, in this run or a later
// one, from the bytes an earlier attempt left.
//
// Internal to the library: the HTTP source uses it.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include <norvane/download.h>
#include <norvane/progress.h>
#include <norvane/result.h>
#include <norvane/util.h>

#include "placement.h"

namespace norvane {

// Attempts in all, for a package and for the feed.
inline constexpr int kPackageAttempts = 4;
inline constexpr int kFeedAttempts = 3;
// The longest wait a server's Retry-After gets.
inline constexpr std::chrono::seconds kMaxRetryAfter{30};

// Counts the attempts of one request and decides on each failure whether another is
// worth making, and after how long. Worth it: no connection, a reset or dropped
// connection, a body cut short, a stall (once only, so that a dead server still fails
// within minutes), and the statuses 408, 429, 500, 502, 503 and 504. Not worth it: TLS
// and name-resolution failures, other statuses, the caller's own errors (a full disk,
// a package that fails its check). The waits are 1 s, 2 s, 4 s, ..., or the response's
// Retry-After up to kMaxRetryAfter.
class RetryBudget {
 public:
  // `what` names the request in the warnings ("Download", "Feed request").
  RetryBudget(std::string what, int attempts) : what_(std::move(what)), attempts_(attempts) {}

  void start_attempt() { ++made_; }

  // After the current attempt failed with `error` for the reason `failure`: when another
  // is worth making, logs "{what} attempt {i} of {n} failed, trying again in {d}:
  // {message}" (warn, "norvane::sources"), waits with `sleep` and returns true.
  bool wait_for_next(const RequestFailure& failure, const Error& error, const Sleeper& sleep);

  // The final error: the last attempt's, with " (after {n} attempts)" when there were
  // several.
  Error final_error(Error last) const;

 private:
  std::optional<std::chrono::seconds> next_wait(const RequestFailure& failure);

  std::string what_;
  int attempts_;
  int made_ = 0;
  int stalls_ = 0;
};

struct PackageTransfer {
  std::string url;               // absolute http or https
  std::filesystem::path target;  // the package's path in the packages directory
  ExpectedContent expected;
  ProgressCallback progress;  // 5 % steps when the length is known
  DownloadOptions options;    // the agent's
  Sleeper sleep = sleep_for;  // the waits between attempts
};

// Streams the package into a temporary file beside the target, verifies it and places
// it (PackageWriter::place), trying again per RetryBudget(kPackageAttempts).
//
// When a SHA-1 is expected and the answer is whole, not content-coded and carries a
// validator (a strong ETag, else Last-Modified), the bytes go to the package's
// resumable partial file (resume_files) beside a record of the URL, the SHA-1, the Size
// and the validator, and stay there when the transfer fails or the run is killed. The
// next attempt, in this run or a later one, asks for the rest ("Range: bytes={n}-" with
// "If-Range") and continues only on a 206 whose Content-Range starts at n and whose
// total is the expected Size, without a content coding; the kept bytes are hashed
// first, and progress starts at their share. Any other answer starts from byte 0: a
// 200 goes on as a whole body, a 206 that does not continue or a 416 is asked for again
// at once without a range. A resumed package that fails its check is removed and
// fetched once more from byte 0. Only the one partial file and its record are written
// besides the package; the directory lock of the caller covers them.
//
// Fails with the last attempt's error (see RetryBudget::final_error); the errors are the
// agent's, the writer's, "{url}: unexpected status code {n}" for an answer that is no
// whole body (1xx, 3xx, 204, 205, a 206 not asked for), and "size mismatch for
// '{file}': expected {n} bytes, the response announces {m}".
Result<void> transfer_package(const PackageTransfer& transfer);

}  // namespace norvane
