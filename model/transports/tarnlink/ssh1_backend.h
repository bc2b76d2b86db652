// The SSH protocol 1.5 client object behind make_ssh1_client: connect, then a byte stream.
//
// Threads: one thread runs connect() and afterwards the reader calls recv(); send() and resize()
// come from the page's threads and close() from any thread. Every socket write holds _send_lock,
// so each packet is enciphered in the order it reaches the socket.
#pragma once

#include "common/tcp_socket.h"
#include "model/transports/tarnlink/des3_pipeline.h"
#include "model/transports/tarnlink/packet.h"
#include "model/transports/tarnlink/rsa_ssh1.h"
#include "model/transports/tarnlink/ssh1_client.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tarnlink {

class SSH1Backend final : public veltaro::transport::Transport {
 public:
  static constexpr std::uint8_t MSG_DISCONNECT = 1;
  static constexpr std::uint8_t SMSG_PUBLIC_KEY = 2;
  static constexpr std::uint8_t CMSG_SESSION_KEY = 3;
  static constexpr std::uint8_t CMSG_USER = 4;
  static constexpr std::uint8_t CMSG_AUTH_PASSWORD = 9;
  static constexpr std::uint8_t CMSG_REQUEST_PTY = 10;
  static constexpr std::uint8_t CMSG_WINDOW_SIZE = 11;
  static constexpr std::uint8_t CMSG_EXEC_SHELL = 12;
  static constexpr std::uint8_t SMSG_SUCCESS = 14;
  static constexpr std::uint8_t SMSG_FAILURE = 15;
  static constexpr std::uint8_t CMSG_STDIN_DATA = 16;
  static constexpr std::uint8_t SMSG_STDOUT_DATA = 17;
  static constexpr std::uint8_t SMSG_STDERR_DATA = 18;
  static constexpr std::uint8_t SMSG_EXIT_STATUS = 20;
  static constexpr std::uint8_t MSG_IGNORE = 32;
  static constexpr std::uint8_t CMSG_EXIT_CONFIRMATION = 33;
  static constexpr std::uint8_t MSG_DEBUG = 36;

  static constexpr int CIPHER_DES = 2;
  static constexpr int CIPHER_3DES = 3;
  static constexpr int CIPHER_BLOWFISH = 6;
  static constexpr int AUTH_PASSWORD = 3;

  // Keystrokes go out in packets of at most this many bytes, so a large paste stays under every
  // peer's packet limit.
  static constexpr std::size_t kMaxInputChunk = 16 * 1024;

  // Does no I/O.
  explicit SSH1Backend(SSH1Options options);
  ~SSH1Backend() override;

  // The whole opening: socket, version exchange, session key, login, PTY and shell. On failure
  // closes the object and throws (SSH1Closed when the socket ended).
  void connect() override;
  // 1 to max_bytes bytes of terminal output; empty once the session ended. Throws
  // std::runtime_error for a corrupt stream (length out of range, CRC, underrun).
  std::string recv(std::size_t max_bytes) override;
  // Never throws; a failed send ends the session.
  void send(std::string_view data) override;
  void resize(int rows, int cols) override;
  void close() noexcept override;
  bool is_closed() const noexcept override { return _closed.load(); }

  std::optional<std::uint32_t> exit_status() const;
  std::string server_version_line() const { return _server_version_line; }

  // Frames, protects and sends one packet. A failed write ends the session instead of throwing.
  void _send_packet(std::uint8_t pkt_type, std::string_view payload);
  // Blocks until one whole packet has arrived.
  Packet _read_packet();

 private:
  class SocketSource;

  std::shared_ptr<veltaro::common::TcpSocket> socket() const;
  // Exactly n bytes; while connecting, each wait is bounded by _timeout.
  std::string _read_exact_raw(std::size_t n);
  // Writes under _send_lock (held by the caller); marks the session closed on failure.
  void write_locked(const std::shared_ptr<veltaro::common::TcpSocket>& sock,
                    std::string_view wire) noexcept;
  // A packet ready for the wire; enciphers when encryption is on. Needs _send_lock.
  std::string wire_locked(std::uint8_t pkt_type, std::string_view payload);

  void _open_socket();
  void _version_handshake();
  void _do_kex_and_session_key();
  void _do_auth();
  // Sends one password; true when the server accepted it.
  bool try_password(std::string_view password);
  void _request_pty_and_shell();
  void _handle_packet(std::uint8_t pkt_type, std::string_view payload);
  std::string take_queued(std::size_t max_bytes);

  const std::string host;
  const int port;
  const std::string username;
  const std::string password;
  const std::string term_type;
  std::atomic<int> rows;
  std::atomic<int> cols;
  const std::chrono::seconds _timeout;
  const HostKeyVerifier _host_key_verifier;
  const std::shared_ptr<veltaro::transport::LoginPrompter> prompter_;

  mutable std::mutex sock_mutex_;  // guards _sock itself, never held while blocking
  std::shared_ptr<veltaro::common::TcpSocket> _sock;
  std::mutex _send_lock;
  std::unique_ptr<CipherPipeline> _cipher_enc;  // guarded by _send_lock
  std::unique_ptr<CipherPipeline> _cipher_dec;  // the reading thread's alone
  std::atomic<bool> _closed{false};
  std::atomic<bool> connecting_{false};  // reads are bounded by _timeout while set
  std::mutex input_mutex_;               // keeps one send()'s chunks together

  // The reading thread's alone.
  std::string _stdout_queue;
  std::size_t queue_head_ = 0;

  std::atomic<bool> _authed{false};
  std::atomic<bool> _shell_ready{false};
  mutable std::mutex exit_mutex_;
  std::optional<std::uint32_t> _exit_status;
  std::string _server_version_line;
  std::string _cookie;
  RsaKey _serv_key;
  RsaKey _host_key;
  std::uint32_t _supported_ciphers = 0;
  std::uint32_t _supported_auths = 0;
  std::string _session_id;
};

}  // namespace tarnlink
