// Reads the fields of one SSH-1 payload in order. Never copies or changes the payload; every read
// past its end throws std::runtime_error("SSH-1 payload underrun").
#pragma once

#include "model/transports/tarnlink/bignum.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnlink {

class BinaryReader {
 public:
  // `data` must outlive the reader.
  explicit BinaryReader(std::string_view payload) noexcept : data(payload) {}

  std::string_view read(std::size_t n);
  std::uint32_t read_uint32();
  std::uint16_t read_uint16();
  // A uint32 length, then that many raw bytes.
  std::string_view read_string();
  // A uint16 bit count, then (bits + 7) / 8 bytes of a big-endian unsigned integer.
  BigNum read_mp_ssh1();

  const std::string_view data;
  std::size_t pos = 0;
};

}  // namespace tarnlink
