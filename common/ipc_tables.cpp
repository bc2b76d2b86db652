#include "ipc_tables.h"

namespace veltaro::common {

std::optional<Json> InProcessQueue::get(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!ready_.wait_for(lock, timeout, [this] { return !items_.empty(); })) return std::nullopt;
  Json item = std::move(items_.front());
  items_.pop_front();
  return item;
}

bool InProcessQueue::put_nowait(const Json& item) noexcept {
  try {
    {
      const std::lock_guard lock(mutex_);
      if (items_.size() >= capacity_) return false;
      items_.push_back(item);
    }
    ready_.notify_one();
    return true;
  } catch (...) {
    return false;
  }
}

bool InProcessQueue::empty() const {
  const std::lock_guard lock(mutex_);
  return items_.empty();
}

void InProcessEvent::set() {
  {
    const std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

bool InProcessEvent::is_set() const {
  const std::lock_guard lock(mutex_);
  return set_;
}

bool InProcessEvent::wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return set_; });
}

}  // namespace veltaro::common
