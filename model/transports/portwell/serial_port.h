// A local serial port: opened with its line settings, read without waiting, written with a
// bounded wait, and its DTR and RTS lines driven for ESP board resets.
//
// Error contract: opening and the reset sequences throw OsError (or std::invalid_argument for a
// setting no port can take); read and write throw OsError when the device fails; a closed port
// never throws from read, write, close, set_dtr or set_rts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace veltaro::portwell {

struct SerialOptions {
  std::string port;  // "COM3", or a device path
  long long baudrate = 9600;
  long long bytesize = 8;
  std::string parity = "N";    // N, O, E, M, S (any case); anything else: none
  std::string stopbits = "1";  // "1", "1.5", "2"; anything else: one
  bool xonxoff = false;
  bool rtscts = false;
  bool dsrdtr = false;
};

// Every operation may run on any thread at the same time as the others: the tab's reader reads,
// the input path writes, a reset worker drives the lines and the tab's closing closes.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // What the driver has already received, at most max_bytes; empty when nothing (or closed).
  virtual std::string read(std::size_t max_bytes = 4096) = 0;
  // The number of bytes written: fewer than `data` when about one second passed first; 0 when
  // closed.
  virtual std::size_t write(std::string_view data) = 0;
  // Releases the device; idempotent. Waits for calls already in flight (at most one write's
  // bound), so the handle is never used after it was released.
  virtual void close() noexcept = 0;
  virtual bool is_open() const noexcept = 0;
  // The platform's handle of the device, for log lines.
  virtual std::intptr_t handle() const noexcept = 0;

  virtual void set_dtr(bool level) = 0;
  virtual void set_rts(bool level) = 0;
  // ESP auto-reset wiring: RTS pulls EN low, DTR pulls GPIO0 low. Both block for about 0.15 s,
  // restore the port's line configuration afterwards (also on failure), and run one at a time
  // per port.
  virtual void hard_reset() = 0;
  virtual void enter_bootloader() = 0;
};

// Opens `options.port` on this platform's communications API. Throws as stated above.
std::unique_ptr<SerialPort> open_serial(const SerialOptions& options);

}  // namespace veltaro::portwell
