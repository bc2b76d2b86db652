// The worker loop, loading the session store, reporting, and the stop checks.
#include "model/main/host_pinger.h"

#include "common/atomic_file.h"
#include "common/diag.h"
#include "common/paths.h"

#include <cstdio>
#include <thread>

namespace veltaro::pinger {

namespace {
using namespace std::chrono_literals;
constexpr auto kStopCheckStep = 500ms;  // how soon a stop is noticed between rounds

const char* kReportQueue = "get_receipt";
}  // namespace

HostPinger::HostPinger(common::QueueTable Queue_All_variable, common::EventTable Event_All_variable)
    : SESSIONS_FILE(common::app_data_dir() / "sessions.json"),
      queue_all(std::move(Queue_All_variable)),
      event_all(std::move(Event_All_variable)) {}

void HostPinger::run() {
  try {
    const auto module = common::file_of_symbol(reinterpret_cast<const void*>(&receipt));
    std::printf("run model --> %s\n", module.filename().c_str());
    std::fflush(stdout);
  } catch (...) {
  }
  while (!_should_stop()) {
    try {
      const Json sessions = _load_sessions();
      ResultList results = _probe_all(sessions);
      _send(Json{{"type", "ping_results"}, {"results", std::move(results)}});
    } catch (const std::exception& e) {
      common::diag("[HostPinger.run]", e.what());
    }
    _sleep_with_check(INTERVAL_SEC);
  }
}

bool HostPinger::_should_stop() const noexcept {
  if (_stop.load()) return true;
  try {
    const auto it = event_all.find("end");
    return it != event_all.end() && it->second && it->second->is_set();
  } catch (...) {
    return false;
  }
}

Json HostPinger::_load_sessions() const noexcept {
  try {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(SESSIONS_FILE, ec)) return Json::array();
    const Json store = Json::parse(common::read_file(SESSIONS_FILE));
    const Json* sessions = common::member(store, "sessions");
    if (!sessions) throw std::runtime_error("KeyError: 'sessions'");
    if (!sessions->is_array()) throw std::runtime_error("'sessions' is not a list");
    return *sessions;
  } catch (const std::exception& e) {
    common::diag("[HostPinger.load_sessions]", e.what());
  } catch (...) {
    common::diag("[HostPinger.load_sessions]", "unknown error");
  }
  return Json::array();
}

void HostPinger::_send(const Json& payload) noexcept {
  const auto it = queue_all.find(kReportQueue);
  if (it == queue_all.end() || !it->second) return;
  common::Queue& q = *it->second;
  // The application only needs the newest report; an unread older one is dropped.
  try {
    while (!q.empty()) q.get(0ms);
  } catch (...) {
  }
  if (!q.put_nowait(payload)) {
    common::diag("[HostPinger.send]", "the report does not fit in the queue");
  }
}

void HostPinger::_sleep_with_check(std::chrono::milliseconds duration) const noexcept {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    if (_should_stop()) return;
    std::this_thread::sleep_for(kStopCheckStep);
  }
}

void receipt(common::QueueTable Queue_All_variable,
             common::EventTable Event_All_variable) noexcept {
  try {
    std::make_shared<HostPinger>(std::move(Queue_All_variable), std::move(Event_All_variable))
        ->run();
  } catch (const std::exception& e) {
    common::diag("[HostPinger.run]", e.what());
  } catch (...) {
    common::diag("[HostPinger.run]", "unknown error");
  }
}

}  // namespace veltaro::pinger
