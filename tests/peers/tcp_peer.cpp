#include "tcp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace veltaro::peers {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

// Milliseconds left until `deadline`, at least 0, for poll().
int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

void set_nodelay(int fd) {
  int one = 1;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) fail("TCP_NODELAY");
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int Fd::release() noexcept {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void Fd::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

TcpConnection::TcpConnection(Fd fd) : fd_(std::move(fd)) {
  set_nodelay(fd_.get());
}

TcpConnection::TcpConnection(TcpConnection&& other) noexcept : fd_(std::move(other.fd_)) {
  // Only connections without a running echo thread are moved (accept() returns them fresh).
}

TcpConnection::~TcpConnection() {
  close();
}

void TcpConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("peer send");
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void TcpConnection::send_segments(const std::vector<std::string>& segments,
                                  std::chrono::milliseconds pause) {
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(pause);
    send(segments[i]);
  }
}

ReadResult TcpConnection::read_until(const std::function<bool(const std::string&)>& done,
                                     std::chrono::milliseconds timeout) {
  ReadResult result;
  const auto deadline = Clock::now() + timeout;
  char buf[4096];
  while (!done(result.data)) {
    pollfd p{fd_.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) fail("peer poll");
    if (ready == 0) break;  // time-out: the caller judges what arrived
    ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      result.eof = true;
      break;
    }
    result.data.append(buf, static_cast<std::size_t>(n));
  }
  return result;
}

ReadResult TcpConnection::read_until_contains(std::string_view needle,
                                              std::chrono::milliseconds timeout) {
  return read_until([needle](const std::string& s) { return s.find(needle) != std::string::npos; },
                    timeout);
}

ReadResult TcpConnection::read_all(std::chrono::milliseconds timeout) {
  return read_until([](const std::string&) { return false; }, timeout);
}

void TcpConnection::start_echo() {
  if (echo_.joinable()) return;
  stop_echo_ = false;
  echo_ = std::thread([this] {
    char buf[4096];
    while (!stop_echo_) {
      pollfd p{fd_.get(), POLLIN, 0};
      int ready = ::poll(&p, 1, 50);
      if (ready <= 0) continue;
      ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
      if (n <= 0) return;
      {
        std::lock_guard lock(received_mu_);
        received_.append(buf, static_cast<std::size_t>(n));
      }
      if (::send(fd_.get(), buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) < 0) return;
    }
  });
}

std::string TcpConnection::received() const {
  std::lock_guard lock(received_mu_);
  return received_;
}

void TcpConnection::stop_echo() noexcept {
  stop_echo_ = true;
  if (echo_.joinable()) echo_.join();
}

void TcpConnection::close() noexcept {
  stop_echo();
  fd_.reset();
}

void TcpConnection::reset() noexcept {
  stop_echo();
  if (fd_.valid()) {
    linger lg{1, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  fd_.reset();
}

TcpListener::TcpListener(int backlog) {
  // Close-on-exec: the program under test must not inherit the peer's sockets, or closing them
  // here would not end the connection.
  fd_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd_.valid()) fail("peer socket");
  sockaddr_in addr = loopback(0);
  if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("peer bind");
  if (::listen(fd_.get(), backlog) != 0) fail("peer listen");
  socklen_t len = sizeof addr;
  if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    fail("peer getsockname");
  }
  port_ = ntohs(addr.sin_port);
}

TcpConnection TcpListener::accept(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{fd_.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) fail("peer poll");
    if (ready == 0) {
      throw std::runtime_error("no connection to port " + std::to_string(port_) + " within " +
                               std::to_string(timeout.count()) + " ms");
    }
    int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
    if (fd < 0) fail("peer accept");
    return TcpConnection(Fd(fd));
  }
}

Fd connect_loopback(int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) fail("peer socket");
  sockaddr_in addr = loopback(static_cast<std::uint16_t>(port));
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    fail("nothing listens on port " + std::to_string(port));
  }
  return fd;
}

TcpConnection TcpListener::connect_to_self() {
  return TcpConnection(connect_loopback(port_));
}

std::uint16_t refused_port() {
  // Bound but never listening: the port is reserved while we learn its number, then released.
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) fail("socket");
  sockaddr_in addr = loopback(0);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("bind");
  socklen_t len = sizeof addr;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) fail("getsockname");
  return ntohs(addr.sin_port);
}

}  // namespace veltaro::peers
