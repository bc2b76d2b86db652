#include "model/transports/tarnlink/packet.h"

#include "model/transports/tarnlink/marshal.h"

#include <openssl/rand.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace tarnlink {

namespace {

std::uint32_t padding_for(std::uint32_t length) {
  return 8 - (length % 8);
}

std::uint32_t be32(std::string_view b) {
  std::uint32_t v = 0;
  for (const char c : b.substr(0, 4)) v = (v << 8) | static_cast<unsigned char>(c);
  return v;
}

}  // namespace

std::uint32_t ssh1_crc32(std::string_view data) noexcept {
  // zlib inverts on entry and on exit; feeding it the inverted start value 0 and inverting its
  // result undoes both.
  uLong crc = 0xFFFFFFFFUL;
  while (!data.empty()) {
    const auto n = static_cast<uInt>(std::min<std::size_t>(data.size(), UINT_MAX));
    crc = ::crc32(crc, reinterpret_cast<const Bytef*>(data.data()), n);
    data.remove_prefix(n);
  }
  return static_cast<std::uint32_t>(crc ^ 0xFFFFFFFFUL);
}

std::string frame_body(std::uint8_t type, std::string_view payload, std::uint32_t& length_field) {
  length_field = static_cast<std::uint32_t>(payload.size() + 5);
  const std::uint32_t pad = padding_for(length_field);
  std::string body(pad, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(body.data()), static_cast<int>(pad)) != 1) {
    throw std::runtime_error("no random bytes for SSH-1 padding");
  }
  body.reserve(pad + length_field);
  body.push_back(static_cast<char>(type));
  body.append(payload);
  body += _marshal_uint32(ssh1_crc32(body));
  return body;
}

Packet read_packet(ByteSource& source, CipherPipeline* dec) {
  const std::uint32_t length = be32(source.read_exact(4));
  if (length < 5 || length > kMaxPacketLength) {
    throw std::runtime_error("SSH-1 packet length out of range: " + std::to_string(length));
  }
  const std::uint32_t pad = padding_for(length);
  std::string body = source.read_exact(pad + length);
  if (dec) body = _cipher_apply(*dec, std::move(body));
  const std::string_view whole(body);
  const std::size_t crc_at = whole.size() - 4;
  if (be32(whole.substr(crc_at)) != ssh1_crc32(whole.substr(0, crc_at))) {
    throw std::runtime_error("SSH-1 CRC 校驗失敗");
  }
  Packet p;
  p.type = static_cast<std::uint8_t>(body[pad]);
  p.payload = body.substr(pad + 1, crc_at - pad - 1);
  return p;
}

}  // namespace tarnlink
