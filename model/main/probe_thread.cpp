#include "probe_thread.h"

#include <thread>

namespace veltaro::pinger {

ProbeThread::ProbeThread(std::function<void()> body) {
  std::thread([state = state_, body = std::move(body)] {
    try {
      body();
    } catch (...) {
      // A probe reports through its entry; a failure only leaves the entry out.
    }
    {
      const std::lock_guard lock(state->mutex);
      state->done = true;
    }
    state->ended.notify_all();
  }).detach();
}

bool ProbeThread::running() const {
  const std::lock_guard lock(state_->mutex);
  return !state_->done;
}

bool ProbeThread::join_for(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->ended.wait_for(lock, timeout, [this] { return state_->done; });
}

}  // namespace veltaro::pinger
