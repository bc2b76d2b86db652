#include "auth.h"

#include "model/transports/ssh2/errors.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

namespace veltaro::ssh2::detail {

namespace {

using KeyPtr = std::unique_ptr<ssh_key_struct, decltype(&ssh_key_free)>;

// Without a callback, OpenSSL asks for a PEM key's passphrase on the terminal.
int no_passphrase(const char*, char*, std::size_t, int, int, void*) {
  return -1;
}

class Login {
 public:
  Login(ssh_session session, const Credentials& c) : session_(session), creds_(c) {}

  // True when the server accepted this attempt.
  bool key_file(const std::filesystem::path& path, const char* label) {
    ssh_key raw = nullptr;
    const char* passphrase = creds_.password ? creds_.password->c_str() : nullptr;
    if (ssh_pki_import_privkey_file(path.c_str(), passphrase, no_passphrase, nullptr, &raw) !=
        SSH_OK) {
      problems_.push_back("cannot load " + path.string() +
                          (passphrase ? " (wrong passphrase?)" : " (encrypted?)"));
      return false;
    }
    const KeyPtr key(raw, ssh_key_free);
    const bool rsa = ssh_key_type(key.get()) == SSH_KEYTYPE_RSA;
    return accepted(with_sha1_fallback(
                        rsa, [&] { return ssh_userauth_publickey(session_, nullptr, key.get()); }),
                    label);
  }

  bool agent() {
    const char* sock = std::getenv("SSH_AUTH_SOCK");
    if (sock == nullptr || *sock == '\0') return false;
    return accepted(with_sha1_fallback(true, [&] { return ssh_userauth_agent(session_, nullptr); }),
                    "agent");
  }

  bool password(const std::string& password) {
    const int rc = ssh_userauth_password(session_, nullptr, password.c_str());
    if (rc != SSH_AUTH_DENIED || allows(SSH_AUTH_METHOD_PASSWORD) ||
        !allows(SSH_AUTH_METHOD_INTERACTIVE)) {
      return accepted(rc, "password");
    }
    return accepted(keyboard_interactive(password), "password (keyboard-interactive)");
  }

  [[noreturn]] void fail() const {
    std::string detail;
    for (const auto& p : problems_) detail += "; " + p;
    if (tried_.empty()) throw std::runtime_error("No authentication methods available" + detail);
    std::string tried;
    for (const auto& t : tried_) tried += (tried.empty() ? "" : ", ") + t;
    throw AuthenticationError("Authentication failed (tried " + tried + ")" + detail);
  }

 private:
  template <class Attempt>
  int with_sha1_fallback(bool rsa, Attempt attempt) {
    int rc = attempt();
    if (rc != SSH_AUTH_DENIED || !rsa || !creds_.sha1_rsa_fallback) return rc;
    ssh_options_set(session_, SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES, "ssh-rsa");
    rc = attempt();
    ssh_options_set(session_, SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES, creds_.accepted_types.c_str());
    return rc;
  }

  bool allows(unsigned method) const {
    return (static_cast<unsigned>(ssh_userauth_list(session_, nullptr)) & method) != 0;
  }

  // Answers every prompt with the password, as paramiko does for servers that only offer
  // keyboard-interactive.
  int keyboard_interactive(const std::string& password) {
    int rc = ssh_userauth_kbdint(session_, nullptr, nullptr);
    for (int round = 0; rc == SSH_AUTH_INFO && round < 8; ++round) {
      const int prompts = ssh_userauth_kbdint_getnprompts(session_);
      for (int i = 0; i < prompts; ++i) {
        if (ssh_userauth_kbdint_setanswer(session_, static_cast<unsigned>(i), password.c_str()) <
            0) {
          return SSH_AUTH_ERROR;
        }
      }
      rc = ssh_userauth_kbdint(session_, nullptr, nullptr);
    }
    return rc == SSH_AUTH_INFO ? SSH_AUTH_DENIED : rc;
  }

  bool accepted(int rc, const char* label) {
    switch (rc) {
      case SSH_AUTH_SUCCESS:
        return true;
      case SSH_AUTH_DENIED:
      case SSH_AUTH_PARTIAL:
        tried_.emplace_back(label);
        return false;
      case SSH_AUTH_AGAIN:
        throw std::runtime_error("timed out while logging in");
      default:
        throw std::runtime_error(ssh_get_error(session_));
    }
  }

  ssh_session session_;
  const Credentials& creds_;
  std::vector<std::string> tried_;
  std::vector<std::string> problems_;
};

}  // namespace

void authenticate(ssh_session session, const Credentials& credentials) {
  Login login(session, credentials);
  if (credentials.key_filename && login.key_file(*credentials.key_filename, "key file")) return;
  if (credentials.allow_agent && login.agent()) return;
  if (credentials.look_for_keys && !credentials.ssh_dir.empty()) {
    for (const char* name : {"id_rsa", "id_dsa", "id_ecdsa", "id_ed25519"}) {
      std::error_code ec;
      const auto path = credentials.ssh_dir / name;
      if (std::filesystem::is_regular_file(path, ec) && login.key_file(path, name)) return;
    }
  }
  if (credentials.password && login.password(*credentials.password)) return;
  login.fail();
}

}  // namespace veltaro::ssh2::detail
