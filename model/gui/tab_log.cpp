// Session logs of tabs: opened when a tab connects, fed by its reader, closed with the tab, and
// the folder of the file shown on request.
#include "model/gui/tab_log.h"

#include "common/paths.h"
#include "model/gui/serial_settings.h"
#include "model/gui/tab_fields.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

namespace {

long long default_port(const std::string& protocol) {
  if (protocol == "ssh") return 22;
  if (protocol == "serial") return 9600;
  return 23;
}

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::optional<SessionLog::Options> log_options(const common::Json& sess,
                                               const std::string& protocol) {
  SessionLog::Options o;
  o.pattern = trimmed(common::text_or(sess, "log_file", ""));
  if (o.pattern.empty()) return std::nullopt;
  o.raw = common::text_or(sess, "log_mode", "text") == "raw";
  const common::Json* stamps = common::member(sess, "log_timestamps");
  o.timestamps = stamps && common::truthy(*stamps);
  o.fields.host = trimmed(common::text_or(sess, "host", ""));
  o.fields.port = session_port(sess, default_port(protocol)).shown;
  o.fields.session = session_display(sess);
  o.home = common::home_dir();
  return o;
}

std::string log_peer(const common::Json& sess, const std::string& protocol) {
  if (protocol == "serial") return serial_com(sess) + " @ " + std::to_string(serial_baud(sess));
  return trimmed(common::text_or(sess, "host", "")) + ":" +
         session_port(sess, default_port(protocol)).shown;
}

void VeltaroApp::open_tab_log(const TabPtr& tab) {
  SessionPtr sess;
  {
    const std::lock_guard lock(tab->mutex);
    sess = tab->session;
  }
  if (!sess) return;
  const auto options = log_options(*sess, tab->protocol);
  if (!options) return;
  std::shared_ptr<SessionLog> log;
  try {
    log = SessionLog::open(*options, [weak = weak_from_this(), id = tab->id](const std::string& m) {
      if (const auto app = weak.lock()) app->_push_info(id, m, true);
    });
  } catch (const std::exception& e) {
    _push_info(tab->id, std::string("無法開啟工作階段記錄 ") + e.what() + "；本分頁不記錄", true);
    return;
  }
  {
    const std::lock_guard lock(tab->mutex);
    if (!tab->closed) {
      tab->log = log;
      log = nullptr;
    }
  }
  // A tab closed meanwhile: its log ends here, empty.
  if (log) log->close();
}

std::shared_ptr<SessionLog> VeltaroApp::tab_log(const Tab& tab) {
  const std::lock_guard lock(tab.mutex);
  return tab.log;
}

void VeltaroApp::log_connected(const Tab& tab) {
  const auto log = tab_log(tab);
  if (!log) return;
  SessionPtr sess;
  {
    const std::lock_guard lock(tab.mutex);
    sess = tab.session;
  }
  if (sess) log->connected(log_peer(*sess, tab.protocol));
}

bool VeltaroApp::show_tab_log(const std::string& tab_id) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return false;
  const auto log = tab_log(*tab);
  const auto path = log ? log->path() : std::nullopt;
  std::shared_ptr<Desktop> d;
  {
    const std::lock_guard lock(window_mutex_);
    d = desktop_;
  }
  if (!path || !d) return false;
  try {
    return d->show_in_folder(*path);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace veltaro::gui
