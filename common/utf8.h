// Small facts about UTF-8 text. Buffer limits count characters (code points), never bytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace veltaro::common {

// A count of characters, kept apart from byte counts so the two are never mixed by accident.
struct CharCount {
  std::size_t value = 0;
  friend auto operator<=>(CharCount, CharCount) = default;
  CharCount& operator+=(CharCount o) {
    value += o.value;
    return *this;
  }
  CharCount& operator-=(CharCount o) {
    value -= o.value;
    return *this;
  }
};

// The number of code points in valid UTF-8 text (bytes that are not continuation bytes).
CharCount count_chars(std::string_view utf8) noexcept;

}  // namespace veltaro::common
