// Host keys the known-hosts file does not hold for a server: the refusal the user reads, and the
// acceptance of a changed key when the user says the change is expected.
#include "model/gui/veltaro_app.h"
#include "model/transports/ssh2/errors.h"
#include "model/transports/ssh2/known_hosts.h"

namespace veltaro::gui {

namespace {

std::string described(const ssh2::HostKey& key) {
  return key.type + " " + ssh2::sha256_fingerprint(key);
}

}  // namespace

std::string VeltaroApp::refuse_host_key(Tab& tab, const ssh2::HostKeyError& error) {
  const std::string file = HOST_KEYS_FILE.string();
  if (error.status == ssh2::HostKeyStatus::kRevoked) {
    return "連線失敗：" + error.host_id + " 的主機金鑰 " + described(error.offered) +
           " 已在已知主機檔 " + file + " 中標記為撤銷（@revoked），連線已拒絕。";
  }
  if (error.status != ssh2::HostKeyStatus::kChanged) {
    return std::string("連線失敗：") + error.what();
  }
  std::string pinned;
  for (const auto& key : error.pinned) pinned += (pinned.empty() ? "" : "、") + described(key);
  {
    const std::lock_guard lock(tab.mutex);
    tab.host_key_offer =
        HostKeyOffer{error.host_id, error.offered, ssh2::sha256_fingerprint(error.offered)};
  }
  return "連線失敗：" + error.host_id +
         " 的主機金鑰與記住的不同，可能有人冒充這台主機，連線已拒絕。" + "記住的金鑰：" + pinned +
         "；伺服器提供的金鑰：" + described(error.offered) + "；已知主機檔：" + file +
         "。若確定主機已更換金鑰，請按「接受新的主機金鑰」。";
}

Json VeltaroApp::accept_host_key(const std::string& tab_id, const std::string& fingerprint,
                                 bool reconnect) {
  try {
    const TabPtr tab = find_tab(tab_id);
    if (!tab) return Json{{"ok", false}, {"error", "找不到這個分頁"}};
    std::optional<HostKeyOffer> offer;
    Json session_id;
    {
      const std::lock_guard lock(tab->mutex);
      offer = tab->host_key_offer;
      if (tab->session) session_id = tab->session->value("id", Json());
    }
    if (!offer) return Json{{"ok", false}, {"error", "這個分頁沒有待接受的主機金鑰"}};
    // The user confirmed one fingerprint; a different key must be confirmed on its own.
    if (offer->fingerprint != fingerprint) {
      return Json{{"ok", false}, {"error", "主機金鑰與確認時顯示的指紋不同，未接受"}};
    }
    try {
      ssh2::replace_host_keys(HOST_KEYS_FILE, offer->host_id, offer->key);
    } catch (const std::exception& e) {
      return Json{{"ok", false}, {"error", std::string("無法更新已知主機檔：") + e.what()}};
    }
    {
      const std::lock_guard lock(tab->mutex);
      tab->host_key_offer.reset();
    }
    if (!reconnect || session_id.is_null()) return Json{{"ok", true}};
    _close_tab_internal(tab_id);
    Json state = connect_session(session_id);
    state["ok"] = true;
    return state;
  } catch (const std::exception& e) {
    return Json{{"ok", false}, {"error", e.what()}};
  }
}

}  // namespace veltaro::gui
