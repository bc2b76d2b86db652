// The rule every starter follows when it hands its new connection to the tab.
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

bool VeltaroApp::store_transport(const TabPtr& tab, Slot slot,
                                 std::shared_ptr<transport::Transport> t,
                                 std::shared_ptr<common::Decoder> decoder) {
  {
    const std::lock_guard lock(tab->mutex);
    if (!tab->closed) {
      switch (slot) {
        case Slot::channel:
          tab->channel = t;
          break;
        case Slot::telnet:
          tab->telnet = t;
          break;
        case Slot::raw:
          tab->raw = t;
          break;
        case Slot::ssh1:
          tab->ssh1 = t;
          break;
        case Slot::serial:
          return false;  // serial lines are stored by their own starter
      }
      tab->decoder = std::move(decoder);
      return true;
    }
  }
  // The tab was closed while this connection was being made: nobody will ever close it.
  t->close();
  return false;
}

}  // namespace veltaro::gui
