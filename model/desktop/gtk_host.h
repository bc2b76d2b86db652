// The desktop host: a GTK window with one WebKit view showing the page.
#pragma once

#include "model/gui/window.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>

namespace veltaro::desktop {

class PageWindow;
class GtkDesktop;

class GtkHost final : public gui::WindowHost {
 public:
  // Initialises GTK; call on the thread that will run the loop.
  GtkHost();

  std::shared_ptr<gui::Window> create_window(const gui::WindowOptions& options,
                                             gui::VeltaroApp& app) override;
  std::shared_ptr<gui::TrayIcon> setup_tray(gui::VeltaroApp& app) override;
  void apply_dark_titlebar() override;
  std::shared_ptr<gui::Desktop> desktop() override;
  void run_loop(const gui::LoopOptions& options) override;

 private:
  gui::WindowOptions options_;
  std::shared_ptr<gui::VeltaroApp> app_;
  std::shared_ptr<PageWindow> window_;
  std::shared_ptr<GtkDesktop> desktop_;
  std::shared_ptr<gui::TrayIcon> tray_;
};

// Ends the application the way the tray's quit item does: tray stopped, tabs closed, window
// destroyed, process ended with status 0.
[[noreturn]] void quit_application(gui::VeltaroApp& app);

}  // namespace veltaro::desktop
