#include "model/desktop/tray.h"

#include "model/desktop/gtk_host.h"
#include "model/desktop/main_thread.h"
#include "model/desktop/page_window.h"
#include "model/gui/veltaro_app.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <libayatana-appindicator/app-indicator.h>

namespace veltaro::desktop {

namespace {

constexpr int kBusTimeoutMs = 1000;
constexpr int kFallbackSize = 64;
constexpr guint32 kFallbackColour = 0x0F1521FF;  // RGBA

// The logo when it can be read as an image; otherwise a dark blue-grey square written beside
// the application data, since the indicator takes icons by file.
std::string icon_path(gui::VeltaroApp& app) {
  const auto logo = gui::VeltaroApp::module_dir() / "格式範本" / "logo.ico";
  if (GdkPixbuf* image = gdk_pixbuf_new_from_file(logo.c_str(), nullptr)) {
    g_object_unref(image);
    return logo.string();
  }
  const auto fallback = app.APP_DIR / "tray-icon.png";
  GdkPixbuf* square = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, kFallbackSize, kFallbackSize);
  gdk_pixbuf_fill(square, kFallbackColour);
  gdk_pixbuf_save(square, fallback.c_str(), "png", nullptr, nullptr);
  g_object_unref(square);
  return fallback.string();
}

class IndicatorTray final : public gui::TrayIcon {
 public:
  explicit IndicatorTray(AppIndicator* indicator) : indicator_(indicator) {}
  void stop() override {
    run_on_main([indicator = indicator_] {
      app_indicator_set_status(indicator, APP_INDICATOR_STATUS_PASSIVE);
    });
  }

 private:
  AppIndicator* indicator_;
};

struct MenuTargets {
  gui::VeltaroApp* app;
  std::shared_ptr<PageWindow> window;
  AppIndicator* indicator = nullptr;
};

}  // namespace

bool tray_host_running() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return false;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", "org.kde.StatusNotifierWatcher"), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, nullptr);
  gboolean owned = FALSE;
  if (reply) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  g_object_unref(bus);
  return owned;
}

std::shared_ptr<gui::TrayIcon> make_tray(gui::VeltaroApp& app, std::shared_ptr<PageWindow> window) {
  if (!tray_host_running()) return nullptr;
  auto* targets = new MenuTargets{&app, std::move(window)};  // as long as the icon: the whole run
  AppIndicator* indicator = app_indicator_new(gui::VeltaroApp::APP_NAME, icon_path(app).c_str(),
                                              APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
  targets->indicator = indicator;
  app_indicator_set_title(indicator, gui::VeltaroApp::APP_NAME);
  GtkWidget* menu = gtk_menu_new();
  GtkWidget* show = gtk_menu_item_new_with_label("顯示視窗");
  GtkWidget* quit = gtk_menu_item_new_with_label("完全退出");
  g_signal_connect(show, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                     static_cast<MenuTargets*>(data)->window->show();
                   }),
                   targets);
  g_signal_connect(quit, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                     auto* t = static_cast<MenuTargets*>(data);
                     // The icon goes first, then the tabs, the window and the process.
                     app_indicator_set_status(t->indicator, APP_INDICATOR_STATUS_PASSIVE);
                     quit_application(*t->app);
                   }),
                   targets);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), show);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), quit);
  gtk_widget_show_all(menu);
  app_indicator_set_menu(indicator, GTK_MENU(menu));
  // A click on the icon itself shows the window, like the default item.
  app_indicator_set_secondary_activate_target(indicator, show);
  app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
  return std::make_shared<IndicatorTray>(indicator);
}

}  // namespace veltaro::desktop
