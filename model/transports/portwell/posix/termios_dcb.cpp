#include "model/transports/portwell/posix/termios_dcb.h"

#include "model/transports/portwell/os_error.h"

#include <cerrno>
#include <system_error>

namespace veltaro::portwell {

namespace {

[[noreturn]] void invalid() {
  throw OsError(EINVAL, "SetCommState", std::generic_category().message(EINVAL));
}

tcflag_t size_flag(std::uint8_t byte_size) {
  switch (byte_size) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    case 8:
      return CS8;
    default:
      invalid();
  }
}

tcflag_t parity_flags(std::uint8_t parity) {
  switch (parity) {
    case kNoParity:
      return 0;
    case kOddParity:
      return PARENB | PARODD;
    case kEvenParity:
      return PARENB;
    case kMarkParity:
      return PARENB | CMSPAR | PARODD;
    case kSpaceParity:
      return PARENB | CMSPAR;
    default:
      invalid();
  }
}

std::uint8_t byte_size_of(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

std::uint8_t parity_of(tcflag_t cflag) {
  if ((cflag & PARENB) == 0) return kNoParity;
  const bool odd = (cflag & PARODD) != 0;
  if ((cflag & CMSPAR) != 0) return odd ? kMarkParity : kSpaceParity;
  return odd ? kOddParity : kEvenParity;
}

}  // namespace

void apply_dcb(const Dcb& dcb, termios2& t) {
  if (dcb.BaudRate == 0 || dcb.StopBits > kTwoStopBits) invalid();
  const tcflag_t size = size_flag(dcb.ByteSize);
  const tcflag_t parity = parity_flags(dcb.Parity);

  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK | IGNPAR);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &=
      ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT) | size | parity;
  t.c_ispeed = dcb.BaudRate;
  t.c_ospeed = dcb.BaudRate;
  // termios knows no 1.5 stop bits; two is the nearest a receiver still accepts.
  if (dcb.StopBits != kOneStopBit) t.c_cflag |= CSTOPB;
  if (dcb.fParity != 0) t.c_iflag |= INPCK;
  if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == kControlHandshake) t.c_cflag |= CRTSCTS;
  if (dcb.fOutX != 0) t.c_iflag |= IXON;
  if (dcb.fInX != 0) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

Dcb dcb_from_termios(const termios2& t, const Dcb& last) {
  Dcb dcb = last;
  dcb.BaudRate = t.c_ospeed;
  dcb.ByteSize = byte_size_of(t.c_cflag);
  dcb.Parity = parity_of(t.c_cflag);
  if ((t.c_cflag & CSTOPB) == 0) {
    dcb.StopBits = kOneStopBit;
  } else if (last.StopBits != kOne5StopBits) {
    dcb.StopBits = kTwoStopBits;
  }
  dcb.fBinary = 1;
  dcb.fParity = (t.c_iflag & INPCK) != 0 ? 1 : 0;
  const bool rtscts = (t.c_cflag & CRTSCTS) != 0;
  dcb.fOutxCtsFlow = rtscts ? 1 : 0;
  if (rtscts) {
    dcb.fRtsControl = kControlHandshake;
  } else if (dcb.fRtsControl == kControlHandshake) {
    dcb.fRtsControl = kControlEnable;
  }
  dcb.fOutxDsrFlow = 0;
  if (dcb.fDtrControl == kControlHandshake) dcb.fDtrControl = kControlEnable;
  dcb.fOutX = (t.c_iflag & IXON) != 0 ? 1 : 0;
  dcb.fInX = (t.c_iflag & IXOFF) != 0 ? 1 : 0;
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return dcb;
}

}  // namespace veltaro::portwell
