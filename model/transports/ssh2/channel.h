// One SSH channel: the shell of a tab or one forwarded TCP connection. Safe to use from several
// threads at once (one receiving, others sending, resizing or closing).
#pragma once

#include "model/transports/transport.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace veltaro::ssh2 {

namespace detail {
class ChannelCore;
class Connection;
}  // namespace detail

// How long a request on an open connection (a channel, a PTY, a shell, a forward) may take.
inline constexpr std::chrono::seconds kRequestTimeout{15};

class Channel final : public transport::Transport {
 public:
  Channel(std::shared_ptr<detail::Connection> connection,
          std::shared_ptr<detail::ChannelCore> core);
  ~Channel() override;

  // The channel is open from the start. Throws std::runtime_error once it is closed.
  void connect() override;
  // Waits for data; empty once the server ended the stream (and everything was read), the
  // connection ended, or close() was called. Standard error arrives in the same stream.
  // Never throws except std::bad_alloc.
  std::string recv(std::size_t max_bytes) override;
  // Queues all of `data` for the I/O thread, waiting while much is still queued. Throws
  // std::runtime_error when the channel is closed or ended, or the server stopped reading.
  void send(std::string_view data) override;
  // A window change of `cols` columns by `rows` rows. Throws std::runtime_error.
  void resize(int rows, int cols) override;
  // Idempotent, wakes recv; what was queued is still sent before the channel closes. Never throws.
  void close() noexcept override;
  // Closed here, or the server ended its stream (or the connection ended) and all was read.
  bool is_closed() const noexcept override;

  // Requests a pseudo-terminal of `width` columns by `height` rows. Throws std::runtime_error.
  void get_pty(const std::string& term = "vt100", int width = 80, int height = 24);
  // Starts the login shell. Throws std::runtime_error.
  void invoke_shell();
  // A descriptor that polls readable while recv would return at once (data, end of stream or
  // closed). Valid for the lifetime of this object; never read or close it.
  int fileno() const noexcept;

 private:
  const std::shared_ptr<detail::Connection> connection_;
  const std::shared_ptr<detail::ChannelCore> core_;
};

}  // namespace veltaro::ssh2
