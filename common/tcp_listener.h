// A listening TCP socket on 127.0.0.1 whose connections come out as TcpSockets. One thread
// accepts while another may close it; the descriptor is released only on destruction, so a late
// accept never touches a number the kernel handed to someone else.
#pragma once

#include "tcp_socket.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace veltaro::common {

class TcpListener {
 public:
  // Listens on 127.0.0.1:port, close-on-exec. Throws std::runtime_error naming the address and
  // the reason when it cannot be bound.
  explicit TcpListener(int port);
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  ~TcpListener();

  struct Accepted {
    TcpSocket socket;  // TCP_NODELAY on: forwarded keystrokes leave at once
    std::string ip;    // where the connection came from
    int port = 0;
  };
  // Waits up to `wait` for the next connection; nullopt when none came or the listener is
  // closed. Never throws but std::bad_alloc.
  std::optional<Accepted> accept(std::chrono::milliseconds wait);

  // Stops listening and wakes a waiting accept. Idempotent; never throws.
  void close() noexcept;
  bool is_closed() const noexcept { return closed_.load(); }

 private:
  int fd_ = -1;
  std::atomic<bool> closed_{false};
};

}  // namespace veltaro::common
