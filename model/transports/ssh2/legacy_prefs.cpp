#include "legacy_prefs.h"

namespace veltaro::ssh2::paramiko_legacy {

const AlgorithmPrefs LEGACY_SSH_PREFS = {
    {"kex",
     {"diffie-hellman-group14-sha1", "diffie-hellman-group-exchange-sha1",
      "diffie-hellman-group1-sha1", "curve25519-sha256", "curve25519-sha256@libssh.org",
      "ecdh-sha2-nistp256", "ecdh-sha2-nistp384", "ecdh-sha2-nistp521",
      "diffie-hellman-group-exchange-sha256", "diffie-hellman-group16-sha512",
      "diffie-hellman-group18-sha512", "diffie-hellman-group14-sha256"}},
    {"ciphers",
     {"aes128-cbc", "aes192-cbc", "aes256-cbc", "3des-cbc", "aes128-ctr", "aes192-ctr",
      "aes256-ctr", "aes128-gcm@openssh.com", "aes256-gcm@openssh.com",
      "chacha20-poly1305@openssh.com"}},
    {"macs",
     {"hmac-sha1", "hmac-md5", "hmac-sha2-256", "hmac-sha2-512", "hmac-sha1-etm@openssh.com",
      "hmac-sha2-256-etm@openssh.com", "hmac-sha2-512-etm@openssh.com"}},
    {"keys",
     {"ssh-rsa", "ssh-dss", "rsa-sha2-256", "rsa-sha2-512", "ecdsa-sha2-nistp256",
      "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521", "ssh-ed25519"}},
};

thread_local OverrideSlot _paramiko_overrides;

}  // namespace veltaro::ssh2::paramiko_legacy
