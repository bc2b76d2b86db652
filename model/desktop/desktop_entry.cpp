#include "model/desktop/desktop_entry.h"

#include "common/diag.h"
#include "model/desktop/gtk_host.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::desktop {

void GUI(common::QueueTable Queue_All_variable, common::EventTable Event_All_variable) {
  std::shared_ptr<GtkHost> host;
  try {
    host = std::make_shared<GtkHost>();
  } catch (const std::exception& e) {
    common::diag("[GUI] fatal:", e.what());
    return;
  }
  gui::run_gui(std::move(Queue_All_variable), std::move(Event_All_variable), host);
}

}  // namespace veltaro::desktop
