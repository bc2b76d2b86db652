// Starts the host pinger in a process of its own, joined to this process by shared-memory tables.
// Linux: the pinger is forked, so launch() must run before this process starts any thread. The
// tables' names exist only until the fork: both processes keep their mappings, and a crash at any
// later moment leaves nothing in /dev/shm.
#pragma once

#include "common/interprocess_tables.h"

#include <sys/types.h>

#include <chrono>
#include <memory>

namespace veltaro::launcher {

class PingerProcess {
 public:
  // Removes blocks a crashed earlier run left behind, creates this run's tables, forks the
  // pinger and removes the names. On failure writes a "[launcher]" line and returns nullptr: the
  // application then runs without a pinger. Never throws.
  static std::unique_ptr<PingerProcess> launch() noexcept;

  PingerProcess(common::InterprocessTables tables, pid_t pid) noexcept
      : tables_(std::move(tables)), pid_(pid) {}
  PingerProcess(const PingerProcess&) = delete;
  PingerProcess& operator=(const PingerProcess&) = delete;

  const common::QueueTable& queues() const noexcept { return tables_.queues(); }
  const common::EventTable& events() const noexcept { return tables_.events(); }
  pid_t pid() const noexcept { return pid_; }

  // After the application set the "end" event: waits up to `grace` for the pinger to end, kills
  // it when it does not, and reaps it. Never throws.
  void finish(std::chrono::milliseconds grace) noexcept;

 private:
  common::InterprocessTables tables_;
  pid_t pid_;
};

}  // namespace veltaro::launcher
