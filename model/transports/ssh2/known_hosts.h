// Known host keys in OpenSSH's known_hosts format. The file is appended to, one line per new key,
// so a key pinned by an earlier connect can never be lost by a later one; only the user's
// explicit acceptance of a changed key replaces what one host pins.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltaro::ssh2 {

// A public key as a server presents it.
struct HostKey {
  std::string type;  // "ssh-ed25519", "ssh-rsa", "ecdsa-sha2-nistp256", ...
  std::string blob;  // the key in SSH wire format (what the base64 field of a line encodes)
  friend bool operator==(const HostKey&, const HostKey&) = default;
};

// A host with any pinned key is held to its pinned keys, whatever their types: a server that
// shows a key of a type not pinned for it may be an impostor that offers nothing else.
enum class HostKeyStatus {
  kKnown,    // a line for this host holds exactly this key
  kUnknown,  // no line holds any key for this host
  kChanged,  // lines hold keys for this host, none of them this one
  kRevoked,  // an @revoked line names this key
};

class HostKeys {
 public:
  // The name a key is filed under: the host in lower case, as "[host]:port" unless port is 22.
  static std::string host_id(std::string_view host, int port);

  // The line OpenSSH writes for a key, newline included.
  static std::string format_line(std::string_view host_id, const HostKey& key);

  // Adds the lines of known_hosts text. Comments, @cert-authority lines and lines that do not
  // parse (a bad base64 field, too few fields) are skipped, as OpenSSH skips them. Never throws
  // except std::bad_alloc.
  void parse(std::string_view text);

  // Adds the lines of a known_hosts file. Throws std::runtime_error when it cannot be read.
  void load(const std::filesystem::path& file);

  void add(std::string host_id, HostKey key);

  // Host patterns may be hashed (|1|salt|hash), lists with wildcards (* ?) and negations (!).
  HostKeyStatus check(std::string_view host_id, const HostKey& key) const;

  // The keys pinned for the host (revoked ones left out), in file order.
  std::vector<HostKey> pinned(std::string_view host_id) const;

  bool empty() const noexcept { return entries_.empty(); }

 private:
  struct Entry {
    std::string hosts;  // the first field as written
    bool revoked = false;
    HostKey key;
  };
  std::vector<Entry> entries_;
};

// A key from its type name and the base64 text of its blob; nullopt when that is no base64.
std::optional<HostKey> host_key_from_base64(std::string type, std::string_view base64);

// The key's fingerprint as OpenSSH prints it: "SHA256:" and the unpadded base64 of the SHA-256 of
// the blob. Never throws except std::bad_alloc.
std::string sha256_fingerprint(const HostKey& key);

// Appends a line for each (host id, key) whose host `file` does not pin any key for yet, under a
// lock shared by the whole process, re-reading the file under that lock so that two connects
// finishing together neither lose a key nor write one twice. A key for a host the file
// meanwhile pins another key for is left out. Creates the file (mode 0600) when missing.
// Throws std::runtime_error when the file exists but cannot be read (then nothing is written) or
// when writing fails.
void append_known_hosts(const std::filesystem::path& file,
                        const std::vector<std::pair<std::string, HostKey>>& keys);

// Replaces what `file` pins for `host_id` (written "host" or "[host]:port", as host_id() makes
// it) with `key`: lines naming that host alone, or hashed for it, are dropped; a line that names
// other hosts too loses only that name; wildcard patterns, @revoked lines, comments and every
// other host stay as written. The file is replaced atomically, mode 0600, under the lock that
// append_known_hosts takes. Throws std::runtime_error when the file cannot be read (a missing
// file counts as empty) or written; the file is then unchanged.
void replace_host_keys(const std::filesystem::path& file, std::string_view host_id,
                       const HostKey& key);

}  // namespace veltaro::ssh2
