// PuTTY's saved sessions on Unix: one file per session in a folder, the file named by the
// session's name with PuTTY's % escapes, holding "Key=Value" lines.
#pragma once

#include "model/desktop/putty_store/saved_session_store.h"

#include <filesystem>

namespace veltaro::putty {

class FileSessionStore final : public SavedSessionStore {
 public:
  explicit FileSessionStore(std::filesystem::path dir) : dir_(std::move(dir)) {}
  // Sessions in the order of their file names; "." files and anything not a regular file are
  // passed over.
  std::vector<StoredSession> read_sessions(std::span<const ValueName> wanted) const override;

 private:
  std::filesystem::path dir_;
};

// ~/.putty/sessions of the current user ($HOME, else the password database).
std::filesystem::path user_sessions_dir();

}  // namespace veltaro::putty
