#include "model/transports/tarnlink/version_line.h"

#include <cstdio>
#include <stdexcept>

namespace tarnlink {

namespace {
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
}  // namespace

std::string decode_version_line(std::string_view raw) {
  while (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  std::string out;
  for (const char c : raw) {
    if (static_cast<unsigned char>(c) < 0x80) {
      out.push_back(c);
    } else {
      out.append(kReplacement);
    }
  }
  return out;
}

std::string quoted(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || c == '\'') {
      out += '\\';
      out += c;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 0x20 || u == 0x7F) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out += c;  // printable ASCII, or part of a U+FFFD
    }
  }
  return out + "'";
}

void check_server_version(const std::string& line) {
  if (line.rfind("SSH-", 0) != 0) throw std::runtime_error("not an SSH server: " + quoted(line));
  const std::size_t first = line.find('-');
  const std::size_t second = line.find('-', first + 1);
  if (second == std::string::npos) throw std::runtime_error("server不支援 SSH-1：" + line);
  const std::string proto = line.substr(first + 1, second - first - 1);
  if (proto.rfind("1.", 0) != 0 && proto != "1.99") {
    throw std::runtime_error("server不支援 SSH-1：" + line);
  }
}

}  // namespace tarnlink
