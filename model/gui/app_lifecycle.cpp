// Construction, the run loop, the pinger's result queue and shutdown.
#include "common/diag.h"
#include "common/paths.h"
#include "model/gui/veltaro_app.h"

#include <chrono>
#include <optional>
#include <thread>

namespace veltaro::gui {

namespace {
using namespace std::chrono_literals;
constexpr auto kQueueWait = 500ms;      // one get on the result queue
constexpr auto kIdlePause = 500ms;      // no pinger attached
constexpr auto kErrorPause = 1000ms;    // after a malformed message
constexpr auto kTitlebarDelay = 600ms;  // the window must exist before its title bar is themed

const common::Json* entry(const common::Json& map, const char* key) {
  return common::member(map, key);
}

// Applies one pinger message; throws on a malformed result element (earlier ones stay applied).
// `changed` tells whether an entry took a new value, also when a later element failed.
void apply_ping_results(const common::Json& msg, std::mutex& mutex,
                        std::map<std::string, std::string>& status, bool& changed) {
  const common::Json* type = entry(msg, "type");
  if (!type || *type != "ping_results") return;
  const common::Json* results = entry(msg, "results");
  if (!results || !results->is_array()) throw std::runtime_error("'results' is not a list");
  for (const auto& element : *results) {
    const common::Json* id = entry(element, "id");
    const common::Json* online = entry(element, "online");
    if (!id) throw std::runtime_error("KeyError: 'id'");
    if (!online) throw std::runtime_error("KeyError: 'online'");
    const std::string now = common::truthy(*online) ? "online" : "offline";
    const std::lock_guard lock(mutex);
    std::string& held = status[common::to_text(*id)];
    changed = changed || held != now;
    held = now;
  }
}
}  // namespace

VeltaroApp::VeltaroApp(common::QueueTable Queue_All_variable, common::EventTable Event_All_variable)
    : APP_DIR(common::app_data_dir()),
      SESSIONS_FILE(APP_DIR / "sessions.json"),
      SETTINGS_FILE(APP_DIR / "settings.json"),
      HOST_KEYS_FILE(APP_DIR / "known_hosts"),
      queue_all(std::move(Queue_All_variable)),
      event_all(std::move(Event_All_variable)),
      settings(Json{{"window_w", 1280}, {"window_h", 720}}) {
  common::create_private_directory(APP_DIR);
  _load_sessions();
  _load_settings();
  puttygen_exe = _find_bundled("puttygen", true);
  _claude_arch_dir = module_dir() / "architecture";
}

std::filesystem::path VeltaroApp::module_file() {
  return common::file_of_symbol(reinterpret_cast<const void*>(&run_gui));
}

std::filesystem::path VeltaroApp::module_dir() {
  return module_file().parent_path();
}

std::optional<std::filesystem::path> VeltaroApp::_find_bundled(const std::string& name,
                                                               bool system_fallback) const {
  const std::filesystem::path dir = module_dir();
  std::vector<std::filesystem::path> candidates = {
      dir / "bin" / name,
      dir / ".." / "Putty原始檔案" / name,
      dir / ".." / "Putty原始檔案" / "windows" / name,
  };
  if (system_fallback) candidates.push_back(common::find_on_path(name));
  for (const auto& candidate : candidates) {
    std::error_code ec;
    if (!candidate.empty() && std::filesystem::is_regular_file(candidate, ec)) {
      return std::filesystem::absolute(candidate, ec).lexically_normal();
    }
  }
  return std::nullopt;
}

std::shared_ptr<Window> VeltaroApp::window() const {
  const std::lock_guard lock(window_mutex_);
  return _window;
}

void VeltaroApp::set_window(std::shared_ptr<Window> w) {
  const std::lock_guard lock(window_mutex_);
  _window = std::move(w);
}

void VeltaroApp::set_desktop(std::shared_ptr<Desktop> d) {
  const std::lock_guard lock(window_mutex_);
  desktop_ = std::move(d);
}

void VeltaroApp::run(const std::shared_ptr<WindowHost>& host, std::string html_content) {
  set_desktop(host->desktop());
  const std::filesystem::path icon = module_dir() / "格式範本" / "logo.ico";
  WindowOptions options;
  options.title = APP_NAME;
  options.html = std::move(html_content);
  options.width =
      static_cast<int>(common::to_int(settings.value("window_w", Json(900))).value_or(900));
  options.height =
      static_cast<int>(common::to_int(settings.value("window_h", Json(550))).value_or(550));
  set_window(host->create_window(options, *this));
  // Half a megabyte that the host has taken a copy of; this frame lasts as long as the window.
  std::string().swap(options.html);
  {
    auto tray = host->setup_tray(*this);
    const std::lock_guard lock(window_mutex_);
    _tray_icon = std::move(tray);
  }
  auto self = shared_from_this();
  spawn_detached([self] { self->_poll_queue(); });
  spawn_detached([host] {
    std::this_thread::sleep_for(kTitlebarDelay);
    host->apply_dark_titlebar();
  });
  LoopOptions loop;
  loop.storage_dir = APP_DIR / "webview2_data";
  std::error_code ec;
  std::filesystem::create_directories(loop.storage_dir, ec);
  if (std::filesystem::is_regular_file(icon, ec)) loop.icon = icon;
  host->run_loop(loop);
  _shutdown();
}

bool VeltaroApp::_on_window_closing() {
  if (auto w = window()) w->hide();
  return false;
}

void VeltaroApp::_poll_queue() {
  while (!_stop.load()) {
    bool changed = false;
    std::optional<std::string> fault;
    try {
      const auto it = queue_all.find("get_receipt");
      if (it == queue_all.end() || !it->second) {
        std::this_thread::sleep_for(kIdlePause);
        continue;
      }
      std::optional<Json> msg;
      try {
        msg = it->second->get(kQueueWait);
      } catch (...) {
        msg.reset();
      }
      if (msg) apply_ping_results(*msg, status_mutex, session_status, changed);
    } catch (const std::exception& e) {
      fault = e.what();
    }
    // What a malformed message changed before its fault stays applied, and is reported as well.
    if (changed) note_status_change();
    if (fault) {
      common::diag("[poll_queue]", *fault);
      std::this_thread::sleep_for(kErrorPause);
    }
  }
}

void VeltaroApp::_shutdown() {
  _stop.store(true);
  for (const auto& tab : tabs_in_order()) wake_waiting_reader(*tab);
  std::vector<std::string> ids;
  {
    const std::lock_guard lock(tabs_mutex);
    for (const auto& [id, tab] : tabs) ids.push_back(id);
  }
  for (const auto& id : ids) _close_tab_internal(id);
  try {
    if (const auto e = event_all.find("end"); e != event_all.end() && e->second) e->second->set();
    for (const char* name : {"end", "get_receipt"}) {
      if (const auto q = queue_all.find(name); q != queue_all.end() && q->second) {
        q->second->put_nowait(Json());
      }
    }
  } catch (...) {
    // The pinger may already be gone.
  }
  std::shared_ptr<TrayIcon> tray;
  {
    const std::lock_guard lock(window_mutex_);
    tray = _tray_icon;
  }
  if (tray) tray->stop();
}

void spawn_detached(std::function<void()> body) {
  std::thread([body = std::move(body)] {
    try {
      body();
    } catch (const std::exception& e) {
      common::diag("[thread]", e.what());
    } catch (...) {
      common::diag("[thread]", "unknown error");
    }
  }).detach();
}

}  // namespace veltaro::gui
