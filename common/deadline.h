// Time left before a deadline, in the form poll(2) takes.
#pragma once

#include <chrono>

namespace veltaro::common {

// Milliseconds from now until `deadline`, 0 once it has passed. Never throws.
inline int remaining_ms(std::chrono::steady_clock::time_point deadline) noexcept {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace veltaro::common
