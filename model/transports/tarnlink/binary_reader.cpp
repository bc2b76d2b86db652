#include "model/transports/tarnlink/binary_reader.h"

#include <new>
#include <stdexcept>

namespace tarnlink {

std::string_view BinaryReader::read(std::size_t n) {
  if (n > data.size() - pos) throw std::runtime_error("SSH-1 payload underrun");
  const std::string_view out = data.substr(pos, n);
  pos += n;
  return out;
}

std::uint32_t BinaryReader::read_uint32() {
  const std::string_view b = read(4);
  std::uint32_t v = 0;
  for (const char c : b) v = (v << 8) | static_cast<unsigned char>(c);
  return v;
}

std::uint16_t BinaryReader::read_uint16() {
  const std::string_view b = read(2);
  return static_cast<std::uint16_t>((static_cast<unsigned char>(b[0]) << 8) |
                                    static_cast<unsigned char>(b[1]));
}

std::string_view BinaryReader::read_string() {
  return read(read_uint32());
}

BigNum BinaryReader::read_mp_ssh1() {
  const std::size_t bits = read_uint16();
  const std::string_view b = read((bits + 7) / 8);
  BigNum n(BN_bin2bn(reinterpret_cast<const unsigned char*>(b.data()), static_cast<int>(b.size()),
                     nullptr));
  if (!n) throw std::bad_alloc();
  return n;
}

}  // namespace tarnlink
