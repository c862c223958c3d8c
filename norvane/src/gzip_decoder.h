// The gzip decoder of response bodies: decodes a gzip-coded body as it arrives, member
// after member, into a caller's buffer, and knows whether the last member is complete.
// A coded body cut short must fail even when nothing else tells (a body that ends with
// the connection); the HTTP client's own decoder takes the first member's end for the
// end and does not notice a stream that stops early.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include <norvane/result.h>

namespace norvane {

class GzipDecoder {
 public:
  // Called when the output space is full; must empty it (set the used count back to 0),
  // or fail, which ends the decoding with that error.
  using Drain = std::function<Result<void>()>;

  GzipDecoder();
  ~GzipDecoder();
  GzipDecoder(const GzipDecoder&) = delete;
  GzipDecoder& operator=(const GzipDecoder&) = delete;

  // Decodes the next piece of the coded body, `in` (any size, cut anywhere), into
  // out[*used, capacity), advancing *used; calls `drain` whenever that space is full.
  // Another member may follow the end of one. Fails with "cannot set up the gzip
  // decoder", with "invalid gzip-coded body: {zlib's message}" for bytes that are not
  // gzip (bytes after a member's end included), or with the error of `drain`. After a
  // failure the decoder must not be used again.
  Result<void> decode(std::string_view in, char* out, size_t* used, size_t capacity,
                      const Drain& drain);

  // Once the whole body was decoded: fails with "the gzip-coded body ends before its
  // compressed data" when a member has begun and not ended. A body of no bytes is
  // complete.
  Result<void> finish() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace norvane
