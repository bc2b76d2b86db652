// A flag in shared memory that one process sets and another waits for (the pinger's stop signal).
#pragma once

#include "common/ipc_tables.h"
#include "common/shared_region.h"

#include <memory>
#include <string>

namespace veltaro::common {

namespace detail {
struct EventBlock;
}

class InterprocessEvent final : public Event {
 public:
  // Creates the event, not set. Throws std::runtime_error.
  static std::shared_ptr<InterprocessEvent> create(const std::string& name);
  // Attaches to an event another process created. Throws std::runtime_error.
  static std::shared_ptr<InterprocessEvent> open(const std::string& name);

  // Each throws std::runtime_error when the event stays locked (a process died inside it).
  void set() override;
  bool is_set() const override;
  bool wait(std::chrono::milliseconds timeout) override;

 private:
  InterprocessEvent(SharedRegion region, detail::EventBlock* block) noexcept
      : region_(std::move(region)), block_(block) {}

  SharedRegion region_;
  detail::EventBlock* block_;
};

}  // namespace veltaro::common
