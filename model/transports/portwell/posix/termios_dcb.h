// The device-control block in terms of the kernel's termios2: raw 8-bit lines at any rate.
#pragma once

#include "model/transports/portwell/comm_api.h"

#include <asm/termbits.h>

namespace veltaro::portwell {

// Sets `t` to what `dcb` asks for: raw mode, reads that never wait, the rate through BOTHER,
// data bits, parity (mark and space through CMSPAR), stop bits, RTS/CTS and XON/XOFF flow.
// DSR/DTR flow has no termios equivalent and is left out. Throws OsError (EINVAL, "SetCommState")
// for a value no line can take.
void apply_dcb(const Dcb& dcb, termios2& t);

// The DCB `t` describes. Fields termios does not hold (DTR and RTS control, limits, the 1.5 of
// 1.5 stop bits) are taken from `last`, the DCB last set on the port.
Dcb dcb_from_termios(const termios2& t, const Dcb& last);

}  // namespace veltaro::portwell
