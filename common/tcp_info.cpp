#include "tcp_info.h"

// The kernel's own header: glibc's <netinet/tcp.h> lacks the newer tcp_info fields.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace veltaro::common {

std::optional<std::uint64_t> tcp_bytes_received(int fd) noexcept {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return std::nullopt;
  // An older kernel fills in less of the structure.
  if (len < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
    return std::nullopt;
  }
  return info.tcpi_bytes_received;
}

}  // namespace veltaro::common
