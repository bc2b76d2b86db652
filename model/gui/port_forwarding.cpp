// Port forwarding of SSH-2 tabs: local rules listen on 127.0.0.1 and carry each connection
// through the server; remote rules have the server listen and carry each connection back here.
#include "common/tcp_socket.h"
#include "model/gui/copy_loop.h"
#include "model/gui/veltaro_app.h"
#include "model/transports/ssh2/transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace veltaro::gui {

namespace {

constexpr std::chrono::seconds kTargetConnectTimeout{15};
// How often an idle listener looks at whether it was closed.
constexpr std::chrono::milliseconds kAcceptCheck{1000};

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n\f\v");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r\n\f\v");
  return s.substr(first, last - first + 1);
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

std::vector<std::string> split_colons(const std::string& text) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, ':')) parts.push_back(part);
  if (!text.empty() && text.back() == ':') parts.emplace_back();
  return parts;
}

// Throws std::runtime_error naming the text when it is no port number.
int parse_port(const std::string& text) {
  const auto port = common::to_int(Json(text));
  if (!port || *port < 1 || *port > 65535) throw std::runtime_error("invalid port '" + text + "'");
  return static_cast<int>(*port);
}

std::runtime_error system_error(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// One local rule's listening socket. The accept thread owns the descriptor and closes it when
// it ends; close() only wakes it, so no thread ever touches a number the kernel reused.
class LocalListener : public transport::Closeable {
 public:
  // Throws std::runtime_error when 127.0.0.1:port cannot be bound.
  explicit LocalListener(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw system_error("socket");
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, SOMAXCONN) != 0) {
      const auto error = system_error("127.0.0.1:" + std::to_string(port));
      ::close(fd_);
      throw error;
    }
  }

  ~LocalListener() override {
    if (fd_ >= 0) ::close(fd_);
  }

  void close() noexcept override {
    const std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  }

  // Accepts until closed, handing each connection and its origin to `serve`, which owns the
  // accepted descriptor from then on. Closes the listening descriptor on the way out.
  void accept_loop(const std::function<void(int fd, ssh2::Endpoint origin)>& serve,
                   const std::atomic<bool>& stop) noexcept {
    while (!is_closed() && !stop.load()) {
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(kAcceptCheck.count()));
      if (ready <= 0 || is_closed()) continue;
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      const int conn = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (conn < 0) continue;
      const int one = 1;
      ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      char ip[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
      try {
        serve(conn, ssh2::Endpoint{ip, ntohs(peer.sin_port)});
      } catch (...) {
        // `serve` owns the descriptor from its first step; a failure to serve drops it.
      }
    }
    const std::lock_guard lock(mutex_);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  bool is_closed() const {
    const std::lock_guard lock(mutex_);
    return closed_;
  }

  mutable std::mutex mutex_;
  int fd_ = -1;
  bool closed_ = false;
};

}  // namespace

std::shared_ptr<transport::Closeable> VeltaroApp::_setup_forward(
    const std::shared_ptr<ssh2::Transport>& transport, const Json& rule,
    const std::string& tab_id) {
  const Json* type_field = common::member(rule, "type");
  const Json* rule_field = common::member(rule, "spec");
  const std::string type = type_field ? upper(common::to_text(*type_field)) : "";
  const std::string rule_text = rule_field ? trim(common::to_text(*rule_field)) : "";
  if (rule_text.empty() || (type != "L" && type != "R")) return nullptr;
  const std::vector<std::string> parts = split_colons(rule_text);
  if (parts.size() != 3) return nullptr;
  try {
    if (type == "L") {
      return _open_local_forward(transport, parse_port(parts[0]), parts[1], parse_port(parts[2]));
    }
    const int server_port = parse_port(parts[0]);
    const std::string target_host = parts[1];
    const int target_port = parse_port(parts[2]);
    auto self = shared_from_this();
    transport->request_port_forward(
        "", server_port,
        [self, target_host, target_port](std::shared_ptr<ssh2::Channel> channel, ssh2::Endpoint,
                                         ssh2::Endpoint) {
          self->_remote_handler(channel, target_host, target_port);
        });
  } catch (const std::exception& e) {
    _push_info(tab_id, "轉發規則 " + rule_text + " 設定失敗：" + e.what(), true);
  }
  return nullptr;
}

std::shared_ptr<transport::Closeable> VeltaroApp::_open_local_forward(
    const std::shared_ptr<ssh2::Transport>& transport, int local_port,
    const std::string& remote_host, int remote_port) {
  auto listener = std::make_shared<LocalListener>(local_port);
  auto self = shared_from_this();
  const ssh2::Endpoint destination{remote_host, remote_port};
  spawn_detached([self, listener, transport, destination] {
    listener->accept_loop(
        [&](int fd, ssh2::Endpoint origin) {
          common::TcpSocket owned(fd);
          auto socket = std::make_shared<common::TcpSocket>(std::move(owned));
          spawn_detached([self, transport, destination, origin, socket] {
            std::shared_ptr<ssh2::Channel> channel;
            try {
              channel = transport->open_direct_tcpip(destination, origin);
            } catch (const std::exception&) {
              // Unreachable target or ended connection: this one connection is refused.
            }
            if (!channel) {
              socket->shutdown();
              return;
            }
            detail::copy_until_closed(*socket, *channel, self->_stop);
          });
        },
        self->_stop);
  });
  return listener;
}

void VeltaroApp::_remote_handler(const std::shared_ptr<ssh2::Channel>& channel,
                                 const std::string& local_host, int local_port) {
  std::optional<common::TcpSocket> socket;
  try {
    socket.emplace(common::TcpSocket::connect(local_host, local_port, kTargetConnectTimeout));
  } catch (const std::exception&) {
    channel->close();
    return;
  }
  detail::copy_until_closed(*socket, *channel, _stop);
}

}  // namespace veltaro::gui
