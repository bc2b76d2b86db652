// Logging in on a connected session. Private to the ssh2 library.
#pragma once

#include "model/transports/login_prompter.h"

#include <libssh/libssh.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace veltaro::ssh2::detail {

struct Credentials {
  std::optional<std::string> password;  // also the passphrase of every private key tried
  std::optional<std::filesystem::path> key_filename;
  bool allow_agent = true;
  bool look_for_keys = true;
  std::filesystem::path ssh_dir;  // where the default keys live ($HOME/.ssh)
  // An RSA key refused with a SHA-2 signature is tried once more signing with ssh-rsa: servers
  // that accept only ssh-rsa still announce SHA-2, and libssh then picks SHA-2.
  bool sha1_rsa_fallback = false;
  std::string accepted_types;  // restored after such a retry
  // Asks the user for passwords and keyboard-interactive answers once the above were refused;
  // `host` names the server in the password prompt as the user wrote it.
  std::shared_ptr<transport::LoginPrompter> prompter;
  std::string host;
};

// How often the user is asked for a password (or a round of keyboard-interactive answers)
// before the login fails, as OpenSSH's clients ask.
inline constexpr int kPromptTries = 3;

// Tries, in this order and until one is accepted: the key file, the agent (SSH_AUTH_SOCK), the
// default keys of `ssh_dir` (id_rsa, id_dsa, id_ecdsa, id_ed25519) and the password; a password
// the server refuses as a method is answered through keyboard-interactive instead. Then, with a
// prompter, the user: up to kPromptTries passwords when the server takes passwords, otherwise as
// many rounds of the server's keyboard-interactive prompts.
// Throws AuthenticationError when the server accepted none of them, LoginAbandoned from the
// prompter, and std::runtime_error when the connection failed meanwhile or there was nothing to
// try.
void authenticate(ssh_session session, const Credentials& credentials);

}  // namespace veltaro::ssh2::detail
