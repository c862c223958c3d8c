#include "gzip_decoder.h"

#include <string>

#define ZLIB_CONST
#include <zlib.h>

namespace norvane {

struct GzipDecoder::State {
  z_stream z{};
  bool ready = false;
  bool started = false;  // a member has begun
  bool ended = false;    // the last member begun has ended
};

GzipDecoder::GzipDecoder() : state_(std::make_unique<State>()) {
  // 16 + MAX_WBITS: a gzip wrapper, not a zlib one.
  state_->ready = inflateInit2(&state_->z, 16 + MAX_WBITS) == Z_OK;
}

GzipDecoder::~GzipDecoder() {
  if (state_->ready) inflateEnd(&state_->z);
}

Result<void> GzipDecoder::decode(std::string_view in, char* out, size_t* used, size_t capacity,
                                 const Drain& drain) {
  State& s = *state_;
  if (!s.ready) return fail("cannot set up the gzip decoder");
  z_stream& z = s.z;
  z.next_in = reinterpret_cast<const Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  while (z.avail_in > 0) {
    if (s.ended) {  // another member follows
      inflateReset(&z);
      s.ended = false;
    }
    if (*used == capacity) NV_TRY(drain());
    s.started = true;
    z.next_out = reinterpret_cast<Bytef*>(out + *used);
    z.avail_out = static_cast<uInt>(capacity - *used);
    const int rc = inflate(&z, Z_NO_FLUSH);
    *used = capacity - z.avail_out;
    if (rc == Z_STREAM_END) {
      s.ended = true;
    } else if (rc == Z_BUF_ERROR && z.avail_out == 0) {
      continue;  // out of room: make some and go on
    } else if (rc != Z_OK) {
      return fail(std::string("invalid gzip-coded body: ") +
                  (z.msg != nullptr ? z.msg : zError(rc)));
    }
  }
  return {};
}

Result<void> GzipDecoder::finish() const {
  if (state_->started && !state_->ended)
    return fail("the gzip-coded body ends before its compressed data");
  return {};
}

}  // namespace norvane
