// Telnet tabs, plain and with COM port control (RFC 2217): one transport, two ways to read the
// session.
#include "model/gui/telnet_settings.h"
#include "model/gui/veltaro_app.h"
#include "model/transports/telnet_backend/telnet_backend.h"

namespace veltaro::gui {

void VeltaroApp::_start_telnet_impl(const std::string& tab_id, const SessionPtr& sess,
                                    const TabPtr& tab) {
  start_telnet_tab(tab_id, tab, telnet_start(*sess));
}

void VeltaroApp::_start_telnet_serial_impl(const std::string& tab_id, const SessionPtr& sess,
                                           const TabPtr& tab) {
  start_telnet_tab(tab_id, tab, telnet_serial_start(*sess));
}

void VeltaroApp::start_telnet_tab(const std::string& tab_id, const TabPtr& tab,
                                  const TelnetStart& start) {
  _push_info(tab_id, start.announce);
  std::shared_ptr<common::Decoder> decoder;
  std::shared_ptr<telnet::TelnetBackend> t;
  try {
    if (start.error) throw std::runtime_error(*start.error);
    if (start.port < 1 || start.port > 65535) {
      throw std::runtime_error("invalid port " + std::to_string(start.port));
    }
    t = std::make_shared<telnet::TelnetBackend>(start.options);
    std::string encoding;
    {
      const std::lock_guard lock(tab->mutex);
      encoding = tab->encoding;
    }
    decoder = common::Decoder::create(encoding);
    t->connect();
  } catch (const std::exception& e) {
    _push_info(tab_id, std::string("連線失敗：") + e.what(), true);
    tab->alive.store(false);
    if (t) t->close();
    return;
  }
  if (!store_transport(tab, Slot::telnet, t, std::move(decoder))) return;
  _push_connected(tab_id);
  auto self = shared_from_this();
  spawn_detached([self, tab_id] { self->_socket_reader_loop(tab_id, Slot::telnet); });
}

}  // namespace veltaro::gui
