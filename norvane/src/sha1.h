// SHA-1 digests, with which a downloaded package is checked against its feed. One
// source file per digest library implements it (sha1_openssl.cpp on Linux,
// sha1_commoncrypto.cpp on macOS); CMake picks the one that applies.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string_view>

namespace norvane {

// One digest being computed. Move-only.
class Sha1 {
 public:
  using Digest = std::array<unsigned char, 20>;

  Sha1();
  Sha1(Sha1&& other) noexcept;
  Sha1& operator=(Sha1&& other) noexcept;
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;
  ~Sha1();

  // Adds `bytes` to what is hashed. A failure of the digest library is kept for
  // finish() to report.
  void update(std::string_view bytes);

  // The digest of every byte given to update(), or none when the digest library failed
  // at any step, including this one. After it, the object only reports failures.
  std::optional<Digest> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;  // none once finished or failed
};

}  // namespace norvane
