#include "tcp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace veltaro::common {

TcpListener::TcpListener(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd_, SOMAXCONN) != 0) {
    const int err = errno;
    ::close(fd_);
    throw std::runtime_error("127.0.0.1:" + std::to_string(port) + ": " + std::strerror(err));
  }
}

TcpListener::~TcpListener() {
  ::close(fd_);
}

std::optional<TcpListener::Accepted> TcpListener::accept(std::chrono::milliseconds wait) {
  if (is_closed()) return std::nullopt;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0 || is_closed()) return std::nullopt;
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  const int conn = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (conn < 0) return std::nullopt;
  TcpSocket socket(conn);
  const int one = 1;
  ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
  return Accepted{std::move(socket), ip, ntohs(peer.sin_port)};
}

void TcpListener::close() noexcept {
  if (closed_.exchange(true)) return;
  // Wakes a poll in accept; the descriptor itself goes with the object.
  ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace veltaro::common
