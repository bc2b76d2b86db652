// Algorithm preferences for one connect: a table for old servers, and the per-thread slot through
// which a starter hands its preferences to the connect it is about to make.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace veltaro::ssh2::paramiko_legacy {

// Keys "kex", "ciphers", "macs" and "keys" (host-key types), each naming algorithms in the order
// they are offered. A key that is absent, or an empty map, leaves that list at the library's
// defaults; any other key is ignored.
using AlgorithmPrefs = std::map<std::string, std::vector<std::string>>;

// CBC ciphers, SHA-1 key exchanges and MACs (MD5 too) and ssh-rsa first, for servers that know
// nothing newer; the modern algorithms follow, so a legacy connect still reaches a modern server.
// Names this build of libssh lacks are dropped when the connect applies the table.
extern const AlgorithmPrefs LEGACY_SSH_PREFS;

// The slot a connect reads its preferences from. Each thread sees only its own `current`, so
// tabs connecting at the same time never see each other's preferences and need no lock.
struct OverrideSlot {
  std::optional<AlgorithmPrefs> current;
};

extern thread_local OverrideSlot _paramiko_overrides;

// Sets `_paramiko_overrides.current` for the lifetime of the guard and clears it afterwards,
// whether the connect in between succeeded or threw.
class ScopedOverride {
 public:
  explicit ScopedOverride(AlgorithmPrefs prefs) { _paramiko_overrides.current = std::move(prefs); }
  ~ScopedOverride() { _paramiko_overrides.current.reset(); }
  ScopedOverride(const ScopedOverride&) = delete;
  ScopedOverride& operator=(const ScopedOverride&) = delete;
};

}  // namespace veltaro::ssh2::paramiko_legacy
