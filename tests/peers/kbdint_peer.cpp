#include "kbdint_peer.h"

#include <arpa/inet.h>
#include <libssh/libssh.h>
#include <libssh/server.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace veltaro::peers {

namespace {

constexpr int kPollMs = 200;

ssh_bind as_bind(void* p) {
  return static_cast<ssh_bind>(p);
}

}  // namespace

KbdintServer::KbdintServer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 4) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    throw std::runtime_error("kbdint server: cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  ssh_key key = nullptr;
  ssh_bind bind = ssh_bind_new();
  if (bind == nullptr || ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) != SSH_OK ||
      ssh_bind_options_set(bind, SSH_BIND_OPTIONS_IMPORT_KEY, key) != SSH_OK) {
    ::close(listen_fd_);
    throw std::runtime_error("kbdint server: cannot make a host key");
  }
  bind_ = bind;
  thread_ = std::thread([this] { serve(); });
}

KbdintServer::~KbdintServer() {
  stop_ = true;
  {
    const std::lock_guard lock(mutex_);
    if (active_fd_ >= 0) ::shutdown(active_fd_, SHUT_RDWR);
  }
  thread_.join();
  ssh_bind_free(as_bind(bind_));
  ::close(listen_fd_);
}

std::vector<std::string> KbdintServer::answers() const {
  const std::lock_guard lock(mutex_);
  return answers_;
}

void KbdintServer::serve() noexcept {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) serve_one(fd);
  }
}

void KbdintServer::serve_one(int fd) noexcept {
  {
    const std::lock_guard lock(mutex_);
    active_fd_ = fd;
  }
  ssh_session session = ssh_new();
  ssh_channel channel = nullptr;
  bool shell = false;
  if (ssh_bind_accept_fd(as_bind(bind_), session, fd) == SSH_OK &&
      ssh_handle_key_exchange(session) == SSH_OK) {
    ssh_set_auth_methods(session, SSH_AUTH_METHOD_INTERACTIVE);
    while (!stop_ && !shell) {
      ssh_message msg = ssh_message_get(session);
      if (msg == nullptr) break;
      const int type = ssh_message_type(msg);
      const int subtype = ssh_message_subtype(msg);
      if (type == SSH_REQUEST_AUTH && subtype == SSH_AUTH_METHOD_INTERACTIVE &&
          !ssh_message_auth_kbdint_is_response(msg)) {
        const char* prompts[] = {"Password: ", "Verification code: "};
        char echo[] = {0, 1};
        ssh_message_auth_interactive_request(
            msg, "Two-step login", "Enter your password, then the code.", 2, prompts, echo);
      } else if (type == SSH_REQUEST_AUTH && subtype == SSH_AUTH_METHOD_INTERACTIVE) {
        const int n = ssh_userauth_kbdint_getnanswers(session);
        const char* password = n == 2 ? ssh_userauth_kbdint_getanswer(session, 0) : nullptr;
        const char* code = n == 2 ? ssh_userauth_kbdint_getanswer(session, 1) : nullptr;
        const bool ok = password && code && std::string(password) == kKbdintPassword &&
                        std::string(code) == kKbdintCode;
        {
          const std::lock_guard lock(mutex_);
          answers_.push_back(std::string(password ? password : "") + "|" + (code ? code : ""));
        }
        if (ok) {
          ssh_message_auth_reply_success(msg, 0);
        } else {
          ssh_message_auth_set_methods(msg, SSH_AUTH_METHOD_INTERACTIVE);
          ssh_message_reply_default(msg);
        }
      } else if (type == SSH_REQUEST_CHANNEL_OPEN && subtype == SSH_CHANNEL_SESSION) {
        channel = ssh_message_channel_request_open_reply_accept(msg);
      } else if (type == SSH_REQUEST_CHANNEL &&
                 (subtype == SSH_CHANNEL_REQUEST_PTY || subtype == SSH_CHANNEL_REQUEST_SHELL)) {
        ssh_message_channel_request_reply_success(msg);
        shell = subtype == SSH_CHANNEL_REQUEST_SHELL;
      } else {
        if (type == SSH_REQUEST_AUTH) {
          ssh_message_auth_set_methods(msg, SSH_AUTH_METHOD_INTERACTIVE);
        }
        ssh_message_reply_default(msg);
      }
      ssh_message_free(msg);
    }
  }
  if (shell && channel != nullptr) {
    const std::string welcome = std::string(kKbdintWelcome) + "\r\n";
    ssh_channel_write(channel, welcome.data(), static_cast<uint32_t>(welcome.size()));
    char buf[4096];
    while (!stop_ && ssh_channel_is_open(channel) && !ssh_channel_is_eof(channel)) {
      const int n = ssh_channel_read_timeout(channel, buf, sizeof buf, 0, kPollMs);
      if (n < 0) break;
      if (n > 0) ssh_channel_write(channel, buf, static_cast<uint32_t>(n));
    }
  }
  {
    const std::lock_guard lock(mutex_);
    active_fd_ = -1;
  }
  if (channel != nullptr) ssh_channel_free(channel);
  ssh_disconnect(session);
  ssh_free(session);
}

}  // namespace veltaro::peers
