// The running session: packets in and out, recv/send/resize, and close.
#include "model/transports/tarnlink/ssh1_backend.h"

#include "model/transports/tarnlink/binary_reader.h"
#include "model/transports/tarnlink/marshal.h"
#include "model/transports/tarnlink/ssh1_errors.h"

#include <algorithm>

namespace tarnlink {

namespace {

using namespace std::chrono_literals;

// A peer that stops reading must not hold a keystroke forever; past this the session ends.
constexpr std::chrono::milliseconds kSendTimeout = 30s;
// The goodbye on close must never hold up closing the tab.
constexpr std::chrono::milliseconds kGoodbyeTimeout = 1s;

}  // namespace

class SSH1Backend::SocketSource final : public ByteSource {
 public:
  explicit SocketSource(SSH1Backend& owner) : owner_(owner) {}
  std::string read_exact(std::size_t n) override { return owner_._read_exact_raw(n); }

 private:
  SSH1Backend& owner_;
};

SSH1Backend::SSH1Backend(SSH1Options options)
    : host(std::move(options.host)),
      port(options.port),
      username(std::move(options.username)),
      password(std::move(options.password)),
      term_type(options.term_type.empty() ? "xterm" : std::move(options.term_type)),
      rows(options.rows),
      cols(options.cols),
      _timeout(options.timeout),
      _host_key_verifier(std::move(options.host_key_verifier)),
      prompter_(std::move(options.prompter)) {}

SSH1Backend::~SSH1Backend() {
  close();
}

std::shared_ptr<veltaro::common::TcpSocket> SSH1Backend::socket() const {
  const std::lock_guard lock(sock_mutex_);
  return _sock;
}

std::optional<std::uint32_t> SSH1Backend::exit_status() const {
  const std::lock_guard lock(exit_mutex_);
  return _exit_status;
}

std::string SSH1Backend::_read_exact_raw(std::size_t n) {
  const auto sock = socket();
  if (!sock) throw SSH1Closed("EOF during read");
  std::string out;
  out.reserve(n);
  while (out.size() < n) {
    // A server that accepts and then stays silent fails the connect instead of hanging the tab.
    if (connecting_.load() && !sock->wait_readable(_timeout)) {
      throw SSH1Closed("socket error during read");
    }
    std::string part;
    try {
      part = sock->recv(n - out.size());
    } catch (const std::exception&) {
      throw SSH1Closed("socket error during read");
    }
    if (part.empty()) throw SSH1Closed("EOF during read");
    out += part;
  }
  return out;
}

Packet SSH1Backend::_read_packet() {
  SocketSource source(*this);
  return read_packet(source, _cipher_dec.get());
}

std::string SSH1Backend::wire_locked(std::uint8_t pkt_type, std::string_view payload) {
  std::uint32_t length = 0;
  std::string body = frame_body(pkt_type, payload, length);
  if (_cipher_enc) body = _cipher_apply(*_cipher_enc, std::move(body));
  return _marshal_uint32(length) + body;
}

void SSH1Backend::write_locked(const std::shared_ptr<veltaro::common::TcpSocket>& sock,
                               std::string_view wire) noexcept {
  try {
    sock->send_all(wire, kSendTimeout);
  } catch (const std::exception&) {
    // Part of a packet may have left, so the peer's deciphering is out of step for good: end
    // the session and wake the reader rather than leave a tab that can never work again.
    _closed.store(true);
    sock->shutdown();
  }
}

void SSH1Backend::_send_packet(std::uint8_t pkt_type, std::string_view payload) {
  const auto sock = socket();
  const std::lock_guard lock(_send_lock);
  const std::string wire = wire_locked(pkt_type, payload);
  if (sock) write_locked(sock, wire);
}

std::string SSH1Backend::take_queued(std::size_t max_bytes) {
  const std::size_t n = std::min(max_bytes, _stdout_queue.size() - queue_head_);
  std::string out = _stdout_queue.substr(queue_head_, n);
  queue_head_ += n;
  if (queue_head_ == _stdout_queue.size()) {
    _stdout_queue.clear();
    queue_head_ = 0;
  }
  return out;
}

void SSH1Backend::_handle_packet(std::uint8_t pkt_type, std::string_view payload) {
  switch (pkt_type) {
    case SMSG_STDOUT_DATA:
    case SMSG_STDERR_DATA: {
      BinaryReader cur(payload);
      _stdout_queue.append(cur.read_string());
      break;
    }
    case SMSG_EXIT_STATUS: {
      BinaryReader cur(payload);
      const std::uint32_t status = cur.read_uint32();
      {
        const std::lock_guard lock(exit_mutex_);
        _exit_status = status;
      }
      _send_packet(CMSG_EXIT_CONFIRMATION, {});
      _closed.store(true);
      break;
    }
    case MSG_DISCONNECT:
      _closed.store(true);
      break;
    default:
      break;  // MSG_IGNORE, MSG_DEBUG and anything unknown
  }
}

std::string SSH1Backend::recv(std::size_t max_bytes) {
  if (max_bytes == 0) max_bytes = 1;
  if (_closed.load()) return {};
  if (queue_head_ < _stdout_queue.size()) return take_queued(max_bytes);
  for (;;) {
    Packet pkt;
    try {
      pkt = _read_packet();
    } catch (const SSH1Closed&) {
      _closed.store(true);
      return {};
    }
    _handle_packet(pkt.type, pkt.payload);
    if (queue_head_ < _stdout_queue.size()) return take_queued(max_bytes);
    if (_closed.load()) return {};
  }
}

void SSH1Backend::send(std::string_view data) {
  if (_closed.load() || !_shell_ready.load() || data.empty()) return;
  const std::lock_guard lock(input_mutex_);
  while (!data.empty() && !_closed.load()) {
    const std::string_view chunk = data.substr(0, kMaxInputChunk);
    _send_packet(CMSG_STDIN_DATA, _marshal_string(chunk));
    data.remove_prefix(chunk.size());
  }
}

void SSH1Backend::resize(int new_rows, int new_cols) {
  rows.store(new_rows);
  cols.store(new_cols);
  if (_closed.load() || !_shell_ready.load()) return;
  _send_packet(CMSG_WINDOW_SIZE, _marshal_uint32(static_cast<std::uint32_t>(new_rows)) +
                                     _marshal_uint32(static_cast<std::uint32_t>(new_cols)) +
                                     _marshal_uint32(0) + _marshal_uint32(0));
}

void SSH1Backend::close() noexcept {
  _closed.store(true);
  std::shared_ptr<veltaro::common::TcpSocket> sock;
  {
    const std::lock_guard lock(sock_mutex_);
    sock.swap(_sock);
  }
  if (!sock) return;
  // A send stuck on a peer that stopped reading holds the lock: then there is no goodbye, and
  // the shutdown below wakes that send.
  std::unique_lock lock(_send_lock, std::try_to_lock);
  if (lock.owns_lock() && _cipher_enc) {
    try {
      sock->send_all(wire_locked(MSG_DISCONNECT, _marshal_string("bye")), kGoodbyeTimeout);
    } catch (const std::exception&) {
      // The goodbye is a courtesy; the socket is shut down either way.
    }
  }
  sock->shutdown();
}

}  // namespace tarnlink
