// How a tab reads its title, encoding and session identity from a session record.
#pragma once

#include "common/values.h"

#include <optional>
#include <string>

namespace veltaro::gui {

// The name, or "host:port" when the name is empty.
std::string session_display(const common::Json& rec);

// "line_code_page" lower-cased, "utf-8" when empty.
std::string session_encoding(const common::Json& rec);

// The session's port as a connecting line shows it, and its number when it is one. Missing,
// empty and 0 mean the protocol's `default_port`; text that is no number is shown as stored.
struct PortField {
  std::string shown;
  std::optional<long long> value;
};
PortField session_port(const common::Json& rec, long long default_port);

// "protocol", "ssh" when missing.
std::string session_protocol(const common::Json& rec);

// Whether the record's "id" equals `id`.
bool same_session_id(const common::Json& rec, const common::Json& id);

}  // namespace veltaro::gui
