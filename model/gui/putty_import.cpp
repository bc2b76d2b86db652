// PuTTY's saved sessions, listed for the page and turned into sessions of our own store.
#include "common/codec.h"
#include "common/uuid.h"
#include "model/desktop/putty_store/saved_session_store.h"
#include "model/gui/veltaro_app.h"

#include <algorithm>
#include <array>

namespace veltaro::gui {

namespace {

// The values an entry may carry, in the order they are read and listed.
constexpr std::array<putty::ValueName, 11> kEntryValues = {{
    {"HostName", false},
    {"Protocol", false},
    {"UserName", false},
    {"PublicKeyFile", false},
    {"PortNumber", true},
    {"Compression", true},
    {"TerminalType", false},
    {"SerialLine", false},
    {"SerialSpeed", true},
    {"LFImpliesCR", true},
    {"CRImpliesLF", true},
}};

constexpr std::array<const char*, 5> kKnownProtocols = {"ssh", "telnet", "raw", "serial",
                                                        "telnet-serial"};
constexpr long long kDefaultPort = 22;

// Stored text reaches the page and our store as valid UTF-8 whatever the store held.
std::string valid_utf8(std::string_view text) {
  return common::decode_whole("utf-8", text);
}

Json to_json(const putty::StoredValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return valid_utf8(*text);
  return std::get<std::int64_t>(value);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A text field of the record: the entry's text, or `fallback` when the value is absent or null.
std::string text_field(const Json& rec, const char* key, const char* fallback) {
  const Json* value = common::member(rec, key);
  return value && !value->is_null() ? common::to_text(*value) : fallback;
}

bool flag(const Json& rec, const char* key) {
  const Json* value = common::member(rec, key);
  return value && common::truthy(*value);
}

std::string protocol_of(const Json& rec) {
  const Json* value = common::member(rec, "Protocol");
  std::string name = value && common::truthy(*value) ? common::to_text(*value) : "ssh";
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  const bool known = std::any_of(kKnownProtocols.begin(), kKnownProtocols.end(),
                                 [&](const char* p) { return name == p; });
  return known ? name : "ssh";
}

// PuTTY's port number means nothing on a serial line, where our sessions read the port as the
// line's speed: a serial entry takes its speed when it has one.
long long port_of(const Json& rec, const std::string& protocol) {
  if (protocol == "serial") {
    if (const Json* speed = common::member(rec, "SerialSpeed")) {
      if (const auto baud = common::to_int(*speed)) return *baud;
    }
  }
  const Json* port = common::member(rec, "PortNumber");
  if (!port) return kDefaultPort;
  return common::to_int(*port).value_or(kDefaultPort);
}

Json session_from_entry(const Json& rec) {
  const Json* name = common::member(rec, "name");
  const std::string protocol = protocol_of(rec);
  std::string host = common::text_or(rec, "HostName", "");
  if (host.empty()) host = common::text_or(rec, "SerialLine", "");
  return Json{
      {"id", common::new_uuid_hex()},
      {"name", name && common::truthy(*name) ? common::to_text(*name) : "從 PuTTY 匯入"},
      {"protocol", protocol},
      {"host", host},
      {"port", port_of(rec, protocol)},
      {"username", text_field(rec, "UserName", "")},
      {"password", ""},
      {"private_key", text_field(rec, "PublicKeyFile", "")},
      {"compression", flag(rec, "Compression")},
      {"agent_forwarding", false},
      {"ip_version", "auto"},
      {"port_forwards", Json::array()},
      {"line_code_page", "utf-8"},
      {"terminal_type", "xterm-256color"},
      {"keepalive_sec", 30},
      {"lfhascr", flag(rec, "LFImpliesCR")},
      {"crhaslf", flag(rec, "CRImpliesLF")},
  };
}

}  // namespace

std::string VeltaroApp::_unescape_putty_name(const std::string& name) {
  std::string bytes;
  bytes.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 2 < name.size() && hex_digit(name[i + 1]) >= 0 &&
        hex_digit(name[i + 2]) >= 0) {
      bytes += static_cast<char>(hex_digit(name[i + 1]) * 16 + hex_digit(name[i + 2]));
      i += 2;
    } else {
      bytes += name[i];
    }
  }
  return valid_utf8(bytes);
}

Json VeltaroApp::_read_putty_registry_sessions() {
  Json result = Json::array();
  try {
    for (const auto& stored : putty::open_user_store()->read_sessions(kEntryValues)) {
      Json entry{{"name", _unescape_putty_name(stored.key_name)}};
      for (const auto& [key, value] : stored.values) entry[key] = to_json(value);
      result.push_back(std::move(entry));
    }
  } catch (const std::exception&) {
    // Only running out of memory gets here; an import list is not worth more.
  }
  return result;
}

Json VeltaroApp::import_list_from_putty() {
  return _read_putty_registry_sessions();
}

void VeltaroApp::_import_one(const Json& rec) {
  auto stored = std::make_shared<const Json>(session_from_entry(rec));
  const std::lock_guard lock(sessions_mutex);
  sessions.push_back(std::move(stored));
}

Json VeltaroApp::import_putty_sessions(const Json& putty_records) {
  if (!putty_records.is_array()) return Json{{"sessions", sessions_json()}};
  std::optional<std::string> error;
  {
    const std::lock_guard edit(store_mutex_);
    // Anything but an entry (the page never sends one) is passed over, not half imported.
    for (const Json& rec : putty_records) {
      if (rec.is_object()) _import_one(rec);
    }
    error = _save_sessions();
  }
  Json result{{"sessions", sessions_json()}};
  if (error) result["error"] = *error;
  return result;
}

}  // namespace veltaro::gui
