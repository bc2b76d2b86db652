// How a session record asks for a log, and what the log's marker lines name.
#pragma once

#include "common/values.h"
#include "model/gui/session_log.h"

#include <optional>
#include <string>

namespace veltaro::gui {

// The session's log fields: "log_file" (no log when empty), "log_mode" ("raw", anything else is
// text) and "log_timestamps" (truth value, false when missing). Nothing when the session does not
// log. Never throws but std::bad_alloc.
std::optional<SessionLog::Options> log_options(const common::Json& sess,
                                               const std::string& protocol);

// What a start marker names: "host:port", or for a serial line "port @ baud".
std::string log_peer(const common::Json& sess, const std::string& protocol);

}  // namespace veltaro::gui
