#include "model/transports/tarnlink/rsa_ssh1.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <stdexcept>

namespace tarnlink {

namespace {

struct BnCtxFree {
  void operator()(BN_CTX* c) const noexcept { BN_CTX_free(c); }
};

const unsigned char* bytes_of(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Padding bytes for PKCS #1 type 2: random and never zero.
std::string nonzero_random(std::size_t count) {
  std::string out;
  while (out.size() < count) {
    for (const char c : random_bytes(count - out.size())) {
      if (c != 0) out.push_back(c);
    }
  }
  out.resize(count);
  return out;
}

}  // namespace

RsaKey _read_rsa_pub(BinaryReader& cur) {
  RsaKey key;
  key.bits = cur.read_uint32();
  key.e = cur.read_mp_ssh1();
  key.n = cur.read_mp_ssh1();
  key.bytes = (static_cast<std::size_t>(BN_num_bits(key.n.get())) + 7) / 8;
  return key;
}

std::string _mp_to_be_bytes(const BIGNUM* n, std::size_t length) {
  if (length > INT_MAX) throw std::runtime_error("integer too large");
  std::string out(length, '\0');
  if (BN_bn2binpad(n, reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(length)) < 0) {
    throw std::runtime_error("integer does not fit in " + std::to_string(length) + " bytes");
  }
  return out;
}

std::string md5(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 failed");
  }
  return std::string(reinterpret_cast<const char*>(digest), len);
}

std::string _md5_modulus_fingerprint(const RsaKey& key) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : md5(_mp_to_be_bytes(key.n.get(), key.bytes))) {
    out.push_back(kHex[static_cast<unsigned char>(c) >> 4]);
    out.push_back(kHex[static_cast<unsigned char>(c) & 0xF]);
  }
  return out;
}

std::string random_bytes(std::size_t n) {
  std::string out(n, '\0');
  if (n > INT_MAX ||
      RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1) {
    throw std::runtime_error("no random bytes available");
  }
  return out;
}

std::string _rsa_ssh1_encrypt(std::string_view data, const RsaKey& key) {
  const std::size_t k = key.bytes;
  if (k < data.size() + 11) throw std::runtime_error("RSA key 太短，無法 wrap session key");
  std::string block;
  block.reserve(k);
  block += '\x00';
  block += '\x02';
  block += nonzero_random(k - data.size() - 3);
  block += '\x00';
  block.append(data);

  const std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
  const BigNum m(BN_bin2bn(bytes_of(block), static_cast<int>(block.size()), nullptr));
  BigNum c(BN_new());
  if (!ctx || !m || !c) throw std::bad_alloc();
  if (BN_is_zero(key.n.get()) ||
      BN_mod_exp(c.get(), m.get(), key.e.get(), key.n.get(), ctx.get()) != 1) {
    throw std::runtime_error("RSA wrap failed");
  }
  return _mp_to_be_bytes(c.get(), k);
}

}  // namespace tarnlink
