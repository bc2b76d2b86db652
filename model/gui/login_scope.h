// The time a starter's connection logs in: the tab's keys answer its prompts meanwhile.
#pragma once

#include "model/gui/veltaro_app.h"
#include "model/transports/login_prompter.h"

#include <memory>

namespace veltaro::gui {

class LoginScope {
 public:
  LoginScope(VeltaroApp& app, TabPtr tab)
      : app_(app), tab_(std::move(tab)), prompter_(app_.begin_login(tab_)) {}
  ~LoginScope() { app_.end_login(*tab_); }
  LoginScope(const LoginScope&) = delete;
  LoginScope& operator=(const LoginScope&) = delete;

  // nullptr when the tab was closed before the login began.
  const std::shared_ptr<transport::LoginPrompter>& prompter() const noexcept { return prompter_; }

 private:
  VeltaroApp& app_;
  const TabPtr tab_;
  const std::shared_ptr<transport::LoginPrompter> prompter_;
};

}  // namespace veltaro::gui
