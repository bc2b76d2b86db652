#include "transport.h"

#include "model/transports/ssh2/connection.h"

namespace veltaro::ssh2 {

Transport::Transport(std::shared_ptr<detail::Connection> connection)
    : connection_(std::move(connection)) {}

bool Transport::set_keepalive(std::chrono::seconds interval) noexcept {
  if (!connection_->is_active()) return false;
  connection_->set_keepalive(interval);
  return true;
}

bool Transport::is_active() const noexcept {
  return connection_->is_active();
}

std::shared_ptr<Channel> Transport::open_session(std::chrono::milliseconds timeout) {
  return std::make_shared<Channel>(connection_, connection_->open_session(timeout));
}

std::shared_ptr<Channel> Transport::open_direct_tcpip(const Endpoint& destination,
                                                      const Endpoint& origin,
                                                      std::chrono::milliseconds timeout) {
  return std::make_shared<Channel>(
      connection_, connection_->open_direct_tcpip(destination.host, destination.port, origin.host,
                                                  origin.port, timeout));
}

int Transport::request_port_forward(const std::string& address, int port, ForwardHandler handler,
                                    std::chrono::milliseconds timeout) {
  // The connection keeps the handler, so the handler must not keep the connection.
  const std::weak_ptr<detail::Connection> weak = connection_;
  return connection_->listen_forward(
      address, port,
      [weak, address, handler = std::move(handler)](std::shared_ptr<detail::ChannelCore> core,
                                                    std::string origin_host, int origin_port,
                                                    int server_port) {
        const auto connection = weak.lock();
        if (!connection) {
          core->close();
          return;
        }
        handler(std::make_shared<Channel>(connection, std::move(core)),
                Endpoint{std::move(origin_host), origin_port}, Endpoint{address, server_port});
      },
      timeout);
}

void Transport::close() noexcept {
  connection_->close();
}

}  // namespace veltaro::ssh2
