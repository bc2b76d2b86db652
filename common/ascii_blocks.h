// What the vector loops over UTF-8 text share (x86, AVX2).
#pragma once

#include <immintrin.h>

namespace veltaro::common {

// Whether this processor runs the AVX2 loops; each of them falls back to plain code otherwise.
inline bool has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}

// Whether the 128 bytes from `p` are all ASCII, four 32-byte blocks with one test: plain ASCII is
// the bulk of most terminal output.
__attribute__((target("avx2"))) inline bool ascii_128(const void* p) {
  const auto* v = static_cast<const __m256i*>(p);
  const __m256i any =
      _mm256_or_si256(_mm256_or_si256(_mm256_loadu_si256(v), _mm256_loadu_si256(v + 1)),
                      _mm256_or_si256(_mm256_loadu_si256(v + 2), _mm256_loadu_si256(v + 3)));
  return _mm256_movemask_epi8(any) == 0;
}

// All ones in the lanes of `v` that hold a continuation byte (10xxxxxx): as signed bytes, those
// are the ones below -64.
__attribute__((target("avx2"))) inline __m256i continuation_lanes(__m256i v) {
  return _mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v);
}

}  // namespace veltaro::common
