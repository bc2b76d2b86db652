#include "model/gui/tab_fields.h"

#include <algorithm>

namespace veltaro::gui {

std::string session_display(const common::Json& rec) {
  const std::string name = common::text_or(rec, "name", "");
  if (!name.empty()) return name;
  return common::text_of(rec, "host", "") + ":" + common::text_of(rec, "port", "");
}

std::string session_encoding(const common::Json& rec) {
  std::string enc = common::text_or(rec, "line_code_page", "utf-8");
  std::transform(enc.begin(), enc.end(), enc.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return enc;
}

PortField session_port(const common::Json& rec, long long default_port) {
  const common::Json* raw = common::member(rec, "port");
  if (!raw || !common::truthy(*raw)) return {std::to_string(default_port), default_port};
  const auto port = common::to_int(*raw);
  if (!port) return {common::to_text(*raw), std::nullopt};
  if (*port == 0) return {std::to_string(default_port), default_port};
  return {std::to_string(*port), *port};
}

std::string session_protocol(const common::Json& rec) {
  return common::text_or(rec, "protocol", "ssh");
}

bool same_session_id(const common::Json& rec, const common::Json& id) {
  const common::Json* own = common::member(rec, "id");
  return own && *own == id;
}

}  // namespace veltaro::gui
