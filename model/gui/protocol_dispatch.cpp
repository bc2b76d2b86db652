// The connect thread of a new tab: a short pause, then the starter for the session's protocol.
#include "common/text.h"
#include "model/gui/tab_fields.h"
#include "model/gui/veltaro_app.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace veltaro::gui {

namespace {

using namespace std::chrono_literals;
// Lets the page draw the new tab's terminal before the first status line arrives.
constexpr auto kConnectDelay = 350ms;

using Starter = void (VeltaroApp::*)(const std::string&, const SessionPtr&, const TabPtr&);

struct StarterEntry {
  const char* protocol;
  Starter starter;
};

// Each protocol's starter joins this table when its transport exists.
constexpr StarterEntry kStarters[] = {
    {"raw", &VeltaroApp::_start_raw_impl},
    {"ssh", &VeltaroApp::_start_ssh_impl},
    {"telnet", &VeltaroApp::_start_telnet_impl},
    {"telnet-serial", &VeltaroApp::_start_telnet_serial_impl},
    {"ssh1", &VeltaroApp::_start_ssh1_impl},
    {"serial", &VeltaroApp::_start_serial_impl},
};

std::string protocol_key(const Json& sess) {
  const std::string protocol = session_protocol(sess);
  if (protocol != "ssh") return protocol;
  const std::string version = common::text_or(sess, "ssh_version", "2");
  return version == "1" ? "ssh1" : "ssh";
}

}  // namespace

void VeltaroApp::_start_ssh(const std::string& tab_id) {
  std::this_thread::sleep_for(kConnectDelay);
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return;
  SessionPtr sess;
  {
    const std::lock_guard lock(tab->mutex);
    sess = tab->session;
  }
  const std::string key = protocol_key(*sess);
  for (const auto& entry : kStarters) {
    if (key == entry.protocol) {
      (this->*entry.starter)(tab_id, sess, tab);
      return;
    }
  }
  show_unsupported(tab, session_protocol(*sess));
}

void VeltaroApp::show_unsupported(const TabPtr& tab, const std::string& protocol) {
  _push_info(tab->id,
             "目前 " + common::ascii_upper(protocol) + " 協定尚未支援；請改用 SSH 或序列埠連線。",
             true);
  mark_ended(*tab);
}

}  // namespace veltaro::gui
