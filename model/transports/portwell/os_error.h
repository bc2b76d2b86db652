// A failed call of the platform's communications API: the platform's own error code, the name of
// the failing call and the system's message, shown as "(code, 'Function', 'message')".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace veltaro::portwell {

class OsError : public std::runtime_error {
 public:
  OsError(std::uint32_t code, std::string function, std::string message);
  // A failure that has no platform error behind it; the text is `message` alone.
  explicit OsError(const std::string& message);

  // 0 when there is no platform error.
  std::uint32_t code() const noexcept { return code_; }
  const std::string& function() const noexcept { return function_; }
  const std::string& message() const noexcept { return message_; }

 private:
  std::uint32_t code_ = 0;
  std::string function_;
  std::string message_;
};

// A text quoted the way the error's text form quotes it: in single quotes unless it holds a
// single quote and no double quote.
std::string quoted(const std::string& text);

}  // namespace veltaro::portwell
