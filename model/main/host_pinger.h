// The reachability prober that runs in a process of its own: every round it reads the saved
// sessions, tries a TCP connection to each network host, and reports online/offline per session
// id to the application on the "get_receipt" queue. The "end" event stops it.
#pragma once

#include "common/ipc_tables.h"
#include "common/values.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

namespace veltaro::pinger {

using common::Json;
using ResultList = std::vector<Json>;

// Probe threads that outlive their round keep the pinger alive through a shared_ptr, so make
// every HostPinger with std::make_shared.
class HostPinger : public std::enable_shared_from_this<HostPinger> {
 public:
  static constexpr std::chrono::seconds INTERVAL_SEC{30};        // end of one round to the next
  static constexpr std::chrono::milliseconds TIMEOUT_SEC{2000};  // one TCP connect
  static constexpr std::size_t MAX_WORKERS = 8;                  // probe threads alive at once

  // The application's own session store, in its data directory.
  const std::filesystem::path SESSIONS_FILE;

  explicit HostPinger(common::QueueTable Queue_All_variable = {},
                      common::EventTable Event_All_variable = {});

  // Rounds of loading, probing and reporting, 30 s apart, until a stop is requested.
  void run();

  // Asks run() to return as on the "end" event.
  void stop() noexcept { _stop.store(true); }

  // Each of these never throws.
  bool _should_stop() const noexcept;
  Json _load_sessions() const noexcept;
  void _probe_session(const Json& sess, ResultList& results) noexcept;
  void _send(const Json& payload) noexcept;
  void _sleep_with_check(std::chrono::milliseconds duration) const noexcept;

  // The entries of one round in the order the probes finished. Throws std::system_error only when
  // no thread can be started.
  ResultList _probe_all(const Json& sessions);

  const common::QueueTable queue_all;
  const common::EventTable event_all;

 private:
  std::mutex _results_lock;  // guards every round's result list
  std::atomic<bool> _stop{false};
};

// The process entry: runs one HostPinger on the launcher's tables until it stops. Never throws.
void receipt(common::QueueTable Queue_All_variable, common::EventTable Event_All_variable) noexcept;

}  // namespace veltaro::pinger
