// A recording stand-in for the communications seam: every call lands in one log, in order, with
// the Win32 error codes a test asks for.
#pragma once

#include "model/transports/portwell/comm_api.h"
#include "model/transports/portwell/os_error.h"
#include "model/transports/portwell/win32_serial.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace veltaro::portwell::testing {

inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorAccessDenied = 5;

class FakeCommApi final : public CommApi {
 public:
  static constexpr Handle kHandle = 0x1F4;

  // Calls named here ("EscapeCommFunction", "SetCommState", ...) fail with the given code.
  std::map<std::string, std::uint32_t> failing;
  Dcb driver_dcb;                             // what GetCommState reports
  std::string to_read;                        // what the next ReadFile returns
  std::size_t write_limit = ~std::size_t{0};  // WriteFile takes at most this many bytes

  Handle create_file(const std::string& path, std::uint32_t access, std::uint32_t share,
                     std::uint32_t disposition, std::uint32_t flags) override {
    record("CreateFile(" + path + ", " + hex(access) + ", " + std::to_string(share) + ", " +
           std::to_string(disposition) + ", " + std::to_string(flags) + ")");
    check("CreateFile");
    open_ = true;
    return kHandle;
  }
  Dcb get_comm_state(Handle h) override {
    use(h, "GetCommState");
    return driver_dcb;
  }
  void set_comm_state(Handle h, const Dcb& dcb) override {
    use(h, "SetCommState");
    const std::lock_guard lock(mu_);
    set_states.push_back(dcb);
  }
  void set_comm_timeouts(Handle h, const CommTimeouts& t) override {
    use(h, "SetCommTimeouts");
    timeouts = t;
  }
  void purge_comm(Handle h, std::uint32_t flags) override {
    use(h, "PurgeComm(" + std::to_string(flags) + ")", "PurgeComm");
  }
  std::string read_file(Handle h, std::size_t max_bytes) override {
    use(h, "ReadFile(" + std::to_string(max_bytes) + ")", "ReadFile");
    return std::exchange(to_read, {});
  }
  std::size_t write_file(Handle h, std::string_view data) override {
    use(h, "WriteFile", "WriteFile");
    const std::size_t n = std::min(data.size(), write_limit);
    written.append(data.substr(0, n));
    return n;
  }
  void escape_comm_function(Handle h, std::uint32_t function) override {
    use(h, "EscapeCommFunction(" + std::to_string(function) + ")", "EscapeCommFunction");
  }
  void device_io_control(Handle h, std::uint32_t code) override {
    use(h, "DeviceIoControl(0x" + hex(code) + ")", "DeviceIoControl");
  }
  void close_handle(Handle h) override {
    use(h, "CloseHandle");
    open_ = false;
  }

  // The pause the port would sleep, recorded in the same log.
  Win32Serial::Pause pause() {
    return [this](std::chrono::milliseconds d) { record("pause " + std::to_string(d.count())); };
  }

  std::vector<std::string> calls() const {
    const std::lock_guard lock(mu_);
    return calls_;
  }
  void clear_calls() {
    const std::lock_guard lock(mu_);
    calls_.clear();
    set_states.clear();
  }
  bool handle_open() const { return open_; }

  std::vector<Dcb> set_states;
  CommTimeouts timeouts;
  std::string written;

 private:
  static std::string hex(std::uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
  }
  void record(std::string call) {
    const std::lock_guard lock(mu_);
    calls_.push_back(std::move(call));
  }
  void check(const std::string& function) {
    if (const auto it = failing.find(function); it != failing.end()) {
      throw OsError(it->second, function, "failing as the test asked");
    }
  }
  void use(Handle h, const std::string& call, const std::string& function = "") {
    record(call);
    const std::string fn = function.empty() ? call : function;
    if (h != kHandle || !open_) throw OsError(kErrorInvalidHandle, fn, "The handle is invalid.");
    check(fn);
  }

  mutable std::mutex mu_;
  std::vector<std::string> calls_;
  bool open_ = false;
};

}  // namespace veltaro::portwell::testing
