// Helpers shared by the ssh2 integration tests: connect options for the test account, bounded
// reads from a channel, an isolated HOME, bulk transfers and a TCP echo service.
#pragma once

#include "model/transports/ssh2/client.h"
#include "process.h"
#include "ssh_peers.h"
#include "tcp_peer.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace veltaro::ssh2::testing {

// Ten megabytes each way, in pieces of this size.
inline constexpr std::size_t kBulkBytes = std::size_t{10} << 20;
inline constexpr std::chrono::seconds kBulkWait{120};

// Logging in as the test account on 127.0.0.1 with nothing tried but what a test adds.
ConnectOptions options_for(int port);

// A client that accepts unknown host keys, connected with `options`.
std::unique_ptr<Client> connect_client(const ConnectOptions& options);

// Reads until the text contains `needle`, the stream ends or `timeout` passes.
std::string read_until(Channel& channel, const std::string& needle,
                       std::chrono::milliseconds timeout = kEventWait);
// Reads until recv returns empty (true) or `timeout` passes (false).
bool read_to_end(Channel& channel, std::chrono::milliseconds timeout = kEventWait);

// Sets HOME to an empty temporary home (with .ssh) and removes SSH_AUTH_SOCK, so that nothing
// of the machine's own keys or agent takes part; restores both when it goes.
class IsolatedHome {
 public:
  IsolatedHome();
  ~IsolatedHome();
  IsolatedHome(const IsolatedHome&) = delete;
  IsolatedHome& operator=(const IsolatedHome&) = delete;
  std::filesystem::path ssh_dir() const { return dir_ / ".ssh"; }

 private:
  TempDir dir_;
  std::optional<std::string> old_home_;
  std::optional<std::string> old_sock_;
};

std::string random_bytes(std::size_t n);

// Sends `data` through `channel` on one thread while reading the same amount back on this one.
std::string echo_through(Channel& channel, const std::string& data);
// The same through a TCP connection to 127.0.0.1:port.
std::string echo_through_tcp(int port, const std::string& data);

// A TCP connection to 127.0.0.1:port. Throws when nothing listens there.
peers::TcpConnection connect_tcp(int port);

// Copies between a forwarded channel and a TCP connection to 127.0.0.1:port until either ends,
// then closes both (what a remote-forward handler does).
void splice_to_port(Channel& channel, int port);

// Accepts one connection on 127.0.0.1 and echoes it.
class EchoService {
 public:
  EchoService();
  ~EchoService();
  EchoService(const EchoService&) = delete;
  EchoService& operator=(const EchoService&) = delete;
  int port() const noexcept { return listener_.port(); }

 private:
  peers::TcpListener listener_;
  std::optional<peers::TcpConnection> connection_;
  std::thread acceptor_;
};

}  // namespace veltaro::ssh2::testing
