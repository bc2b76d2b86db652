// SSH-1's inner-CBC triple DES: three single-DES stages per direction, each with its own CBC
// chain that runs on from one packet to the next (not the standard 3des-cbc, which chains once
// around all three).
#pragma once

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <string>
#include <string_view>

namespace tarnlink {

// One single-direction DES-CBC context with a zero initial vector. Move-only.
class CipherStage {
 public:
  // `key8` is one 8-byte DES key. Throws std::runtime_error when OpenSSL refuses it.
  CipherStage(std::string_view key8, bool encrypt);
  // Passes `data` (a multiple of 8 bytes) through in place. Throws std::runtime_error.
  void apply(std::string& data);

 private:
  struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
  };
  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx_;
};

using CipherPipeline = std::array<CipherStage, 3>;

struct CipherPipelines {
  std::unique_ptr<CipherPipeline> enc;
  std::unique_ptr<CipherPipeline> dec;
};

// Both directions from the first 24 bytes of the session key: enc = E(k1) D(k2) E(k3),
// dec = D(k3) E(k2) D(k1). Throws std::invalid_argument for a key shorter than 24 bytes.
CipherPipelines _setup_3des(std::string_view key24);

// Runs `data` through the stages in order; returns the output of the last.
std::string _cipher_apply(CipherPipeline& ctxs, std::string data);

}  // namespace tarnlink
