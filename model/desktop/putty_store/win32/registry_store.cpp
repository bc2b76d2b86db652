#include "model/desktop/putty_store/win32/registry_store.h"

#include <windows.h>

#include <cstring>
#include <optional>
#include <string>

namespace veltaro::putty {

namespace {

constexpr const wchar_t* kSessionsKey = L"Software\\SimonTatham\\PuTTY\\Sessions";
// A registry key name is at most 255 characters.
constexpr DWORD kMaxKeyName = 256;

// Closes the key when it goes out of scope, on every path.
class Key {
 public:
  Key(HKEY parent, const wchar_t* path) {
    if (::RegOpenKeyExW(parent, path, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (key_) ::RegCloseKey(key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::string to_utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring to_wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int chars = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(chars > 0 ? chars : 0), L'\0');
  if (chars > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), chars);
  return out;
}

// The value's type and bytes; the size is asked first, and asked again if the value grew between
// the two calls.
std::optional<std::pair<DWORD, std::string>> query(HKEY key, const std::wstring& name) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD type = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::string data(size, '\0');
    const LONG status = ::RegQueryValueExW(key, name.c_str(), nullptr, &type,
                                           reinterpret_cast<BYTE*>(data.data()), &size);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    return std::make_pair(type, std::move(data));
  }
  return std::nullopt;
}

// A stored string need not end with its terminating zero, and may hold more than one.
std::string string_value(const std::string& data) {
  std::wstring_view text(reinterpret_cast<const wchar_t*>(data.data()),
                         data.size() / sizeof(wchar_t));
  if (const std::size_t end = text.find(L'\0'); end != std::wstring_view::npos)
    text = text.substr(0, end);
  return to_utf8(text);
}

std::optional<StoredValue> read_value(HKEY key, std::string_view name) {
  const auto found = query(key, to_wide(name));
  if (!found) return std::nullopt;
  const auto& [type, data] = *found;
  if (type == REG_SZ || type == REG_EXPAND_SZ) return StoredValue(string_value(data));
  if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
    DWORD number = 0;
    std::memcpy(&number, data.data(), sizeof number);
    return StoredValue(static_cast<std::int64_t>(number));
  }
  if (type == REG_QWORD && data.size() == sizeof(std::uint64_t)) {
    std::int64_t number = 0;
    std::memcpy(&number, data.data(), sizeof number);
    return StoredValue(number);
  }
  return std::nullopt;
}

}  // namespace

std::vector<StoredSession> RegistrySessionStore::read_sessions(
    std::span<const ValueName> wanted) const {
  std::vector<StoredSession> sessions;
  const Key root(HKEY_CURRENT_USER, kSessionsKey);
  if (!root.get()) return sessions;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kMaxKeyName];
    DWORD length = kMaxKeyName;
    if (::RegEnumKeyExW(root.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const Key sub(root.get(), name);
    if (!sub.get()) continue;
    StoredSession session{to_utf8(std::wstring_view(name, length)), {}};
    for (const ValueName& value : wanted) {
      if (auto stored = read_value(sub.get(), value.name)) {
        session.values.emplace_back(std::string(value.name), std::move(*stored));
      }
    }
    sessions.push_back(std::move(session));
  }
  return sessions;
}

std::unique_ptr<SavedSessionStore> open_user_store() {
  return std::make_unique<RegistrySessionStore>();
}

}  // namespace veltaro::putty
