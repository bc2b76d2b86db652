// The login prompts of a connection, shown in its tab's terminal and answered by what the user
// types there (through the tab's LoginInput).
#pragma once

#include "model/gui/login_input.h"
#include "model/transports/login_prompter.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace veltaro::gui {

// The longest wait for one answer: about as long as servers wait for a login to finish.
inline constexpr std::chrono::seconds kAnswerTimeout{120};

// The terminal text for a prompt or a line that may come from a server: control characters
// (escape sequences among them) are dropped, a line break becomes CR LF, malformed UTF-8 becomes
// U+FFFD. Never throws except std::bad_alloc.
std::string terminal_safe(std::string_view text);

class TerminalPrompter final : public transport::LoginPrompter {
 public:
  using Write = LoginInput::Write;

  // `write` puts text into the tab's terminal; it must not throw.
  TerminalPrompter(std::shared_ptr<LoginInput> input, Write write,
                   std::chrono::milliseconds timeout = kAnswerTimeout)
      : input_(std::move(input)), write_(std::move(write)), timeout_(timeout) {}

  common::Secret ask(const std::string& prompt, bool echo) override;
  void show(const std::string& line) noexcept override;

 private:
  const std::shared_ptr<LoginInput> input_;
  const Write write_;
  const std::chrono::milliseconds timeout_;
};

}  // namespace veltaro::gui
