// The RSA side of SSH-1's key exchange: the server's public keys, the session identifier and
// the PKCS #1 v1.5 (type 2) wrap of the session key. Uses only public keys.
#pragma once

#include "model/transports/tarnlink/bignum.h"
#include "model/transports/tarnlink/binary_reader.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnlink {

struct RsaKey {
  std::uint32_t bits = 0;  // as the server announced it
  BigNum e;
  BigNum n;
  std::size_t bytes = 0;  // byte length of the modulus itself
};

// uint32 bits, mp-int exponent, mp-int modulus. Throws std::runtime_error on underrun.
RsaKey _read_rsa_pub(BinaryReader& cur);

// `n` as exactly `length` big-endian bytes. Throws std::runtime_error when it does not fit.
std::string _mp_to_be_bytes(const BIGNUM* n, std::size_t length);

// MD5 of `data`. Throws std::runtime_error when OpenSSL fails.
std::string md5(std::string_view data);

// MD5 of the key's modulus, 32 lower-case hex digits.
std::string _md5_modulus_fingerprint(const RsaKey& key);

// `n` cryptographically random bytes. Throws std::runtime_error when none can be had.
std::string random_bytes(std::size_t n);

// PKCS #1 v1.5 type 2 encryption of `data` with `key`, exactly key.bytes long. Throws
// std::runtime_error("RSA key 太短，無法 wrap session key") when the key is too short.
std::string _rsa_ssh1_encrypt(std::string_view data, const RsaKey& key);

}  // namespace tarnlink
