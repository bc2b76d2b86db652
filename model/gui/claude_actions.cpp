// What the assistant panel does once the user has agreed to an action the assistant proposed:
// type a command into a tab, or flip one of the two line-ending flags of a tab's session.
#include "common/values.h"
#include "model/gui/veltaro_app.h"

#include <algorithm>
#include <string_view>

namespace veltaro::gui {

namespace {

bool toggleable(const std::string& flag) {
  const auto& flags = VeltaroApp::CLAUDE_TOGGLEABLE_FLAGS;
  return std::any_of(flags.begin(), flags.end(), [&](const char* f) { return flag == f; });
}

std::string flag_label(const std::string& flag) {
  return flag == "lfhascr" ? "LF 後隱含 CR (lfhascr)" : "CR 後隱含 LF (crhaslf)";
}

}  // namespace

bool VeltaroApp::claude_inject(const std::string& tab_id, const std::string& command,
                               bool append_newline) {
  if (command.empty()) return false;
  std::string data = command;
  if (append_newline && data.back() != '\n' && data.back() != '\r') data += '\n';
  return send_input(tab_id, data);
}

Json VeltaroApp::claude_toggle_session_flag(const std::string& tab_id,
                                            const std::string& flag_name) {
  if (!toggleable(flag_name)) return Json{{"ok", false}, {"error", "未授權的 flag：" + flag_name}};
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return Json{{"ok", false}, {"error", "找不到目標分頁"}};

  bool value = false;
  {
    const std::lock_guard edit(store_mutex_);
    Json session_id;
    {
      const std::lock_guard lock(tab->mutex);
      Json rec = tab->session ? *tab->session : Json::object();
      const Json* old = common::member(rec, flag_name.c_str());
      value = !(old && common::truthy(*old));
      rec[flag_name] = value;
      session_id = rec.value("id", Json());
      tab->session = std::make_shared<const Json>(std::move(rec));
    }
    {
      const std::lock_guard lock(sessions_mutex);
      for (auto& stored : sessions) {
        if (stored->value("id", Json()) != session_id) continue;
        Json rec = *stored;
        rec[flag_name] = value;
        stored = std::make_shared<const Json>(std::move(rec));
        break;
      }
    }
    _save_sessions();
  }
  _push_info(
      tab_id,
      std::string("─── 已") + (value ? "啟用" : "停用") + "「" + flag_label(flag_name) + "」 ───",
      false);
  return Json{{"ok", true}, {"flag", flag_name}, {"value", value}, {"sessions", sessions_json()}};
}

}  // namespace veltaro::gui
