// The seam under the serial port: exactly the communications calls the port uses, shaped like
// the Win32 API. The Windows build implements it with the Win32 calls themselves, the POSIX build
// over termios and ioctl, and the tests with a recording fake.
//
// Error contract: every call that fails throws OsError carrying the platform's error code, the
// Win32 name of the call ("CreateFile", "ReadFile", ...) and the system's message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace veltaro::portwell {

// An open device as the platform names it (a Win32 HANDLE, a POSIX descriptor).
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// CreateFile arguments.
inline constexpr std::uint32_t kGenericRead = 0x80000000;
inline constexpr std::uint32_t kGenericWrite = 0x40000000;
inline constexpr std::uint32_t kOpenExisting = 3;

// PurgeComm flags.
inline constexpr std::uint32_t kPurgeTxAbort = 0x0001;
inline constexpr std::uint32_t kPurgeRxAbort = 0x0002;
inline constexpr std::uint32_t kPurgeTxClear = 0x0004;
inline constexpr std::uint32_t kPurgeRxClear = 0x0008;

// DCB values.
inline constexpr std::uint8_t kNoParity = 0;
inline constexpr std::uint8_t kOddParity = 1;
inline constexpr std::uint8_t kEvenParity = 2;
inline constexpr std::uint8_t kMarkParity = 3;
inline constexpr std::uint8_t kSpaceParity = 4;
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kOne5StopBits = 1;
inline constexpr std::uint8_t kTwoStopBits = 2;
inline constexpr std::uint8_t kControlDisable = 0;    // DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE
inline constexpr std::uint8_t kControlEnable = 1;     // ..._CONTROL_ENABLE: line asserted
inline constexpr std::uint8_t kControlHandshake = 2;  // ..._CONTROL_HANDSHAKE: flow control
inline constexpr std::uint8_t kRtsControlToggle = 3;

// EscapeCommFunction codes.
inline constexpr std::uint32_t kSetRts = 3;
inline constexpr std::uint32_t kClrRts = 4;
inline constexpr std::uint32_t kSetDtr = 5;
inline constexpr std::uint32_t kClrDtr = 6;

// Serial-driver control codes (device type 0x1B, buffered, any access; functions 9, 10, 12, 13).
inline constexpr std::uint32_t kIoctlSetDtr = 0x001B0024;
inline constexpr std::uint32_t kIoctlClrDtr = 0x001B0028;
inline constexpr std::uint32_t kIoctlSetRts = 0x001B0030;
inline constexpr std::uint32_t kIoctlClrRts = 0x001B0034;

// The device-control block, field for field as the platform defines it (bit fields widened).
struct Dcb {
  std::uint32_t DCBlength = 28;
  std::uint32_t BaudRate = 9600;
  std::uint8_t fBinary = 1;
  std::uint8_t fParity = 0;
  std::uint8_t fOutxCtsFlow = 0;
  std::uint8_t fOutxDsrFlow = 0;
  std::uint8_t fDtrControl = kControlEnable;
  std::uint8_t fDsrSensitivity = 0;
  std::uint8_t fTXContinueOnXoff = 0;
  std::uint8_t fOutX = 0;
  std::uint8_t fInX = 0;
  std::uint8_t fErrorChar = 0;
  std::uint8_t fNull = 0;
  std::uint8_t fRtsControl = kControlEnable;
  std::uint8_t fAbortOnError = 0;
  std::uint16_t XonLim = 2048;
  std::uint16_t XoffLim = 512;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = kNoParity;
  std::uint8_t StopBits = kOneStopBit;
  char XonChar = 0x11;
  char XoffChar = 0x13;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;

  bool operator==(const Dcb&) const = default;
};

// COMMTIMEOUTS, in milliseconds.
struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;

  bool operator==(const CommTimeouts&) const = default;
};
inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFF;

// Every call may run on any thread; the caller never uses a handle after closing it.
class CommApi {
 public:
  virtual ~CommApi() = default;

  // Security attributes and template are always absent. Returns the handle (possibly
  // kInvalidHandle without a platform error).
  virtual Handle create_file(const std::string& path, std::uint32_t desired_access,
                             std::uint32_t share_mode, std::uint32_t creation_disposition,
                             std::uint32_t flags_and_attributes) = 0;
  virtual Dcb get_comm_state(Handle h) = 0;
  virtual void set_comm_state(Handle h, const Dcb& dcb) = 0;
  virtual void set_comm_timeouts(Handle h, const CommTimeouts& timeouts) = 0;
  virtual void purge_comm(Handle h, std::uint32_t flags) = 0;
  // The bytes read, up to max_bytes (the status part of the Win32 call is left out).
  virtual std::string read_file(Handle h, std::size_t max_bytes) = 0;
  // The number of bytes written, possibly fewer than `data` when the write time-out expired.
  virtual std::size_t write_file(Handle h, std::string_view data) = 0;
  virtual void escape_comm_function(Handle h, std::uint32_t function) = 0;
  // A control code without input or output buffer.
  virtual void device_io_control(Handle h, std::uint32_t control_code) = 0;
  virtual void close_handle(Handle h) = 0;
};

// The platform's own implementation, shared by every port of the process.
std::shared_ptr<CommApi> native_comm_api();

}  // namespace veltaro::portwell
