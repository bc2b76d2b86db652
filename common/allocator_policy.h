// How the process's allocator returns freed memory to the system.
#pragma once

namespace veltaro::common {

// Call once at start. A tab streaming output allocates and frees buffers of up to a few megabytes
// many times a second; with the allocator's defaults each free hands the top of the heap back to
// the system and the next burst faults it in again page by page, which on a virtual machine whose
// host reclaims memory costs more than the data itself. Freed memory is kept for reuse up to a
// bound instead, in heaps all threads share.
void keep_freed_memory_for_reuse() noexcept;

}  // namespace veltaro::common
