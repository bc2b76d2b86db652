// Real SSH peers on 127.0.0.1 for the ssh2 tests: OpenSSH's sshd with a throw-away
// configuration (modern, or offering only legacy algorithms), Dropbear, and an ssh-agent.
// Everything lives in a temporary directory; a peer that cannot start throws.
#pragma once

#include "process.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace veltaro::ssh2::testing {

// Long enough for a sanitized build on a loaded 2-core machine.
inline constexpr std::chrono::seconds kPeerStart{20};
inline constexpr std::chrono::seconds kEventWait{20};
// How long a stopping server's connections get to end on their own.
inline constexpr std::chrono::seconds kSessionsEnd{5};

inline constexpr const char* kTestUser = "veltarotest";
inline constexpr const char* kTestPassword = "Vel7-taro-pass";

// Creates the local test account (bash, home directory) when it is missing and sets its
// password. Needs root, as the servers do.
void ensure_test_user();

struct KeyPair {
  std::filesystem::path private_key;
  std::string public_line;  // "type base64 comment"
};

// ssh-keygen -t type, optionally encrypted with `passphrase`.
KeyPair make_key(const std::filesystem::path& file, const std::string& type,
                 const std::string& passphrase = "");

enum class SshdKind {
  kModern,      // OpenSSH's defaults, password and public-key login, forwarding
  kLegacyOnly,  // CBC ciphers, SHA-1 key exchanges and MACs, ssh-rsa only
};

struct SshdSetup {
  // ssh-keygen types of the host keys; empty: ed25519, or rsa for kLegacyOnly.
  std::vector<std::string> host_key_types;
  int port = 0;  // 0: a free port
};

class Sshd {
 public:
  Sshd(SshdKind kind, const std::vector<std::string>& authorized_keys, const SshdSetup& setup = {});
  ~Sshd();
  Sshd(const Sshd&) = delete;
  Sshd& operator=(const Sshd&) = delete;
  int port() const noexcept { return port_; }
  // The public half of the host key of the type given `index`-th in the setup.
  std::filesystem::path host_key_pub(std::size_t index = 0) const {
    return dir_ / ("host_key_" + std::to_string(index) + ".pub");
  }
  std::size_t log_size() const;
  // Waits until the log, from byte `from` on, contains `needle`.
  bool wait_for_log(const std::string& needle, std::size_t from,
                    std::chrono::milliseconds timeout = kEventWait) const;
  std::string log_text() const;
  // The processes serving connections (and what they started), e.g. to freeze them.
  std::vector<pid_t> session_processes() const { return process_->descendants(); }

 private:
  TempDir dir_;
  int port_ = 0;
  std::optional<Process> process_;
};

class Dropbear {
 public:
  Dropbear();
  ~Dropbear();
  Dropbear(const Dropbear&) = delete;
  Dropbear& operator=(const Dropbear&) = delete;
  int port() const noexcept { return port_; }

 private:
  TempDir dir_;
  int port_ = 0;
  std::optional<Process> process_;
};

class Agent {
 public:
  Agent();
  std::filesystem::path socket() const { return dir_ / "agent.sock"; }
  void add(const std::filesystem::path& private_key) const;

 private:
  TempDir dir_;
  std::optional<Process> process_;
};

}  // namespace veltaro::ssh2::testing
