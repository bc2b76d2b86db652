// Carrying a saved edit over to the tabs that run that session.
#include "common/diag.h"
#include "model/gui/tab_fields.h"
#include "model/gui/veltaro_app.h"

#include <chrono>

namespace veltaro::gui {

namespace {

constexpr const char* kApplied = "─── 連線設定已套用 ───";
constexpr const char* kNeedsReconnect =
    "─── 連線設定已更新（部分連線層級欄位需重新連線後才會套用） ───";

const Json& value_or_null(const Json& rec, const char* key) {
  static const Json kNull;
  const Json* m = common::member(rec, key);
  return m ? *m : kNull;
}

// Every empty value (absent, null, false, 0, "", []) counts as one and the same.
bool connection_fields_differ(const Json& old_rec, const Json& new_rec) {
  for (const char* key : VeltaroApp::CONN_LEVEL_KEYS) {
    const Json& a = value_or_null(old_rec, key);
    const Json& b = value_or_null(new_rec, key);
    if (!common::truthy(a) && !common::truthy(b)) continue;
    if (a != b) return true;
  }
  return false;
}

void apply_encoding(Tab& tab, const Json& rec) {
  const std::string enc = session_encoding(rec);
  std::lock_guard lock(tab.mutex);
  if (enc == tab.encoding) return;
  try {
    auto decoder = std::shared_ptr<common::Decoder>(common::Decoder::create(enc));
    tab.encoding = enc;
    tab.decoder = std::move(decoder);
  } catch (const std::exception& e) {
    common::diag("[apply_session] encoding lookup failed:", e.what());
  }
}

void apply_keepalive(Tab& tab, const Json& rec) {
  const Json* raw = common::member(rec, "keepalive_sec");
  const long long ka = raw && common::truthy(*raw) ? common::to_int(*raw).value_or(0) : 0;
  if (ka <= 0) return;
  std::shared_ptr<TabConnection> connection;
  {
    const std::lock_guard lock(tab.mutex);
    connection = tab.connection;
  }
  if (connection) connection->set_keepalive(std::chrono::seconds(ka));
}

}  // namespace

void VeltaroApp::_apply_session_changes_to_open_tabs(const SessionPtr& new_rec,
                                                     const SessionPtr& old_rec) {
  const Json* sid = common::member(*new_rec, "id");
  if (!sid || !common::truthy(*sid)) return;
  for (const auto& tab : tabs_in_order()) {
    {
      const std::lock_guard lock(tab->mutex);
      if (!tab->session || !same_session_id(*tab->session, *sid)) continue;
      tab->session = new_rec;
      tab->display = session_display(*new_rec);
    }
    apply_encoding(*tab, *new_rec);
    apply_keepalive(*tab, *new_rec);
    const bool reconnect =
        old_rec && common::truthy(*old_rec) && connection_fields_differ(*old_rec, *new_rec);
    _push_info(tab->id, reconnect ? kNeedsReconnect : kApplied, false);
  }
}

}  // namespace veltaro::gui
