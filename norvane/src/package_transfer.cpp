#include "package_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>

#include <norvane/log.h>

namespace norvane {

namespace {

constexpr std::string_view kTarget = "norvane::sources";

bool retryable_status(long status) {
  switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<std::chrono::seconds> RetryBudget::next_wait(const RequestFailure& failure) {
  if (made_ >= attempts_) return std::nullopt;
  switch (failure.kind) {
    case FailureKind::kTransient:
      break;
    case FailureKind::kStall:
      if (++stalls_ > 1) return std::nullopt;
      break;
    case FailureKind::kStatus:
      if (!retryable_status(failure.status)) return std::nullopt;
      if (failure.retry_after) return std::min(*failure.retry_after, kMaxRetryAfter);
      break;
    default:
      return std::nullopt;
  }
  return std::chrono::seconds(1LL << std::min(made_ - 1, 5));
}

Error RetryBudget::final_error(Error last) const {
  if (made_ > 1) last.message += " (after " + std::to_string(made_) + " attempts)";
  return last;
}

bool RetryBudget::wait_for_next(const RequestFailure& failure, const Error& error,
                                const Sleeper& sleep) {
  const std::optional<std::chrono::seconds> wait = next_wait(failure);
  if (!wait) return false;
  NV_WARN(kTarget, what_ + " attempt " + std::to_string(made_) + " of " +
                       std::to_string(attempts_) + " failed, trying again in " +
                       seconds_text(*wait) + ": " + error.message);
  sleep(*wait);
  return true;
}

namespace {

// What a resumable partial file holds, as its record says. The record is four lines,
// compared whole: a record of another URL, SHA-1 or size describes other bytes.
std::string record_prefix(const PackageTransfer& t) {
  return "url " + debug_string(t.url) + "\nsha1 " + debug_string(t.expected.sha1) + "\nsize " +
         std::to_string(t.expected.size) + "\nvalidator ";
}

// A validator to resume with: a strong ETag, else Last-Modified; none when the answer
// has neither, or one that cannot be sent back as it came.
std::string validator_of(const ResponseHead& head) {
  const auto sendable = [](const std::string& value) {
    return !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
      const auto u = static_cast<unsigned char>(c);
      return u >= 0x20 && u != 0x7f;
    });
  };
  if (!head.etag.starts_with("W/") && sendable(head.etag)) return head.etag;
  if (sendable(head.last_modified)) return head.last_modified;
  return {};
}

void remove_resume_files(const ResumeFiles& files) {
  ::unlink(files.record.c_str());
  ::unlink(files.data.c_str());
}

// Where the transfer stands between attempts.
struct ResumePoint {
  uint64_t offset = 0;    // bytes kept in the partial file
  std::string validator;  // what they were part of
};

// The partial file a record describes, when it may be continued.
ResumePoint find_resume_point(const PackageTransfer& t, const ResumeFiles& files) {
  auto record = read_file(files.record, 64 * 1024);
  if (!record) return {};
  const std::string prefix = record_prefix(t);
  if (!record->starts_with(prefix) || !record->ends_with('\n')) return {};
  std::string validator = record->substr(prefix.size(), record->size() - prefix.size() - 1);
  if (validator.empty() || validator.find('\n') != std::string::npos) return {};
  struct stat st {};
  if (::lstat(files.data.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return {};
  const auto size = static_cast<uint64_t>(st.st_size);
  if (t.expected.size != 0 && size > t.expected.size) return {};
  return ResumePoint{size, std::move(validator)};
}

Result<void> write_record(const ResumeFiles& files, const PackageTransfer& t,
                          const std::string& validator) {
  UniqueFd fd(
      ::open(files.record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!fd) return unexpected(Error::from_errno(errno));
  NV_TRY(write_all(fd.get(), record_prefix(t) + validator + "\n"));
  return fd.close();
}

// Progress over every attempt of a run: only values above the last one reported.
class RunProgress {
 public:
  explicit RunProgress(const ProgressCallback& callback) : callback_(callback) {}
  void report(std::optional<int16_t> step) {
    if (!step || !callback_ || *step <= last_) return;
    last_ = *step;
    callback_(*step);
  }

 private:
  const ProgressCallback& callback_;
  int16_t last_ = 0;
};

// How one attempt ended, beyond its error.
struct AttemptOutcome {
  Result<void> result;
  bool resumed = false;        // it continued a partial file
  bool range_refused = false;  // the answer to a range did not continue the partial file
  ResumePoint next;            // where the next attempt may start
};

bool is_whole_body_status(long status) {
  return status >= 200 && status < 300 && status != 204 && status != 205 && status != 206;
}

AttemptOutcome attempt_transfer(DownloadAgent& agent, const PackageTransfer& t,
                                const ResumeFiles& files, const ResumePoint& from,
                                RunProgress& progress) {
  const bool can_resume = !t.expected.sha1.empty();
  AttemptOutcome outcome;
  std::optional<PackageWriter> writer;
  ProgressSteps steps{std::nullopt};
  bool resumable = false;
  std::string validator;

  StreamHandler handler;
  handler.on_head = [&](const ResponseHead& head) -> Result<void> {
    if (from.offset > 0 && head.status == 206) {
      const std::optional<ContentRange>& range = head.content_range;
      const bool continues = !head.coded && range && range->first == from.offset && range->total &&
                             (t.expected.size == 0 || *range->total == t.expected.size);
      if (!continues) {
        outcome.range_refused = true;
        return fail(head.url + ": the partial answer does not continue the download at byte " +
                    std::to_string(from.offset));
      }
      NV_TRY_ASSIGN(writer,
                    PackageWriter::open_resumable(t.target, files.data, t.expected, from.offset));
      NV_INFO(kTarget, "Resuming the download of '" + t.url + "' at byte " +
                           std::to_string(from.offset) + " of " + std::to_string(*range->total));
      outcome.resumed = resumable = true;
      validator = from.validator;
      steps = ProgressSteps(*range->total);
      progress.report(steps.advance(from.offset));
      return {};
    }
    // Only a whole body is a package: not an answer without one (204, 205, 304), nor a
    // part not asked for (206), nor a redirect that was not followed.
    if (!is_whole_body_status(head.status))
      return fail(head.url + ": unexpected status code " + std::to_string(head.status));
    if (t.expected.size != 0 && head.content_length && *head.content_length != t.expected.size) {
      return fail("size mismatch for '" + t.expected.file_name + "': expected " +
                  std::to_string(t.expected.size) + " bytes, the response announces " +
                  std::to_string(*head.content_length));
    }
    validator = validator_of(head);
    resumable = can_resume && !head.coded && !validator.empty();
    if (resumable) {
      // The record goes first, so that no record ever describes other bytes than the
      // partial file's; it is written again once the file is empty.
      ::unlink(files.record.c_str());
      auto opened = PackageWriter::open_resumable(t.target, files.data, t.expected, 0);
      const Result<void> recorded =
          opened ? write_record(files, t, validator) : Result<void>(unexpected(opened.error()));
      if (recorded) {
        writer.emplace(std::move(opened).value());
      } else {
        // Something that is no file holds one of the names: this transfer is not kept.
        NV_WARN(kTarget, "Cannot keep the download of '" + t.url +
                             "' for resuming: " + recorded.error().message);
        if (opened) ::unlink(files.data.c_str());
        ::unlink(files.record.c_str());
        resumable = false;
      }
    }
    if (!resumable) {
      remove_resume_files(files);
      NV_TRY_ASSIGN(writer, PackageWriter::create(t.target, t.expected));
    }
    steps = ProgressSteps(head.content_length);
    return {};
  };
  handler.on_chunk = [&](std::string_view bytes) -> Result<void> {
    NV_TRY(writer->write(bytes));
    progress.report(steps.advance(bytes.size()));
    return {};
  };

  outcome.result = from.offset > 0
                       ? agent.stream(t.url, handler, RangeRequest{from.offset, from.validator})
                       : agent.stream(t.url, handler);
  if (outcome.result && !writer) outcome.result = fail("the response to " + t.url + " had no head");
  if (outcome.result) {
    // Placed or refused, the partial file is gone, and its record goes with it.
    outcome.result = writer->place();
    ::unlink(files.record.c_str());
    return outcome;
  }
  // What the next attempt may continue from: the bytes kept, or the point this one
  // started at when it failed before any answer.
  if (writer && resumable)
    outcome.next = ResumePoint{writer->bytes_written(), validator};
  else if (!writer && !outcome.range_refused)
    outcome.next = from;
  return outcome;
}

// Places a partial file that already holds the whole package (a run killed between the
// last byte and the rename): no request is needed when it verifies.
bool place_complete_partial(const PackageTransfer& t, const ResumeFiles& files, uint64_t size) {
  auto writer = PackageWriter::open_resumable(t.target, files.data, t.expected, size);
  if (!writer || !writer->place()) return false;
  ::unlink(files.record.c_str());
  return true;
}

}  // namespace

Result<void> transfer_package(const PackageTransfer& t) {
  const ResumeFiles files = resume_files(t.target);
  // Only a package with a SHA-1 is continued: the check is what proves the joined bytes.
  ResumePoint from;
  if (!t.expected.sha1.empty()) from = find_resume_point(t, files);
  if (from.offset == 0) {
    remove_resume_files(files);
  } else if (t.expected.size != 0 && from.offset == t.expected.size) {
    if (place_complete_partial(t, files, from.offset)) {
      RunProgress(t.progress).report(100);
      return {};
    }
    remove_resume_files(files);
    from = {};
  }

  NV_TRY_ASSIGN(DownloadAgent agent, get_download_agent(t.options));
  RunProgress progress(t.progress);
  RetryBudget budget("Download", kPackageAttempts);
  bool started_over = false;  // a resumed package that failed its check was fetched again
  bool range_retried = false;
  for (;;) {
    budget.start_attempt();
    AttemptOutcome outcome = attempt_transfer(agent, t, files, from, progress);
    if (outcome.result) return {};
    Error error = std::move(outcome.result).error();

    // The partial file was not continued (a 206 elsewhere, or a 416): at once from 0.
    const bool range_unsatisfiable = from.offset > 0 &&
                                     agent.last_failure().kind == FailureKind::kStatus &&
                                     agent.last_failure().status == 416;
    if ((outcome.range_refused || range_unsatisfiable) && !range_retried) {
      NV_WARN(kTarget, "The server did not continue the download at byte " +
                           std::to_string(from.offset) +
                           ", downloading it from the start: " + error.message);
      range_retried = true;
      remove_resume_files(files);
      from = {};
      continue;
    }
    // A resumed package that fails its check (its size or SHA-1, with no OS error) is
    // fetched once more, whole.
    const FailureKind kind = agent.last_failure().kind;
    if (outcome.resumed && error.os_code == 0 &&
        (kind == FailureKind::kNone || kind == FailureKind::kHandler) && !started_over) {
      NV_WARN(kTarget, "The resumed download of '" + t.expected.file_name +
                           "' did not verify, downloading it from the start: " + error.message);
      started_over = true;
      remove_resume_files(files);
      from = {};
      continue;
    }
    if (!budget.wait_for_next(agent.last_failure(), error, t.sleep))
      return unexpected(budget.final_error(std::move(error)));
    from = outcome.next;
  }
}

}  // namespace norvane
