// The window object the controller holds. Calls come from any thread and are carried out on the
// GTK main thread; before the page has loaded, scripts are dropped.
#pragma once

#include "model/gui/window.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>

namespace veltaro::desktop {

class PageWindow final : public gui::Window, public std::enable_shared_from_this<PageWindow> {
 public:
  void evaluate_script(const std::string& script) override;
  void show() override;
  void hide() override;
  void destroy() override;

  // Main thread only.
  void attach(GtkWidget* window, WebKitWebView* view);
  void set_page_ready(bool ready) { page_ready_ = ready; }
  GtkWidget* widget() const { return window_; }

 private:
  GtkWidget* window_ = nullptr;
  WebKitWebView* view_ = nullptr;
  bool page_ready_ = false;
};

}  // namespace veltaro::desktop
