// A tab's SSH-2 connection: the client, its shell channel and the port-forward listeners of the
// session, which all end together.
#pragma once

#include "model/gui/tab_connection.h"
#include "model/transports/ssh2/channel.h"
#include "model/transports/ssh2/client.h"

#include <memory>
#include <mutex>
#include <vector>

namespace veltaro::gui {

class Ssh2Connection final : public TabConnection {
 public:
  // `client` is logged in; the shell channel and the forwards are added while the starter sets
  // them up, so that a failure half-way closes whatever exists through close().
  explicit Ssh2Connection(std::shared_ptr<ssh2::Client> client) : client_(std::move(client)) {}

  // Each is closed with the connection (at once when it is closed already). Never throw.
  void adopt_shell(std::shared_ptr<ssh2::Channel> channel) noexcept;
  void adopt_forward(std::shared_ptr<transport::Closeable> listener) noexcept;

  // The shell channel's output. While the reader waits for room, the channel's buffer fills to
  // its high-water mark and SSH flow control stops the server; keep-alives and forwarded
  // channels go on meanwhile.
  std::string receive(std::size_t max_bytes) override;
  void send_input(std::string_view bytes) override;
  void resize(int rows, int cols) override;
  void set_keepalive(std::chrono::seconds interval) noexcept override;
  // The channel, then the client (and with it every forwarded channel), then the listeners.
  void close() noexcept override;
  bool is_open() const noexcept override;
  bool can_wait() const noexcept override { return true; }

 private:
  std::shared_ptr<ssh2::Channel> shell() const;

  const std::shared_ptr<ssh2::Client> client_;
  mutable std::mutex mutex_;
  std::shared_ptr<ssh2::Channel> channel_;
  std::vector<std::shared_ptr<transport::Closeable>> forwards_;
  bool closed_ = false;
};

}  // namespace veltaro::gui
