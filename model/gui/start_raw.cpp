// Raw TCP tabs: a plain socket, no protocol.
#include "model/gui/stream_connection.h"
#include "model/gui/tab_fields.h"
#include "model/gui/veltaro_app.h"
#include "model/transports/raw_backend/raw_backend.h"

namespace veltaro::gui {

namespace {
constexpr std::chrono::seconds kConnectTimeout{15};
constexpr long long kDefaultPort = 23;
}  // namespace

void VeltaroApp::_start_raw_impl(const std::string& tab_id, const SessionPtr& sess,
                                 const TabPtr& tab) {
  const std::string host = common::text_or(*sess, "host", "");
  // A port that is no number means the default here, unlike for SSH.
  const long long port = session_port(*sess, kDefaultPort).value.value_or(kDefaultPort);
  _push_info(tab_id, "正在連線到 " + host + ":" + std::to_string(port) + "（Raw）...");
  std::shared_ptr<common::Decoder> decoder;
  std::shared_ptr<raw::RawBackend> t;
  try {
    if (port < 1 || port > 65535) throw std::runtime_error("invalid port " + std::to_string(port));
    t = std::make_shared<raw::RawBackend>(host, static_cast<int>(port), kConnectTimeout);
    decoder = decoder_for(*tab);
    t->connect();
  } catch (const std::exception& e) {
    _push_info(tab_id, std::string("連線失敗：") + e.what(), true);
    mark_ended(*tab);
    if (t) t->close();
    return;
  }
  attach_connection(tab, std::make_shared<StreamConnection>(t), std::move(decoder));
}

}  // namespace veltaro::gui
