// Runs a transport's blocking recv on a thread of its own and collects what arrives, so a test
// can wait for text with a time-out while it sends and resizes.
#pragma once

#include "model/transports/transport.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace veltaro::telnet::testing {

inline constexpr std::chrono::seconds kWait{15};

class Receiver {
 public:
  explicit Receiver(transport::Transport& t);
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Waits until the received text satisfies `done` (true) or `timeout` passes (false).
  bool wait_for(const std::function<bool(const std::string&)>& done,
                std::chrono::milliseconds timeout = kWait);
  bool wait_for_text(const std::string& needle, std::chrono::milliseconds timeout = kWait);
  // Waits until recv returned empty bytes or threw.
  bool wait_for_end(std::chrono::milliseconds timeout = kWait);
  std::string text() const;

 private:
  transport::Transport& transport_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::string text_;
  bool ended_ = false;
  std::thread thread_;
};

}  // namespace veltaro::telnet::testing
