// The opening of an SSH-1 session: socket, version exchange, session key, login, PTY and shell.
#include "model/transports/tarnlink/binary_reader.h"
#include "model/transports/tarnlink/marshal.h"
#include "model/transports/tarnlink/ssh1_backend.h"
#include "model/transports/tarnlink/ssh1_errors.h"
#include "model/transports/tarnlink/version_line.h"

#include <string.h>

#include <stdexcept>

namespace tarnlink {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxVersionLine = 256;
constexpr std::size_t kSessionKeyBytes = 32;

std::runtime_error unexpected(const std::string& what, std::uint8_t type) {
  return std::runtime_error(what + std::to_string(type));
}

bool has_bit(std::uint32_t mask, int bit) {
  return ((mask >> bit) & 1U) != 0;
}

}  // namespace

void SSH1Backend::connect() {
  connecting_.store(true);
  try {
    _open_socket();
    _version_handshake();
    _do_kex_and_session_key();
    _do_auth();
    _request_pty_and_shell();
  } catch (...) {
    connecting_.store(false);
    close();
    throw;
  }
  connecting_.store(false);
}

void SSH1Backend::_open_socket() {
  auto sock = std::make_shared<veltaro::common::TcpSocket>(
      veltaro::common::TcpSocket::connect(host, port, _timeout));
  const std::lock_guard lock(sock_mutex_);
  if (_closed.load()) {
    sock->shutdown();
    throw SSH1Closed("EOF during read");
  }
  _sock = std::move(sock);
}

void SSH1Backend::_version_handshake() {
  const auto deadline = Clock::now() + _timeout;
  std::string raw;
  for (;;) {
    if (Clock::now() > deadline) throw std::runtime_error("version handshake timeout");
    const std::string byte = _read_exact_raw(1);
    if (byte[0] == '\n') break;
    raw += byte;
    if (raw.size() > kMaxVersionLine) throw std::runtime_error("version line too long");
  }
  _server_version_line = decode_version_line(raw);
  check_server_version(_server_version_line);
  const auto sock = socket();
  const std::lock_guard lock(_send_lock);
  if (sock) write_locked(sock, kClientVersionLine);
}

void SSH1Backend::_do_kex_and_session_key() {
  const Packet pk = _read_packet();
  if (pk.type != SMSG_PUBLIC_KEY) throw unexpected("預期 SMSG_PUBLIC_KEY 收到 type=", pk.type);
  BinaryReader cur(pk.payload);
  _cookie = std::string(cur.read(8));
  _serv_key = _read_rsa_pub(cur);
  _host_key = _read_rsa_pub(cur);
  cur.read_uint32();  // protocol flags
  _supported_ciphers = cur.read_uint32();
  _supported_auths = cur.read_uint32();
  if (!has_bit(_supported_ciphers, CIPHER_3DES)) {
    throw std::runtime_error("server 不支援 3DES；目前只實作 3DES，無法繼續");
  }
  if (_host_key_verifier && !_host_key_verifier(_md5_modulus_fingerprint(_host_key), host)) {
    throw std::runtime_error("host key 拒絕");
  }
  _session_id = md5(_mp_to_be_bytes(_host_key.n.get(), _host_key.bytes) +
                    _mp_to_be_bytes(_serv_key.n.get(), _serv_key.bytes) + _cookie);

  const std::string session_key = random_bytes(kSessionKeyBytes);
  std::string xored = session_key;
  for (std::size_t i = 0; i < _session_id.size(); ++i) xored[i] ^= _session_id[i];
  const bool server_smaller = _serv_key.bytes < _host_key.bytes;
  const RsaKey& smaller = server_smaller ? _serv_key : _host_key;
  const RsaKey& larger = server_smaller ? _host_key : _serv_key;
  const std::string wrapped = _rsa_ssh1_encrypt(_rsa_ssh1_encrypt(xored, smaller), larger);

  std::string payload(1, static_cast<char>(CIPHER_3DES));
  payload += _cookie;
  payload += _marshal_uint16(static_cast<std::uint16_t>(8 * larger.bytes));
  payload += wrapped;
  payload += _marshal_uint32(0);
  _send_packet(CMSG_SESSION_KEY, payload);

  CipherPipelines pipelines = _setup_3des(std::string_view(session_key).substr(0, 24));
  {
    const std::lock_guard lock(_send_lock);
    _cipher_enc = std::move(pipelines.enc);
  }
  _cipher_dec = std::move(pipelines.dec);

  const Packet ok = _read_packet();
  if (ok.type != SMSG_SUCCESS) throw unexpected("server 拒絕加密啟動，type=", ok.type);
}

void SSH1Backend::_do_auth() {
  _send_packet(CMSG_USER, _marshal_string(username));
  const Packet reply = _read_packet();
  if (reply.type == SMSG_SUCCESS) {
    _authed.store(true);
    return;
  }
  if (reply.type != SMSG_FAILURE) {
    throw unexpected("USER 之後預期 SUCCESS/FAILURE 收到 type=", reply.type);
  }
  if (!has_bit(_supported_auths, AUTH_PASSWORD)) {
    throw std::runtime_error("server 不支援 password 認證");
  }
  constexpr int kPromptTries = 3;
  bool refused = false;
  if (!password.empty() || !prompter_) {
    if (try_password(password)) return;
    refused = true;
  }
  for (int i = 0; prompter_ && i < kPromptTries; ++i) {
    if (refused) prompter_->show("Permission denied, please try again.");
    const veltaro::common::Secret typed =
        prompter_->ask(username + "@" + host + "'s password: ", false);
    if (try_password(typed.view())) return;
    refused = true;
  }
  throw std::runtime_error("password 認證失敗");
}

bool SSH1Backend::try_password(std::string_view password_text) {
  std::string payload = _marshal_string(password_text);
  _send_packet(CMSG_AUTH_PASSWORD, payload);
  explicit_bzero(payload.data(), payload.size());
  const std::uint8_t reply = _read_packet().type;
  if (reply != SMSG_SUCCESS && reply != SMSG_FAILURE) {
    throw unexpected("密碼之後預期 SUCCESS/FAILURE 收到 type=", reply);
  }
  if (reply == SMSG_SUCCESS) _authed.store(true);
  return reply == SMSG_SUCCESS;
}

void SSH1Backend::_request_pty_and_shell() {
  std::string payload = _marshal_string(term_type);
  payload += _marshal_uint32(static_cast<std::uint32_t>(rows.load()));
  payload += _marshal_uint32(static_cast<std::uint32_t>(cols.load()));
  payload += _marshal_uint32(0);
  payload += _marshal_uint32(0);
  payload += '\0';
  _send_packet(CMSG_REQUEST_PTY, payload);
  const Packet reply = _read_packet();
  if (reply.type != SMSG_SUCCESS) throw unexpected("REQUEST_PTY 失敗 type=", reply.type);
  _send_packet(CMSG_EXEC_SHELL, {});
  _shell_ready.store(true);
}

}  // namespace tarnlink
