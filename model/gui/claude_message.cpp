// The message of one assistant turn: the user's text, then what the assistant should know about
// the target tab, its recent output and the other open tabs. Only settings are read here, never
// output buffers; the page supplies the output it wants shown.
#include "common/values.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

namespace {

using common::text_of;

const char* py_bool(const Json& record, const char* key) {
  const Json* v = common::member(record, key);
  return v && common::truthy(*v) ? "True" : "False";
}

std::string strip(const std::string& s) {
  const auto* ws = " \t\r\n\v\f";
  const auto first = s.find_first_not_of(ws);
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(ws) - first + 1);
}

std::string join(const std::vector<std::string>& lines, const std::string& sep) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? sep : "") + lines[i];
  return out;
}

// "serial: 8-N-1 flow=N" for the two serial protocols; defaults only for absent fields.
void add_serial_line(const Json& s, std::vector<std::string>& lines) {
  const std::string protocol = text_of(s, "protocol", "None");
  if (protocol != "serial" && protocol != "telnet-serial") return;
  lines.push_back("serial: " + text_of(s, "serial_bits", "8") + "-" +
                  text_of(s, "serial_parity", "N") + "-" + text_of(s, "serial_stop", "1") +
                  " flow=" + text_of(s, "serial_flow", "N"));
}

// What the message reads of a tab, copied under its lock.
struct TabView {
  std::string id;
  std::string protocol;
  std::string display;
  std::string encoding;
  bool alive = false;
  Json session;
};

TabView view_of(const Tab& tab) {
  const std::lock_guard lock(tab.mutex);
  return TabView{tab.id,       tab.protocol,     tab.display,
                 tab.encoding, tab.alive.load(), tab.session ? *tab.session : Json::object()};
}

std::string target_block(const TabView& t) {
  const Json& s = t.session;
  std::vector<std::string> lines = {
      "protocol: " + text_of(s, "protocol", "None"),
      "host: " + text_of(s, "host", "None"),
      "port: " + text_of(s, "port", "None"),
      "encoding: " + t.encoding,
      std::string("lfhascr (LF 後隱含 CR): ") + py_bool(s, "lfhascr"),
      std::string("crhaslf (CR 後隱含 LF): ") + py_bool(s, "crhaslf"),
      "terminal_type: " + common::text_or(s, "terminal_type", "xterm-256color")};
  add_serial_line(s, lines);
  return "\n\n----- 當前 target 分頁設定（" + t.protocol + " · " + t.display + "） -----\n" +
         join(lines, "\n") + "\n-----";
}

std::string other_tab_entry(const TabView& t, const Json& tab_texts) {
  const Json& s = t.session;
  std::vector<std::string> lines = {"tab_id: " + t.id,
                                    "display: " + t.display,
                                    "protocol: " + text_of(s, "protocol", "None"),
                                    "host: " + text_of(s, "host", "None"),
                                    "port: " + text_of(s, "port", "None"),
                                    "encoding: " + t.encoding,
                                    std::string("alive: ") + (t.alive ? "True" : "False"),
                                    std::string("lfhascr: ") + py_bool(s, "lfhascr"),
                                    std::string("crhaslf: ") + py_bool(s, "crhaslf")};
  add_serial_line(s, lines);
  std::string entry = join(lines, "\n");
  const Json* text = common::member(tab_texts, t.id.c_str());
  if (text && text->is_string()) {
    const std::string recent = strip(text->get<std::string>());
    if (!recent.empty()) entry += "\n--- 該分頁最近輸出 ---\n" + recent;
  }
  return entry;
}

}  // namespace

std::string VeltaroApp::_claude_message(const std::string& user_text,
                                        const std::string& terminal_text,
                                        const std::optional<std::string>& target_tab_id,
                                        const Json& tab_texts) const {
  std::string message = user_text;
  const TabPtr target =
      target_tab_id && !target_tab_id->empty() ? find_tab(*target_tab_id) : nullptr;
  if (target) message += target_block(view_of(*target));

  const std::string recent = strip(terminal_text);
  if (!recent.empty()) {
    message +=
        "\n\n----- 當前終端機輸出（最近幾行，供你參考；如使用者沒問終端機相關問題就忽略）-----\n" +
        recent;
  }

  std::vector<std::string> entries;
  for (const auto& tab : tabs_in_order()) {
    if (target_tab_id && tab->id == *target_tab_id) continue;
    entries.push_back(other_tab_entry(view_of(*tab), tab_texts));
  }
  if (!entries.empty()) {
    message +=
        "\n\n----- 其他已開啟的分頁（僅顯示設定；要看內容請用 `read_tab <tab_id>` action "
        "取得使用者同意） -----\n" +
        join(entries, "\n\n") + "\n-----";
  }
  return message;
}

}  // namespace veltaro::gui
