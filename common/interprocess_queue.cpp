#include "interprocess_queue.h"

#include "common/interprocess_wait.h"

#include <boost/interprocess/sync/interprocess_condition.hpp>
#include <boost/interprocess/sync/interprocess_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

namespace veltaro::common {

namespace bip = boost::interprocess;

namespace detail {
// The block's first bytes; the ring follows. Both processes run the same build, so the layout is
// shared as it stands.
struct QueueBlock {
  static constexpr std::uint64_t kMagic = 0x76656c7461726f51;  // "veltaroQ"

  std::uint64_t magic = 0;
  bip::interprocess_mutex mutex;
  bip::interprocess_condition nonempty;
  std::uint64_t capacity = 0;  // bytes in the ring
  std::uint64_t head = 0;      // ring offset of the oldest item's length prefix
  std::uint64_t used = 0;      // bytes the items take, prefixes included
  std::uint64_t count = 0;     // items waiting

  unsigned char* ring() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }
};
}  // namespace detail

namespace {
using detail::QueueBlock;
using Lock = bip::scoped_lock<bip::interprocess_mutex>;
using Length = std::uint64_t;

void ring_write(QueueBlock& b, std::uint64_t offset, const void* src, std::uint64_t n) {
  const std::uint64_t pos = offset % b.capacity;
  const std::uint64_t first = std::min(n, b.capacity - pos);
  std::memcpy(b.ring() + pos, src, first);
  std::memcpy(b.ring(), static_cast<const unsigned char*>(src) + first, n - first);
}

void ring_read(QueueBlock& b, std::uint64_t offset, void* dst, std::uint64_t n) {
  const std::uint64_t pos = offset % b.capacity;
  const std::uint64_t first = std::min(n, b.capacity - pos);
  std::memcpy(dst, b.ring() + pos, first);
  std::memcpy(static_cast<unsigned char*>(dst) + first, b.ring(), n - first);
}

// Takes the oldest item's text; the caller holds the lock and has checked count > 0.
std::string pop_locked(QueueBlock& b) {
  Length length = 0;
  if (b.used < sizeof length) throw std::runtime_error("queue is corrupt");
  ring_read(b, b.head, &length, sizeof length);
  if (length > b.used - sizeof length) throw std::runtime_error("queue is corrupt");
  std::string text(length, '\0');
  ring_read(b, b.head + sizeof length, text.data(), length);
  b.head = (b.head + sizeof length + length) % b.capacity;
  b.used -= sizeof length + length;
  if (--b.count == 0) {
    // Start over at the front, so the pages the ring touches stay those of the largest item.
    b.head = 0;
    b.used = 0;
  }
  return text;
}

void require(const Lock& lock) {
  if (!lock) throw std::runtime_error("queue stays locked");
}
}  // namespace

std::shared_ptr<InterprocessQueue> InterprocessQueue::create(const std::string& name,
                                                             std::size_t capacity_bytes) {
  SharedRegion region = SharedRegion::create(name, sizeof(QueueBlock) + capacity_bytes);
  auto* block = new (region.address()) QueueBlock;
  block->capacity = capacity_bytes;
  block->magic = QueueBlock::kMagic;
  return std::shared_ptr<InterprocessQueue>(new InterprocessQueue(std::move(region), block));
}

std::shared_ptr<InterprocessQueue> InterprocessQueue::open(const std::string& name) {
  SharedRegion region = SharedRegion::open(name);
  auto* block = static_cast<QueueBlock*>(region.address());
  if (region.size() < sizeof(QueueBlock) || block->magic != QueueBlock::kMagic ||
      block->capacity > region.size() - sizeof(QueueBlock)) {
    throw std::runtime_error("shared memory " + name + " holds no queue");
  }
  return std::shared_ptr<InterprocessQueue>(new InterprocessQueue(std::move(region), block));
}

std::optional<Json> InterprocessQueue::get(std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  std::string text;
  {
    Lock lock(block_->mutex, deadline.at_least(kLockWait).at());
    require(lock);
    while (block_->count == 0) {
      if (deadline.passed()) return std::nullopt;
      block_->nonempty.timed_wait(lock, deadline.at());
    }
    text = pop_locked(*block_);
  }
  return Json::parse(text);
}

bool InterprocessQueue::put_nowait(const Json& item) noexcept {
  try {
    const std::string text = dump_utf8(item);
    const Length length = text.size();
    Lock lock(block_->mutex, Deadline(kLockWait).at());
    if (!lock) return false;
    if (length > block_->capacity || sizeof length + length > block_->capacity - block_->used) {
      return false;
    }
    const std::uint64_t tail = block_->head + block_->used;
    ring_write(*block_, tail, &length, sizeof length);
    ring_write(*block_, tail + sizeof length, text.data(), length);
    block_->used += sizeof length + length;
    ++block_->count;
    block_->nonempty.notify_one();
    return true;
  } catch (...) {
    return false;
  }
}

bool InterprocessQueue::empty() const {
  const Lock lock(block_->mutex, Deadline(kLockWait).at());
  require(lock);
  return block_->count == 0;
}

std::size_t InterprocessQueue::largest_item() const noexcept {
  return block_->capacity - sizeof(Length);
}

}  // namespace veltaro::common
