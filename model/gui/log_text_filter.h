// Terminal output made plain text for a text-mode session log: escape sequences (CSI, OSC, DCS and
// the rest, in their 7-bit and C1 forms) and control characters removed, line ends made "\n", and
// optionally each line begun with the local time its first character arrived.
#pragma once

#include "model/gui/log_name.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace veltaro::gui {

// Line ends: CR LF, LF and CR CR LF end one line. A CR on its own ends a line that holds text (a
// device that ends lines with CR alone, or a progress counter that redraws its line, stays
// readable) and is ignored at the start of a line (the CR of a device's LF CR). Backspace erases
// the character before it when that character is still in the text being produced (the usual
// "BS blank BS" of a shell's line editing arrives in one piece). Sequences split between calls are
// carried over. Not thread-safe: the log's writer thread owns it.
class TextLogFilter {
 public:
  explicit TextLogFilter(bool timestamps) : timestamps_(timestamps) {}

  // Appends the plain text of decoded terminal output `text`, which arrived at `at`, to `out`.
  void feed(std::string_view text, LogClock::time_point at, std::string& out);

  // Ends a line that holds text, so that what follows (a marker, the end of the log) starts on a
  // line of its own.
  void finish_line(std::string& out);

  // `out` was written away: backspace can no longer take back what it held.
  void output_taken() noexcept { line_text_ = line_started_ ? 0 : kNone; }

 private:
  enum class State { kGround, kEscape, kEscapeIntermediate, kCsi, kString, kStringEscape };

  void ground(std::string_view text, std::size_t& i, LogClock::time_point at, std::string& out);
  void control(unsigned char c, LogClock::time_point at, std::string& out);
  void c1(unsigned char code);
  void escape(unsigned char c);
  void begin_line(LogClock::time_point at, std::string& out);
  void new_line(LogClock::time_point at, std::string& out);
  void erase_one(std::string& out);

  const bool timestamps_;
  LineStamp stamp_;
  State state_ = State::kGround;
  std::size_t sequence_bytes_ = 0;  // bytes swallowed by the sequence being skipped
  bool pending_c2_ = false;         // the first byte of a C1 control ended the previous piece
  bool pending_cr_ = false;
  bool line_has_text_ = false;
  bool line_started_ = false;  // the line's time stamp (if any) is written
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  // Where the current line's text begins in `out`, for backspace; kNone once it was written away.
  std::size_t line_text_ = kNone;
};

}  // namespace veltaro::gui
