#include "model/gui/terminal_prompter.h"

#include "common/codec.h"

namespace veltaro::gui {

std::string terminal_safe(std::string_view text) {
  const std::string decoded = common::decode_whole("utf-8", text);
  std::string out;
  out.reserve(decoded.size());
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    const auto c = static_cast<unsigned char>(decoded[i]);
    if (c == '\n') {
      out += "\r\n";
    } else if (c == 0xC2 && i + 1 < decoded.size() &&
               static_cast<unsigned char>(decoded[i + 1]) < 0xA0) {
      ++i;  // a C1 control character (U+0080 to U+009F), as dangerous as ESC
    } else if (c >= 0x20 && c != 0x7f) {
      out += decoded[i];
    }
  }
  return out;
}

common::Secret TerminalPrompter::ask(const std::string& prompt, bool echo) {
  write_(terminal_safe(prompt));
  LoginInput::Line line = input_->read_line(echo, timeout_, write_);
  switch (line.end) {
    case LoginInput::End::kAnswered:
      return std::move(line.text);
    case LoginInput::End::kGaveUp:
      throw transport::LoginAbandoned("已取消登入");
    case LoginInput::End::kTimedOut:
      throw transport::LoginAbandoned("等候輸入逾時");
    case LoginInput::End::kClosed:
      break;
  }
  throw transport::LoginAbandoned("分頁已關閉");
}

void TerminalPrompter::show(const std::string& line) noexcept {
  try {
    std::string text = terminal_safe(line);
    if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") text += "\r\n";
    write_(text);
  } catch (...) {
    // A line between prompts is not worth failing the login for.
  }
}

}  // namespace veltaro::gui
