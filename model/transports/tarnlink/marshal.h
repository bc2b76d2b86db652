// SSH-1 field encodings, all big-endian. Never fail except std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnlink {

std::string _marshal_uint32(std::uint32_t n);
std::string _marshal_uint16(std::uint16_t n);
// The byte length as a uint32, then the bytes (text is already UTF-8 here).
std::string _marshal_string(std::string_view s);

}  // namespace tarnlink
