// Identifiers for sessions (32 hex digits) and tabs (the first 8 of them).
#pragma once

#include <string>

namespace veltaro::common {

// The 32 lower-case hex digits of a random (version 4) UUID. Throws std::system_error only when
// the system has no random source.
std::string new_uuid_hex();

// The first 8 hex digits of a new random UUID.
std::string new_tab_id();

}  // namespace veltaro::common
