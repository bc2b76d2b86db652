// The state one channel shares between the threads that use it and the connection's I/O thread:
// bytes received and not yet read, bytes to send, and how the channel ended. Private to the
// ssh2 library; the public face is Channel.
#pragma once

#include <libssh/libssh.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace veltaro::ssh2::detail {

// Past this many unread bytes the I/O thread stops reading the channel: libssh then stops
// widening the channel's window and the server slows down instead of our memory growing.
inline constexpr std::size_t kInboundHighWater = std::size_t{1} << 20;
// A sender waits while this many bytes are still queued for the server.
inline constexpr std::size_t kOutboundHighWater = std::size_t{1} << 20;
// A send that cannot queue a single byte for this long fails: the server has stopped reading.
inline constexpr std::chrono::seconds kSendStall{60};

// Wakes the I/O thread from its poll. Shared by the connection and its channels, so the
// descriptor stays valid for as long as anyone may still write to it.
class Waker {
 public:
  Waker();  // throws std::system_error
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  void wake() noexcept;
  // Whether wake() was called since the last take(). A poll inside libssh may drain the
  // descriptor while the I/O thread is busy; this flag keeps such a wake from being lost.
  bool take() noexcept { return pending_.exchange(false); }
  void drain() noexcept;
  int fd() const noexcept { return fd_; }

 private:
  int fd_;
  std::atomic<bool> pending_{false};
};

// A byte queue that is consumed from the front.
class ByteQueue {
 public:
  std::size_t size() const noexcept { return data_.size() - head_; }
  bool empty() const noexcept { return size() == 0; }
  void append(std::string_view bytes) { data_.append(bytes); }
  std::string_view front(std::size_t max) const noexcept {
    return std::string_view(data_).substr(head_, max);
  }
  void consume(std::size_t n) noexcept;
  void clear() noexcept {
    data_.clear();
    head_ = 0;
  }

 private:
  std::string data_;
  std::size_t head_ = 0;
};

class ChannelCore {
 public:
  explicit ChannelCore(std::shared_ptr<Waker> waker);  // throws std::system_error
  ~ChannelCore();
  ChannelCore(const ChannelCore&) = delete;
  ChannelCore& operator=(const ChannelCore&) = delete;

  // ---- any thread ----

  // Waits until data is there; empty once the channel ended and everything was read, or after
  // close(). Never throws except std::bad_alloc.
  std::string recv(std::size_t max_bytes);
  // Queues all of `data`, waiting while the queue is full. Throws std::runtime_error when the
  // channel is closed, ended by the server, or the server takes nothing for kSendStall.
  void send(std::string_view data);
  // Idempotent; wakes recv. The I/O thread sends what is still queued (for a short while) and
  // then closes the channel.
  void close() noexcept;
  // Closed here, or the server's stream (or the connection) ended and was read to the end.
  bool is_closed() const noexcept;
  // Readable while data, end of stream or closing is waiting to be seen by recv.
  int readable_fd() const noexcept { return event_fd_; }

  // ---- the I/O thread only ----

  // libssh's side of the channel; nobody else reads or writes these.
  struct IoState {
    ssh_channel handle = nullptr;  // freed by the I/O thread, once
    bool open = false;             // the server confirmed the channel
    // Sends the open request, then reports its answer: SSH_AGAIN while none came.
    std::function<int(ssh_channel)> opening;
    bool lingering = false;  // closed here, still sending what was queued
    std::chrono::steady_clock::time_point linger_until{};
  };
  IoState io;

  std::size_t inbound_room() const noexcept;
  void deliver(std::string_view bytes);
  // Copies up to `max` queued bytes without removing them.
  std::string peek_outbound(std::size_t max) const;
  void consume_outbound(std::size_t n) noexcept;
  bool outbound_empty() const noexcept;
  bool closed_here() const noexcept;
  void set_peer_eof() noexcept;
  // The server closed the channel or the connection ended; `reason` is empty for an orderly end.
  void set_ended(std::string reason) noexcept;

 private:
  void update_signal_locked() noexcept;

  const std::shared_ptr<Waker> waker_;
  const int event_fd_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  ByteQueue inbound_;
  ByteQueue outbound_;
  bool peer_eof_ = false;
  bool ended_ = false;
  std::string end_reason_;
  bool closed_ = false;
  bool signaled_ = false;
};

}  // namespace veltaro::ssh2::detail
