// What the kernel knows about a connected TCP socket, for telling a silent peer from a live one.
#pragma once

#include <cstdint>
#include <optional>

namespace veltaro::common {

// Bytes received on the connection so far, read or not; nullopt when `fd` is no TCP socket or
// the system cannot tell.
std::optional<std::uint64_t> tcp_bytes_received(int fd) noexcept;

}  // namespace veltaro::common
