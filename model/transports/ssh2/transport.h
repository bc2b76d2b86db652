// The SSH connection under a logged-in client: keep-alive, session channels, "direct-tcpip"
// channels and remote port forwards, all multiplexed by the connection's one I/O thread.
#pragma once

#include "model/transports/ssh2/channel.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace veltaro::ssh2 {

struct Endpoint {
  std::string host;
  int port = 0;
};

// Serves one connection the server forwarded to us. Runs on a thread of its own and may block
// for as long as the connection lasts; `server` is the address and port it arrived on.
using ForwardHandler =
    std::function<void(std::shared_ptr<Channel> channel, Endpoint origin, Endpoint server)>;

class Transport {
 public:
  explicit Transport(std::shared_ptr<detail::Connection> connection);

  // Sends keepalive@openssh.com every `interval` (0: never); may be changed at any time.
  // False when the connection has ended. Never throws.
  bool set_keepalive(std::chrono::seconds interval) noexcept;
  bool is_active() const noexcept;

  // Each of these throws std::runtime_error with the reason when the server refuses, the
  // request times out or the connection has ended.
  std::shared_ptr<Channel> open_session(std::chrono::milliseconds timeout = kRequestTimeout);
  // A channel to `destination` as the server sees it, `origin` being who asked for it here.
  std::shared_ptr<Channel> open_direct_tcpip(const Endpoint& destination, const Endpoint& origin,
                                             std::chrono::milliseconds timeout = kRequestTimeout);
  // Asks the server to listen on address:port ("" for all its addresses; port 0 for one it
  // picks) and returns the port. Each server port has its own handler, so several forwards on
  // one connection each receive their own connections.
  int request_port_forward(const std::string& address, int port, ForwardHandler handler,
                           std::chrono::milliseconds timeout = kRequestTimeout);

  // Closes every channel and the connection. Idempotent; never throws.
  void close() noexcept;

 private:
  const std::shared_ptr<detail::Connection> connection_;
};

}  // namespace veltaro::ssh2
