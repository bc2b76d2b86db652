#include "model/gui/log_text_filter.h"

#include <emmintrin.h>

#include <array>

namespace veltaro::gui {

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr unsigned char kBel = 0x07;
constexpr unsigned char kBs = 0x08;
constexpr unsigned char kTab = 0x09;
constexpr unsigned char kLf = 0x0a;
constexpr unsigned char kCr = 0x0d;
constexpr unsigned char kCan = 0x18;
constexpr unsigned char kSub = 0x1a;
constexpr unsigned char kDel = 0x7f;
// UTF-8 of U+0080..U+00BF begins with this byte; U+0080..U+009F are the C1 controls.
constexpr unsigned char kC1Lead = 0xc2;
// C1 controls in their code point's low byte.
constexpr unsigned char kC1Dcs = 0x90;
constexpr unsigned char kC1Sos = 0x98;
constexpr unsigned char kC1Csi = 0x9b;
constexpr unsigned char kC1St = 0x9c;
constexpr unsigned char kC1Osc = 0x9d;
constexpr unsigned char kC1Pm = 0x9e;
constexpr unsigned char kC1Apc = 0x9f;
// A sequence that never ends is given up after this many bytes, so that a stray ESC or OSC cannot
// swallow the rest of a session.
constexpr std::size_t kLongestCsi = 256;
constexpr std::size_t kLongestString = std::size_t{64} << 10;

// Bytes that end a run of plain text: controls, DEL and the lead byte of a possible C1 control.
constexpr std::array<bool, 256> special_bytes() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = true;
  t[kDel] = true;
  t[kC1Lead] = true;
  return t;
}
constexpr std::array<bool, 256> kSpecial = special_bytes();

bool is_continuation(unsigned char c) {
  return (c & 0xc0) == 0x80;
}

// The first special byte at or after `i`, or text.size(). Output is mostly long runs of plain
// text, so the runs are skipped 16 bytes at a time.
std::size_t plain_run_end(std::string_view text, std::size_t i) {
  const __m128i below_space = _mm_set1_epi8(0x1f);
  const __m128i del = _mm_set1_epi8(static_cast<char>(kDel));
  const __m128i c1_lead = _mm_set1_epi8(static_cast<char>(kC1Lead));
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v);
    const __m128i hits =
        _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(v, del), _mm_cmpeq_epi8(v, c1_lead)));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  while (i < text.size() && !kSpecial[static_cast<unsigned char>(text[i])]) ++i;
  return i;
}

}  // namespace

void TextLogFilter::feed(std::string_view text, LogClock::time_point at, std::string& out) {
  std::size_t i = 0;
  if (pending_c2_ && !text.empty()) {
    pending_c2_ = false;
    const auto c = static_cast<unsigned char>(text[0]);
    if (c >= 0x80 && c < 0xa0) {
      c1(c);
      i = 1;
    } else {
      // An ordinary character from U+00A0 on: its lead byte comes first.
      begin_line(at, out);
      out.push_back(static_cast<char>(kC1Lead));
    }
  }
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (state_) {
      case State::kGround:
        ground(text, i, at, out);
        continue;
      case State::kEscape:
        escape(c);
        break;
      case State::kEscapeIntermediate:
        if (c >= 0x30 && c < kDel)
          state_ = State::kGround;
        else if (c == kEsc)
          state_ = State::kEscape;
        else if (c == kCan || c == kSub || c >= 0x80)
          state_ = State::kGround;
        break;
      case State::kCsi:
        if (c >= 0x40 && c < kDel)
          state_ = State::kGround;
        else if (c == kEsc)
          state_ = State::kEscape;
        else if (c == kCan || c == kSub || c >= 0x80 || ++sequence_bytes_ > kLongestCsi) {
          state_ = State::kGround;
        }
        break;
      case State::kString:
        if (c == kBel || c == kCan || c == kSub)
          state_ = State::kGround;
        else if (c == kEsc)
          state_ = State::kStringEscape;
        else if (c == kC1Lead && i + 1 < text.size() &&
                 static_cast<unsigned char>(text[i + 1]) == kC1St) {
          state_ = State::kGround;
          ++i;
        } else if (++sequence_bytes_ > kLongestString) {
          state_ = State::kGround;
        }
        break;
      case State::kStringEscape:
        // ESC \ ends the string; any other ESC sequence ends it as well and begins itself.
        state_ = State::kGround;
        if (c != '\\') escape(c);
        break;
    }
    ++i;
  }
}

void TextLogFilter::ground(std::string_view text, std::size_t& i, LogClock::time_point at,
                           std::string& out) {
  const std::size_t end = plain_run_end(text, i);
  if (end > i) {
    begin_line(at, out);
    out.append(text.substr(i, end - i));
    line_has_text_ = true;
    i = end;
    return;
  }
  const auto c = static_cast<unsigned char>(text[i]);
  if (c == kC1Lead) {
    if (i + 1 == text.size()) {
      pending_c2_ = true;
    } else if (const auto next = static_cast<unsigned char>(text[i + 1]); next < 0xa0) {
      c1(next);
      ++i;
    } else {
      begin_line(at, out);
      out.append(text.substr(i, 2));
      line_has_text_ = true;
      ++i;
    }
  } else {
    control(c, at, out);
  }
  ++i;
}

// A pending CR is decided by what follows it on the screen: text (a new line when the line holds
// text) or LF (one line end); an escape sequence between them (the CR ESC [ K of a redrawn line)
// decides nothing.
void TextLogFilter::control(unsigned char c, LogClock::time_point at, std::string& out) {
  switch (c) {
    case kLf:
      pending_cr_ = false;
      new_line(at, out);
      break;
    case kCr:
      pending_cr_ = true;
      break;
    case kTab:
      begin_line(at, out);
      out.push_back('\t');
      line_has_text_ = true;
      break;
    case kBs:
      erase_one(out);
      break;
    case kEsc:
      state_ = State::kEscape;
      break;
    default:
      break;  // BEL and the other controls leave nothing in a text log
  }
}

void TextLogFilter::c1(unsigned char code) {
  sequence_bytes_ = 0;
  if (code == kC1Csi) {
    state_ = State::kCsi;
  } else if (code == kC1Osc || code == kC1Dcs || code == kC1Sos || code == kC1Pm ||
             code == kC1Apc) {
    state_ = State::kString;
  }
}

void TextLogFilter::escape(unsigned char c) {
  sequence_bytes_ = 0;
  if (c == '[') {
    state_ = State::kCsi;
  } else if (c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_') {
    state_ = State::kString;
  } else if (c >= 0x20 && c < 0x30) {
    state_ = State::kEscapeIntermediate;
  } else if (c == kEsc) {
    state_ = State::kEscape;
  } else {
    state_ = State::kGround;
  }
}

void TextLogFilter::begin_line(LogClock::time_point at, std::string& out) {
  if (pending_cr_) {
    pending_cr_ = false;
    if (line_has_text_) new_line(at, out);
  }
  if (line_started_) return;
  line_started_ = true;
  if (timestamps_) out += stamp_.at(at);
  line_text_ = out.size();
}

void TextLogFilter::new_line(LogClock::time_point at, std::string& out) {
  if (!line_started_ && timestamps_) out += stamp_.at(at);
  out.push_back('\n');
  line_started_ = false;
  line_has_text_ = false;
  line_text_ = kNone;
}

void TextLogFilter::erase_one(std::string& out) {
  if (line_text_ == kNone || out.size() <= line_text_) return;
  while (out.size() > line_text_ && is_continuation(static_cast<unsigned char>(out.back()))) {
    out.pop_back();
  }
  if (out.size() > line_text_) out.pop_back();
}

void TextLogFilter::finish_line(std::string& out) {
  pending_cr_ = false;
  if (line_has_text_ || line_started_) {
    out.push_back('\n');
    line_started_ = false;
    line_has_text_ = false;
  }
  line_text_ = kNone;
}

}  // namespace veltaro::gui
