// The progress of a transfer, as the library reports it to its caller: the callback
// that receives it, and the rule that turns bytes received into 5 % steps.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>

namespace norvane {

// Receives the progress of a transfer in percent: only values greater than any passed
// before, multiples of 5 from 5 to 100, never 0. It cannot fail or stop the transfer.
using ProgressCallback = std::function<void(int16_t)>;

// Steps progress in 5 % units: after each read of `bytes`, the step is
// floor(downloaded / total * 20) saturated to 16 bits, times 5 in 16-bit arithmetic,
// and it is reported only when greater than the last one reported. Without a total it
// reports nothing. So a 10 MiB body read in 2 MiB chunks gives 20, 40, 60, 80, 100.
class ProgressSteps {
 public:
  explicit ProgressSteps(std::optional<uint64_t> total) : total_(total) {}

  // Counts `bytes` more and returns the step to report, if any.
  std::optional<int16_t> advance(uint64_t bytes) {
    downloaded_ += bytes;
    if (!total_) return std::nullopt;
    const double step =
        std::floor(static_cast<double>(downloaded_) / static_cast<double>(*total_) * 20.0);
    int16_t saturated = 0;  // NaN (0 of 0) counts as 0
    if (step >= 32767.0)
      saturated = 32767;
    else if (step <= -32768.0)
      saturated = -32768;
    else if (step == step)
      saturated = static_cast<int16_t>(step);
    // Times 5 in 16-bit arithmetic, wrapping as the 16-bit type does.
    const auto percent =
        static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(saturated) * 5u));
    if (percent <= last_) return std::nullopt;
    last_ = percent;
    return percent;
  }

  // The bytes counted so far.
  uint64_t downloaded() const { return downloaded_; }

 private:
  std::optional<uint64_t> total_;
  uint64_t downloaded_ = 0;
  int16_t last_ = 0;
};

}  // namespace norvane
