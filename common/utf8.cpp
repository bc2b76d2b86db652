#include "utf8.h"

#include <cstdint>
#include <cstring>

namespace veltaro::common {

CharCount count_chars(std::string_view utf8) noexcept {
  // Counting continuation bytes (10xxxxxx) eight at a time keeps this off the profile of the
  // output pipeline, which counts every chunk it buffers.
  std::size_t continuation = 0;
  std::size_t i = 0;
  const std::size_t n = utf8.size();
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, utf8.data() + i, 8);
    // Bit 7 set and bit 6 clear marks a continuation byte.
    const std::uint64_t cont = w & ~(w << 1) & kHigh;
    continuation += static_cast<std::size_t>(__builtin_popcountll(cont));
  }
  for (; i < n; ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) ++continuation;
  }
  return CharCount{n - continuation};
}

}  // namespace veltaro::common
