// A tab's connection over one byte-stream transport: raw TCP now, and any later protocol whose
// transport has the stream surface (connect, recv, send, resize, close).
#pragma once

#include "model/gui/tab_connection.h"
#include "model/transports/transport.h"

#include <memory>

namespace veltaro::gui {

class StreamConnection final : public TabConnection {
 public:
  // `transport` is connected already.
  explicit StreamConnection(std::shared_ptr<transport::Transport> transport)
      : transport_(std::move(transport)) {}

  std::string receive(std::size_t max_bytes) override { return transport_->recv(max_bytes); }
  std::string_view receive_lent(std::size_t max_bytes, std::string& owned) override {
    return transport_->recv_lent(max_bytes, owned);
  }
  void send_input(std::string_view bytes) override { transport_->send(bytes); }
  void resize(int rows, int cols) override { transport_->resize(rows, cols); }
  void set_keepalive(std::chrono::seconds) noexcept override {}
  void close() noexcept override { transport_->close(); }
  bool is_open() const noexcept override { return !transport_->is_closed(); }
  // TCP flow control holds the peer back while the reader waits.
  bool can_wait() const noexcept override { return true; }

 private:
  const std::shared_ptr<transport::Transport> transport_;
};

}  // namespace veltaro::gui
