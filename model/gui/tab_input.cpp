// What the page sends to a tab: keystrokes, terminal size, encoding and the capture switch.
#include "common/codec.h"
#include "common/diag.h"
#include "model/gui/veltaro_app.h"

#include <algorithm>

namespace veltaro::gui {

bool VeltaroApp::send_input(const std::string& tab_id, const std::string& data) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return false;
  try {
    std::string encoding;
    std::shared_ptr<TabConnection> connection;
    std::shared_ptr<LoginInput> login;
    {
      const std::lock_guard lock(tab->mutex);
      encoding = tab->encoding.empty() ? "utf-8" : tab->encoding;
      connection = tab->connection;
      login = tab->login;
    }
    // While logging in, the keys answer the prompt and never reach the server as input.
    if (login && login->feed(data)) return true;
    const std::string bytes = common::encode(encoding, data);
    if (!connection) return false;
    connection->send_input(bytes);
    return true;
  } catch (const std::exception& e) {
    common::diag("[send_input]", e.what());
    return false;
  }
}

void VeltaroApp::resize_pty(const std::string& tab_id, const Json& rows_in, const Json& cols_in) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return;
  try {
    const auto rows_value = common::to_int(rows_in);
    const auto cols_value = common::to_int(cols_in);
    if (!rows_value || !cols_value) {
      throw std::invalid_argument("invalid terminal size " + common::dump_utf8(rows_in) + " x " +
                                  common::dump_utf8(cols_in));
    }
    const int rows = static_cast<int>(std::clamp<long long>(*rows_value, 2, 10000));
    const int cols = static_cast<int>(std::clamp<long long>(*cols_value, 20, 10000));
    std::shared_ptr<TabConnection> connection;
    {
      const std::lock_guard lock(tab->mutex);
      connection = tab->connection;
    }
    if (connection) connection->resize(rows, cols);
  } catch (const std::exception& e) {
    common::diag("[resize_pty]", e.what());
  }
}

bool VeltaroApp::set_tab_encoding(const std::string& tab_id, const std::string& encoding) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab || !common::is_known_encoding(encoding)) return false;
  try {
    auto decoder = std::shared_ptr<common::Decoder>(common::Decoder::create(encoding));
    const std::lock_guard lock(tab->mutex);
    tab->encoding = encoding;
    tab->decoder = std::move(decoder);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

Json VeltaroApp::get_tab_reading(const std::string& tab_id) {
  const TabPtr tab = find_tab(tab_id);
  return Json{{"reading", tab && tab->reading.load()}};
}

Json VeltaroApp::toggle_tab_reading(const std::string& tab_id) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return Json{{"reading", false}};
  bool now = tab->reading.load();
  while (!tab->reading.compare_exchange_weak(now, !now)) {
  }
  // With capture off nothing is kept, so a reader held by a full buffer must go on.
  wake_waiting_reader(*tab);
  return Json{{"reading", !now}};
}

}  // namespace veltaro::gui
