#include "model/desktop/page_window.h"

#include "model/desktop/main_thread.h"

namespace veltaro::desktop {

void PageWindow::attach(GtkWidget* window, WebKitWebView* view) {
  window_ = window;
  view_ = view;
  g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                     auto* w = static_cast<PageWindow*>(self);
                     w->window_ = nullptr;
                     w->view_ = nullptr;
                     w->page_ready_ = false;
                   }),
                   this);
}

void PageWindow::evaluate_script(const std::string& script) {
  run_on_main([self = shared_from_this(), script] {
    if (!self->view_ || !self->page_ready_) return;
    webkit_web_view_evaluate_javascript(self->view_, script.c_str(), -1, nullptr, nullptr, nullptr,
                                        nullptr, nullptr);
  });
}

void PageWindow::show() {
  run_on_main([self = shared_from_this()] {
    if (!self->window_) return;
    gtk_widget_show_all(self->window_);
    gtk_window_present(GTK_WINDOW(self->window_));
  });
}

void PageWindow::hide() {
  run_on_main([self = shared_from_this()] {
    if (self->window_) gtk_widget_hide(self->window_);
  });
}

void PageWindow::destroy() {
  run_on_main([self = shared_from_this()] {
    if (self->window_) gtk_widget_destroy(self->window_);
  });
}

}  // namespace veltaro::desktop
