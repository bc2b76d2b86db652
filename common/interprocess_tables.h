// The queue and event tables that join the application and the pinger process. The launcher
// creates them before it starts any thread; the pinger process it forks inherits the mappings,
// and any other process may attach by the prefix. Names carry the user and the launcher's process
// id, so that blocks left behind by a crash are recognised and removed on the next start.
#pragma once

#include "common/ipc_tables.h"

#include <cstddef>
#include <string>
#include <vector>

namespace veltaro::common {

// Ring size of the result queue: a report for 10,000 sessions takes about half a megabyte.
inline constexpr std::size_t kResultQueueBytes = std::size_t{32} << 20;
// The "end" queue only ever carries empty items.
inline constexpr std::size_t kEndQueueBytes = std::size_t{64} << 10;

class InterprocessTables {
 public:
  // A queue "get_receipt", a queue "end" and an event "end" under names unique to this launch.
  // Throws std::runtime_error; nothing is left behind then.
  static InterprocessTables create();
  // Attaches to the tables another process created under `prefix`. Throws std::runtime_error.
  static InterprocessTables open(const std::string& prefix);

  // Removes the names of blocks whose creating process no longer runs. Never throws.
  static void remove_stale() noexcept;
  // The names of this user's blocks that exist now (what remove_stale looks at).
  static std::vector<std::string> existing_names();

  // Removes this launch's names; mapped blocks stay usable. Idempotent; never throws.
  void remove_names() const noexcept;

  const std::string& prefix() const noexcept { return prefix_; }
  const QueueTable& queues() const noexcept { return queues_; }
  const EventTable& events() const noexcept { return events_; }

 private:
  explicit InterprocessTables(std::string prefix) : prefix_(std::move(prefix)) {}
  std::vector<std::string> names() const;

  std::string prefix_;
  QueueTable queues_;
  EventTable events_;
};

}  // namespace veltaro::common
