// A plain TCP byte stream with no protocol of its own.
#pragma once

#include "common/tcp_socket.h"
#include "model/transports/transport.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace veltaro::raw {

class RawBackend final : public transport::Transport {
 public:
  RawBackend(std::string host, int port, std::chrono::seconds timeout);

  void connect() override;
  std::string recv(std::size_t max_bytes) override;
  void send(std::string_view data) override;
  // A raw stream has no terminal size to report.
  void resize(int, int) override {}
  void close() noexcept override;
  bool is_closed() const noexcept override;

 private:
  std::shared_ptr<common::TcpSocket> socket() const;

  const std::string host_;
  const int port_;
  const std::chrono::seconds timeout_;
  mutable std::mutex mutex_;
  std::shared_ptr<common::TcpSocket> socket_;
  bool closed_ = false;
};

}  // namespace veltaro::raw
