#include "telnet_backend.h"

#include <poll.h>

#include <cerrno>
#include <stdexcept>

namespace veltaro::telnet {

namespace {

using Clock = std::chrono::steady_clock;

// A peer that stops reading must not hold a page call forever.
constexpr std::chrono::seconds kSendTimeout{30};
// How long a passive client waits for the server to open the negotiation.
constexpr std::chrono::seconds kPassiveWait{2};
constexpr std::size_t kNegotiationRead = 4096;

// Waits until `fd` is readable or `deadline` passes; false on time-out.
bool wait_readable(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) throw std::runtime_error("poll failed");
  }
}

}  // namespace

TelnetBackend::TelnetBackend(TelnetOptions options)
    : host_(options.host),
      port_(options.port),
      timeout_(options.timeout),
      passive_(options.passive),
      com_port_control_(options.com_port_control),
      protocol_(std::move(options)) {}

void TelnetBackend::connect() {
  auto sock =
      std::make_shared<common::TcpSocket>(common::TcpSocket::connect(host_, port_, timeout_));
  {
    const std::lock_guard lock(mutex_);
    if (closed_) {
      sock->shutdown();
      throw std::runtime_error("connection closed while connecting");
    }
    socket_ = sock;
  }
  try {
    if (passive_) {
      negotiate_until(*sock, kPassiveWait,
                      [](const TelnetProtocol& p) { return p.server_negotiated(); });
    }
    std::string offers;
    {
      const std::lock_guard lock(mutex_);
      offers = protocol_.opening_offers();
    }
    send_ordered(*sock, offers);
    if (com_port_control_) open_com_port(*sock);
  } catch (...) {
    close();
    throw;
  }
}

void TelnetBackend::open_com_port(common::TcpSocket& sock) {
  negotiate_until(sock, timeout_, [](const TelnetProtocol& p) {
    return p.com_port_state() != TelnetProtocol::ComPortState::pending;
  });
  const std::lock_guard lock(mutex_);
  switch (protocol_.com_port_state()) {
    case TelnetProtocol::ComPortState::agreed:
      return;
    case TelnetProtocol::ComPortState::refused:
      throw std::runtime_error("the server refused COM port control (RFC 2217)");
    case TelnetProtocol::ComPortState::pending:
      break;
  }
  throw std::runtime_error(
      "the server did not answer the COM port control (RFC 2217) offer within " +
      std::to_string(timeout_.count()) + " s");
}

// Reads and answers the server until `done` holds or `limit` passes; terminal data is kept for
// the first recv. Throws when the connection ends.
void TelnetBackend::negotiate_until(common::TcpSocket& sock, std::chrono::milliseconds limit,
                                    bool (*done)(const TelnetProtocol&)) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (done(protocol_)) return;
    }
    if (!wait_readable(sock.fd(), deadline)) return;
    std::string bytes = sock.recv(kNegotiationRead);
    if (bytes.empty()) throw std::runtime_error("the server closed the connection");
    const std::size_t data = process(sock, bytes.data(), bytes.size());
    const std::lock_guard lock(mutex_);
    pending_.append(bytes, 0, data);
  }
}

std::shared_ptr<common::TcpSocket> TelnetBackend::socket() const {
  const std::lock_guard lock(mutex_);
  return socket_;
}

std::size_t TelnetBackend::process(common::TcpSocket& sock, char* bytes, std::size_t size) {
  std::string replies;
  std::size_t data = 0;
  const std::lock_guard order(write_order_);
  {
    const std::lock_guard lock(mutex_);
    data = protocol_.receive(std::string_view(bytes, size), bytes, replies);
  }
  if (!replies.empty()) sock.send_all(replies, kSendTimeout);
  return data;
}

void TelnetBackend::send_ordered(common::TcpSocket& sock, std::string_view bytes) {
  if (bytes.empty()) return;
  const std::lock_guard order(write_order_);
  sock.send_all(bytes, kSendTimeout);
}

std::string TelnetBackend::recv(std::size_t max_bytes) {
  std::string owned;
  const std::string_view data = recv_lent(max_bytes, owned);
  if (!owned.empty()) return owned;
  return std::string(data);
}

std::string_view TelnetBackend::recv_lent(std::size_t max_bytes, std::string& owned) {
  owned.clear();
  for (;;) {
    {
      const std::lock_guard lock(mutex_);
      if (!pending_.empty()) {
        const std::size_t n = std::min(max_bytes, pending_.size());
        owned = pending_.substr(0, n);
        pending_.erase(0, n);
        return owned;
      }
    }
    const auto sock = socket();
    if (!sock) return {};
    char* const wire = wire_.room(max_bytes);
    const std::size_t n = sock->recv_into(wire, max_bytes);
    if (n == 0) return {};
    // The commands are taken out in place: what is left is the data, lent from the buffer.
    const std::size_t data = process(*sock, wire, n);
    if (data > 0) return {wire, data};
  }
}

void TelnetBackend::send(std::string_view data) {
  const auto sock = socket();
  if (!sock || is_closed()) throw std::runtime_error("not connected");
  const std::lock_guard order(write_order_);
  std::string wire;
  {
    const std::lock_guard lock(mutex_);
    wire = protocol_.encode_input(data);
  }
  sock->send_all(wire, kSendTimeout);
}

void TelnetBackend::resize(int rows, int cols) {
  const auto sock = socket();
  const std::lock_guard order(write_order_);
  std::string message;
  {
    const std::lock_guard lock(mutex_);
    message = protocol_.resize(rows, cols);
  }
  if (sock && !message.empty() && !sock->is_shut_down()) sock->send_all(message, kSendTimeout);
}

void TelnetBackend::close() noexcept {
  std::shared_ptr<common::TcpSocket> sock;
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    sock = socket_;
  }
  if (sock) sock->shutdown();
}

bool TelnetBackend::is_closed() const noexcept {
  const std::lock_guard lock(mutex_);
  return closed_ || (socket_ && socket_->is_shut_down());
}

ComPortReport TelnetBackend::com_port_report() const {
  const std::lock_guard lock(mutex_);
  return protocol_.com_port_report();
}

}  // namespace veltaro::telnet
