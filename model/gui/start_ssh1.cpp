// SSH-1 tabs: a tarnlink client, logged in with the session's password, read by the shared
// socket reader.
#include "model/gui/veltaro_app.h"
#include "model/transports/tarnlink/ssh1_client.h"

namespace veltaro::gui {

namespace {

constexpr std::chrono::seconds kConnectTimeout{15};
constexpr int kDefaultPort = 22;
constexpr int kRows = 24;
constexpr int kCols = 80;

// 22 when missing, 0, empty or not a number.
long long ssh1_port(const Json& sess) {
  const Json* raw = common::member(sess, "port");
  const auto port = raw ? common::to_int(*raw) : std::nullopt;
  return port && *port != 0 ? *port : kDefaultPort;
}

}  // namespace

void VeltaroApp::_start_ssh1_impl(const std::string& tab_id, const SessionPtr& sess,
                                  const TabPtr& tab) {
  const std::string host = common::text_or(*sess, "host", "");
  const long long port = ssh1_port(*sess);
  _push_info(tab_id, "正在連線到 " + host + ":" + std::to_string(port) + "（SSH-1）...");
  tarnlink::SSH1Options options;
  options.password = common::text_or(*sess, "password", "");
  if (options.password.empty()) {
    _push_info(tab_id, "SSH-1 目前僅支援密碼認證；請在連線設定填入密碼後重試。", true);
    tab->alive.store(false);
    return;
  }
  options.host = host;
  options.username = common::text_or(*sess, "username", "");
  options.term_type = common::text_or(*sess, "terminal_type", "xterm");
  options.rows = kRows;
  options.cols = kCols;
  options.timeout = kConnectTimeout;

  std::shared_ptr<transport::Transport> client;
  std::shared_ptr<common::Decoder> decoder;
  try {
    if (port < 1 || port > 65535) throw std::runtime_error("invalid port " + std::to_string(port));
    options.port = static_cast<int>(port);
    client = tarnlink::make_ssh1_client(std::move(options));
    client->connect();
    std::string encoding;
    {
      const std::lock_guard lock(tab->mutex);
      encoding = tab->encoding;
    }
    decoder = common::Decoder::create(encoding);
  } catch (const std::exception& e) {
    _push_info(tab_id, std::string("SSH-1 連線失敗：") + e.what(), true);
    tab->alive.store(false);
    if (client) client->close();
    return;
  }
  if (!store_transport(tab, Slot::ssh1, client, std::move(decoder))) return;
  _push_connected(tab_id);
  auto self = shared_from_this();
  spawn_detached([self, tab_id] { self->_socket_reader_loop(tab_id, Slot::ssh1); });
}

}  // namespace veltaro::gui
