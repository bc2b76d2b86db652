#include "model/transports/tarnlink/des3_pipeline.h"

#include <climits>
#include <stdexcept>

namespace tarnlink {

CipherStage::CipherStage(std::string_view key8, bool encrypt) : ctx_(EVP_CIPHER_CTX_new()) {
  if (!ctx_ || key8.size() != 8) throw std::runtime_error("3DES set-up failed");
  // Triple DES keyed k||k||k is single DES under k, and unlike single DES it is in OpenSSL's
  // default provider.
  std::string key;
  for (int i = 0; i < 3; ++i) key.append(key8);
  const unsigned char iv[8] = {};
  if (EVP_CipherInit_ex(ctx_.get(), EVP_des_ede3_cbc(), nullptr,
                        reinterpret_cast<const unsigned char*>(key.data()), iv,
                        encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx_.get(), 0) != 1) {
    throw std::runtime_error("3DES set-up failed");
  }
}

void CipherStage::apply(std::string& data) {
  if (data.size() % 8 != 0 || data.size() > INT_MAX) {
    throw std::runtime_error("3DES input is not a whole number of blocks");
  }
  auto* p = reinterpret_cast<unsigned char*>(data.data());
  int out = 0;
  if (EVP_CipherUpdate(ctx_.get(), p, &out, p, static_cast<int>(data.size())) != 1 ||
      static_cast<std::size_t>(out) != data.size()) {
    throw std::runtime_error("3DES failed");
  }
}

CipherPipelines _setup_3des(std::string_view key24) {
  if (key24.size() < 24) throw std::invalid_argument("3DES key shorter than 24 bytes");
  const std::string_view k1 = key24.substr(0, 8), k2 = key24.substr(8, 8), k3 = key24.substr(16, 8);
  CipherPipelines p;
  p.enc = std::make_unique<CipherPipeline>(
      CipherPipeline{CipherStage(k1, true), CipherStage(k2, false), CipherStage(k3, true)});
  p.dec = std::make_unique<CipherPipeline>(
      CipherPipeline{CipherStage(k3, false), CipherStage(k2, true), CipherStage(k1, false)});
  return p;
}

std::string _cipher_apply(CipherPipeline& ctxs, std::string data) {
  for (CipherStage& stage : ctxs) stage.apply(data);
  return data;
}

}  // namespace tarnlink
