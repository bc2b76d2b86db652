// How Telnet and Telnet-over-serial tabs read their session record into the transport's options
// and the line that announces the connection.
#pragma once

#include "common/values.h"
#include "model/transports/telnet_backend/telnet_options.h"

#include <optional>
#include <string>

namespace veltaro::gui {

struct TelnetStart {
  telnet::TelnetOptions options;
  long long port = 23;               // as read, before any range check
  std::string announce;              // the informational connecting line
  std::optional<std::string> error;  // set when the record cannot be used as it is
};

// A Telnet tab: host, port (23 when missing, 0 or unreadable), terminal type and speed, passive
// and environment flags, user name and the telnet_env entries.
TelnetStart telnet_start(const common::Json& sess);

// A Telnet tab with COM port control: the same Telnet settings without telnet_env, plus the
// serial line settings. A serial_bits that is not a number gives `error`.
TelnetStart telnet_serial_start(const common::Json& sess);

// The environment map from a telnet_env list: maps with a non-empty key, in order, a later key
// replacing the value of an earlier one.
telnet::Environment telnet_environment(const common::Json& sess);

}  // namespace veltaro::gui
