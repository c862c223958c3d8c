// SHA-1 through CommonCrypto, which is part of the system library on macOS.
#include "sha1.h"

#include <algorithm>

#include <CommonCrypto/CommonDigest.h>

namespace norvane {

struct Sha1::State {
  CC_SHA1_CTX ctx;
};

// The CommonCrypto calls return 1 on success.
Sha1::Sha1() : state_(std::make_unique<State>()) {
  if (CC_SHA1_Init(&state_->ctx) != 1) state_.reset();
}

Sha1::Sha1(Sha1&& other) noexcept = default;
Sha1& Sha1::operator=(Sha1&& other) noexcept = default;
Sha1::~Sha1() = default;

void Sha1::update(std::string_view bytes) {
  // The length parameter has 32 bits: larger inputs go in pieces.
  constexpr size_t kMaxPiece = size_t{1} << 30;
  while (state_ && !bytes.empty()) {
    const size_t piece = std::min(bytes.size(), kMaxPiece);
    if (CC_SHA1_Update(&state_->ctx, bytes.data(), static_cast<CC_LONG>(piece)) != 1) {
      state_.reset();
    }
    bytes.remove_prefix(piece);
  }
}

std::optional<Sha1::Digest> Sha1::finish() {
  if (!state_) return std::nullopt;
  const std::unique_ptr<State> state = std::move(state_);
  static_assert(CC_SHA1_DIGEST_LENGTH == std::tuple_size_v<Digest>);
  Digest out;
  if (CC_SHA1_Final(out.data(), &state->ctx) != 1) return std::nullopt;
  return out;
}

}  // namespace norvane
