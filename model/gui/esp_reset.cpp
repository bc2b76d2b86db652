// The page's board-reset buttons: the line sequence runs on a worker so the call returns at once.
#include "common/diag.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

bool VeltaroApp::hard_reset_esp(const std::string& tab_id) {
  return _fire_esp_reset(tab_id, "hard_reset");
}

bool VeltaroApp::enter_bootloader_esp(const std::string& tab_id) {
  return _fire_esp_reset(tab_id, "enter_bootloader");
}

bool VeltaroApp::_fire_esp_reset(const std::string& tab_id, const std::string& mode) {
  const std::string tag = "[esp_reset:" + mode + "]";
  const TabPtr tab = find_tab(tab_id);
  if (!tab) {
    common::diag(tag, "tab " + tab_id + " not found");
    return false;
  }
  std::shared_ptr<TabConnection> connection;
  {
    const std::lock_guard lock(tab->mutex);
    connection = tab->connection;
  }
  // Tabs of other protocols have no serial line, nor has a serial tab waiting for its device.
  const auto port = connection ? connection->serial_line() : nullptr;
  if (!port || !port->is_open()) {
    common::diag(
        tag, "ser=" + (port ? port->describe() : "None") + " open=" + (port ? "False" : "None"));
    return false;
  }
  common::diag(tag, "dispatching to worker thread");
  spawn_detached([port, mode, tag] {
    try {
      if (mode == "hard_reset") {
        port->hard_reset();
      } else {
        port->enter_bootloader();
      }
      common::diag(tag, "done");
    } catch (const std::exception& e) {
      common::diag(tag, e.what());
    }
  });
  return true;
}

}  // namespace veltaro::gui
