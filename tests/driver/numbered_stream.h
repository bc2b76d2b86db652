// A long stream of numbered lines ("100000000\n", "100000001\n", ...) that a test can send in
// pieces and check in pieces: any byte's value follows from its offset alone, so a gap, a repeat
// or a swap shows at the first byte it touches.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veltaro::driver {

inline constexpr std::size_t kLineBytes = 10;  // nine digits and LF
inline constexpr unsigned long kFirstNumber = 100'000'000;

// `n` bytes of the stream from `offset` on.
inline std::string numbered_bytes(std::size_t offset, std::size_t n) {
  std::string out;
  out.reserve(n + kLineBytes);
  std::size_t line = offset / kLineBytes;
  const std::size_t skip = offset % kLineBytes;
  while (out.size() < n + skip) {
    out += std::to_string(kFirstNumber + line++);
    out += '\n';
  }
  return out.substr(skip, n);
}

// Checks received text piece by piece against the stream.
class NumberedChecker {
 public:
  // False at the first piece that does not continue the stream; later pieces are ignored.
  bool feed(std::string_view piece) {
    if (!ok_) return false;
    if (numbered_bytes(received_, piece.size()) != piece) {
      ok_ = false;
      bad_offset_ = received_;
      return false;
    }
    received_ += piece.size();
    return true;
  }
  std::size_t received() const noexcept { return received_; }
  bool ok() const noexcept { return ok_; }
  std::size_t bad_offset() const noexcept { return bad_offset_; }

 private:
  std::size_t received_ = 0;
  bool ok_ = true;
  std::size_t bad_offset_ = 0;
};

}  // namespace veltaro::driver
