// Login prompts in a tab's terminal: the keys the user types answer them until the login ends.
#include "model/gui/terminal_prompter.h"
#include "model/gui/veltaro_app.h"

namespace veltaro::gui {

std::shared_ptr<transport::LoginPrompter> VeltaroApp::begin_login(const TabPtr& tab) {
  auto input = std::make_shared<LoginInput>();
  {
    const std::lock_guard lock(tab->mutex);
    if (tab->closed) return nullptr;
    tab->login = input;
  }
  // The prompts go into the terminal as output does, never into any log or status line.
  auto write = [self = shared_from_this(), tab](const std::string& text) {
    try {
      self->push_output(*tab, text);
    } catch (...) {
      // Nothing shown is better than a login that fails for it.
    }
  };
  return std::make_shared<TerminalPrompter>(std::move(input), std::move(write));
}

void VeltaroApp::end_login(Tab& tab) noexcept {
  std::shared_ptr<LoginInput> input;
  {
    const std::lock_guard lock(tab.mutex);
    input.swap(tab.login);
  }
  if (input) input->close();
}

}  // namespace veltaro::gui
