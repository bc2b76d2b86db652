// Raw TCP tabs: a plain socket, no protocol.
#include "model/gui/veltaro_app.h"
#include "model/transports/raw_backend/raw_backend.h"

namespace veltaro::gui {

namespace {
constexpr std::chrono::seconds kConnectTimeout{15};
constexpr long long kDefaultPort = 23;

long long session_port(const Json& sess) {
  const Json* raw = common::member(sess, "port");
  const auto port = raw ? common::to_int(*raw) : std::nullopt;
  return port && *port != 0 ? *port : kDefaultPort;
}
}  // namespace

void VeltaroApp::_start_raw_impl(const std::string& tab_id, const SessionPtr& sess,
                                 const TabPtr& tab) {
  const std::string host = common::text_or(*sess, "host", "");
  const long long port = session_port(*sess);
  _push_info(tab_id, "正在連線到 " + host + ":" + std::to_string(port) + "（Raw）...");
  std::shared_ptr<common::Decoder> decoder;
  std::shared_ptr<raw::RawBackend> t;
  try {
    if (port < 1 || port > 65535) throw std::runtime_error("invalid port " + std::to_string(port));
    t = std::make_shared<raw::RawBackend>(host, static_cast<int>(port), kConnectTimeout);
    std::string encoding;
    {
      const std::lock_guard lock(tab->mutex);
      encoding = tab->encoding;
    }
    decoder = common::Decoder::create(encoding);
    t->connect();
  } catch (const std::exception& e) {
    _push_info(tab_id, std::string("連線失敗：") + e.what(), true);
    mark_ended(*tab);
    if (t) t->close();
    return;
  }
  if (!store_transport(tab, Slot::raw, t, std::move(decoder))) return;
  _push_connected(tab_id);
  auto self = shared_from_this();
  spawn_detached([self, tab_id] { self->_socket_reader_loop(tab_id, Slot::raw); });
}

}  // namespace veltaro::gui
