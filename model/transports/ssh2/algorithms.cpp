#include "algorithms.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace veltaro::ssh2::detail {

namespace {

struct Slot {
  const char* key;
  const char* label;
  std::vector<ssh_options_e> options;  // all set to the same list
};

const std::vector<Slot>& slots() {
  static const std::vector<Slot> table = {
      {"kex", "key exchange", {SSH_OPTIONS_KEY_EXCHANGE}},
      {"ciphers", "cipher", {SSH_OPTIONS_CIPHERS_C_S, SSH_OPTIONS_CIPHERS_S_C}},
      {"macs", "MAC", {SSH_OPTIONS_HMAC_C_S, SSH_OPTIONS_HMAC_S_C}},
      {"keys", "host key", {SSH_OPTIONS_HOSTKEYS}},
  };
  return table;
}

// What libssh signs with by default, plus ssh-rsa (SHA-1), which it leaves out by default.
const std::vector<std::string> kPubkeyTypesWithSha1Rsa = {"ssh-ed25519",
                                                          "ecdsa-sha2-nistp521",
                                                          "ecdsa-sha2-nistp384",
                                                          "ecdsa-sha2-nistp256",
                                                          "rsa-sha2-512",
                                                          "rsa-sha2-256",
                                                          "ssh-rsa"};

std::string join(const std::vector<std::string>& names, const char* sep) {
  std::string out;
  for (const auto& n : names) {
    if (!out.empty()) out += sep;
    out += n;
  }
  return out;
}

void set_list(ssh_session session, ssh_options_e option, const std::vector<std::string>& names) {
  const std::string list = join(names, ",");
  if (ssh_options_set(session, option, list.c_str()) != SSH_OK) {
    throw std::runtime_error(std::string("cannot set algorithms ") + list + ": " +
                             ssh_get_error(session));
  }
}

}  // namespace

std::vector<std::string> supported_algorithms(ssh_options_e option,
                                              const std::vector<std::string>& wanted) {
  // A throw-away session answers for each name alone: setting a list of one fails exactly when
  // libssh does not know that name.
  const std::unique_ptr<ssh_session_struct, decltype(&ssh_free)> probe(ssh_new(), ssh_free);
  if (!probe) throw std::bad_alloc();
  std::vector<std::string> out;
  for (const auto& name : wanted) {
    if (name.empty() || name.find(',') != std::string::npos) continue;
    if (std::find(out.begin(), out.end(), name) != out.end()) continue;
    if (ssh_options_set(probe.get(), option, name.c_str()) == SSH_OK) out.push_back(name);
  }
  return out;
}

SigningChoice apply_algorithm_prefs(ssh_session session,
                                    const paramiko_legacy::AlgorithmPrefs& prefs) {
  SigningChoice choice;
  for (const Slot& slot : slots()) {
    const auto it = prefs.find(slot.key);
    if (it == prefs.end() || it->second.empty()) continue;
    const auto names = supported_algorithms(slot.options.front(), it->second);
    if (names.empty()) {
      throw std::runtime_error(std::string("no supported ") + slot.label +
                               " algorithm among: " + join(it->second, ", "));
    }
    for (const auto option : slot.options) set_list(session, option, names);
    if (std::string(slot.key) == "keys" &&
        std::find(names.begin(), names.end(), "ssh-rsa") != names.end()) {
      const auto types =
          supported_algorithms(SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES, kPubkeyTypesWithSha1Rsa);
      set_list(session, SSH_OPTIONS_PUBLICKEY_ACCEPTED_TYPES, types);
      choice.sha1_rsa = true;
      choice.accepted_types = join(types, ",");
    }
  }
  return choice;
}

}  // namespace veltaro::ssh2::detail
