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

// TCP keep-alive of connected sockets: first probe after this long idle, then probes this far
// apart, and the connection fails after this many unanswered probes.
inline constexpr std::chrono::seconds kKeepAliveIdle{30};
inline constexpr std::chrono::seconds kKeepAliveInterval{10};
inline constexpr int kKeepAliveProbes = 3;

class TcpSocket {
 public:
  // Resolves `host` and connects to the first address that answers within `timeout` in total.
  // The socket is close-on-exec and has TCP keep-alive on (kKeepAlive*), so a peer that
  // vanishes without a word ends the connection within about a minute instead of never.
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
  // The same into the caller's buffer, for a reader that reuses one: the byte count, 0 at end of
  // stream or after shutdown().
  std::size_t recv_into(char* buf, std::size_t size);

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
  // Gives up the descriptor (the caller closes it from now on); -1 when there is none.
  int release() noexcept;

 private:
  int fd_;
  std::atomic<bool> shut_{false};
  std::mutex send_mutex_;  // keeps two senders' bytes from interleaving
};

}  // namespace veltaro::common
