// The serial port over the communications seam: synchronous, never overlapped, with non-blocking
// reads, one-second write bound and DTR/RTS control with a driver-level fallback.
#pragma once

#include "model/transports/portwell/comm_api.h"
#include "model/transports/portwell/serial_port.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string_view>

namespace veltaro::portwell {

class Win32Serial final : public SerialPort {
 public:
  // Waits between line changes of a reset; the tests record instead of sleeping.
  using Pause = std::function<void(std::chrono::milliseconds)>;

  // Parity letter (upper-cased) and stop-bit text to their DCB values; unknown keys give 0.
  static std::uint8_t PARITY(std::string_view key) noexcept;
  static std::uint8_t STOPBITS(std::string_view key) noexcept;

  // Opens and configures the port; on return both I/O queues are empty. A failure after the
  // device was opened releases it again (an exclusive device kept open would refuse every
  // later open as busy).
  Win32Serial(std::shared_ptr<CommApi> api, const SerialOptions& options, Pause pause = {});
  Win32Serial(const Win32Serial&) = delete;
  Win32Serial& operator=(const Win32Serial&) = delete;
  // The device is released only by close().
  ~Win32Serial() override = default;

  std::string read(std::size_t max_bytes = 4096) override;
  std::size_t write(std::string_view data) override;
  void close() noexcept override;
  bool is_open() const noexcept override { return !_closed.load(); }
  std::intptr_t handle() const noexcept override { return _h; }

  void set_dtr(bool level) override;
  void set_rts(bool level) override;
  void hard_reset() override;
  void enter_bootloader() override;

  // One line change: EscapeCommFunction, or the driver's control code when the driver rejects
  // that. Throws OsError "modem ctrl failed: ..." when both fail. The caller holds use_.
  void _modem_ctrl(std::uint32_t escape_code, std::uint32_t ioctl_code);
  // Switches to manual DTR/RTS without handshake; returns the DCB in force before. Throws the
  // platform's GetCommState error on a closed port, before any line changes.
  Dcb _grab_manual_modem_lines();
  // Puts a saved DCB back; a failure is only reported on standard error.
  void _restore_dcb(const Dcb& dcb) noexcept;

 private:
  void configure(const SerialOptions& options, std::uint32_t baud, std::uint8_t byte_size);
  void set_line(bool level, std::uint32_t set_escape, std::uint32_t set_ioctl,
                std::uint32_t clear_escape, std::uint32_t clear_ioctl);

  const std::shared_ptr<CommApi> api_;
  const Pause pause_;
  Handle _h = kInvalidHandle;
  std::atomic<bool> _closed{true};
  // Shared by every call that uses the handle, exclusive for close: a handle number released by
  // close may be reused by the next open at once.
  mutable std::shared_mutex use_;
  // Two sequences at once would restore each other's manual DCB and leave a flow-controlled
  // port without its handshake.
  std::mutex reset_mutex_;
};

}  // namespace veltaro::portwell
