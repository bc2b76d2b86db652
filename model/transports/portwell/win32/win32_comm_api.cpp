// The communications seam on Windows: the Win32 calls themselves on a synchronous handle.
#include "model/transports/portwell/comm_api.h"
#include "model/transports/portwell/os_error.h"

#include <windows.h>

namespace veltaro::portwell {

namespace {

std::string system_message(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string out = n > 0 && text ? std::string(text, n) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

[[noreturn]] void fail(const char* function) {
  const DWORD code = GetLastError();
  throw OsError(code, function, system_message(code));
}

HANDLE native(Handle h) {
  return reinterpret_cast<HANDLE>(h);
}

// The flags are bit fields one or two bits wide: only their low bits are kept.
DCB to_native(const Dcb& d) {
  DCB n{};
  n.DCBlength = sizeof(DCB);
  n.BaudRate = d.BaudRate;
  n.fBinary = d.fBinary & 1u;
  n.fParity = d.fParity & 1u;
  n.fOutxCtsFlow = d.fOutxCtsFlow & 1u;
  n.fOutxDsrFlow = d.fOutxDsrFlow & 1u;
  n.fDtrControl = d.fDtrControl & 3u;
  n.fDsrSensitivity = d.fDsrSensitivity & 1u;
  n.fTXContinueOnXoff = d.fTXContinueOnXoff & 1u;
  n.fOutX = d.fOutX & 1u;
  n.fInX = d.fInX & 1u;
  n.fErrorChar = d.fErrorChar & 1u;
  n.fNull = d.fNull & 1u;
  n.fRtsControl = d.fRtsControl & 3u;
  n.fAbortOnError = d.fAbortOnError & 1u;
  n.XonLim = d.XonLim;
  n.XoffLim = d.XoffLim;
  n.ByteSize = d.ByteSize;
  n.Parity = d.Parity;
  n.StopBits = d.StopBits;
  n.XonChar = d.XonChar;
  n.XoffChar = d.XoffChar;
  n.ErrorChar = d.ErrorChar;
  n.EofChar = d.EofChar;
  n.EvtChar = d.EvtChar;
  return n;
}

Dcb from_native(const DCB& n) {
  Dcb d;
  d.DCBlength = n.DCBlength;
  d.BaudRate = n.BaudRate;
  d.fBinary = static_cast<std::uint8_t>(n.fBinary);
  d.fParity = static_cast<std::uint8_t>(n.fParity);
  d.fOutxCtsFlow = static_cast<std::uint8_t>(n.fOutxCtsFlow);
  d.fOutxDsrFlow = static_cast<std::uint8_t>(n.fOutxDsrFlow);
  d.fDtrControl = static_cast<std::uint8_t>(n.fDtrControl);
  d.fDsrSensitivity = static_cast<std::uint8_t>(n.fDsrSensitivity);
  d.fTXContinueOnXoff = static_cast<std::uint8_t>(n.fTXContinueOnXoff);
  d.fOutX = static_cast<std::uint8_t>(n.fOutX);
  d.fInX = static_cast<std::uint8_t>(n.fInX);
  d.fErrorChar = static_cast<std::uint8_t>(n.fErrorChar);
  d.fNull = static_cast<std::uint8_t>(n.fNull);
  d.fRtsControl = static_cast<std::uint8_t>(n.fRtsControl);
  d.fAbortOnError = static_cast<std::uint8_t>(n.fAbortOnError);
  d.XonLim = n.XonLim;
  d.XoffLim = n.XoffLim;
  d.ByteSize = n.ByteSize;
  d.Parity = n.Parity;
  d.StopBits = n.StopBits;
  d.XonChar = n.XonChar;
  d.XoffChar = n.XoffChar;
  d.ErrorChar = n.ErrorChar;
  d.EofChar = n.EofChar;
  d.EvtChar = n.EvtChar;
  return d;
}

class Win32CommApi final : public CommApi {
 public:
  Handle create_file(const std::string& path, std::uint32_t desired_access,
                     std::uint32_t share_mode, std::uint32_t creation_disposition,
                     std::uint32_t flags_and_attributes) override {
    const HANDLE h = CreateFileA(path.c_str(), desired_access, share_mode, nullptr,
                                 creation_disposition, flags_and_attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_SUCCESS) fail("CreateFile");
    return reinterpret_cast<Handle>(h);
  }

  Dcb get_comm_state(Handle h) override {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(native(h), &dcb)) fail("GetCommState");
    return from_native(dcb);
  }

  void set_comm_state(Handle h, const Dcb& dcb) override {
    DCB n = to_native(dcb);
    if (!SetCommState(native(h), &n)) fail("SetCommState");
  }

  void set_comm_timeouts(Handle h, const CommTimeouts& t) override {
    COMMTIMEOUTS n{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                   t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    if (!SetCommTimeouts(native(h), &n)) fail("SetCommTimeouts");
  }

  void purge_comm(Handle h, std::uint32_t flags) override {
    if (!PurgeComm(native(h), flags)) fail("PurgeComm");
  }

  std::string read_file(Handle h, std::size_t max_bytes) override {
    std::string out(max_bytes, '\0');
    DWORD n = 0;
    if (!ReadFile(native(h), out.data(), static_cast<DWORD>(out.size()), &n, nullptr)) {
      fail("ReadFile");
    }
    out.resize(n);
    return out;
  }

  std::size_t write_file(Handle h, std::string_view data) override {
    DWORD n = 0;
    if (!WriteFile(native(h), data.data(), static_cast<DWORD>(data.size()), &n, nullptr)) {
      fail("WriteFile");
    }
    return n;
  }

  void escape_comm_function(Handle h, std::uint32_t function) override {
    if (!EscapeCommFunction(native(h), function)) fail("EscapeCommFunction");
  }

  void device_io_control(Handle h, std::uint32_t control_code) override {
    DWORD returned = 0;
    if (!DeviceIoControl(native(h), control_code, nullptr, 0, nullptr, 0, &returned, nullptr)) {
      fail("DeviceIoControl");
    }
  }

  void close_handle(Handle h) override {
    if (!CloseHandle(native(h))) fail("CloseHandle");
  }
};

}  // namespace

std::shared_ptr<CommApi> native_comm_api() {
  static const auto api = std::make_shared<Win32CommApi>();
  return api;
}

}  // namespace veltaro::portwell
