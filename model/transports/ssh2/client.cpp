#include "client.h"

#include "model/transports/ssh2/algorithms.h"
#include "model/transports/ssh2/auth.h"
#include "model/transports/ssh2/connection.h"
#include "model/transports/ssh2/legacy_prefs.h"
#include "model/transports/ssh2/ssh_error.h"

#include "common/paths.h"
#include "common/tcp_socket.h"

#include <libssh/libssh.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace veltaro::ssh2 {

namespace {

using KeyPtr = std::unique_ptr<ssh_key_struct, decltype(&ssh_key_free)>;

// What libssh is told about known hosts: only to order the host-key types it offers (pinned
// types first). Checking the key is ours; an empty file keeps libssh's own defaults away.
constexpr const char* kNoKnownHosts = "/dev/null";

template <class T>
void set_option(ssh_session session, ssh_options_e option, const T* value, const char* name) {
  if (ssh_options_set(session, option, value) != SSH_OK) {
    throw std::runtime_error(std::string("cannot set ") + name + ": " + error_of(session));
  }
}

HostKey server_key(ssh_session session) {
  ssh_key raw = nullptr;
  if (ssh_get_server_publickey(session, &raw) != SSH_OK) {
    throw std::runtime_error("the server sent no host key");
  }
  const KeyPtr key(raw, ssh_key_free);
  char* base64 = nullptr;
  if (ssh_pki_export_pubkey_base64(key.get(), &base64) != SSH_OK) {
    throw std::runtime_error("cannot read the server's host key");
  }
  const std::unique_ptr<char, decltype(&ssh_string_free_char)> base64_owner(base64,
                                                                            ssh_string_free_char);
  auto host_key = host_key_from_base64(ssh_key_type_to_char(ssh_key_type(key.get())), base64);
  if (!host_key) throw std::runtime_error("cannot read the server's host key");
  return std::move(*host_key);
}

void ask_user_name(ssh_session session, transport::LoginPrompter& prompter) {
  const common::Secret name = transport::ask_user_name(prompter);
  if (name.empty()) throw AuthenticationError("no user name was given");
  set_option(session, SSH_OPTIONS_USER, name.c_str(), "user");
}

// Connects our own socket and has libssh run the session over it: libssh opens its sockets
// without close-on-exec, so a program started meanwhile by any thread would inherit them.
// libssh takes the socket over early in ssh_connect and closes it with the session; only when
// ssh_connect failed before that is it still ours to close.
int connect_over_own_socket(ssh_session session, const ConnectOptions& options) {
  const int fd =
      common::TcpSocket::connect(options.hostname, options.port, options.timeout).release();
  struct stat handed {};
  ::fstat(fd, &handed);
  if (ssh_options_set(session, SSH_OPTIONS_FD, &fd) != SSH_OK) {
    ::close(fd);
    throw std::runtime_error("cannot set the socket: " + error_of(session));
  }
  const int rc = ssh_connect(session);
  struct stat now {};
  // A number libssh closed may already serve another socket: only the same socket is ours.
  if (ssh_get_fd(session) != fd && ::fstat(fd, &now) == 0 && now.st_ino == handed.st_ino &&
      now.st_dev == handed.st_dev) {
    ::close(fd);
  }
  return rc;
}

// Clears a flag on every way out of the scope.
class FlagGuard {
 public:
  FlagGuard(std::mutex& mutex, bool& flag) : mutex_(mutex), flag_(flag) {}
  ~FlagGuard() {
    const std::lock_guard lock(mutex_);
    flag_ = false;
  }
  FlagGuard(const FlagGuard&) = delete;
  FlagGuard& operator=(const FlagGuard&) = delete;

 private:
  std::mutex& mutex_;
  bool& flag_;
};

}  // namespace

Client::Client() = default;

Client::~Client() {
  close();
}

void Client::load_host_keys(const std::filesystem::path& file) {
  const std::lock_guard lock(mutex_);
  try {
    host_keys_.load(file);
  } catch (...) {
    unreadable_.insert(file);
    throw;
  }
  last_loaded_ = file;
}

void Client::set_missing_host_key_policy(MissingHostKeyPolicy policy) {
  const std::lock_guard lock(mutex_);
  policy_ = policy;
}

void Client::connect(const ConnectOptions& options) {
  if (options.port < 1 || options.port > 65535) {
    throw std::runtime_error("invalid port " + std::to_string(options.port));
  }
  std::string known_hosts_for_libssh;
  {
    const std::lock_guard lock(mutex_);
    if (closed_) throw std::runtime_error("the client is closed");
    if (connecting_ || transport_) throw std::runtime_error("the client is already connected");
    connecting_ = true;
    known_hosts_for_libssh = last_loaded_.empty() ? kNoKnownHosts : last_loaded_.string();
  }
  const FlagGuard connecting(mutex_, connecting_);
  const auto& prefs = paramiko_legacy::_paramiko_overrides.current;

  detail::SessionPtr session(ssh_new());
  if (!session) throw std::runtime_error("cannot create an SSH session");
  ssh_session s = session.get();
  const int no_log = SSH_LOG_NOLOG;
  const bool no_config = false;
  const unsigned int port = static_cast<unsigned int>(options.port);
  const long timeout_s = static_cast<long>((options.timeout.count() + 999) / 1000);
  const std::string ssh_dir = (common::home_dir() / ".ssh").string();
  set_option(s, SSH_OPTIONS_LOG_VERBOSITY, &no_log, "log level");
  set_option(s, SSH_OPTIONS_PROCESS_CONFIG, &no_config, "config processing");
  set_option(s, SSH_OPTIONS_HOST, options.hostname.c_str(), "host");
  set_option(s, SSH_OPTIONS_PORT, &port, "port");
  if (options.username) set_option(s, SSH_OPTIONS_USER, options.username->c_str(), "user");
  // libssh takes the home from the password database unless told; the user's HOME counts.
  set_option(s, SSH_OPTIONS_SSH_DIR, ssh_dir.c_str(), "ssh directory");
  set_option(s, SSH_OPTIONS_KNOWNHOSTS, known_hosts_for_libssh.c_str(), "known hosts");
  set_option(s, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, known_hosts_for_libssh.c_str(), "known hosts");
  set_option(s, SSH_OPTIONS_TIMEOUT, &timeout_s, "time-out");
  set_option(s, SSH_OPTIONS_COMPRESSION, options.compress ? "yes" : "no", "compression");
  detail::SigningChoice signing;
  if (prefs) signing = detail::apply_algorithm_prefs(s, *prefs);

  if (connect_over_own_socket(s, options) != SSH_OK) throw std::runtime_error(error_of(s));

  check_host_key(HostKeys::host_id(options.hostname, options.port), server_key(s));
  if (!options.username && options.prompter) ask_user_name(s, *options.prompter);

  detail::Credentials credentials;
  credentials.password = options.password;
  credentials.key_filename = options.key_filename;
  credentials.allow_agent = options.allow_agent;
  credentials.look_for_keys = options.look_for_keys;
  credentials.ssh_dir = ssh_dir;
  credentials.sha1_rsa_fallback = signing.sha1_rsa;
  credentials.accepted_types = signing.accepted_types;
  credentials.prompter = options.prompter;
  credentials.host = options.hostname;
  detail::authenticate(s, credentials);

  auto connection = detail::Connection::start(std::move(session));
  std::unique_lock lock(mutex_);
  if (closed_) {
    lock.unlock();
    connection->close();
    throw std::runtime_error("the client was closed while it connected");
  }
  transport_ = std::make_shared<Transport>(std::move(connection));
}

void Client::check_host_key(const std::string& host_id, const HostKey& key) {
  const std::lock_guard lock(mutex_);
  const std::string fingerprint = sha256_fingerprint(key);
  const HostKeyStatus status = host_keys_.check(host_id, key);
  switch (status) {
    case HostKeyStatus::kKnown:
      return;
    case HostKeyStatus::kChanged:
      throw HostKeyError("the host key of " + host_id + " has changed (it is now " + key.type +
                             " " + fingerprint +
                             "); the connection was refused because the server may be an "
                             "impostor. If the change is expected, remove the old key from the "
                             "known_hosts file",
                         status, host_id, key, host_keys_.pinned(host_id));
    case HostKeyStatus::kRevoked:
      throw HostKeyError("the host key of " + host_id + " (" + fingerprint + ") is revoked", status,
                         host_id, key, {});
    case HostKeyStatus::kUnknown:
      break;
  }
  if (policy_ == MissingHostKeyPolicy::kReject) {
    throw HostKeyError(
        "Server '" + host_id + "' not found in known_hosts (" + key.type + " " + fingerprint + ")",
        status, host_id, key, {});
  }
  host_keys_.add(host_id, key);
  added_.emplace_back(host_id, key);
}

std::vector<AddedHostKey> Client::added_host_keys() const {
  const std::lock_guard lock(mutex_);
  std::vector<AddedHostKey> keys;
  for (const auto& [id, key] : added_) keys.push_back({id, key});
  return keys;
}

void Client::save_host_keys(const std::filesystem::path& file) {
  std::vector<std::pair<std::string, HostKey>> added;
  {
    const std::lock_guard lock(mutex_);
    if (unreadable_.count(file) != 0) {
      throw std::runtime_error(file.string() + " could not be read, so it is left unchanged");
    }
    added = added_;
  }
  if (!added.empty()) append_known_hosts(file, added);
}

std::shared_ptr<Transport> Client::get_transport() const {
  const std::lock_guard lock(mutex_);
  return transport_;
}

bool Client::set_keepalive(std::chrono::seconds interval) {
  const auto transport = get_transport();
  return transport && transport->set_keepalive(interval);
}

void Client::close() noexcept {
  std::shared_ptr<Transport> transport;
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    transport = std::move(transport_);
    transport_.reset();
  }
  if (transport) transport->close();
}

}  // namespace veltaro::ssh2
