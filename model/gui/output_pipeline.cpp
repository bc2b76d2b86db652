// Line-end translation of terminal text, and status lines straight to the page.
#include "common/utf8.h"
#include "model/gui/veltaro_app.h"

#include <immintrin.h>

#include <cstdint>

namespace veltaro::gui {

namespace {

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

__attribute__((target("avx2"))) std::size_t skip_plain_avx2(std::string_view text, std::size_t i) {
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i cr = _mm256_set1_epi8('\r');
  for (; i + 32 <= text.size(); i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text.data() + i));
    const auto hits = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, lf), _mm256_cmpeq_epi8(v, cr))));
    if (hits != 0) return i + static_cast<std::size_t>(__builtin_ctz(hits));
  }
  return i;
}

// The position of the next CR or LF at or after `from`, or text.size(). Terminal output is
// mostly long runs between line ends, so the runs are skipped 32 bytes at a time where possible.
std::size_t next_line_end(std::string_view text, std::size_t from) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  std::size_t i = avx2 ? skip_plain_avx2(text, from) : from;
  for (; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') return i;
  }
  return text.size();
}

}  // namespace

std::string VeltaroApp::_apply_eol_translation(Tab& tab, std::string text_in) {
  const EolSwitches sw = eol_switches(tab);
  if (!sw.lf_has_cr && !sw.cr_has_lf) return text_in;
  const std::string_view text = text_in;
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  bool carry = tab.eol_prev_cr;
  std::size_t i = 0;
  // Runs without CR or LF are copied in one piece; only line ends need a decision.
  while (i < text.size()) {
    const std::size_t end = next_line_end(text, i);
    if (end > i) {
      out.append(text.substr(i, end - i));
      carry = false;
    }
    if (end == text.size()) break;
    if (text[end] == '\r') {
      if (sw.cr_has_lf) {
        out.append("\r\n", 2);
        carry = false;
      } else {
        out.push_back('\r');
        carry = true;
      }
    } else if (sw.lf_has_cr && !carry) {
      out.append("\r\n", 2);
    } else {
      out.push_back('\n');
      carry = false;
    }
    if (text[end] == '\n') carry = false;
    i = end + 1;
  }
  tab.eol_prev_cr = carry;
  return out;
}

void VeltaroApp::_push_info(const std::string& tab_id, const std::string& message, bool is_error) {
  const auto w = window();
  if (!w) return;
  std::string script = "setTerminalInfo(" + common::dump_ascii(Json(tab_id)) + ", " +
                       common::dump_ascii(Json(message)) + ", " + (is_error ? "true" : "false");
  const TabPtr tab = find_tab(tab_id);
  try {
    if (tab) {
      // The line names the drain after whose text it goes. It is sent while no drain can take
      // text behind it, so it reaches the page before the answer that carries that text.
      const std::lock_guard lock(_buf_lock);
      w->evaluate_script(script + ", " + std::to_string(place_status_line(tab->buffer)) + ")");
    } else {
      w->evaluate_script(script + ")");
    }
  } catch (...) {
    // The page may be closing or not ready; a status line is not worth a failure.
  }
  // Wakes the page's waiting drain once the line is on its way, so the page can write the output
  // that came before the line ahead of it.
  if (tab) note_output_event(*tab);
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
