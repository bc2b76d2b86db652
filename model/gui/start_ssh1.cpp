// SSH-1 tabs: a tarnlink client, logged in with the session's password or one the user types in
// the terminal, carried by the stream connection like any byte-stream transport.
#include "model/gui/login_scope.h"
#include "model/gui/stream_connection.h"
#include "model/gui/tab_fields.h"
#include "model/gui/veltaro_app.h"
#include "model/transports/login_prompter.h"
#include "model/transports/tarnlink/ssh1_client.h"

namespace veltaro::gui {

namespace {

constexpr std::chrono::seconds kConnectTimeout{15};
constexpr long long kDefaultPort = 22;
// The terminal size the shell starts with; the page reports the real one once it is drawn.
constexpr int kRows = 24;
constexpr int kCols = 80;

}  // namespace

void VeltaroApp::_start_ssh1_impl(const std::string& tab_id, const SessionPtr& sess,
                                  const TabPtr& tab) {
  const std::string host = common::text_or(*sess, "host", "");
  // A port that is no number means 22 here, and the connecting line says so.
  const long long port = session_port(*sess, kDefaultPort).value.value_or(kDefaultPort);
  _push_info(tab_id, "正在連線到 " + host + ":" + std::to_string(port) + "（SSH-1）...");
  tarnlink::SSH1Options options;
  options.password = common::text_or(*sess, "password", "");
  options.host = host;
  options.username = common::text_or(*sess, "username", "");
  options.term_type = common::text_or(*sess, "terminal_type", "xterm");
  options.rows = kRows;
  options.cols = kCols;
  options.timeout = kConnectTimeout;

  std::shared_ptr<transport::Transport> client;
  std::shared_ptr<common::Decoder> decoder;
  {
    const LoginScope login(*this, tab);
    if (!login.prompter()) return;  // closed meanwhile
    options.prompter = login.prompter();
    try {
      if (port < 1 || port > 65535) {
        throw std::runtime_error("invalid port " + std::to_string(port));
      }
      options.port = static_cast<int>(port);
      if (options.username.empty()) {
        const common::Secret name = transport::ask_user_name(*options.prompter);
        if (name.empty()) throw std::runtime_error("沒有輸入使用者名稱");
        options.username = name.c_str();
      }
      client = tarnlink::make_ssh1_client(std::move(options));
      client->connect();
      decoder = decoder_for(*tab);
    } catch (const std::exception& e) {
      _push_info(tab_id, std::string("SSH-1 連線失敗：") + e.what(), true);
      mark_ended(*tab);
      if (client) client->close();
      return;
    }
  }
  attach_connection(tab, std::make_shared<StreamConnection>(client), std::move(decoder));
}

}  // namespace veltaro::gui
