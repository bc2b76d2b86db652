// One probe round: a TCP connect to every network session, at most eight at a time.
#include "common/tcp_socket.h"
#include "model/main/host_pinger.h"
#include "model/main/probe_port.h"
#include "model/main/probe_thread.h"

#include <algorithm>
#include <thread>

namespace veltaro::pinger {

namespace {
using namespace std::chrono_literals;
constexpr auto kSlotPoll = 50ms;  // between looks for a free probe slot
// How long a round waits for each probe: the connect time-out plus room for name resolution.
constexpr auto kJoinBound = HostPinger::TIMEOUT_SEC + 2s;

std::size_t count_running(const std::vector<ProbeThread>& threads) {
  return static_cast<std::size_t>(
      std::count_if(threads.begin(), threads.end(), [](const auto& t) { return t.running(); }));
}
}  // namespace

void HostPinger::_probe_session(const Json& sess, ResultList& results) noexcept {
  try {
    const Json* host = common::member(sess, "host");
    const Json* protocol = common::member(sess, "protocol");
    const Json* id = common::member(sess, "id");
    if (!host || !protocol || !id) return;
    if (*protocol == "serial") return;  // local ports are not probed
    bool online = false;
    try {
      // Any address family: a host that only has an IPv6 address is reachable too.
      const common::TcpSocket socket =
          common::TcpSocket::connect(common::to_text(*host), probe_port(sess), TIMEOUT_SEC);
      online = true;
    } catch (const std::exception&) {
      online = false;
    }
    const std::lock_guard lock(_results_lock);
    results.push_back(Json{{"id", *id}, {"online", online}});
  } catch (...) {
    // Out of memory while recording: this session gets no entry this round.
  }
}

ResultList HostPinger::_probe_all(const Json& sessions) {
  // Shared with the probe threads: one that outlives the round appends to a list that still
  // exists, and nobody reads it any more.
  const auto results = std::make_shared<ResultList>();
  const auto snapshot = [this, &results] {
    const std::lock_guard lock(_results_lock);
    return *results;
  };
  std::vector<ProbeThread> threads;
  for (const Json& sess : sessions) {
    while (count_running(threads) >= MAX_WORKERS) {
      std::this_thread::sleep_for(kSlotPoll);
      if (_should_stop()) return snapshot();
    }
    threads.emplace_back(
        [self = shared_from_this(), results, sess] { self->_probe_session(sess, *results); });
  }
  for (const auto& thread : threads) thread.join_for(kJoinBound);
  return snapshot();
}

}  // namespace veltaro::pinger
