#include "interprocess_event.h"

#include "common/interprocess_wait.h"

#include <boost/interprocess/sync/interprocess_condition.hpp>
#include <boost/interprocess/sync/interprocess_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

#include <cstdint>
#include <new>
#include <stdexcept>

namespace veltaro::common {

namespace bip = boost::interprocess;

namespace detail {
struct EventBlock {
  static constexpr std::uint64_t kMagic = 0x76656c7461726f45;  // "veltaroE"

  std::uint64_t magic = 0;
  bip::interprocess_mutex mutex;
  bip::interprocess_condition changed;
  bool set = false;
};
}  // namespace detail

namespace {
using detail::EventBlock;
using Lock = bip::scoped_lock<bip::interprocess_mutex>;

void require(const Lock& lock) {
  if (!lock) throw std::runtime_error("event stays locked");
}
}  // namespace

std::shared_ptr<InterprocessEvent> InterprocessEvent::create(const std::string& name) {
  SharedRegion region = SharedRegion::create(name, sizeof(EventBlock));
  auto* block = new (region.address()) EventBlock;
  block->magic = EventBlock::kMagic;
  return std::shared_ptr<InterprocessEvent>(new InterprocessEvent(std::move(region), block));
}

std::shared_ptr<InterprocessEvent> InterprocessEvent::open(const std::string& name) {
  SharedRegion region = SharedRegion::open(name);
  auto* block = static_cast<EventBlock*>(region.address());
  if (region.size() < sizeof(EventBlock) || block->magic != EventBlock::kMagic) {
    throw std::runtime_error("shared memory " + name + " holds no event");
  }
  return std::shared_ptr<InterprocessEvent>(new InterprocessEvent(std::move(region), block));
}

void InterprocessEvent::set() {
  const Lock lock(block_->mutex, Deadline(kLockWait).at());
  require(lock);
  block_->set = true;
  block_->changed.notify_all();
}

bool InterprocessEvent::is_set() const {
  const Lock lock(block_->mutex, Deadline(kLockWait).at());
  require(lock);
  return block_->set;
}

bool InterprocessEvent::wait(std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  Lock lock(block_->mutex, deadline.at_least(kLockWait).at());
  require(lock);
  while (!block_->set && !deadline.passed()) block_->changed.timed_wait(lock, deadline.at());
  return block_->set;
}

}  // namespace veltaro::common
