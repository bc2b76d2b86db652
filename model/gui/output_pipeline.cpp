// Terminal text into each tab's buffer and out to the page; status lines straight to the page.
#include "common/utf8.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

namespace {

// Past this many characters the oldest chunks go; the newest chunk always stays whole.
constexpr common::CharCount kBufferLimit{2'000'000};

struct EolSwitches {
  bool lf_has_cr = false;
  bool cr_has_lf = false;
};

EolSwitches eol_switches(const Tab& tab) {
  const std::lock_guard lock(tab.mutex);
  if (!tab.session) return {};
  const Json* lf = common::member(*tab.session, "lfhascr");
  const Json* cr = common::member(*tab.session, "crhaslf");
  return {lf && common::truthy(*lf), cr && common::truthy(*cr)};
}

}  // namespace

std::string VeltaroApp::_apply_eol_translation(Tab& tab, std::string_view text) {
  const EolSwitches sw = eol_switches(tab);
  if (!sw.lf_has_cr && !sw.cr_has_lf) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  bool carry = tab.eol_prev_cr;
  std::size_t plain_from = 0;
  // Copy runs without CR or LF in one piece; only line ends need a decision.
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    out.append(text.substr(plain_from, i - plain_from));
    plain_from = i + 1;
    if (i > 0 && text[i - 1] != '\r' && text[i - 1] != '\n') carry = false;
    if (c == '\r') {
      if (sw.cr_has_lf) {
        out += "\r\n";
        carry = false;
      } else {
        out += '\r';
        carry = true;
      }
    } else {
      out += (sw.lf_has_cr && !carry) ? "\r\n" : "\n";
      carry = false;
    }
  }
  if (plain_from < text.size()) {
    out.append(text.substr(plain_from));
    carry = false;
  }
  tab.eol_prev_cr = carry;
  return out;
}

void VeltaroApp::_push_to_term(const std::string& tab_id, std::string_view text) {
  if (text.empty()) return;
  const TabPtr tab = find_tab(tab_id);
  if (!tab || !tab->reading.load()) return;
  std::string translated = _apply_eol_translation(*tab, text);
  const common::CharCount chars = common::count_chars(translated);
  const std::lock_guard lock(_buf_lock);
  OutputBuffer& buf = tab->buffer;
  buf.chunks.push_back({std::move(translated), chars});
  buf.total += chars;
  while (buf.total > kBufferLimit && buf.chunks.size() > 1) {
    buf.total -= buf.chunks.front().chars;
    buf.chunks.pop_front();
  }
}

std::string VeltaroApp::drain_terminal(const std::string& tab_id) {
  const TabPtr tab = find_tab(tab_id);
  if (!tab) return {};
  std::deque<OutputBuffer::Chunk> taken;
  {
    const std::lock_guard lock(_buf_lock);
    taken.swap(tab->buffer.chunks);
    tab->buffer.total = {};
  }
  // Joined outside the lock so that a large drain never holds up the readers.
  if (taken.size() == 1) return std::move(taken.front().text);
  std::size_t bytes = 0;
  for (const auto& chunk : taken) bytes += chunk.text.size();
  std::string out;
  out.reserve(bytes);
  for (const auto& chunk : taken) out += chunk.text;
  return out;
}

void VeltaroApp::_push_info(const std::string& tab_id, const std::string& message, bool is_error) {
  const auto w = window();
  if (!w) return;
  try {
    w->evaluate_script("setTerminalInfo(" + common::dump_ascii(Json(tab_id)) + ", " +
                       common::dump_ascii(Json(message)) + ", " + (is_error ? "true" : "false") +
                       ")");
  } catch (...) {
    // The page may be closing or not ready; a status line is not worth a failure.
  }
}

void VeltaroApp::_push_connected(const std::string& tab_id) {
  const auto w = window();
  if (!w) return;
  try {
    w->evaluate_script("terminalConnected(" + common::dump_ascii(Json(tab_id)) + ")");
  } catch (...) {
    // As above.
  }
}

}  // namespace veltaro::gui
