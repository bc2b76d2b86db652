// Telnet and RFC 2217 servers on 127.0.0.1 for the Telnet tests: inetutils telnetd under socat,
// busybox telnetd, ser2net over a socat pseudo-terminal pair, and pyserial's RFC 2217 port
// manager over a loop-back port. Each binds an ephemeral port and is stopped on destruction.
//
// Error contract: a server that cannot start throws std::runtime_error, so the test fails.
#pragma once

#include "process.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltaro::peers {

using ssh2::testing::Process;
using ssh2::testing::TempDir;

// The TCP port a process listens on, found through /proc once it is listening.
std::uint16_t listening_port(pid_t pid);

// inetutils telnetd, started per connection by socat, running /bin/sh instead of login.
// Variables named in `accepted_env` (besides USER) reach the shell.
class InetutilsTelnetd {
 public:
  explicit InetutilsTelnetd(const std::vector<std::string>& accepted_env = {});
  std::uint16_t port() const noexcept { return port_; }

 private:
  TempDir dir_;
  std::optional<Process> socat_;
  std::uint16_t port_ = 0;
};

// busybox telnetd (from the unpacked busybox-static package) running /bin/sh.
class BusyboxTelnetd {
 public:
  BusyboxTelnetd();
  std::uint16_t port() const noexcept { return port_; }

 private:
  std::optional<Process> server_;
  std::uint16_t port_ = 0;
};

// A pseudo-terminal pair: what is written to device() comes out of far_end() and back.
class PtyPair {
 public:
  PtyPair();
  std::filesystem::path device() const { return dir_ / "ttyA"; }
  std::filesystem::path far_end() const { return dir_ / "ttyB"; }
  // The settings line of `stty -a` for the device side.
  std::string stty() const;

 private:
  TempDir dir_;
  std::optional<Process> socat_;
};

// The far end of a PtyPair opened as the serial device's other side.
class FarEnd {
 public:
  // Throws std::runtime_error when the path cannot be opened.
  explicit FarEnd(const std::filesystem::path& path);
  ~FarEnd();
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  // Writes all of `bytes`; false when the device refused them.
  bool write_all(std::string_view bytes);
  // What arrives until `size` bytes came or `timeout` passed.
  std::string read_until_size(std::size_t size, std::chrono::milliseconds timeout);

 private:
  int fd_;
};

// ser2net 4 offering RFC 2217 on an ephemeral port for the device side of a PtyPair.
class Ser2net {
 public:
  explicit Ser2net(const std::filesystem::path& device);
  std::uint16_t port() const noexcept { return port_; }

 private:
  TempDir dir_;
  std::optional<Process> server_;
  std::uint16_t port_ = 0;
};

// pyserial's RFC 2217 PortManager serving one connection over a loop:// port (what is written
// comes back).
class PyserialRfc2217 {
 public:
  PyserialRfc2217();
  std::uint16_t port() const noexcept { return port_; }

 private:
  TempDir dir_;
  std::optional<Process> server_;
  std::uint16_t port_ = 0;
};

}  // namespace veltaro::peers
