// Opening, configuring, reading, writing and closing a port through the communications seam.
#include "model/transports/portwell/win32_serial.h"

#include "model/transports/portwell/os_error.h"

#include <limits>
#include <stdexcept>
#include <thread>

namespace veltaro::portwell {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kDevicePrefix = R"(\\.\)";
constexpr std::uint32_t kExclusive = 0;
constexpr std::uint32_t kSynchronous = 0;
constexpr std::uint32_t kPurgeAll = kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear;
// Every read returns at once with what has arrived; a write gives up after about one second.
constexpr CommTimeouts kTimeouts{kMaxDword, 0, 0, 0, 1000};

std::string device_path(const std::string& port) {
  return port.starts_with(kDevicePrefix) ? port : std::string(kDevicePrefix) + port;
}

template <typename T>
T checked(long long value, const char* what) {
  if (value < 0 || static_cast<unsigned long long>(value) > std::numeric_limits<T>::max()) {
    throw std::invalid_argument(std::string(what) + " out of range: " + std::to_string(value));
  }
  return static_cast<T>(value);
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

void sleep_for(std::chrono::milliseconds d) {
  std::this_thread::sleep_for(d);
}

}  // namespace

std::uint8_t Win32Serial::PARITY(std::string_view key) noexcept {
  static constexpr std::pair<std::string_view, std::uint8_t> kTable[] = {{"N", kNoParity},
                                                                         {"O", kOddParity},
                                                                         {"E", kEvenParity},
                                                                         {"M", kMarkParity},
                                                                         {"S", kSpaceParity}};
  for (const auto& [k, v] : kTable) {
    if (k == key) return v;
  }
  return kNoParity;
}

std::uint8_t Win32Serial::STOPBITS(std::string_view key) noexcept {
  static constexpr std::pair<std::string_view, std::uint8_t> kTable[] = {
      {"1", kOneStopBit}, {"1.5", kOne5StopBits}, {"2", kTwoStopBits}};
  for (const auto& [k, v] : kTable) {
    if (k == key) return v;
  }
  return kOneStopBit;
}

Win32Serial::Win32Serial(std::shared_ptr<CommApi> api, const SerialOptions& options, Pause pause)
    : api_(std::move(api)), pause_(pause ? std::move(pause) : Pause(sleep_for)) {
  const auto baud = checked<std::uint32_t>(options.baudrate, "baud rate");
  const auto byte_size = checked<std::uint8_t>(options.bytesize, "byte size");
  _h = api_->create_file(device_path(options.port), kGenericRead | kGenericWrite, kExclusive,
                         kOpenExisting, kSynchronous);
  if (_h == 0 || _h == kInvalidHandle) throw OsError("CreateFile failed for " + options.port);
  try {
    configure(options, baud, byte_size);
  } catch (...) {
    try {
      api_->close_handle(_h);
    } catch (const std::exception&) {
      // The configuration error is the one worth reporting.
    }
    throw;
  }
  _closed.store(false);
}

void Win32Serial::configure(const SerialOptions& options, std::uint32_t baud,
                            std::uint8_t byte_size) {
  Dcb dcb = api_->get_comm_state(_h);
  dcb.BaudRate = baud;
  dcb.ByteSize = byte_size;
  dcb.Parity = PARITY(upper(options.parity));
  dcb.StopBits = STOPBITS(options.stopbits);
  dcb.fOutxCtsFlow = options.rtscts ? 1 : 0;
  dcb.fRtsControl = options.rtscts ? kControlHandshake : kControlEnable;
  dcb.fOutxDsrFlow = options.dsrdtr ? 1 : 0;
  dcb.fDtrControl = options.dsrdtr ? kControlHandshake : kControlEnable;
  dcb.fOutX = options.xonxoff ? 1 : 0;
  dcb.fInX = options.xonxoff ? 1 : 0;
  dcb.fBinary = 1;
  dcb.fParity = dcb.Parity != kNoParity ? 1 : 0;
  api_->set_comm_state(_h, dcb);
  api_->set_comm_timeouts(_h, kTimeouts);
  try {
    api_->purge_comm(_h, kPurgeAll);
  } catch (const std::exception&) {
    // Stale bytes in the queues are no reason to refuse the port.
  }
}

std::string Win32Serial::read(std::size_t max_bytes) {
  const std::shared_lock lock(use_);
  if (_closed.load()) return {};
  try {
    return api_->read_file(_h, max_bytes);
  } catch (const OsError& e) {
    throw OsError(std::string("ReadFile failed: ") + e.what());
  }
}

std::size_t Win32Serial::write(std::string_view data) {
  const std::shared_lock lock(use_);
  if (_closed.load()) return 0;
  try {
    return api_->write_file(_h, data);
  } catch (const OsError& e) {
    throw OsError(std::string("WriteFile failed: ") + e.what());
  }
}

void Win32Serial::close() noexcept {
  if (_closed.exchange(true)) return;
  const std::unique_lock lock(use_);
  try {
    api_->close_handle(_h);
  } catch (const std::exception&) {
    // Nothing more can be done with a handle that will not close.
  }
}

std::unique_ptr<SerialPort> open_serial(const SerialOptions& options) {
  return std::make_unique<Win32Serial>(native_comm_api(), options);
}

}  // namespace veltaro::portwell
