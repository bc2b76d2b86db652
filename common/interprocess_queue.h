// A queue of JSON items in shared memory, used by two processes at once. Items are stored as
// length-prefixed text in a ring of bytes, so one item may take almost the whole ring: a report
// for tens of thousands of sessions fits where a fixed-size message slot would not.
#pragma once

#include "common/ipc_tables.h"
#include "common/shared_region.h"

#include <cstddef>
#include <memory>
#include <string>

namespace veltaro::common {

namespace detail {
struct QueueBlock;
}

class InterprocessQueue final : public Queue {
 public:
  // Creates the queue under `name` with a ring of `capacity_bytes`. Throws std::runtime_error.
  static std::shared_ptr<InterprocessQueue> create(const std::string& name,
                                                   std::size_t capacity_bytes);
  // Attaches to a queue another process created. Throws std::runtime_error when it does not
  // exist or is no queue of ours.
  static std::shared_ptr<InterprocessQueue> open(const std::string& name);

  // Throws std::runtime_error when the queue stays locked (a process died inside it) or an item
  // is not valid JSON (the item is consumed).
  std::optional<Json> get(std::chrono::milliseconds timeout) override;
  // False when the item's text does not fit in the free part of the ring.
  bool put_nowait(const Json& item) noexcept override;
  // Throws std::runtime_error when the queue stays locked.
  bool empty() const override;

  // The longest item text (in bytes) an empty queue takes.
  std::size_t largest_item() const noexcept;

 private:
  InterprocessQueue(SharedRegion region, detail::QueueBlock* block) noexcept
      : region_(std::move(region)), block_(block) {}

  SharedRegion region_;
  detail::QueueBlock* block_;
};

}  // namespace veltaro::common
