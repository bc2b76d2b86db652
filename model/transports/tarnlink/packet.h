// SSH-1 binary packets: length (clear), 1-8 bytes of random padding, type, payload, CRC.
#pragma once

#include "model/transports/tarnlink/des3_pipeline.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnlink {

// Largest length field accepted from a peer (type, payload and CRC).
inline constexpr std::uint32_t kMaxPacketLength = 262144;

struct Packet {
  std::uint8_t type = 0;
  std::string payload;
};

// The CRC real SSH-1 peers use: the reflected CRC-32 polynomial, but starting from 0 and with
// no final inversion. Never fails.
std::uint32_t ssh1_crc32(std::string_view data) noexcept;

// Padding, type, payload and CRC of one packet, in clear; `length_field` receives L.
// Throws std::runtime_error when no random bytes can be had.
std::string frame_body(std::uint8_t type, std::string_view payload, std::uint32_t& length_field);

// Where a packet's bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Exactly `n` bytes. Throws SSH1Closed at end of stream or on a socket error.
  virtual std::string read_exact(std::size_t n) = 0;
};

// Reads one whole packet, deciphering it through `dec` when given. Throws SSH1Closed, or
// std::runtime_error for a length out of range or a CRC mismatch.
Packet read_packet(ByteSource& source, CipherPipeline* dec);

}  // namespace tarnlink
