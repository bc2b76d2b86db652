// What the user types into a tab while its connection logs in: kept here instead of being sent,
// edited as a line (Backspace, Ctrl+U), ended by Enter or given up with Ctrl+C. Keystrokes typed
// before a prompt wait for it; nothing typed is kept once the login is over.
#pragma once

#include "common/secret.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace veltaro::gui {

class LoginInput {
 public:
  enum class End {
    kAnswered,  // Enter
    kGaveUp,    // Ctrl+C
    kTimedOut,  // no Enter in time
    kClosed,    // close(): the tab closed or the login ended
  };
  struct Line {
    End end;
    common::Secret text;  // the line when answered, else empty
  };
  // Receives what the terminal should show of the editing (the echo, "\r\n" at the end).
  using Write = std::function<void(const std::string&)>;

  LoginInput() = default;
  LoginInput(const LoginInput&) = delete;
  LoginInput& operator=(const LoginInput&) = delete;

  // Takes keystrokes (from any thread). False once closed: they are not for a prompt then.
  bool feed(std::string_view keys);

  // Waits for one line, editing it as the keys arrive; echoes it when `echo`. Returns at Enter,
  // Ctrl+C, close() or after `timeout` without Enter. Keys after the Enter wait for the next
  // prompt. Throws only what `write` throws.
  Line read_line(bool echo, std::chrono::milliseconds timeout, const Write& write);

  // Ends every wait for good and wipes what was typed. Never throws.
  void close() noexcept;

 private:
  // Applies the pending keys to `line`; true when they ended it (`end` says how).
  bool edit(common::Secret& line, bool echo, std::string& shown, End& end);

  std::mutex mutex_;
  std::condition_variable typed_;
  common::Secret pending_;  // typed, not yet taken by a prompt
  bool closed_ = false;
};

}  // namespace veltaro::gui
