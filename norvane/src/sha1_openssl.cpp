// SHA-1 through OpenSSL's libcrypto, opened when the first digest is made rather than
// linked: only a download hashes, and loading the library would cost every other run
// (the version, the packages directory, a check) its start-up time.
#include "sha1.h"

#include <dlfcn.h>

#include <algorithm>
#include <type_traits>

#include <openssl/evp.h>

namespace norvane {

namespace {

// The functions of libcrypto a digest needs, all bound, or none when the library or one
// of them is missing (every digest then fails).
struct CryptoApi {
  decltype(&::EVP_MD_CTX_new) md_ctx_new = nullptr;
  decltype(&::EVP_MD_CTX_free) md_ctx_free = nullptr;
  decltype(&::EVP_sha1) sha1 = nullptr;
  decltype(&::EVP_DigestInit_ex) digest_init = nullptr;
  decltype(&::EVP_DigestUpdate) digest_update = nullptr;
  decltype(&::EVP_DigestFinal_ex) digest_final = nullptr;
};

// The library of the OpenSSL 3 series, which the build's headers describe.
constexpr const char* kLibrary = "libcrypto.so.3";

const CryptoApi* crypto() {
  static const CryptoApi* const api = []() -> const CryptoApi* {
    // Never closed: the process ends with the library in use.
    void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    static CryptoApi bound;
    bool complete = true;
    const auto bind = [&](auto& pointer, const char* symbol) {
      pointer =
          reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(::dlsym(handle, symbol));
      complete = complete && pointer != nullptr;
    };
    bind(bound.md_ctx_new, "EVP_MD_CTX_new");
    bind(bound.md_ctx_free, "EVP_MD_CTX_free");
    bind(bound.sha1, "EVP_sha1");
    bind(bound.digest_init, "EVP_DigestInit_ex");
    bind(bound.digest_update, "EVP_DigestUpdate");
    bind(bound.digest_final, "EVP_DigestFinal_ex");
    return complete ? &bound : nullptr;
  }();
  return api;
}

}  // namespace

struct Sha1::State {
  const CryptoApi& api;
  EVP_MD_CTX* ctx;

  explicit State(const CryptoApi& a) : api(a), ctx(a.md_ctx_new()) {}
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { api.md_ctx_free(ctx); }
};

Sha1::Sha1() {
  const CryptoApi* api = crypto();
  if (api == nullptr) return;
  state_ = std::make_unique<State>(*api);
  if (state_->ctx == nullptr || api->digest_init(state_->ctx, api->sha1(), nullptr) != 1) {
    state_.reset();
  }
}

Sha1::Sha1(Sha1&& other) noexcept = default;
Sha1& Sha1::operator=(Sha1&& other) noexcept = default;
Sha1::~Sha1() = default;

void Sha1::update(std::string_view bytes) {
  if (!state_ || bytes.empty()) return;
  if (state_->api.digest_update(state_->ctx, bytes.data(), bytes.size()) != 1) state_.reset();
}

std::optional<Sha1::Digest> Sha1::finish() {
  if (!state_) return std::nullopt;
  const std::unique_ptr<State> state = std::move(state_);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (state->api.digest_final(state->ctx, digest, &length) != 1 || length != Digest().size()) {
    return std::nullopt;
  }
  Digest out;
  std::copy(digest, digest + length, out.begin());
  return out;
}

}  // namespace norvane
