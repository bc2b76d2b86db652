// An owned OpenSSL big number.
#pragma once

#include <openssl/bn.h>

#include <memory>

namespace tarnlink {

struct BigNumFree {
  void operator()(BIGNUM* n) const noexcept { BN_free(n); }
};
using BigNum = std::unique_ptr<BIGNUM, BigNumFree>;

}  // namespace tarnlink
