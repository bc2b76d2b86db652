// Clients of the SSH-1 test server, and a guard that ends a test's blocking reads in time.
#pragma once

#include "model/transports/tarnlink/ssh1_backend.h"
#include "ssh1_peer.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tarnlink::testing {

inline constexpr std::chrono::seconds kWatchdog{30};

SSH1Options options_for(const veltaro::peers::Ssh1Server& server);

// Closes the client when a test's reads have not finished within `limit`, so a hang fails the
// test instead of stopping the suite.
class Watchdog {
 public:
  Watchdog(std::shared_ptr<SSH1Backend> client, std::chrono::seconds limit = kWatchdog);
  ~Watchdog();
  bool fired() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

// Reads until the output contains `needle` or the session ends.
std::string recv_until(SSH1Backend& client, const std::string& needle);
// Reads until recv returns empty bytes.
std::string recv_to_end(SSH1Backend& client);

}  // namespace tarnlink::testing
