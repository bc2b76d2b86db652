// DTR and RTS control and the ESP reset sequences built from it.
#include "common/diag.h"
#include "model/transports/portwell/os_error.h"
#include "model/transports/portwell/win32_serial.h"

#include <cstdio>

namespace veltaro::portwell {

namespace {

using namespace std::chrono_literals;
constexpr std::chrono::milliseconds kResetHold = 100ms;
constexpr std::chrono::milliseconds kResetSettle = 50ms;

std::string hex8(std::uint32_t value) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", value);
  return buf;
}

}  // namespace

void Win32Serial::_modem_ctrl(std::uint32_t escape_code, std::uint32_t ioctl_code) {
  try {
    api_->escape_comm_function(_h, escape_code);
    return;
  } catch (const OsError& e1) {
    try {
      api_->device_io_control(_h, ioctl_code);
    } catch (const OsError& e2) {
      throw OsError("modem ctrl failed: EscapeCommFunction err=" + std::to_string(e1.code()) +
                    ", DeviceIoControl err=" + std::to_string(e2.code()));
    }
    common::diag("[serial.modem]", "EscapeCommFunction(" + std::to_string(escape_code) +
                                       ") err=" + std::to_string(e1.code()) +
                                       ", used DeviceIoControl(0x" + hex8(ioctl_code) + ")");
  }
}

void Win32Serial::set_line(bool level, std::uint32_t set_escape, std::uint32_t set_ioctl,
                           std::uint32_t clear_escape, std::uint32_t clear_ioctl) {
  const std::shared_lock lock(use_);
  if (_closed.load()) return;
  if (level) {
    _modem_ctrl(set_escape, set_ioctl);
  } else {
    _modem_ctrl(clear_escape, clear_ioctl);
  }
}

void Win32Serial::set_dtr(bool level) {
  set_line(level, kSetDtr, kIoctlSetDtr, kClrDtr, kIoctlClrDtr);
}

void Win32Serial::set_rts(bool level) {
  set_line(level, kSetRts, kIoctlSetRts, kClrRts, kIoctlClrRts);
}

Dcb Win32Serial::_grab_manual_modem_lines() {
  const std::shared_lock lock(use_);
  // A closed port's handle may already belong to another device: ask about no handle at all,
  // which fails the way the platform fails a closed one.
  const Handle h = _closed.load() ? kInvalidHandle : _h;
  const Dcb saved = api_->get_comm_state(h);
  Dcb dcb = api_->get_comm_state(h);
  dcb.fDtrControl = kControlEnable;
  dcb.fRtsControl = kControlEnable;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  api_->set_comm_state(h, dcb);
  return saved;
}

void Win32Serial::_restore_dcb(const Dcb& dcb) noexcept {
  const std::shared_lock lock(use_);
  if (_closed.load()) return;
  try {
    api_->set_comm_state(_h, dcb);
  } catch (const std::exception& e) {
    common::diag("[serial.modem]", std::string("DCB restore failed: ") + e.what());
  }
}

void Win32Serial::hard_reset() {
  const std::lock_guard one_at_a_time(reset_mutex_);
  const Dcb saved = _grab_manual_modem_lines();
  try {
    set_dtr(false);
    set_rts(true);  // EN held low
    pause_(kResetHold);
    set_rts(false);  // EN released with GPIO0 high: the program starts
    pause_(kResetSettle);
  } catch (...) {
    _restore_dcb(saved);
    throw;
  }
  _restore_dcb(saved);
}

void Win32Serial::enter_bootloader() {
  const std::lock_guard one_at_a_time(reset_mutex_);
  const Dcb saved = _grab_manual_modem_lines();
  try {
    set_dtr(false);
    set_rts(true);  // EN held low, GPIO0 high
    pause_(kResetHold);
    set_dtr(true);   // GPIO0 low ...
    set_rts(false);  // ... while EN is released: the boot loader starts
    pause_(kResetSettle);
    set_dtr(false);  // GPIO0 released
  } catch (...) {
    _restore_dcb(saved);
    throw;
  }
  _restore_dcb(saved);
}

}  // namespace veltaro::portwell
