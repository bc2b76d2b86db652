#include "model/desktop/putty_store/posix/file_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <map>
#include <optional>

namespace veltaro::putty {

namespace {

// PuTTY's own files are a few kilobytes; anything far larger is not one of them.
constexpr std::size_t kMaxFileBytes = 1 << 20;

// The whole file, or nothing when it cannot be read or is no regular file. Opened without
// blocking, so that a named pipe left in the folder cannot stall the caller.
std::optional<std::string> read_small_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::size_t>(st.st_size) <= kMaxFileBytes) {
    std::string buf(kMaxFileBytes + 1, '\0');
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < buf.size() && (n = ::read(fd, buf.data() + got, buf.size() - got)) > 0) {
      got += static_cast<std::size_t>(n);
    }
    if (n >= 0 && got <= kMaxFileBytes) {
      buf.resize(got);
      text = std::move(buf);
    }
  }
  ::close(fd);
  return text;
}

// "Key=Value" lines; the first line of a key counts, as in PuTTY, and lines without "=" are
// passed over.
std::map<std::string, std::string, std::less<>> parse_lines(std::string_view text) {
  std::map<std::string, std::string, std::less<>> pairs;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    pairs.emplace(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
  }
  return pairs;
}

std::optional<std::int64_t> whole_number(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

StoredSession read_session(std::string key_name, std::string_view text,
                           std::span<const ValueName> wanted) {
  const auto pairs = parse_lines(text);
  StoredSession session{std::move(key_name), {}};
  for (const ValueName& value : wanted) {
    const auto it = pairs.find(value.name);
    if (it == pairs.end()) continue;
    StoredValue stored = it->second;
    if (value.integer) {
      if (const auto number = whole_number(it->second)) stored = *number;
    }
    session.values.emplace_back(std::string(value.name), std::move(stored));
  }
  return session;
}

std::vector<std::string> session_file_names(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!name.starts_with('.')) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<StoredSession> FileSessionStore::read_sessions(
    std::span<const ValueName> wanted) const {
  std::vector<StoredSession> sessions;
  for (std::string& name : session_file_names(dir_)) {
    const auto text = read_small_file(dir_ / name);
    if (text) sessions.push_back(read_session(std::move(name), *text, wanted));
  }
  return sessions;
}

std::filesystem::path user_sessions_dir() {
  const char* home = std::getenv("HOME");
  std::string dir = home ? home : "";
  if (dir.empty()) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string buf(16384, '\0');
    if (::getpwuid_r(::getuid(), &entry, buf.data(), buf.size(), &found) == 0 && found) {
      dir = found->pw_dir;
    }
  }
  // Never a folder relative to wherever the program happens to run.
  if (dir.empty()) return {};
  return std::filesystem::path(dir) / ".putty" / "sessions";
}

std::unique_ptr<SavedSessionStore> open_user_store() {
  return std::make_unique<FileSessionStore>(user_sessions_dir());
}

}  // namespace veltaro::putty
