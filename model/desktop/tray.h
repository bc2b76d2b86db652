// The notification-area icon: "顯示視窗" brings the hidden window back, "完全退出" ends the
// application. Many Linux desktops run no tray host; then there is no icon.
#pragma once

#include "model/gui/window.h"

#include <memory>

namespace veltaro::gui {
class VeltaroApp;
}

namespace veltaro::desktop {

class PageWindow;

// The icon, or empty when no tray host is running. Main thread only.
std::shared_ptr<gui::TrayIcon> make_tray(gui::VeltaroApp& app, std::shared_ptr<PageWindow> window);

// Whether a StatusNotifier host answers on the session bus (bounded wait).
bool tray_host_running();

}  // namespace veltaro::desktop
