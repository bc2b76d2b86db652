// The failures of the SSH-2 layer that a caller tells apart. Everything else is a plain
// std::runtime_error whose text says what went wrong.
#pragma once

#include <stdexcept>
#include <string>

namespace veltaro::ssh2 {

// The server refused every way this client had to log in (or the one it was given).
class AuthenticationError : public std::runtime_error {
 public:
  explicit AuthenticationError(const std::string& what) : std::runtime_error(what) {}
};

// The server's host key differs from the one pinned for it, is revoked, or is unknown while
// unknown keys are refused. Never an authentication failure: the login was not attempted.
class HostKeyError : public std::runtime_error {
 public:
  explicit HostKeyError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace veltaro::ssh2
