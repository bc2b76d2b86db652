// PuTTY's saved sessions as PuTTY itself stores them, read and never written: the registry on
// Windows, one file per session under ~/.putty/sessions elsewhere. The build compiles one of the
// two. Nothing here depends on the rest of the program, so the Windows store builds on its own.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace veltaro::putty {

// A value as the store holds it: text, or a whole number.
using StoredValue = std::variant<std::string, std::int64_t>;

// A value to read, and whether PuTTY keeps it as a number. The registry says the type itself; a
// session file holds only text, so the file store needs to be told.
struct ValueName {
  std::string_view name;
  bool integer = false;
};

// One saved session: its name as stored (still %-escaped) and the asked-for values it holds, in
// the order they were asked for. Text is UTF-8 as far as the store knows; callers check it.
struct StoredSession {
  std::string key_name;
  std::vector<std::pair<std::string, StoredValue>> values;
};

class SavedSessionStore {
 public:
  virtual ~SavedSessionStore() = default;
  // Every session that can be opened, in the store's own order, each with the values of `wanted`
  // it holds. A missing or unreadable store gives an empty list; a session or value that cannot
  // be read is left out. Throws only std::bad_alloc.
  virtual std::vector<StoredSession> read_sessions(std::span<const ValueName> wanted) const = 0;
};

// This platform's store of the current user.
std::unique_ptr<SavedSessionStore> open_user_store();

}  // namespace veltaro::putty
