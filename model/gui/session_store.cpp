// The session file and the settings file, and saving or deleting one session from the page.
#include "common/atomic_file.h"
#include "common/diag.h"
#include "common/uuid.h"
#include "model/gui/tab_fields.h"
#include "model/gui/veltaro_app.h"

#include <ctime>

namespace veltaro::gui {

namespace {

// Python writes the store with indent=2 and ensure_ascii off; so do we, for people who edit it.
std::string store_text(const Json& list) {
  return common::dump_utf8(Json{{"sessions", list}}, 2);
}

std::string timestamp_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

bool has_usable_id(const Json& rec) {
  const Json* id = common::member(rec, "id");
  return id && common::truthy(*id);
}

}  // namespace

void VeltaroApp::_load_sessions() {
  std::error_code ec;
  if (!std::filesystem::exists(SESSIONS_FILE, ec)) return;
  std::vector<SessionPtr> loaded;
  try {
    const Json doc = Json::parse(common::read_file(SESSIONS_FILE));
    if (!doc.is_object()) throw std::runtime_error("top level is not an object");
    const auto it = doc.find("sessions");
    if (it == doc.end()) throw std::runtime_error("KeyError: 'sessions'");
    if (!it->is_array()) throw std::runtime_error("'sessions' is not a list");
    for (Json rec : *it) {
      // A record added by hand without an id could otherwise be neither opened nor deleted.
      if (rec.is_object() && !has_usable_id(rec)) rec["id"] = common::new_uuid_hex();
      loaded.push_back(std::make_shared<const Json>(std::move(rec)));
    }
  } catch (const std::exception& e) {
    common::diag("load_sessions:", e.what());
    loaded.clear();
    note_broken_store(e.what());
  }
  const std::lock_guard lock(sessions_mutex);
  sessions = std::move(loaded);
}

// The copy is made at once, so that it exists whatever the user does next and the notice can
// name it; a file that still cannot be copied is tried again before the first save, and while that
// fails nothing is saved over it.
void VeltaroApp::note_broken_store(const std::string& reason) {
  broken_store_pending_ = true;
  broken_store_ = Json{{"file", SESSIONS_FILE.string()},
                       {"folder", SESSIONS_FILE.parent_path().string()},
                       {"reason", reason},
                       {"copy", nullptr}};
  try {
    broken_store_["copy"] = keep_broken_store_copy().string();
    broken_store_pending_ = false;
  } catch (const std::exception& e) {
    common::diag("load_sessions:", e.what());
  }
}

// A file left broken across several starts is kept once, not once per start.
std::filesystem::path VeltaroApp::keep_broken_store_copy() {
  const std::string original = common::read_file(SESSIONS_FILE);
  const std::string prefix = SESSIONS_FILE.filename().string() + ".broken-";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(SESSIONS_FILE.parent_path(), ec)) {
    if (!entry.path().filename().string().starts_with(prefix) || !entry.is_regular_file(ec))
      continue;
    if (common::read_file(entry.path()) == original) return entry.path();
  }
  auto copy = SESSIONS_FILE;
  copy += ".broken-" + timestamp_now();
  if (std::filesystem::exists(copy, ec)) copy += "-" + common::new_tab_id();
  common::copy_file_private(SESSIONS_FILE, copy);
  return copy;
}

std::optional<std::string> VeltaroApp::_save_sessions() {
  try {
    if (broken_store_pending_) {
      std::error_code ec;
      if (std::filesystem::exists(SESSIONS_FILE, ec)) keep_broken_store_copy();
      broken_store_pending_ = false;
    }
    common::replace_file_atomically(SESSIONS_FILE, store_text(sessions_json()));
    return std::nullopt;
  } catch (const std::exception& e) {
    common::diag("save_sessions:", e.what());
    return std::string(e.what());
  }
}

void VeltaroApp::_load_settings() {
  std::error_code ec;
  if (!std::filesystem::exists(SETTINGS_FILE, ec)) return;
  try {
    const Json doc = Json::parse(common::read_file(SETTINGS_FILE));
    if (!doc.is_object()) throw std::runtime_error("top level is not an object");
    for (const auto& [key, value] : doc.items()) settings[key] = value;
  } catch (const std::exception& e) {
    common::diag("load_settings:", e.what());
    settings = Json{{"window_w", 1280}, {"window_h", 720}};
  }
}

std::optional<std::string> VeltaroApp::_save_settings() {
  try {
    common::replace_file_atomically(SETTINGS_FILE, common::dump_utf8(settings, 2));
    return std::nullopt;
  } catch (const std::exception& e) {
    common::diag("save_settings:", e.what());
    return std::string(e.what());
  }
}

std::vector<SessionPtr> VeltaroApp::sessions_snapshot() const {
  const std::lock_guard lock(sessions_mutex);
  return sessions;
}

Json VeltaroApp::sessions_json() const {
  Json list = Json::array();
  for (const auto& rec : sessions_snapshot()) list.push_back(*rec);
  return list;
}

Json VeltaroApp::save_session(const Json& rec_in) {
  if (!rec_in.is_object()) {
    return Json{
        {"sessions", sessions_json()}, {"id", nullptr}, {"error", "record is not an object"}};
  }
  Json rec = rec_in;
  SessionPtr old;
  SessionPtr stored;
  std::optional<std::string> error;
  {
    const std::lock_guard edit(store_mutex_);
    {
      const std::lock_guard lock(sessions_mutex);
      if (!has_usable_id(rec)) {
        rec["id"] = common::new_uuid_hex();
        stored = std::make_shared<const Json>(rec);
        sessions.push_back(stored);
      } else {
        stored = std::make_shared<const Json>(rec);
        bool replaced = false;
        for (auto& element : sessions) {
          if (same_session_id(*element, rec["id"])) {
            old = element;
            element = stored;
            replaced = true;
            break;
          }
        }
        if (!replaced) sessions.push_back(stored);
      }
    }
    error = _save_sessions();
    // Still under the edit lock, so that two saves of one session reach its tabs in order.
    _apply_session_changes_to_open_tabs(stored, old);
  }
  Json result{{"sessions", sessions_json()}, {"id", stored->at("id")}};
  if (error) result["error"] = *error;
  return result;
}

Json VeltaroApp::delete_session(const Json& session_id) {
  std::optional<std::string> error;
  {
    const std::lock_guard edit(store_mutex_);
    {
      const std::lock_guard lock(sessions_mutex);
      std::erase_if(sessions,
                    [&](const SessionPtr& rec) { return same_session_id(*rec, session_id); });
    }
    error = _save_sessions();
  }
  Json result{{"sessions", sessions_json()}};
  if (error) result["error"] = *error;
  return result;
}

}  // namespace veltaro::gui
