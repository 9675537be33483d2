// How a record in shared memory names a block of the in-house heap: a 32-bit
// reference that any process turns back into the block. 0 names no block.
// Only this seam knows which heap the library runs on.
#pragma once

#include <cstdint>

namespace mfpsys::port {

// The reference of a block from tarnixSubAllocMem; 0 for null.
std::uint32_t blockRef(void* block) noexcept;
// The block in this process; null for 0.
void* blockPtr(std::uint32_t ref) noexcept;

}  // namespace mfpsys::port
