#include "model/transports/tarnlink/marshal.h"

namespace tarnlink {

std::string _marshal_uint32(std::uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

std::string _marshal_uint16(std::uint16_t n) {
  return {static_cast<char>(n >> 8), static_cast<char>(n)};
}

std::string _marshal_string(std::string_view s) {
  std::string out = _marshal_uint32(static_cast<std::uint32_t>(s.size()));
  out.append(s);
  return out;
}

}  // namespace tarnlink
