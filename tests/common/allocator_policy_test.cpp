#include "common/allocator_policy.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace veltaro::common {
namespace {

constexpr std::size_t kBuffer = 2 << 20;
constexpr int kThreads = 8;

// Threads that stay alive take turns to fill and free one buffer each, as the threads a burst
// passes through do; afterwards all of them wait until the free memory has been counted. Nothing
// when the turns did not come round in time.
std::optional<std::size_t> free_bytes_after_turns() {
  constexpr auto kPatience = std::chrono::seconds(20);
  std::mutex mutex;
  std::condition_variable turn_changed;
  int turn = 0;
  bool counted = false;
  std::optional<std::size_t> free_bytes;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      std::unique_lock lock(mutex);
      if (!turn_changed.wait_for(lock, kPatience, [&] { return turn == i; })) return;
      if (auto* buffer = static_cast<char*>(std::malloc(kBuffer))) {
        std::memset(buffer, 'x', kBuffer);
        // Keeps the compiler from leaving out an allocation nothing reads.
        asm volatile("" : : "r"(buffer) : "memory");
        std::free(buffer);
      }
      ++turn;
      turn_changed.notify_all();
      turn_changed.wait_for(lock, kPatience, [&] { return counted; });
    });
  }
  {
    std::unique_lock lock(mutex);
    if (turn_changed.wait_for(lock, kPatience, [&] { return turn == kThreads; })) {
      free_bytes = ::mallinfo2().fordblks;
    }
    counted = true;
  }
  turn_changed.notify_all();
  for (auto& thread : threads) thread.join();
  return free_bytes;
}

TEST(AllocatorPolicy, ThreadsThatTookTurnsWithABufferLeaveFewCopiesOfItFree) {
  ASSERT_EQ(std::getenv("MALLOC_ARENA_MAX"), nullptr);
  keep_freed_memory_for_reuse();
  // With a heap per thread each would keep its freed buffer: eight buffers' worth.
  const auto free_bytes = free_bytes_after_turns();
  ASSERT_TRUE(free_bytes.has_value());
  EXPECT_LT(*free_bytes, 3 * kBuffer);
}

}  // namespace
}  // namespace veltaro::common
