#include "tcp_socket.h"

#include "deadline.h"
#include "receive_buffer.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace veltaro::common {

namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error socket_error(const char* what, int err) {
  return std::runtime_error(std::string(what) + ": " + std::strerror(err));
}

void enable_keepalive(int fd) noexcept {
  const int on = 1;
  const int idle = static_cast<int>(kKeepAliveIdle.count());
  const int interval = static_cast<int>(kKeepAliveInterval.count());
  const int probes = kKeepAliveProbes;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

// One attempt on one address; returns the connected descriptor or -1 with `err` set.
int try_connect(const addrinfo& ai, Clock::time_point deadline, int& err) {
  const int fd =
      ::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai.ai_protocol);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  if (::connect(fd, ai.ai_addr, ai.ai_addrlen) != 0 && errno != EINPROGRESS) {
    err = errno;
    ::close(fd);
    return -1;
  }
  pollfd p{fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, remaining_ms(deadline));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) {
    err = ready == 0 ? ETIMEDOUT : errno;
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) {
    ::close(fd);
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  enable_keepalive(fd);
  return fd;
}

}  // namespace

TcpSocket TcpSocket::connect(const std::string& host, int port, std::chrono::milliseconds timeout) {
  if (port < 1 || port > 65535) throw std::runtime_error("invalid port " + std::to_string(port));
  const auto deadline = Clock::now() + timeout;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc =
      ::getaddrinfo(host.empty() ? "localhost" : host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) throw std::runtime_error(std::string("cannot resolve host: ") + ::gai_strerror(rc));
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
  int err = ETIMEDOUT;
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    if (remaining_ms(deadline) == 0) {
      err = ETIMEDOUT;
      break;
    }
    const int fd = try_connect(*ai, deadline, err);
    if (fd >= 0) return TcpSocket(fd);
  }
  throw socket_error("connect", err);
}

TcpSocket::~TcpSocket() {
  if (fd_ >= 0) ::close(fd_);
}

int TcpSocket::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

std::string TcpSocket::recv(std::size_t max_bytes) {
  // Received into a buffer that stays warm in the cache and copied out at the size that came: a
  // string sized for the largest read would be zeroed first and mostly hold air after a short one.
  thread_local ReceiveBuffer scratch;
  char* const buf = scratch.room(max_bytes);
  return std::string(buf, recv_into(buf, max_bytes));
}

std::size_t TcpSocket::recv_into(char* buf, std::size_t size) {
  for (;;) {
    if (shut_.load()) return 0;
    const ssize_t n = ::recv(fd_, buf, size, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (shut_.load()) return 0;
    throw socket_error("recv", errno);
  }
}

bool TcpSocket::wait_readable(std::chrono::milliseconds timeout) noexcept {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (shut_.load()) return true;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    // A failed poll counts as readable: the recv that follows reports the error.
    return ready != 0;
  }
}

void TcpSocket::send_all(std::string_view data, std::chrono::milliseconds timeout) {
  const std::lock_guard lock(send_mutex_);
  const auto deadline = Clock::now() + timeout;
  while (!data.empty()) {
    if (shut_.load()) throw std::runtime_error("socket is closed");
    const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw socket_error("send", errno);
    pollfd p{fd_, POLLOUT, 0};
    const int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready == 0) throw std::runtime_error("send: timed out");
    if (ready < 0 && errno != EINTR) throw socket_error("send", errno);
  }
}

void TcpSocket::shutdown() noexcept {
  if (!shut_.exchange(true) && fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace veltaro::common
