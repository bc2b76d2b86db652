#include "model/desktop/gtk_host.h"

#include "model/desktop/gtk_desktop.h"
#include "model/desktop/main_thread.h"
#include "model/desktop/page_bridge.h"
#include "model/desktop/page_confinement.h"
#include "model/desktop/page_fonts.h"
#include "model/desktop/page_window.h"
#include "model/desktop/tray.h"
#include "model/gui/veltaro_app.h"

#include <unistd.h>

#include <cstdlib>

namespace veltaro::desktop {

namespace {

constexpr double kFootprintPollSeconds = 120;

struct LoopState {
  std::shared_ptr<gui::VeltaroApp> app;
  std::shared_ptr<PageWindow> window;
  std::shared_ptr<gui::TrayIcon> tray;
  WebKitWebView* view = nullptr;
};

// WebKitWebDriver starts the program with this set; only then may the page be automated.
bool started_by_webdriver() {
  return std::getenv("WEBKIT_INSPECTOR_SERVER") != nullptr;
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
  auto* state = static_cast<LoopState*>(data);
  // Without a tray host the hidden window could never come back and the process could not be
  // ended from the desktop: closing then quits.
  if (!state->tray) quit_application(*state->app);
  return state->app->_on_window_closing() ? FALSE : TRUE;
}

void on_load_changed(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  auto* state = static_cast<LoopState*>(data);
  if (event == WEBKIT_LOAD_COMMITTED) state->window->set_page_ready(false);
  if (event == WEBKIT_LOAD_FINISHED) state->window->set_page_ready(true);
}

gboolean on_context_menu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*,
                         gpointer) {
  return TRUE;
}

WebKitWebView* on_automation_view(WebKitAutomationSession*, gpointer data) {
  return static_cast<LoopState*>(data)->view;
}

void on_automation_started(WebKitWebContext*, WebKitAutomationSession* session, gpointer data) {
  WebKitApplicationInfo* info = webkit_application_info_new();
  webkit_application_info_set_name(info, gui::VeltaroApp::APP_NAME);
  webkit_application_info_set_version(info, 0, 1, 0);
  webkit_automation_session_set_application_info(session, info);
  webkit_application_info_unref(info);
  g_signal_connect(session, "create-web-view", G_CALLBACK(on_automation_view), data);
}

WebKitWebContext* make_context(const gui::LoopOptions& loop, LoopState* state, bool automated) {
  const std::string data_dir = loop.storage_dir.string();
  const std::string cache_dir = (loop.storage_dir / "cache").string();
  WebKitWebsiteDataManager* data = webkit_website_data_manager_new(
      "base-data-directory", data_dir.c_str(), "base-cache-directory", cache_dir.c_str(), nullptr);
  // The engine measures the web process's footprint every 30 s by default, by reading the whole
  // memory map: about 14 ms of CPU each time, a tenth of what an idle window with ten tabs costs
  // in those 30 s. One local page grows slowly; every two minutes is soon enough to react.
  WebKitMemoryPressureSettings* pressure = webkit_memory_pressure_settings_new();
  webkit_memory_pressure_settings_set_poll_interval(pressure, kFootprintPollSeconds);
  auto* context =
      WEBKIT_WEB_CONTEXT(g_object_new(WEBKIT_TYPE_WEB_CONTEXT, "website-data-manager", data,
                                      "memory-pressure-settings", pressure, nullptr));
  webkit_memory_pressure_settings_free(pressure);
  g_object_unref(data);
  if (automated) {
    webkit_web_context_set_automation_allowed(context, TRUE);
    g_signal_connect(context, "automation-started", G_CALLBACK(on_automation_started), state);
  }
  return context;
}

WebKitWebView* make_view(WebKitWebContext* context, LoopState* state, bool automated,
                         const std::string& background, const std::string& page_uri) {
  auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                            "is-controlled-by-automation", automated, nullptr));
  install_page_bridge(view, state->app, page_uri);
  WebKitSettings* settings = webkit_web_view_get_settings(view);
  // Same picture, and the web process needs about 70 MB less.
  webkit_settings_set_hardware_acceleration_policy(settings,
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  // The terminals draw with the DOM; nothing in the page may ask for a GL context.
  webkit_settings_set_enable_webgl(settings, FALSE);
  GdkRGBA rgba;
  if (gdk_rgba_parse(&rgba, background.c_str())) webkit_web_view_set_background_color(view, &rgba);
  g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), state);
  // The page draws its own menus; the view's would offer Reload and Back, which leave the page.
  g_signal_connect(view, "context-menu", G_CALLBACK(on_context_menu), nullptr);
  g_signal_connect(view, "close", G_CALLBACK(+[](WebKitWebView*, gpointer data) {
                     quit_application(*static_cast<LoopState*>(data)->app);
                   }),
                   state);
  return view;
}

// The web engine repaints a focused text field's caret on every blink, and the terminal keeps its
// input field focused: an idle window would wake the engine's frame clock all the time. With
// blinking turned off instead, the engine repaints without pause while the field is smaller than
// the caret, as the terminal's is. So carets in the page blink once an hour: they stay shown, as a
// GTK entry's does once its blink time-out has passed. The terminal's own cursor blinks apart.
void keep_carets_still() {
  constexpr gint kOnceAnHourMs = 3'600'000;
  if (GtkSettings* settings = gtk_settings_get_default()) {
    g_object_set(settings, "gtk-cursor-blink", TRUE, "gtk-cursor-blink-time", kOnceAnHourMs,
                 nullptr);
  }
}

}  // namespace

GtkHost::GtkHost() {
  gtk_init(nullptr, nullptr);
  keep_carets_still();
  window_ = std::make_shared<PageWindow>();
  desktop_ = std::make_shared<GtkDesktop>(window_);
}

std::shared_ptr<gui::Window> GtkHost::create_window(const gui::WindowOptions& options,
                                                    gui::VeltaroApp& app) {
  options_ = options;
  app_ = app.shared_from_this();
  return window_;
}

std::shared_ptr<gui::TrayIcon> GtkHost::setup_tray(gui::VeltaroApp& app) {
  tray_ = make_tray(app, window_);
  return tray_;
}

void GtkHost::apply_dark_titlebar() {
  run_on_main([] {
    if (GtkSettings* settings = gtk_settings_get_default()) {
      g_object_set(settings, "gtk-application-prefer-dark-theme", TRUE, nullptr);
    }
  });
}

std::shared_ptr<gui::Desktop> GtkHost::desktop() {
  return desktop_;
}

void GtkHost::run_loop(const gui::LoopOptions& loop) {
  const bool automated = started_by_webdriver();
  auto* state = new LoopState{app_, window_, tray_, nullptr};  // lives for the whole run
  WebKitWebContext* context = make_context(loop, state, automated);
  serve_page_fonts(context, gui::VeltaroApp::module_dir() / "html");
  // A base address ending in a slash, so the page could name files beside it.
  const std::string base = page_base_uri(gui::VeltaroApp::module_dir());
  state->view = make_view(context, state, automated, options_.background, base);

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), options_.title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(window), options_.width, options_.height);
  GdkGeometry hints{};
  hints.min_width = options_.min_width;
  hints.min_height = options_.min_height;
  gtk_window_set_geometry_hints(GTK_WINDOW(window), nullptr, &hints, GDK_HINT_MIN_SIZE);
  gtk_window_set_resizable(GTK_WINDOW(window), options_.resizable);
  if (loop.icon) gtk_window_set_icon_from_file(GTK_WINDOW(window), loop.icon->c_str(), nullptr);
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(state->view));
  window_->attach(window, state->view);
  g_signal_connect(window, "delete-event", G_CALLBACK(on_delete), state);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

  load_only_page(state->view, options_.html, base);
  // The engine has its own copy of the page now.
  std::string().swap(options_.html);
  gtk_widget_show_all(window);
  gtk_main();
}

void quit_application(gui::VeltaroApp& app) {
  try {
    app._shutdown();  // stops the tray, closes every tab, signals the pinger
    if (auto w = app.window()) w->destroy();
  } catch (...) {
    // Ending the process is all that is left to do.
  }
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(0);
}

}  // namespace veltaro::desktop
