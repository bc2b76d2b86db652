#include "raw_backend.h"

#include <stdexcept>

namespace veltaro::raw {

namespace {
// A peer that stops reading must not hold a page call forever.
constexpr std::chrono::seconds kSendTimeout{30};
}  // namespace

RawBackend::RawBackend(std::string host, int port, std::chrono::seconds timeout)
    : host_(std::move(host)), port_(port), timeout_(timeout) {}

void RawBackend::connect() {
  auto sock =
      std::make_shared<common::TcpSocket>(common::TcpSocket::connect(host_, port_, timeout_));
  const std::lock_guard lock(mutex_);
  if (closed_) {
    sock->shutdown();
    throw std::runtime_error("connection closed while connecting");
  }
  socket_ = std::move(sock);
}

std::shared_ptr<common::TcpSocket> RawBackend::socket() const {
  const std::lock_guard lock(mutex_);
  return socket_;
}

std::string RawBackend::recv(std::size_t max_bytes) {
  const auto sock = socket();
  if (!sock) return {};
  return sock->recv(max_bytes);
}

void RawBackend::send(std::string_view data) {
  const auto sock = socket();
  if (!sock || is_closed()) throw std::runtime_error("not connected");
  sock->send_all(data, kSendTimeout);
}

void RawBackend::close() noexcept {
  std::shared_ptr<common::TcpSocket> sock;
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    sock = socket_;
  }
  if (sock) sock->shutdown();
}

bool RawBackend::is_closed() const noexcept {
  const std::lock_guard lock(mutex_);
  return closed_ || (socket_ && socket_->is_shut_down());
}

}  // namespace veltaro::raw
