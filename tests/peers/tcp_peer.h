// Small TCP peers on 127.0.0.1 for tests that drive real connections: a listener on an ephemeral
// port, an accepted connection that sends bytes in separate segments, echoes, or reads with a
// time-out, and a port that nobody listens on.
//
// Error contract: everything that cannot do its job throws std::runtime_error (a peer that cannot
// start must fail the test, never skip it); every wait takes a time-out.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace veltaro::peers {

// Long enough for a connection on a loaded 2-core machine running sanitized builds.
inline constexpr std::chrono::milliseconds kPeerWait{10'000};

// Between two segments that must reach the other side in separate reads.
inline constexpr std::chrono::milliseconds kSegmentPause{150};

// A descriptor owned by exactly one object; closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept;
  void reset() noexcept;

 private:
  int fd_ = -1;
};

struct ReadResult {
  std::string data;
  bool eof = false;  // the other side closed its end (or reset the connection)
};

// One accepted or connected TCP stream. TCP_NODELAY is on, so each send() leaves as its own
// segment.
class TcpConnection {
 public:
  explicit TcpConnection(Fd fd);
  TcpConnection(TcpConnection&&) noexcept;
  TcpConnection& operator=(TcpConnection&&) = delete;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;
  ~TcpConnection();

  // Sends all bytes. Throws when the connection is gone.
  void send(std::string_view bytes);

  // Sends each segment on its own with `pause` between them, so that a reader on the other side
  // sees them in separate reads (a CR LF pair or a multi-byte character split across segments).
  void send_segments(const std::vector<std::string>& segments,
                     std::chrono::milliseconds pause = kSegmentPause);

  // Reads until `done(received so far)` holds, the other side closes, or the time-out passes.
  ReadResult read_until(const std::function<bool(const std::string&)>& done,
                        std::chrono::milliseconds timeout = kPeerWait);

  // Reads until the received bytes contain `needle` (see read_until).
  ReadResult read_until_contains(std::string_view needle,
                                 std::chrono::milliseconds timeout = kPeerWait);

  // Reads everything until the other side closes or the time-out passes.
  ReadResult read_all(std::chrono::milliseconds timeout = kPeerWait);

  // Sends back whatever arrives, on a thread of its own, until the other side closes or close()
  // is called. received() returns what was echoed so far.
  void start_echo();
  std::string received() const;

  // Closes with a FIN. Idempotent; stops the echo thread.
  void close() noexcept;

  // Closes with a reset instead of a FIN (SO_LINGER with a zero time-out).
  void reset() noexcept;

 private:
  void stop_echo() noexcept;

  Fd fd_;
  std::thread echo_;
  std::atomic<bool> stop_echo_{false};
  mutable std::mutex received_mu_;
  std::string received_;
};

// A listening socket on 127.0.0.1 with a port the kernel chose.
class TcpListener {
 public:
  // `backlog` 0 lets exactly one connection wait un-accepted; a further connect attempt then
  // hangs in SYN retries until the queue has room, which holds a client's connect open.
  explicit TcpListener(int backlog = 16);

  std::uint16_t port() const noexcept { return port_; }

  // Waits for the next connection. Throws on time-out.
  TcpConnection accept(std::chrono::milliseconds timeout = kPeerWait);

  // A connection from this process to the listener, e.g. to fill a backlog-0 queue.
  TcpConnection connect_to_self();

  void close() noexcept { fd_.reset(); }

 private:
  Fd fd_;
  std::uint16_t port_ = 0;
};

// A connected socket to 127.0.0.1:port. Throws when nothing listens there.
Fd connect_loopback(int port);

// A port on 127.0.0.1 that was free a moment ago and has no listener: connecting is refused.
std::uint16_t refused_port();

}  // namespace veltaro::peers
