// The SSH-1.5 test server (ssh1_server.py, run by Debian's python3) on 127.0.0.1, with what it
// saw available as JSON events. A server that cannot start throws, so the test fails.
#pragma once

#include <nlohmann/json.hpp>

#include "process.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace veltaro::peers {

inline constexpr const char* kSsh1User = "tester";
inline constexpr const char* kSsh1Password = "s3cret-Pw";

struct Ssh1ServerOptions {
  std::string mode = "echo";  // "echo" (scripted) or "shell" (a real /bin/sh on a PTY)
  std::vector<std::string> faults;
  std::vector<std::string> banner;
  std::optional<std::string> version_line;
};

inline Ssh1ServerOptions ssh1_fault(const std::string& name) {
  Ssh1ServerOptions o;
  o.faults = {name};
  return o;
}
inline Ssh1ServerOptions ssh1_version_line(const std::string& line) {
  Ssh1ServerOptions o;
  o.version_line = line;
  return o;
}
inline Ssh1ServerOptions ssh1_banner(const std::string& line) {
  Ssh1ServerOptions o;
  o.banner = {line};
  return o;
}
inline Ssh1ServerOptions ssh1_shell() {
  Ssh1ServerOptions o;
  o.mode = "shell";
  return o;
}

class Ssh1Server {
 public:
  explicit Ssh1Server(const Ssh1ServerOptions& options = {});
  Ssh1Server(const Ssh1Server&) = delete;
  Ssh1Server& operator=(const Ssh1Server&) = delete;

  int port() const noexcept { return port_; }
  // The host key as the server announced it.
  const nlohmann::json& host_key() const noexcept { return listening_; }
  // Every event so far, oldest first.
  std::vector<nlohmann::json> events() const;
  // The events named `name`.
  std::vector<nlohmann::json> events(const std::string& name) const;
  // Waits until `count` events named `name` have been seen; false at the time-out.
  bool wait_for(const std::string& name, std::size_t count = 1,
                std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  std::string log() const;

 private:
  ssh2::testing::TempDir dir_;
  std::optional<ssh2::testing::Process> process_;
  nlohmann::json listening_;
  int port_ = 0;
};

}  // namespace veltaro::peers
