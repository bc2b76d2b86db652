// The failures of the SSH-2 layer that a caller tells apart. Everything else is a plain
// std::runtime_error whose text says what went wrong.
#pragma once

#include "model/transports/ssh2/known_hosts.h"

#include <stdexcept>
#include <string>
#include <vector>

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
  HostKeyError(const std::string& what, HostKeyStatus found, std::string host, HostKey key,
               std::vector<HostKey> keys)
      : std::runtime_error(what),
        status(found),
        host_id(std::move(host)),
        offered(std::move(key)),
        pinned(std::move(keys)) {}

  // What was found: kChanged, kRevoked, or kUnknown (refused by the policy).
  HostKeyStatus status = HostKeyStatus::kUnknown;
  std::string host_id;          // as known_hosts files it
  HostKey offered;              // the server's key
  std::vector<HostKey> pinned;  // the keys pinned for the host, when it changed
};

}  // namespace veltaro::ssh2
