// The library's one door to the heap that every process shares: blocks, and
// the 32-bit references by which a record in shared memory names a block.
// Only this seam knows which heap the library runs on.
#pragma once

#include <cstdint>

namespace mfpsys::port {

// A block of at least size bytes (0 counts as 1); null when the heap is
// exhausted.
void* heapAlloc(std::uint32_t size) noexcept;
// Gives a block back; null gives nothing.
void heapFree(void* block) noexcept;
// The reference of a block from heapAlloc, usable by any process; 0 for null.
std::uint32_t heapRef(void* block) noexcept;
// The block a reference names, in this process; null for 0.
void* heapPtr(std::uint32_t ref) noexcept;

}  // namespace mfpsys::port
