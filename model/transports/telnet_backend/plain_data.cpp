#include "plain_data.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>

#include <bit>
#endif

namespace veltaro::telnet {

namespace {

constexpr int kIac = 0xFF;

std::size_t copy_plain_memchr(const char* in, std::size_t size, char* out, bool stop_at_nul) {
  const void* iac = std::memchr(in, kIac, size);
  std::size_t n =
      iac == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(iac) - in);
  if (stop_at_nul) {
    const void* nul = std::memchr(in, '\0', n);
    if (nul != nullptr) n = static_cast<std::size_t>(static_cast<const char*>(nul) - in);
  }
  if (out != in) std::memmove(out, in, n);
  return n;
}

#if defined(__x86_64__)

// One pass that tests and moves 32 bytes at a time: on a stream with a command every few hundred
// bytes (an escaped 0xFF in binary data), separate searches and copies cost more in their calls
// than in their work. A block is stored only once it holds no stop byte, so a store never reaches
// input that is still to be read, in place or not.
__attribute__((target("avx2"))) std::size_t copy_plain_avx2(const char* in, std::size_t size,
                                                            char* out, bool stop_at_nul) {
  const __m256i iac = _mm256_set1_epi8(static_cast<char>(kIac));
  const __m256i nul = stop_at_nul ? _mm256_setzero_si256() : iac;
  std::size_t i = 0;
  for (; size - i >= 32; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i stops = _mm256_or_si256(_mm256_cmpeq_epi8(v, iac), _mm256_cmpeq_epi8(v, nul));
    const auto hits = static_cast<unsigned>(_mm256_movemask_epi8(stops));
    if (hits != 0) {
      const std::size_t k = static_cast<std::size_t>(std::countr_zero(hits));
      if (out != in) std::memmove(out + i, in + i, k);
      return i + k;
    }
    if (out != in) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), v);
  }
  return i + copy_plain_memchr(in + i, size - i, out + i, stop_at_nul);
}

using CopyPlain = std::size_t (*)(const char*, std::size_t, char*, bool);

CopyPlain pick_copy_plain() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? copy_plain_avx2 : copy_plain_memchr;
}

#endif

}  // namespace

std::size_t copy_plain_data(const char* in, std::size_t size, char* out, bool stop_at_nul) {
#if defined(__x86_64__)
  static const CopyPlain copy = pick_copy_plain();
  return copy(in, size, out, stop_at_nul);
#else
  return copy_plain_memchr(in, size, out, stop_at_nul);
#endif
}

}  // namespace veltaro::telnet
