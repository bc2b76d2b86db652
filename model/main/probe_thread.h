// A detached probe thread that can be asked whether it still runs and waited for with a time-out
// (std::thread has no timed join). The thread never blocks its round for longer than the wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace veltaro::pinger {

class ProbeThread {
 public:
  // Starts `body` on a detached thread. Throws std::system_error when no thread can be started.
  explicit ProbeThread(std::function<void()> body);

  bool running() const;
  // Waits until the thread ended or `timeout` passed; true when it ended.
  bool join_for(std::chrono::milliseconds timeout) const;

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace veltaro::pinger
