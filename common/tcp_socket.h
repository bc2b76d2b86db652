// A connected TCP socket that several threads share: one blocked in recv, others sending, and any
// of them closing. The descriptor is released only when the last owner lets go, so a number the
// kernel hands to another tab is never touched by a late thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace veltaro::common {

class TcpSocket {
 public:
  // Resolves `host` and connects to the first address that answers within `timeout` in total.
  // Throws std::runtime_error with the reason ("Connection refused", "timed out", ...).
  static TcpSocket connect(const std::string& host, int port, std::chrono::milliseconds timeout);

  explicit TcpSocket(int fd) noexcept : fd_(fd) {}
  TcpSocket(TcpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;
  TcpSocket& operator=(TcpSocket&&) = delete;
  ~TcpSocket();

  // Waits until data arrives; empty at end of stream or after shutdown(). Throws
  // std::runtime_error on a socket error.
  std::string recv(std::size_t max_bytes);

  // Waits up to `timeout` until recv would return without blocking (data, end of stream, an
  // error or shutdown()). False when the time ran out. Never throws.
  bool wait_readable(std::chrono::milliseconds timeout) noexcept;

  // Sends everything, waiting at most `timeout` for the peer to take each part.
  // Throws std::runtime_error (also after shutdown()).
  void send_all(std::string_view data, std::chrono::milliseconds timeout);

  // Ends both directions and wakes a blocked recv. Idempotent; never throws.
  void shutdown() noexcept;
  bool is_shut_down() const noexcept { return shut_.load(); }

  int fd() const noexcept { return fd_; }

 private:
  int fd_;
  std::atomic<bool> shut_{false};
  std::mutex send_mutex_;  // keeps two senders' bytes from interleaving
};

}  // namespace veltaro::common
