// Telnet tabs, plain and with COM port control (RFC 2217): one transport, two ways to read the
// session. The connection is a StreamConnection: the Telnet transport has the stream surface.
#include "model/gui/stream_connection.h"
#include "model/gui/telnet_settings.h"
#include "model/gui/veltaro_app.h"
#include "model/transports/telnet_backend/telnet_backend.h"

namespace veltaro::gui {

namespace {

// Announces, connects and hands the connection to the tab; a failure is reported in the tab.
// Never throws.
void start_telnet_tab(VeltaroApp& app, const TabPtr& tab, const TelnetStart& start) {
  app._push_info(tab->id, start.announce);
  std::shared_ptr<common::Decoder> decoder;
  std::shared_ptr<telnet::TelnetBackend> t;
  try {
    if (start.error) throw std::runtime_error(*start.error);
    if (start.port < 1 || start.port > 65535) {
      throw std::runtime_error("invalid port " + std::to_string(start.port));
    }
    t = std::make_shared<telnet::TelnetBackend>(start.options);
    decoder = decoder_for(*tab);
    t->connect();
  } catch (const std::exception& e) {
    app._push_info(tab->id, std::string("連線失敗：") + e.what(), true);
    app.mark_ended(*tab);
    if (t) t->close();
    return;
  }
  app.attach_connection(tab, std::make_shared<StreamConnection>(t), std::move(decoder));
}

}  // namespace

void VeltaroApp::_start_telnet_impl(const std::string&, const SessionPtr& sess, const TabPtr& tab) {
  start_telnet_tab(*this, tab, telnet_start(*sess));
}

void VeltaroApp::_start_telnet_serial_impl(const std::string&, const SessionPtr& sess,
                                           const TabPtr& tab) {
  start_telnet_tab(*this, tab, telnet_serial_start(*sess));
}

}  // namespace veltaro::gui
