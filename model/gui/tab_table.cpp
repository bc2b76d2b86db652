// Opening, listing and closing tabs.
#include "common/atomic_file.h"
#include "common/uuid.h"
#include "model/gui/tab_fields.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

TabPtr VeltaroApp::find_tab(const std::string& tab_id) const {
  const std::lock_guard lock(tabs_mutex);
  const auto it = tabs.find(tab_id);
  return it == tabs.end() ? nullptr : it->second;
}

std::vector<TabPtr> VeltaroApp::tabs_in_order() const {
  std::vector<TabPtr> out;
  const std::lock_guard lock(tabs_mutex);
  for (const auto& id : tab_order) {
    if (const auto it = tabs.find(id); it != tabs.end()) out.push_back(it->second);
  }
  return out;
}

Json VeltaroApp::_tabs_for_js() const {
  Json list = Json::array();
  for (const auto& tab : tabs_in_order()) {
    const std::lock_guard lock(tab->mutex);
    list.push_back(Json{{"id", tab->id},
                        {"display", tab->display},
                        {"protocol", tab->protocol},
                        {"alive", tab->alive.load()},
                        {"session_id", tab->session ? tab->session->value("id", Json()) : Json()}});
    if (const auto& offer = tab->host_key_offer) {
      list.back()["host_key"] = Json{
          {"host", offer->host_id}, {"type", offer->key.type}, {"fingerprint", offer->fingerprint}};
    }
    // Only a tab that writes a log names its file, so that other summaries stay as they were.
    if (const auto path = tab->log ? tab->log->path() : std::nullopt) {
      list.back()["log_file"] = path->string();
    }
  }
  return list;
}

Json VeltaroApp::get_initial_state() {
  return Json{{"sessions", sessions_json()},
              {"puttygen_path", puttygen_exe ? puttygen_exe->string() : ""},
              {"sessions_file", SESSIONS_FILE.string()},
              {"broken_store", broken_store_}};
}

Json VeltaroApp::get_runtime_state() {
  Json status = Json::object();
  {
    const std::lock_guard lock(status_mutex);
    for (const auto& [id, state] : session_status) status[id] = state;
  }
  // A serial tab knows better than the pinger whether its device is there.
  for (const auto& tab : tabs_in_order()) {
    if (tab->protocol != "serial") continue;
    const std::lock_guard lock(tab->mutex);
    if (!tab->session) continue;
    const Json* sid = common::member(*tab->session, "id");
    if (!sid) continue;
    const bool open = tab->connection && tab->connection->is_open() && tab->alive.load();
    status[common::to_text(*sid)] = open ? "online" : "offline";
  }
  std::optional<std::string> active;
  {
    const std::lock_guard lock(tabs_mutex);
    active = active_tab_id;
  }
  return Json{{"tabs", _tabs_for_js()},
              {"active_tab", active ? Json(*active) : Json()},
              {"session_status", status}};
}

Json VeltaroApp::runtime_state_with(const char* key, const Json& value) {
  Json state = get_runtime_state();
  state[key] = value;
  return state;
}

Json VeltaroApp::connect_session(const Json& session_id) {
  SessionPtr sess;
  for (const auto& rec : sessions_snapshot()) {
    if (same_session_id(*rec, session_id)) {
      sess = rec;
      break;
    }
  }
  if (!sess) return Json{{"tab_id", nullptr}};

  std::string tab_id;
  bool existing = false;
  {
    const std::lock_guard lock(tabs_mutex);
    for (const auto& id : tab_order) {
      const auto it = tabs.find(id);
      if (it == tabs.end()) continue;
      const std::lock_guard tab_lock(it->second->mutex);
      if (it->second->session && same_session_id(*it->second->session, session_id)) {
        tab_id = id;
        existing = true;
        break;
      }
    }
    if (!existing) {
      do {
        tab_id = common::new_tab_id();
      } while (tabs.count(tab_id) != 0);
      auto tab = std::make_shared<Tab>(tab_id, session_protocol(*sess));
      tab->session = sess;
      tab->display = session_display(*sess);
      tab->encoding = session_encoding(*sess);
      tabs.emplace(tab_id, std::move(tab));
      tab_order.push_back(tab_id);
    }
    active_tab_id = tab_id;
  }
  if (existing) {
    Json state = runtime_state_with("tab_id", tab_id);
    state["existing"] = true;
    return state;
  }
  auto self = shared_from_this();
  spawn_detached([self, tab_id] { self->_start_ssh(tab_id); });
  return runtime_state_with("tab_id", tab_id);
}

Json VeltaroApp::close_tab(const std::string& tab_id) {
  _close_tab_internal(tab_id);
  return get_runtime_state();
}

void VeltaroApp::_close_tab_internal(const std::string& tab_id) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return;
  std::shared_ptr<TabConnection> connection;
  std::optional<std::filesystem::path> keyfile;
  std::shared_ptr<LoginInput> login;
  std::shared_ptr<SessionLog> log;
  {
    const std::lock_guard lock(tab->mutex);
    tab->closed = true;
    connection = tab->connection;
    keyfile = tab->tmp_keyfile;
    login = tab->login;
    log = tab->log;
  }
  // A login waiting for the user gives up at once; its starter then closes what it opened.
  if (login) login->close();
  if (connection) connection->close();
  if (log) log->close();
  note_output_event(*tab, true);
  if (keyfile) common::remove_quietly(*keyfile);
  const std::lock_guard lock(tabs_mutex);
  tabs.erase(tab_id);
  std::erase(tab_order, tab_id);
  if (active_tab_id == tab_id) {
    active_tab_id = tab_order.empty() ? std::nullopt : std::optional<std::string>(tab_order.back());
  }
}

}  // namespace veltaro::gui
