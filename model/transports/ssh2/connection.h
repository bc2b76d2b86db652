// One SSH connection after login: the I/O thread that alone calls into its libssh session, and
// the queue through which other threads hand that thread their requests. Private to the ssh2
// library; the public faces are Transport and Channel.
#pragma once

#include "model/transports/ssh2/channel_core.h"

#include <libssh/libssh.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace veltaro::ssh2::detail {

// Disconnects and frees a session. Freeing a session frees its channels: free them first.
// libssh leaves a socket it was handed (SSH_OPTIONS_FD) open when the session ends before the
// login finished: the socket is closed here then, while its number still names that socket.
struct SessionDeleter {
  void operator()(ssh_session session) const noexcept;
};
using SessionPtr = std::unique_ptr<ssh_session_struct, SessionDeleter>;

// Called on a thread of its own for each connection the server forwards to us.
using IncomingHandler =
    std::function<void(std::shared_ptr<ChannelCore> channel, std::string origin_host,
                       int origin_port, int server_port)>;

// How long close() waits for the I/O thread to let go of the session.
inline constexpr std::chrono::seconds kCloseWait{5};

class Connection : public std::enable_shared_from_this<Connection> {
  struct Passkey {};

 public:
  // Takes over a connected, logged-in session (no other thread may touch it afterwards) and
  // starts its I/O thread. Throws std::system_error when the thread or its descriptors cannot
  // be made.
  static std::shared_ptr<Connection> start(SessionPtr session);

  Connection(Passkey, SessionPtr session);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Each request below waits at most `timeout` for the server's answer and throws
  // std::runtime_error with the reason when it fails, times out or the connection is closed.
  std::shared_ptr<ChannelCore> open_session(std::chrono::milliseconds timeout);
  std::shared_ptr<ChannelCore> open_direct_tcpip(const std::string& host, int port,
                                                 const std::string& origin_host, int origin_port,
                                                 std::chrono::milliseconds timeout);
  void request_pty(const std::shared_ptr<ChannelCore>& channel, const std::string& term, int cols,
                   int rows, std::chrono::milliseconds timeout);
  void request_shell(const std::shared_ptr<ChannelCore>& channel,
                     std::chrono::milliseconds timeout);
  void change_pty_size(const std::shared_ptr<ChannelCore>& channel, int cols, int rows,
                       std::chrono::milliseconds timeout);
  // Asks the server to listen on address:port (port 0: a port it chooses) and returns the port.
  // Connections arriving there go to `handler`; each server port has its own handler.
  int listen_forward(const std::string& address, int port, IncomingHandler handler,
                     std::chrono::milliseconds timeout);

  // 0 turns keep-alive off. Takes effect at once, also while connected. Never throws.
  void set_keepalive(std::chrono::seconds interval) noexcept;
  bool is_active() const noexcept;

  // Closes every channel, then the session. Idempotent; waits up to kCloseWait for the I/O
  // thread. Never throws.
  void close() noexcept;

 private:
  using Step = std::function<int(ssh_session)>;

  // Where a request's caller waits for its answer.
  struct Result {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    int rc = SSH_ERROR;
    std::string error;
    std::atomic<bool> abandoned{false};  // the caller stopped waiting
  };

  // A request run on the I/O thread: `step` is called until it stops returning SSH_AGAIN.
  struct Op {
    const ChannelCore* lane;  // requests on one channel run one after another; nullptr: session
    bool blocking;            // run in libssh's blocking mode (global requests)
    Step step;
    std::shared_ptr<ChannelCore> close_on_failure;
    std::chrono::steady_clock::time_point deadline;
    std::shared_ptr<Result> result;
  };

  void run(const ChannelCore* lane, bool blocking, Step step,
           std::shared_ptr<ChannelCore> close_on_failure, std::chrono::milliseconds timeout,
           const std::string& what);
  std::shared_ptr<ChannelCore> open_channel(std::function<int(ssh_channel)> open,
                                            std::chrono::milliseconds timeout,
                                            const std::string& what);

  // ---- the I/O thread ----
  void loop() noexcept;
  void step_ops();
  void pump_channels();
  bool pump(ChannelCore& channel);
  bool settle_abandoned_open(ChannelCore& channel);
  bool write_out(ChannelCore& channel, std::string& failure);
  bool read_in(ChannelCore& channel, std::string& failure);
  void release(ChannelCore& channel, std::string reason) noexcept;
  void finish(Op& op, int rc, std::string error) noexcept;
  void handle_messages();
  void accept_forwarded(ssh_message message, int server_port, const IncomingHandler& handler);
  void keepalive_tick();
  void settle_keepalive();
  int next_wait_ms();
  void teardown(const std::string& failure) noexcept;

  SessionPtr session_;
  const std::shared_ptr<Waker> waker_;
  ssh_event event_ = nullptr;
  std::atomic<long long> keepalive_seconds_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> finished_{false};

  mutable std::mutex mutex_;  // guards queue_, io_thread_ and finished_changed_
  std::condition_variable finished_changed_;
  std::deque<Op> queue_;
  std::thread::id io_thread_;

  // Touched by the I/O thread only.
  std::deque<Op> pending_;
  std::vector<std::shared_ptr<ChannelCore>> channels_;
  std::map<int, IncomingHandler> forwards_;  // by server port
  std::chrono::seconds keepalive_seen_{0};
  std::chrono::steady_clock::time_point next_keepalive_{};
  bool keepalive_outstanding_ = false;
  int keepalive_unanswered_ = 0;
  // Bytes received on the connection when the last keep-alive was sent.
  std::optional<std::uint64_t> received_at_keepalive_;
};

}  // namespace veltaro::ssh2::detail
