// How a connection asks its user while it logs in ("login as: ", a password, a one-time code)
// without knowing where the user is: the tab's terminal implements it.
#pragma once

#include "common/secret.h"

#include <stdexcept>
#include <string>

namespace veltaro::transport {

// The user gave up (or could not answer in time, or closed the tab): no further attempt is made.
// The text says why, in words for the user.
class LoginAbandoned : public std::runtime_error {
 public:
  explicit LoginAbandoned(const std::string& why) : std::runtime_error(why) {}
};

class LoginPrompter {
 public:
  virtual ~LoginPrompter() = default;
  // Shows `prompt` and waits for the user's answer line; `echo` false hides what is typed.
  // The prompt may come from the server. Throws LoginAbandoned.
  virtual common::Secret ask(const std::string& prompt, bool echo) = 0;
  // Shows a line of text between prompts (a refusal, a server's instruction). Never throws.
  virtual void show(const std::string& line) noexcept = 0;
};

// The user name typed at "login as: ", asked again while the answer is empty, as often as a
// password is. Empty when none was given. Throws LoginAbandoned.
inline common::Secret ask_user_name(LoginPrompter& prompter) {
  constexpr int kTries = 3;
  for (int i = 0; i < kTries; ++i) {
    common::Secret name = prompter.ask("login as: ", true);
    if (!name.empty()) return name;
  }
  return common::Secret();
}

}  // namespace veltaro::transport
