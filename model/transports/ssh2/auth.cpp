#include "auth.h"

#include "model/transports/ssh2/errors.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

namespace veltaro::ssh2::detail {

namespace {

using KeyPtr = std::unique_ptr<ssh_key_struct, decltype(&ssh_key_free)>;

// A server may ask several rounds of questions in one keyboard-interactive exchange; one that
// never stops asking is refused.
constexpr int kInfoRounds = 8;

// Shown before the user is asked again, as OpenSSH's client says it.
constexpr const char* kRefused = "Permission denied, please try again.";

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

  // True when the server accepted what the user typed.
  bool ask_user(transport::LoginPrompter& prompter) {
    if (!methods_known()) {
      const int rc = ssh_userauth_none(session_, nullptr);
      if (rc == SSH_AUTH_SUCCESS) return true;
      if (rc != SSH_AUTH_DENIED && rc != SSH_AUTH_PARTIAL) accepted(rc, "none");
    }
    for (int attempt = 0; attempt < kPromptTries; ++attempt) {
      if (refused_ > 0) prompter.show(kRefused);
      int rc = SSH_AUTH_DENIED;
      const char* label = nullptr;
      if (allows(SSH_AUTH_METHOD_PASSWORD)) {
        const common::Secret typed =
            prompter.ask(user() + "@" + creds_.host + "'s password: ", false);
        rc = ssh_userauth_password(session_, nullptr, typed.c_str());
        label = "password";
      } else if (allows(SSH_AUTH_METHOD_INTERACTIVE)) {
        rc = keyboard_interactive_asking(prompter);
        label = "keyboard-interactive";
      } else {
        return false;
      }
      if (accepted(rc, label)) return true;
    }
    return false;
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

  // libssh learns the server's methods from its answer to an attempt.
  bool methods_known() const { return ssh_userauth_list(session_, nullptr) != 0; }

  std::string user() const {
    char* name = nullptr;
    if (ssh_options_get(session_, SSH_OPTIONS_USER, &name) != SSH_OK || name == nullptr) return "";
    std::string text(name);
    ssh_string_free_char(name);
    return text;
  }

  // The server's own prompts, each answered by the user as the server asks (echoed or not).
  int keyboard_interactive_asking(transport::LoginPrompter& prompter) {
    int rc = ssh_userauth_kbdint(session_, nullptr, nullptr);
    for (int round = 0; rc == SSH_AUTH_INFO && round < kInfoRounds; ++round) {
      for (const char* text :
           {ssh_userauth_kbdint_getname(session_), ssh_userauth_kbdint_getinstruction(session_)}) {
        if (text != nullptr && *text != '\0') prompter.show(text);
      }
      const int prompts = ssh_userauth_kbdint_getnprompts(session_);
      for (int i = 0; i < prompts; ++i) {
        char echo = 0;
        const char* prompt =
            ssh_userauth_kbdint_getprompt(session_, static_cast<unsigned>(i), &echo);
        const common::Secret answer = prompter.ask(prompt ? prompt : "", echo != 0);
        if (ssh_userauth_kbdint_setanswer(session_, static_cast<unsigned>(i), answer.c_str()) < 0) {
          return SSH_AUTH_ERROR;
        }
      }
      rc = ssh_userauth_kbdint(session_, nullptr, nullptr);
    }
    return rc == SSH_AUTH_INFO ? SSH_AUTH_DENIED : rc;
  }

  bool allows(unsigned method) const {
    return (static_cast<unsigned>(ssh_userauth_list(session_, nullptr)) & method) != 0;
  }

  // Answers every prompt with the password, as paramiko does for servers that only offer
  // keyboard-interactive.
  int keyboard_interactive(const std::string& password) {
    int rc = ssh_userauth_kbdint(session_, nullptr, nullptr);
    for (int round = 0; rc == SSH_AUTH_INFO && round < kInfoRounds; ++round) {
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
        if (std::find(tried_.begin(), tried_.end(), label) == tried_.end()) {
          tried_.emplace_back(label);
        }
        if (std::string_view(label).rfind("password", 0) == 0 ||
            std::string_view(label) == "keyboard-interactive") {
          ++refused_;
        }
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
  int refused_ = 0;  // passwords and answers the server refused so far
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
  if (credentials.prompter && login.ask_user(*credentials.prompter)) return;
  login.fail();
}

}  // namespace veltaro::ssh2::detail
