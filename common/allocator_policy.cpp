#include "common/allocator_policy.h"

#include <malloc.h>

namespace veltaro::common {

namespace {
// Blocks at least this large get their own mapping, returned as soon as they are freed: a tab's
// largest drain (two million characters of CJK text) stays below it.
constexpr int kOwnMappingFrom = 8 << 20;
// Free memory at the top of a heap beyond this goes back to the system: room for a full tab buffer
// of CJK text and its drained copy.
constexpr int kKeepFreeUpTo = 16 << 20;
}  // namespace

void keep_freed_memory_for_reuse() noexcept {
  ::mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
  ::mallopt(M_TRIM_THRESHOLD, kKeepFreeUpTo);
}

}  // namespace veltaro::common
