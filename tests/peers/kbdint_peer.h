// An SSH-2 server on 127.0.0.1 (libssh's server side, in this process) that logs in by
// keyboard-interactive only, asking two questions in one round: "Password: " (hidden) and
// "Verification code: " (echoed). It then accepts a shell, says kKbdintWelcome and echoes what it
// receives. It serves one connection after another until destroyed.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veltaro::peers {

inline constexpr const char* kKbdintPassword = "kbd-pass";
inline constexpr const char* kKbdintCode = "424242";
inline constexpr const char* kKbdintWelcome = "kbdint shell ready";

class KbdintServer {
 public:
  // Throws std::runtime_error when it cannot listen or make its host key.
  KbdintServer();
  ~KbdintServer();
  KbdintServer(const KbdintServer&) = delete;
  KbdintServer& operator=(const KbdintServer&) = delete;

  int port() const noexcept { return port_; }
  // Each round of answers received, as "password|code".
  std::vector<std::string> answers() const;

 private:
  void serve() noexcept;
  void serve_one(int fd) noexcept;

  int listen_fd_ = -1;
  int port_ = 0;
  void* bind_ = nullptr;  // ssh_bind, kept out of this header
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> answers_;
  int active_fd_ = -1;  // guarded by mutex_: shut down to end a session blocked in libssh
  std::thread thread_;
};

}  // namespace veltaro::peers
