#include "connection.h"

#include "common/tcp_info.h"
#include "model/transports/ssh2/ssh_error.h"

#include <libssh/server.h>  // ssh_send_keepalive and the ssh_message accessors live here
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace veltaro::ssh2::detail {

void SessionDeleter::operator()(ssh_session session) const noexcept {
  const int fd = ssh_get_fd(session);
  struct stat before {};
  const bool known = fd >= 0 && ::fstat(fd, &before) == 0;
  ssh_disconnect(session);
  ssh_free(session);
  struct stat after {};
  if (known && ::fstat(fd, &after) == 0 && after.st_ino == before.st_ino &&
      after.st_dev == before.st_dev) {
    ::close(fd);
  }
}

namespace {

using Clock = std::chrono::steady_clock;

// The longest the I/O thread sleeps without a reason to wake.
constexpr std::chrono::milliseconds kIdleWait{1000};
// How long a channel closed here may still send what was queued before it.
constexpr std::chrono::seconds kCloseLinger{5};
// libssh's time-out for the requests the I/O thread makes in blocking mode.
constexpr long kBlockingTimeoutSeconds = 10;
// Keep-alives in a row that may go unanswered before the server counts as gone (as OpenSSH's
// ServerAliveCountMax).
constexpr int kKeepAliveCountMax = 3;
// What one libssh call reads or writes; below the server's largest packet.
constexpr std::size_t kChunk = 16384;

int on_wake(socket_t, int, void* waker) {
  static_cast<Waker*>(waker)->drain();
  return 0;
}

}  // namespace

std::shared_ptr<Connection> Connection::start(SessionPtr session) {
  auto connection = std::make_shared<Connection>(Passkey{}, std::move(session));
  const std::lock_guard lock(connection->mutex_);
  std::thread io([connection] { connection->loop(); });
  connection->io_thread_ = io.get_id();
  io.detach();
  return connection;
}

Connection::Connection(Passkey, SessionPtr session)
    : session_(std::move(session)), waker_(std::make_shared<Waker>()) {
  const long timeout = kBlockingTimeoutSeconds;
  ssh_options_set(session_.get(), SSH_OPTIONS_TIMEOUT, &timeout);
  ssh_set_blocking(session_.get(), 0);
  event_ = ssh_event_new();
  if (event_ == nullptr || ssh_event_add_session(event_, session_.get()) != SSH_OK ||
      ssh_event_add_fd(event_, waker_->fd(), POLLIN, on_wake, waker_.get()) != SSH_OK) {
    if (event_ != nullptr) ssh_event_free(event_);
    throw std::runtime_error("cannot watch the connection");
  }
}

Connection::~Connection() {
  // Only when the I/O thread never started: otherwise its teardown has let go of both.
  if (event_ != nullptr) {
    ssh_event_remove_fd(event_, waker_->fd());
    ssh_event_remove_session(event_, session_.get());
    ssh_event_free(event_);
  }
}

// ---- requests from other threads ----

void Connection::run(const ChannelCore* lane, bool blocking, Step step,
                     std::shared_ptr<ChannelCore> close_on_failure,
                     std::chrono::milliseconds timeout, const std::string& what) {
  auto result = std::make_shared<Result>();
  {
    const std::lock_guard lock(mutex_);
    if (stopping_ || finished_) throw std::runtime_error(what + ": the connection is closed");
    queue_.push_back(Op{lane, blocking, std::move(step), std::move(close_on_failure),
                        Clock::now() + timeout, result});
  }
  waker_->wake();
  std::unique_lock lock(result->mutex);
  if (!result->done_changed.wait_for(lock, timeout, [&] { return result->done; })) {
    result->abandoned = true;
    throw std::runtime_error(what + ": timed out");
  }
  if (result->rc != SSH_OK) throw std::runtime_error(what + ": " + result->error);
}

std::shared_ptr<ChannelCore> Connection::open_channel(std::function<int(ssh_channel)> open,
                                                      std::chrono::milliseconds timeout,
                                                      const std::string& what) {
  auto core = std::make_shared<ChannelCore>(waker_);
  core->io.opening = std::move(open);
  // A channel whose opening failed or was given up is closed here; the I/O thread then frees
  // it once the server has answered (see pump).
  run(
      core.get(), false,
      [this, core](ssh_session session) {
        if (core->io.handle == nullptr) {
          core->io.handle = ssh_channel_new(session);
          if (core->io.handle == nullptr) return SSH_ERROR;
          channels_.push_back(core);
        }
        const int rc = core->io.opening(core->io.handle);
        if (rc == SSH_OK) core->io.open = true;
        return rc;
      },
      core, timeout, what);
  return core;
}

std::shared_ptr<ChannelCore> Connection::open_session(std::chrono::milliseconds timeout) {
  return open_channel(ssh_channel_open_session, timeout, "cannot open a session channel");
}

std::shared_ptr<ChannelCore> Connection::open_direct_tcpip(const std::string& host, int port,
                                                           const std::string& origin_host,
                                                           int origin_port,
                                                           std::chrono::milliseconds timeout) {
  return open_channel(
      [=](ssh_channel channel) {
        return ssh_channel_open_forward(channel, host.c_str(), port, origin_host.c_str(),
                                        origin_port);
      },
      timeout, "cannot open a channel to " + host + ":" + std::to_string(port));
}

void Connection::request_pty(const std::shared_ptr<ChannelCore>& channel, const std::string& term,
                             int cols, int rows, std::chrono::milliseconds timeout) {
  run(
      channel.get(), false,
      [channel, term, cols, rows](ssh_session) {
        if (channel->io.handle == nullptr) return SSH_ERROR;
        return ssh_channel_request_pty_size(channel->io.handle, term.c_str(), cols, rows);
      },
      nullptr, timeout, "pseudo-terminal request failed");
}

void Connection::request_shell(const std::shared_ptr<ChannelCore>& channel,
                               std::chrono::milliseconds timeout) {
  run(
      channel.get(), false,
      [channel](ssh_session) {
        if (channel->io.handle == nullptr) return SSH_ERROR;
        return ssh_channel_request_shell(channel->io.handle);
      },
      nullptr, timeout, "shell request failed");
}

void Connection::change_pty_size(const std::shared_ptr<ChannelCore>& channel, int cols, int rows,
                                 std::chrono::milliseconds timeout) {
  run(
      channel.get(), false,
      [channel, cols, rows](ssh_session) {
        if (channel->io.handle == nullptr) return SSH_ERROR;
        return ssh_channel_change_pty_size(channel->io.handle, cols, rows);
      },
      nullptr, timeout, "window change failed");
}

int Connection::listen_forward(const std::string& address, int port, IncomingHandler handler,
                               std::chrono::milliseconds timeout) {
  auto bound = std::make_shared<int>(port);
  run(
      nullptr, true,
      [this, address, port, bound, handler = std::move(handler)](ssh_session session) {
        int chosen = 0;
        const int rc = ssh_channel_listen_forward(session, address.c_str(), port, &chosen);
        if (rc == SSH_OK) {
          if (port == 0) *bound = chosen;
          forwards_[*bound] = handler;
        }
        return rc;
      },
      nullptr, timeout, "the server refused to forward port " + std::to_string(port));
  return *bound;
}

void Connection::set_keepalive(std::chrono::seconds interval) noexcept {
  keepalive_seconds_ = std::max<long long>(0, interval.count());
  waker_->wake();
}

bool Connection::is_active() const noexcept {
  return !stopping_ && !finished_;
}

void Connection::close() noexcept {
  stopping_ = true;
  waker_->wake();
  std::unique_lock lock(mutex_);
  if (std::this_thread::get_id() == io_thread_) return;
  finished_changed_.wait_for(lock, kCloseWait, [&] { return finished_.load(); });
}

// ---- the I/O thread ----

void Connection::loop() noexcept {
  std::string failure;
  try {
    for (;;) {
      {
        const std::lock_guard lock(mutex_);
        if (stopping_) break;
        std::move(queue_.begin(), queue_.end(), std::back_inserter(pending_));
        queue_.clear();
      }
      step_ops();
      pump_channels();
      handle_messages();
      keepalive_tick();
      if (!ssh_is_connected(session_.get())) {
        failure = error_of(session_.get());
        break;
      }
      ssh_event_dopoll(event_, next_wait_ms());
    }
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unexpected failure";
  }
  teardown(failure);
}

void Connection::finish(Op& op, int rc, std::string error) noexcept {
  if (rc != SSH_OK && op.close_on_failure) op.close_on_failure->close();
  {
    const std::lock_guard lock(op.result->mutex);
    op.result->done = true;
    op.result->rc = rc;
    op.result->error = std::move(error);
  }
  op.result->done_changed.notify_all();
}

void Connection::step_ops() {
  std::vector<const ChannelCore*> busy;
  const auto now = Clock::now();
  for (auto it = pending_.begin(); it != pending_.end();) {
    Op& op = *it;
    if (std::find(busy.begin(), busy.end(), op.lane) != busy.end()) {
      ++it;
      continue;
    }
    if (op.result->abandoned || now > op.deadline) {
      finish(op, SSH_ERROR, "timed out");
      it = pending_.erase(it);
      continue;
    }
    if (op.blocking) {
      settle_keepalive();
      ssh_set_blocking(session_.get(), 1);
    }
    const int rc = op.step(session_.get());
    if (op.blocking) ssh_set_blocking(session_.get(), 0);
    if (rc == SSH_AGAIN && !op.blocking) {
      busy.push_back(op.lane);
      ++it;
      continue;
    }
    finish(op, rc == SSH_AGAIN ? SSH_ERROR : rc,
           rc == SSH_OK ? "" : (rc == SSH_AGAIN ? "timed out" : error_of(session_.get())));
    it = pending_.erase(it);
  }
}

void Connection::pump_channels() {
  for (auto it = channels_.begin(); it != channels_.end();) {
    if (pump(**it)) {
      ++it;
    } else {
      it = channels_.erase(it);
    }
  }
}

// False once the channel is done with libssh.
bool Connection::pump(ChannelCore& channel) {
  auto& io = channel.io;
  if (io.handle == nullptr) return false;
  if (!io.open) return channel.closed_here() ? settle_abandoned_open(channel) : true;
  std::string failure;
  if (!write_out(channel, failure) || !read_in(channel, failure)) {
    release(channel, "channel failed: " + failure);
    return false;
  }
  if (ssh_channel_is_eof(io.handle)) channel.set_peer_eof();
  // libssh reports a channel closed by the server only once its data has been read.
  if (ssh_channel_is_closed(io.handle)) {
    release(channel, "");
    return false;
  }
  if (channel.closed_here()) {
    const auto now = Clock::now();
    if (!io.lingering) {
      io.lingering = true;
      io.linger_until = now + kCloseLinger;
    }
    if (channel.outbound_empty() || now >= io.linger_until) {
      release(channel, "");
      return false;
    }
  }
  return true;
}

// An open that failed, timed out or was given up. Freeing a channel libssh still waits on would
// make it drop the server's late confirmation and leave the channel open on the server with
// nobody to close it; so the answer is awaited, and a confirmed channel is closed as it is freed.
bool Connection::settle_abandoned_open(ChannelCore& channel) {
  if (channel.io.opening && channel.io.opening(channel.io.handle) == SSH_AGAIN) return true;
  release(channel, "");
  return false;
}

bool Connection::write_out(ChannelCore& channel, std::string& failure) {
  for (;;) {
    const std::string chunk = channel.peek_outbound(kChunk);
    if (chunk.empty()) return true;
    const int n = ssh_channel_write(channel.io.handle, chunk.data(),
                                    static_cast<std::uint32_t>(chunk.size()));
    if (n < 0) {
      failure = error_of(session_.get());
      return false;
    }
    if (n == 0) return true;  // the server's window is full: wait for it to widen
    channel.consume_outbound(static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < chunk.size()) return true;
  }
}

bool Connection::read_in(ChannelCore& channel, std::string& failure) {
  char buf[kChunk];
  // Standard error is read into the same stream, so that an unread one never stalls the
  // window both share.
  for (const int is_stderr : {0, 1}) {
    for (;;) {
      const std::size_t room = channel.inbound_room();
      if (room == 0) return true;
      const int n = ssh_channel_read_nonblocking(
          channel.io.handle, buf, static_cast<std::uint32_t>(std::min(room, sizeof buf)),
          is_stderr);
      if (n > 0) {
        channel.deliver(std::string_view(buf, static_cast<std::size_t>(n)));
        continue;
      }
      // 0 only means nothing is buffered now; the end of the stream is SSH_EOF.
      if (n == 0 || n == SSH_EOF) break;
      failure = error_of(session_.get());
      return false;
    }
  }
  return true;
}

void Connection::release(ChannelCore& channel, std::string reason) noexcept {
  ssh_channel_free(channel.io.handle);  // sends our close when it is still due
  channel.io.handle = nullptr;
  channel.set_ended(std::move(reason));
}

void Connection::handle_messages() {
  while (ssh_message message = ssh_message_get(session_.get())) {
    const std::unique_ptr<ssh_message_struct, decltype(&ssh_message_free)> owner(message,
                                                                                 ssh_message_free);
    if (ssh_message_type(message) == SSH_REQUEST_CHANNEL_OPEN &&
        ssh_message_subtype(message) == SSH_CHANNEL_FORWARDED_TCPIP) {
      const int port = ssh_message_channel_request_open_destination_port(message);
      const auto found = forwards_.find(port);
      if (found != forwards_.end()) {
        accept_forwarded(message, port, found->second);
        continue;
      }
    }
    // Refuses channels and requests nobody asked for, answering those that want an answer.
    ssh_message_reply_default(message);
  }
}

void Connection::accept_forwarded(ssh_message message, int server_port,
                                  const IncomingHandler& handler) {
  const char* origin = ssh_message_channel_request_open_originator(message);
  std::string origin_host = origin != nullptr ? origin : "";
  const int origin_port = ssh_message_channel_request_open_originator_port(message);
  ssh_channel handle = ssh_message_channel_request_open_reply_accept(message);
  if (handle == nullptr) return;
  auto core = std::make_shared<ChannelCore>(waker_);
  core->io.handle = handle;
  core->io.open = true;
  channels_.push_back(core);
  try {
    // The handler blocks for as long as its connection lasts; the session must go on meanwhile.
    std::thread([handler, core, origin_host = std::move(origin_host), origin_port, server_port] {
      try {
        handler(core, origin_host, origin_port, server_port);
      } catch (...) {
        core->close();
      }
    }).detach();
  } catch (const std::system_error&) {
    core->close();
  }
}

void Connection::keepalive_tick() {
  const std::chrono::seconds interval(keepalive_seconds_.load());
  const auto now = Clock::now();
  if (interval != keepalive_seen_) {
    keepalive_seen_ = interval;
    next_keepalive_ = now + interval;
    keepalive_unanswered_ = 0;
    received_at_keepalive_.reset();
  }
  if (interval.count() <= 0 || now < next_keepalive_) return;
  next_keepalive_ = now + interval;
  // Whatever the server sent since the last keep-alive answers it. A server that is gone (or
  // frozen) sends nothing, while TCP alone may keep the connection up for a long time.
  const auto received = common::tcp_bytes_received(ssh_get_fd(session_.get()));
  if (received && received == received_at_keepalive_) {
    if (++keepalive_unanswered_ >= kKeepAliveCountMax) {
      throw std::runtime_error("the server did not answer " + std::to_string(kKeepAliveCountMax) +
                               " keep-alives");
    }
  } else {
    keepalive_unanswered_ = 0;
  }
  received_at_keepalive_ = received;
  // libssh keeps one global request at a time and, in non-blocking mode, a call while one is
  // outstanding only collects that one's answer. The first call collects the previous
  // keep-alive's answer (if it came), the second sends a new one.
  ssh_send_keepalive(session_.get());
  ssh_send_keepalive(session_.get());
  keepalive_outstanding_ = true;
}

void Connection::settle_keepalive() {
  // A global request made while a keep-alive is outstanding would take the keep-alive's answer
  // for its own; wait for that answer first (sending a fresh keep-alive at worst).
  if (!keepalive_outstanding_) return;
  ssh_set_blocking(session_.get(), 1);
  ssh_send_keepalive(session_.get());
  ssh_set_blocking(session_.get(), 0);
  keepalive_outstanding_ = false;
}

int Connection::next_wait_ms() {
  if (waker_->take()) return 0;
  const auto now = Clock::now();
  auto until = now + kIdleWait;
  if (keepalive_seen_.count() > 0) until = std::min(until, next_keepalive_);
  for (const Op& op : pending_) until = std::min(until, op.deadline);
  for (const auto& c : channels_) {
    if (c->io.lingering) until = std::min(until, c->io.linger_until);
  }
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
  return wait <= 0 ? 0 : static_cast<int>(wait) + 1;
}

void Connection::teardown(const std::string& failure) noexcept {
  const std::string reason =
      failure.empty() ? "the connection is closed" : "the connection was lost: " + failure;
  {
    const std::lock_guard lock(mutex_);
    finished_ = true;  // no request is queued after this
    std::move(queue_.begin(), queue_.end(), std::back_inserter(pending_));
    queue_.clear();
  }
  for (Op& op : pending_) finish(op, SSH_ERROR, reason);
  pending_.clear();
  for (const auto& channel : channels_) {
    if (channel->io.handle != nullptr) release(*channel, reason);
    channel->set_ended(reason);
  }
  channels_.clear();
  forwards_.clear();
  ssh_event_remove_fd(event_, waker_->fd());
  ssh_event_remove_session(event_, session_.get());
  ssh_event_free(event_);
  event_ = nullptr;
  session_.reset();
  {
    const std::lock_guard lock(mutex_);
    finished_changed_.notify_all();
  }
}

}  // namespace veltaro::ssh2::detail
