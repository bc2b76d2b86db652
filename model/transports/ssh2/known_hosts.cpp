#include "known_hosts.h"

#include "common/atomic_file.h"
#include "common/text.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace veltaro::ssh2 {

namespace {

// OpenSSH's wildcard match: '*' any run, '?' any one character.
bool wildcard_match(std::string_view text, std::string_view pattern) {
  std::size_t t = 0, p = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++t;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool hashed_match(std::string_view host_id, std::string_view field) {
  // |1|base64(salt)|base64(HMAC-SHA1(salt, host))
  field.remove_prefix(3);
  const auto bar = field.find('|');
  if (bar == std::string_view::npos) return false;
  const auto salt = common::base64_decode(field.substr(0, bar));
  const auto hash = common::base64_decode(field.substr(bar + 1));
  if (!salt || !hash) return false;
  std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
  unsigned int mac_len = 0;
  if (HMAC(EVP_sha1(), salt->data(), static_cast<int>(salt->size()),
           reinterpret_cast<const unsigned char*>(host_id.data()), host_id.size(), mac.data(),
           &mac_len) == nullptr) {
    return false;
  }
  return hash->size() == mac_len && std::memcmp(hash->data(), mac.data(), mac_len) == 0;
}

// A negated pattern that matches rules the line out, whatever else matches.
bool hosts_match(std::string_view hosts, std::string_view host_id) {
  if (hosts.substr(0, 3) == "|1|") return hashed_match(host_id, hosts);
  const std::string host = common::ascii_lower(host_id);
  bool matched = false;
  while (!hosts.empty()) {
    const auto comma = hosts.find(',');
    std::string_view pattern = hosts.substr(0, comma);
    hosts = comma == std::string_view::npos ? std::string_view{} : hosts.substr(comma + 1);
    const bool negated = !pattern.empty() && pattern.front() == '!';
    if (negated) pattern.remove_prefix(1);
    if (pattern.empty() || !wildcard_match(host, common::ascii_lower(pattern))) continue;
    if (negated) return false;
    matched = true;
  }
  return matched;
}

std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

// One lock for every known_hosts file: appends are rare and short.
std::mutex& append_mutex() {
  static std::mutex mutex;
  return mutex;
}

void write_all(const std::filesystem::path& file, std::string_view data) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw std::runtime_error("cannot open " + file.string() + ": " + std::strerror(errno));
  }
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(err));
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  ::fsync(fd);
  ::close(fd);
}

// The line with `host_id` taken out of its host field; nullopt when nothing of it remains.
// Patterns, markers and comments are kept: they are decisions the user wrote, not pins.
std::optional<std::string> without_host(std::string_view line, std::string_view host_id) {
  const auto start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos || line[start] == '#' || line[start] == '@') {
    return std::string(line);
  }
  auto end = line.find_first_of(" \t", start);
  if (end == std::string_view::npos) end = line.size();
  const std::string_view hosts = line.substr(start, end - start);
  if (hosts.substr(0, 3) == "|1|") {
    if (hashed_match(host_id, hosts)) return std::nullopt;
    return std::string(line);
  }
  const std::string wanted = common::ascii_lower(host_id);
  std::string kept;
  bool removed = false;
  std::string_view rest = hosts;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view pattern = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    if (common::ascii_lower(pattern) == wanted) {
      removed = true;
      continue;
    }
    if (!pattern.empty()) kept += (kept.empty() ? "" : ",") + std::string(pattern);
  }
  if (!removed) return std::string(line);
  if (kept.empty()) return std::nullopt;
  return std::string(line.substr(0, start)) + kept + std::string(line.substr(end));
}

}  // namespace

std::string HostKeys::host_id(std::string_view host, int port) {
  const std::string name = common::ascii_lower(host);
  return port == 22 ? name : "[" + name + "]:" + std::to_string(port);
}

std::string HostKeys::format_line(std::string_view host_id, const HostKey& key) {
  return std::string(host_id) + " " + key.type + " " + common::base64_encode(key.blob) + "\n";
}

void HostKeys::parse(std::string_view text) {
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto fields = fields_of(line);
    if (fields.empty() || fields.front().front() == '#') continue;
    bool revoked = false;
    if (fields.front().front() == '@') {
      if (fields.front() != "@revoked") continue;  // @cert-authority: certificates are not used
      revoked = true;
      fields.erase(fields.begin());
    }
    if (fields.size() < 3) continue;
    auto blob = common::base64_decode(fields[2]);
    if (!blob || blob->empty()) continue;
    entries_.push_back(
        Entry{std::string(fields[0]), revoked, HostKey{std::string(fields[1]), std::move(*blob)}});
  }
}

void HostKeys::add(std::string host_id, HostKey key) {
  entries_.push_back(Entry{std::move(host_id), false, std::move(key)});
}

HostKeyStatus HostKeys::check(std::string_view host_id, const HostKey& key) const {
  bool known = false;
  bool pinned = false;
  for (const Entry& e : entries_) {
    if (!hosts_match(e.hosts, host_id)) continue;
    if (e.revoked) {
      if (e.key.blob == key.blob) return HostKeyStatus::kRevoked;
      continue;
    }
    pinned = true;
    if (e.key.type == key.type && e.key.blob == key.blob) known = true;
  }
  if (known) return HostKeyStatus::kKnown;
  return pinned ? HostKeyStatus::kChanged : HostKeyStatus::kUnknown;
}

std::vector<HostKey> HostKeys::pinned(std::string_view host_id) const {
  std::vector<HostKey> keys;
  for (const Entry& e : entries_) {
    if (!e.revoked && hosts_match(e.hosts, host_id)) keys.push_back(e.key);
  }
  return keys;
}

void HostKeys::load(const std::filesystem::path& file) {
  try {
    parse(common::read_file(file));
  } catch (const std::system_error& e) {
    throw std::runtime_error("cannot read " + file.string() + ": " + e.code().message());
  }
}

std::optional<HostKey> host_key_from_base64(std::string type, std::string_view base64) {
  auto blob = common::base64_decode(base64);
  if (!blob || blob->empty()) return std::nullopt;
  return HostKey{std::move(type), std::move(*blob)};
}

std::string sha256_fingerprint(const HostKey& key) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(key.blob.data(), key.blob.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
      1) {
    return "SHA256:?";
  }
  std::string text =
      common::base64_encode(std::string_view(reinterpret_cast<const char*>(digest.data()), length));
  while (!text.empty() && text.back() == '=') text.pop_back();
  return "SHA256:" + text;
}

void append_known_hosts(const std::filesystem::path& file,
                        const std::vector<std::pair<std::string, HostKey>>& keys) {
  const std::lock_guard lock(append_mutex());
  std::error_code ec;
  const bool exists = std::filesystem::exists(file, ec);
  std::string existing;
  if (exists || ec) {
    try {
      existing = common::read_file(file);
    } catch (const std::system_error& e) {
      throw std::runtime_error("cannot read " + file.string() +
                               " (left unchanged): " + e.code().message());
    }
  }
  HostKeys current;
  current.parse(existing);
  std::string lines;
  for (const auto& [id, key] : keys) {
    if (current.check(id, key) != HostKeyStatus::kUnknown) continue;
    lines += HostKeys::format_line(id, key);
    current.add(id, key);
  }
  if (lines.empty()) return;
  if (!existing.empty() && existing.back() != '\n') lines.insert(lines.begin(), '\n');
  write_all(file, lines);
}

void replace_host_keys(const std::filesystem::path& file, std::string_view host_id,
                       const HostKey& key) {
  const std::lock_guard lock(append_mutex());
  std::string existing;
  std::error_code ec;
  if (std::filesystem::exists(file, ec) || ec) {
    try {
      existing = common::read_file(file);
    } catch (const std::system_error& e) {
      throw std::runtime_error("cannot read " + file.string() +
                               " (left unchanged): " + e.code().message());
    }
  }
  std::string rewritten;
  std::string_view text = existing;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    if (auto kept = without_host(line, host_id)) rewritten += *kept + "\n";
  }
  rewritten += HostKeys::format_line(host_id, key);
  try {
    common::replace_file_atomically(file, rewritten);
  } catch (const std::system_error& e) {
    throw std::runtime_error("cannot write " + file.string() + ": " + e.what());
  }
}

}  // namespace veltaro::ssh2
