#include "common/allocator_policy.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace veltaro::common {

namespace {
// Blocks at least this large get their own mapping, returned as soon as they are freed: a tab's
// largest drain (two million characters of CJK text) stays below it.
constexpr int kOwnMappingFrom = 8 << 20;
// Free memory at the top of a heap beyond this goes back to the system: room for a full tab buffer
// of CJK text and its drained copy.
constexpr int kKeepFreeUpTo = 16 << 20;
// The allocator gives each thread that allocates a heap of its own, up to eight per core, and
// every one of them keeps up to kKeepFreeUpTo. A burst's buffers pass through the reader, the
// drain and the engine's threads: after one 20 MB burst eight heaps kept about 2 MB each that the
// idle window never used again. With two heaps, freed buffers are found again by whichever thread
// allocates next.
constexpr int kHeaps = 2;

bool user_chose_heap_count() {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  return std::getenv("MALLOC_ARENA_MAX") != nullptr ||
         (tunables != nullptr && std::strstr(tunables, "arena_max") != nullptr);
}
}  // namespace

void keep_freed_memory_for_reuse() noexcept {
  ::mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
  ::mallopt(M_TRIM_THRESHOLD, kKeepFreeUpTo);
  if (!user_chose_heap_count()) ::mallopt(M_ARENA_MAX, kHeaps);
}

}  // namespace veltaro::common
