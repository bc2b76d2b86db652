#include "model/transports/portwell/os_error.h"

namespace veltaro::portwell {

namespace {
std::string error_text(std::uint32_t code, const std::string& function,
                       const std::string& message) {
  return "(" + std::to_string(code) + ", " + quoted(function) + ", " + quoted(message) + ")";
}
}  // namespace

std::string quoted(const std::string& text) {
  const bool use_double =
      text.find('\'') != std::string::npos && text.find('"') == std::string::npos;
  const char q = use_double ? '"' : '\'';
  std::string out(1, q);
  for (const char c : text) {
    if (c == '\\' || c == q) out.push_back('\\');
    out.push_back(c);
  }
  out.push_back(q);
  return out;
}

OsError::OsError(std::uint32_t code, std::string function, std::string message)
    : std::runtime_error(error_text(code, function, message)),
      code_(code),
      function_(std::move(function)),
      message_(std::move(message)) {}

OsError::OsError(const std::string& message) : std::runtime_error(message), message_(message) {}

}  // namespace veltaro::portwell
