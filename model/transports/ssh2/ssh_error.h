// The last error libssh reported on a session, as text for a message.
#pragma once

#include <libssh/libssh.h>

#include <string>

namespace veltaro::ssh2 {

// Never throws but std::bad_alloc.
inline std::string error_of(ssh_session session) {
  const char* text = ssh_get_error(session);
  return text != nullptr && *text != '\0' ? text : "unknown error";
}

}  // namespace veltaro::ssh2
