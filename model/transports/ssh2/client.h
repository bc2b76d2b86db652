// An SSH-2 client in the manner of paramiko's SSHClient: known host keys, login, and the
// transport that carries the channels afterwards.
#pragma once

#include "model/transports/login_prompter.h"
#include "model/transports/ssh2/errors.h"
#include "model/transports/ssh2/known_hosts.h"
#include "model/transports/ssh2/transport.h"
#include "model/transports/transport.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace veltaro::ssh2 {

enum class MissingHostKeyPolicy {
  kReject,   // an unknown host key fails the connect (the default)
  kAutoAdd,  // an unknown host key is accepted and remembered for save_host_keys
};

struct ConnectOptions {
  std::string hostname;
  int port = 22;
  std::optional<std::string> username;  // none: the local user's name
  std::optional<std::string> password;  // also the passphrase of the keys tried
  std::optional<std::filesystem::path> key_filename;
  bool allow_agent = true;    // try the keys of the agent at SSH_AUTH_SOCK
  bool look_for_keys = true;  // try id_rsa, id_dsa, id_ecdsa and id_ed25519 in $HOME/.ssh
  bool compress = false;      // zlib@openssh.com
  std::chrono::milliseconds timeout{15'000};  // the TCP connect and each step of the handshake
  // Asks the user what the options lack: the user name ("login as: ", instead of the local
  // user's), a password the server accepts, the answers to keyboard-interactive prompts. None:
  // nothing is asked.
  std::shared_ptr<transport::LoginPrompter> prompter;
};

// A host key connect() pinned under kAutoAdd.
struct AddedHostKey {
  std::string host_id;
  HostKey key;
};

class Client final : public transport::Closeable {
 public:
  Client();
  ~Client() override;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Adds the keys of an OpenSSH known_hosts file. Throws std::runtime_error when the file cannot
  // be read; save_host_keys then never writes to it, so the keys pinned in it cannot be lost.
  void load_host_keys(const std::filesystem::path& file);
  void set_missing_host_key_policy(MissingHostKeyPolicy policy);

  // Connects and logs in; algorithm preferences come from paramiko_legacy::_paramiko_overrides
  // of the calling thread. OpenSSH's configuration and known_hosts files are never read.
  // Throws AuthenticationError when the login was refused, HostKeyError when the host key
  // changed, was revoked or is unknown under kReject, and std::runtime_error for anything else
  // (the text says what); the client can then be closed or dropped.
  void connect(const ConnectOptions& options);

  // The keys kAutoAdd accepted on connect, to be saved.
  std::vector<AddedHostKey> added_host_keys() const;

  // Appends the host keys accepted by kAutoAdd that `file` does not hold yet, one line each.
  // Throws std::runtime_error when writing fails or `file` could not be read when loaded.
  void save_host_keys(const std::filesystem::path& file);

  // The connection after connect; nullptr before and after close.
  std::shared_ptr<Transport> get_transport() const;

  // Changes the running connection's keep-alive; false when there is none.
  bool set_keepalive(std::chrono::seconds interval);

  // Closes the channels, then the connection. Idempotent, thread-safe; never throws. A connect
  // in progress is not cut short: it ends within its time-out and then fails.
  void close() noexcept override;

 private:
  void check_host_key(const std::string& host_id, const HostKey& key);

  mutable std::mutex mutex_;
  HostKeys host_keys_;
  std::vector<std::pair<std::string, HostKey>> added_;
  std::set<std::filesystem::path> unreadable_;
  std::filesystem::path last_loaded_;
  MissingHostKeyPolicy policy_ = MissingHostKeyPolicy::kReject;
  std::shared_ptr<Transport> transport_;
  bool connecting_ = false;
  bool closed_ = false;
};

}  // namespace veltaro::ssh2
