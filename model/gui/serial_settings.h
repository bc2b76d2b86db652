// How a serial session record names its port and line settings.
#pragma once

#include "common/values.h"
#include "model/transports/portwell/serial_port.h"

#include <string>

namespace veltaro::gui {

// "host" without surrounding white space; "" when missing.
std::string serial_com(const common::Json& sess);

// "port" as an integer; 9600 when missing, 0, empty or not a number.
long long serial_baud(const common::Json& sess);

// The port's settings: data bits from "serial_bits" (8), parity and stop bits as stored ("N",
// "1"), flow letter "X" XON/XOFF, "R" RTS/CTS, "D" DSR/DTR, anything else none. Throws
// std::invalid_argument when the data bits are not a whole number.
portwell::SerialOptions serial_options(const common::Json& sess);

// The settings as the opening log line shows them: "bits=8 parity=N stop=1 flow=N".
std::string serial_settings_text(const common::Json& sess);

}  // namespace veltaro::gui
