// How a tab reads its title, encoding and session identity from a session record.
#pragma once

#include "common/values.h"

#include <string>

namespace veltaro::gui {

// The name, or "host:port" when the name is empty.
std::string session_display(const common::Json& rec);

// "line_code_page" lower-cased, "utf-8" when empty.
std::string session_encoding(const common::Json& rec);

// "protocol", "ssh" when missing.
std::string session_protocol(const common::Json& rec);

// Whether the record's "id" equals `id`.
bool same_session_id(const common::Json& rec, const common::Json& id);

}  // namespace veltaro::gui
