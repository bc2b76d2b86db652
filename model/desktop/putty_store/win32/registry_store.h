// PuTTY's saved sessions on Windows: one subkey per session under PuTTY's own key of the current
// user, named with PuTTY's % escapes, each holding the session's values.
#pragma once

#include "model/desktop/putty_store/saved_session_store.h"

namespace veltaro::putty {

class RegistrySessionStore final : public SavedSessionStore {
 public:
  // Sessions in the registry's enumeration order. Text values (REG_SZ, REG_EXPAND_SZ) come back
  // as text and number values (REG_DWORD, REG_QWORD) as numbers, whatever `wanted` says; values of
  // any other type are left out.
  std::vector<StoredSession> read_sessions(std::span<const ValueName> wanted) const override;
};

}  // namespace veltaro::putty
