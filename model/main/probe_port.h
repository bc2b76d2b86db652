// Which TCP port a saved session is probed on.
#pragma once

#include "common/values.h"

namespace veltaro::pinger {

// The session's "port" when it is a usable TCP port (1 to 65535, also as text); otherwise the
// default of its protocol, as its tab would connect: 23 for Telnet, raw and Telnet-over-serial,
// 22 for SSH. Never throws.
int probe_port(const common::Json& sess) noexcept;

}  // namespace veltaro::pinger
