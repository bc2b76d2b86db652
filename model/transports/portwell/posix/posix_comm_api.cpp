// The communications seam over termios2 and the modem-line ioctls. Ports are opened
// non-blocking; the write bound and the never-waiting reads are built with poll.
#include "common/diag.h"
#include "model/transports/portwell/os_error.h"
#include "model/transports/portwell/posix/device_path.h"
#include "model/transports/portwell/posix/termios_dcb.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <system_error>

namespace veltaro::portwell {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

[[noreturn]] void fail(int error, const char* function) {
  throw OsError(static_cast<std::uint32_t>(error), function,
                std::generic_category().message(error));
}

int fd_of(Handle h) {
  return static_cast<int>(h);
}

// Line bits for EscapeCommFunction codes and for the serial driver's control codes.
int escape_bits(std::uint32_t function, bool& set) {
  set = function == kSetRts || function == kSetDtr;
  return function == kSetRts || function == kClrRts ? TIOCM_RTS : TIOCM_DTR;
}

class PosixCommApi final : public CommApi {
 public:
  Handle create_file(const std::string& path, std::uint32_t desired_access,
                     std::uint32_t share_mode, std::uint32_t creation_disposition,
                     std::uint32_t flags_and_attributes) override;
  Dcb get_comm_state(Handle h) override;
  void set_comm_state(Handle h, const Dcb& dcb) override;
  void set_comm_timeouts(Handle h, const CommTimeouts& timeouts) override;
  void purge_comm(Handle h, std::uint32_t flags) override;
  std::string read_file(Handle h, std::size_t max_bytes) override;
  std::size_t write_file(Handle h, std::string_view data) override;
  void escape_comm_function(Handle h, std::uint32_t function) override;
  void device_io_control(Handle h, std::uint32_t control_code) override;
  void close_handle(Handle h) override;

 private:
  // What termios does not keep: the DCB last set and the time-outs.
  struct Port {
    Dcb dcb;
    CommTimeouts timeouts;
  };
  Port port(Handle h, const char* function) const;

  mutable std::mutex mu_;
  std::map<Handle, Port> ports_;
};

PosixCommApi::Port PosixCommApi::port(Handle h, const char* function) const {
  const std::lock_guard lock(mu_);
  const auto it = ports_.find(h);
  if (it == ports_.end()) fail(EBADF, function);
  return it->second;
}

Handle PosixCommApi::create_file(const std::string& path, std::uint32_t desired_access,
                                 std::uint32_t share_mode, std::uint32_t creation_disposition,
                                 std::uint32_t /*flags_and_attributes*/) {
  constexpr const char* kFn = "CreateFile";
  if (creation_disposition != kOpenExisting) fail(EINVAL, kFn);
  const bool want_read = (desired_access & kGenericRead) != 0;
  const bool want_write = (desired_access & kGenericWrite) != 0;
  const int mode = want_read && want_write ? O_RDWR : want_write ? O_WRONLY : O_RDONLY;
  const int fd = ::open(posix_device_path(path).c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fail(errno, kFn);
  if (share_mode == 0) {
    // TIOCEXCL keeps out other programs but not root; the lock keeps out every Veltaro.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno == EWOULDBLOCK ? EBUSY : errno;
      ::close(fd);
      fail(error, kFn);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
      const int error = errno;
      ::close(fd);
      fail(error, kFn);
    }
  }
  const std::lock_guard lock(mu_);
  ports_[fd] = Port{};
  return fd;
}

Dcb PosixCommApi::get_comm_state(Handle h) {
  const Port p = port(h, "GetCommState");
  termios2 t{};
  if (::ioctl(fd_of(h), TCGETS2, &t) != 0) fail(errno, "GetCommState");
  return dcb_from_termios(t, p.dcb);
}

void PosixCommApi::set_comm_state(Handle h, const Dcb& dcb) {
  constexpr const char* kFn = "SetCommState";
  port(h, kFn);
  termios2 t{};
  if (::ioctl(fd_of(h), TCGETS2, &t) != 0) fail(errno, kFn);
  apply_dcb(dcb, t);
  if (::ioctl(fd_of(h), TCSETS2, &t) != 0) fail(errno, kFn);
  if (dcb.fOutxDsrFlow != 0 || dcb.fDtrControl == kControlHandshake) {
    common::diag("[serial]",
                 "DSR/DTR flow control does not exist on this platform; the port runs without "
                 "flow control");
  }
  // Lines the DCB holds steady. A pseudo-terminal has no modem lines (ENOTTY) and is still a
  // usable port, so a failure here is not one of the state.
  int raise = 0, lower = 0;
  (dcb.fDtrControl == kControlDisable ? lower : raise) |= TIOCM_DTR;
  if (dcb.fRtsControl != kControlHandshake) {
    (dcb.fRtsControl == kControlDisable ? lower : raise) |= TIOCM_RTS;
  }
  if (raise != 0) ::ioctl(fd_of(h), TIOCMBIS, &raise);
  if (lower != 0) ::ioctl(fd_of(h), TIOCMBIC, &lower);
  const Dcb kept = dcb_from_termios(t, dcb);
  const std::lock_guard lock(mu_);
  if (const auto it = ports_.find(h); it != ports_.end()) it->second.dcb = kept;
}

void PosixCommApi::set_comm_timeouts(Handle h, const CommTimeouts& timeouts) {
  port(h, "SetCommTimeouts");
  const std::lock_guard lock(mu_);
  if (const auto it = ports_.find(h); it != ports_.end()) it->second.timeouts = timeouts;
}

void PosixCommApi::purge_comm(Handle h, std::uint32_t flags) {
  port(h, "PurgeComm");
  const bool rx = (flags & kPurgeRxClear) != 0;
  const bool tx = (flags & kPurgeTxClear) != 0;
  if (!rx && !tx) return;  // nothing is ever pending to abort: all I/O is synchronous
  const int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
  if (::ioctl(fd_of(h), TCFLSH, queue) != 0) fail(errno, "PurgeComm");
}

std::string PosixCommApi::read_file(Handle h, std::size_t max_bytes) {
  constexpr const char* kFn = "ReadFile";
  const Port p = port(h, kFn);
  const CommTimeouts& to = p.timeouts;
  // Only the read that returns at once is used; any other setting waits for its total at most
  // (an unlimited wait would hang the reader on a silent device).
  const bool at_once = to.ReadIntervalTimeout == kMaxDword && to.ReadTotalTimeoutConstant == 0 &&
                       to.ReadTotalTimeoutMultiplier == 0;
  const auto wait = at_once ? 0LL
                            : static_cast<long long>(to.ReadTotalTimeoutConstant) +
                                  static_cast<long long>(to.ReadTotalTimeoutMultiplier) *
                                      static_cast<long long>(max_bytes);
  pollfd pfd{fd_of(h), POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(std::min<long long>(wait, 60'000))) < 0) fail(errno, kFn);
  if ((pfd.revents & POLLNVAL) != 0) fail(EBADF, kFn);
  const bool hung_up = (pfd.revents & (POLLHUP | POLLERR)) != 0;
  if ((pfd.revents & POLLIN) != 0 || hung_up) {
    std::string out(max_bytes, '\0');
    const ssize_t n = ::read(fd_of(h), out.data(), out.size());
    if (n > 0) {
      out.resize(static_cast<std::size_t>(n));
      return out;
    }
    if (n < 0 && errno != EAGAIN && errno != EIO) fail(errno, kFn);
  }
  // A pseudo-terminal whose other side vanished keeps reading 0 bytes: only poll tells.
  if (hung_up) fail(EIO, kFn);
  return {};
}

std::size_t PosixCommApi::write_file(Handle h, std::string_view data) {
  constexpr const char* kFn = "WriteFile";
  const Port p = port(h, kFn);
  const auto total = static_cast<long long>(p.timeouts.WriteTotalTimeoutConstant) +
                     static_cast<long long>(p.timeouts.WriteTotalTimeoutMultiplier) *
                         static_cast<long long>(data.size());
  // No bound at all would let a device that never drains hang the writer for good.
  const auto deadline = Clock::now() + milliseconds(total > 0 ? total : 1000);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd_of(h), data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) fail(errno, kFn);
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd pfd{fd_of(h), POLLOUT, 0};
    if (::poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) fail(errno, kFn);
    if ((pfd.revents & (POLLHUP | POLLERR)) != 0) fail(EIO, kFn);
  }
  return done;
}

void PosixCommApi::escape_comm_function(Handle h, std::uint32_t function) {
  constexpr const char* kFn = "EscapeCommFunction";
  port(h, kFn);
  if (function < kSetRts || function > kClrDtr) fail(EINVAL, kFn);
  bool set = false;
  const int bits = escape_bits(function, set);
  if (::ioctl(fd_of(h), set ? TIOCMBIS : TIOCMBIC, &bits) != 0) fail(errno, kFn);
}

void PosixCommApi::device_io_control(Handle h, std::uint32_t control_code) {
  constexpr const char* kFn = "DeviceIoControl";
  port(h, kFn);
  int bit = 0;
  bool set = false;
  switch (control_code) {
    case kIoctlSetDtr:
      bit = TIOCM_DTR, set = true;
      break;
    case kIoctlClrDtr:
      bit = TIOCM_DTR;
      break;
    case kIoctlSetRts:
      bit = TIOCM_RTS, set = true;
      break;
    case kIoctlClrRts:
      bit = TIOCM_RTS;
      break;
    default:
      fail(EINVAL, kFn);
  }
  // The other road to the same lines: read all of them and write them back changed.
  int lines = 0;
  if (::ioctl(fd_of(h), TIOCMGET, &lines) != 0) fail(errno, kFn);
  lines = set ? (lines | bit) : (lines & ~bit);
  if (::ioctl(fd_of(h), TIOCMSET, &lines) != 0) fail(errno, kFn);
}

void PosixCommApi::close_handle(Handle h) {
  {
    const std::lock_guard lock(mu_);
    if (ports_.erase(h) == 0) fail(EBADF, "CloseHandle");
  }
  if (::close(fd_of(h)) != 0 && errno != EINTR) fail(errno, "CloseHandle");
}

}  // namespace

std::shared_ptr<CommApi> native_comm_api() {
  static const auto api = std::make_shared<PosixCommApi>();
  return api;
}

}  // namespace veltaro::portwell
