// Prints what the registry store reads, one JSON line per session:
//   {"key": "<name as stored>", "values": [["HostName", "<text>"], ["PortNumber", 22], ...]}
// Built for Windows and run under Wine by registry_test.py, which seeds the registry first.
#include "model/desktop/putty_store/saved_session_store.h"

#include <array>
#include <cstdio>
#include <string>

namespace {

using veltaro::putty::StoredValue;
using veltaro::putty::ValueName;

// Every value marked as text: the registry's own types must decide.
constexpr std::array<ValueName, 11> kWanted = {{
    {"HostName"},
    {"Protocol"},
    {"UserName"},
    {"PublicKeyFile"},
    {"PortNumber"},
    {"Compression"},
    {"TerminalType"},
    {"SerialLine"},
    {"SerialSpeed"},
    {"LFImpliesCR"},
    {"CRImpliesLF"},
}};

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string json(const StoredValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return quoted(*text);
  return std::to_string(std::get<std::int64_t>(value));
}

}  // namespace

int main() {
  for (const auto& session : veltaro::putty::open_user_store()->read_sessions(kWanted)) {
    std::string line = "{\"key\": " + quoted(session.key_name) + ", \"values\": [";
    const char* separator = "";
    for (const auto& [name, value] : session.values) {
      line += separator + ("[" + quoted(name) + ", " + json(value) + "]");
      separator = ", ";
    }
    std::fputs((line + "]}\n").c_str(), stdout);
  }
  return 0;
}
