// SHA-1 through OpenSSL's libcrypto.
#include "sha1.h"

#include <algorithm>

#include <openssl/evp.h>

namespace norvane {

struct Sha1::State {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { EVP_MD_CTX_free(ctx); }
};

Sha1::Sha1() : state_(std::make_unique<State>()) {
  if (state_->ctx == nullptr || EVP_DigestInit_ex(state_->ctx, EVP_sha1(), nullptr) != 1) {
    state_.reset();
  }
}

Sha1::Sha1(Sha1&& other) noexcept = default;
Sha1& Sha1::operator=(Sha1&& other) noexcept = default;
Sha1::~Sha1() = default;

void Sha1::update(std::string_view bytes) {
  if (!state_ || bytes.empty()) return;
  if (EVP_DigestUpdate(state_->ctx, bytes.data(), bytes.size()) != 1) state_.reset();
}

std::optional<Sha1::Digest> Sha1::finish() {
  if (!state_) return std::nullopt;
  const std::unique_ptr<State> state = std::move(state_);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state->ctx, digest, &length) != 1 || length != Digest().size()) {
    return std::nullopt;
  }
  Digest out;
  std::copy(digest, digest + length, out.begin());
  return out;
}

}  // namespace norvane
