// Port forwarding of SSH-2 tabs: local rules listen on 127.0.0.1 and carry each connection
// through the server; remote rules have the server listen and carry each connection back here.
#include "common/tcp_listener.h"
#include "common/text.h"
#include "model/gui/copy_loop.h"
#include "model/gui/veltaro_app.h"
#include "model/transports/ssh2/transport.h"

#include <sstream>

namespace veltaro::gui {

namespace {

constexpr std::chrono::seconds kTargetConnectTimeout{15};
// How often an idle listener looks at whether the application is ending.
constexpr std::chrono::milliseconds kAcceptCheck{1000};

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n\f\v");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r\n\f\v");
  return s.substr(first, last - first + 1);
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

// One local rule's listening socket, closed with its tab's connection.
class LocalListener final : public transport::Closeable {
 public:
  // Throws std::runtime_error when 127.0.0.1:port cannot be bound.
  explicit LocalListener(int port) : socket_(port) {}
  void close() noexcept override { socket_.close(); }
  common::TcpListener& socket() noexcept { return socket_; }

 private:
  common::TcpListener socket_;
};

}  // namespace

std::shared_ptr<transport::Closeable> VeltaroApp::_setup_forward(
    const std::shared_ptr<ssh2::Transport>& transport, const Json& rule,
    const std::string& tab_id) {
  const Json* type_field = common::member(rule, "type");
  const Json* rule_field = common::member(rule, "spec");
  const std::string type = type_field ? common::ascii_upper(common::to_text(*type_field)) : "";
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
    while (!listener->socket().is_closed() && !self->_stop.load()) {
      auto accepted = listener->socket().accept(kAcceptCheck);
      if (!accepted) continue;
      auto socket = std::make_shared<common::TcpSocket>(std::move(accepted->socket));
      const ssh2::Endpoint origin{accepted->ip, accepted->port};
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
    }
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
