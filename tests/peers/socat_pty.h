// A serial device for tests: socat joining two pseudo-terminals. The program under test opens
// device(); the test plays the device through the other end. Unplugging ends socat (the device's
// link disappears and the open end hangs up); plugging starts it again on the same links.
//
// Error contract: a socat that cannot start or whose links do not appear in time throws
// std::runtime_error (the test fails, never skips). Every wait has a time-out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace veltaro::peers {

class SocatPty {
 public:
  SocatPty();
  ~SocatPty();
  SocatPty(const SocatPty&) = delete;
  SocatPty& operator=(const SocatPty&) = delete;

  // The link the program under test opens as its port.
  const std::filesystem::path& device() const noexcept { return device_; }

  // Ends socat and waits until the device's link is gone.
  void unplug();
  // Starts socat again on the same links and waits until they exist.
  void plug();
  bool plugged() const noexcept { return pid_ > 0; }

  // The device side: what the device sends, what it received.
  void send(std::string_view bytes);
  // Reads until `done(received so far)` holds or the time-out passes; returns what arrived.
  std::string receive_until(const std::function<bool(const std::string&)>& done,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::string receive_until_contains(std::string_view needle,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  void start();
  void open_far_end();
  void close_far_end() noexcept;

  std::filesystem::path dir_;
  std::filesystem::path device_;
  std::filesystem::path far_end_;
  pid_t pid_ = -1;
  int far_fd_ = -1;
};

}  // namespace veltaro::peers
