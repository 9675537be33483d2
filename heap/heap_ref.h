// References into the in-house heap, for records that live in shared memory.
//
// Every process maps the heap at an address of its own choosing, and 32-bit
// and 64-bit processes differ in pointer size, so a record in shared memory
// never stores a heap pointer. It stores a 32-bit reference, the block's
// offset from the start of the heap; each process turns it back into a
// pointer with its own base. Reference 0 never names a block: it means none.
//
// A pointer from tarnixSubAllocMem is meaningful to another process only in
// this reference form.
#pragma once

#include <cstdint>

#include "mfpsys/export.h"

namespace mfpheap {

using Ref = std::uint32_t;
inline constexpr Ref kNoRef = 0;

// The reference of a block that tarnixSubAllocMem gave (any process); 0 for
// null or an address outside the heap.
MFPSYS_API Ref heap_ref(const void* block) noexcept;

// The address of a referenced block in this process (mapping the heap first
// if this process has not yet); null for 0 or a reference outside the heap.
MFPSYS_API void* heap_ptr(Ref ref) noexcept;

// A walk over the whole heap under its lock, for tests and diagnostics.
struct HeapCheck {
    bool mapped = false;          // the heap could be set up in this process
    bool consistent = false;      // block chain intact and matching the counters
    std::uint32_t capacity = 0;   // bytes of the block area
    std::uint32_t used_blocks = 0;
    std::uint32_t used_bytes = 0; // including block headers
    std::uint32_t free_bytes = 0;
    std::uint32_t largest_free = 0;  // largest block that one allocation can get
    std::uint32_t repairs = 0;    // dead holders found since the heap was created
};
MFPSYS_API HeapCheck heap_check() noexcept;

}  // namespace mfpheap
