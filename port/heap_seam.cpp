// The board's memory library gives a block the same address in every process
// and the board is 32-bit, so there a reference is the block's address. The
// stand-in maps its segment wherever each process's kernel puts it, so its
// reference is the block's offset in the segment (heap/heap_ref.h).
#include "port/heap_seam.h"

#include <atomic>
#include <cstdint>

#include "port/tarnix.h"

#if MFPSYS_BOARD_HEAP
static_assert(sizeof(void*) == sizeof(std::uint32_t), "a block's address must fit a reference");
#else
#include "heap/heap_ref.h"
#endif

namespace mfpsys::port {

void* heapAlloc(std::uint32_t size) noexcept { return tarnixSubAllocMem(size == 0 ? 1 : size); }

void heapFree(void* block) noexcept {
    if (block != nullptr) tarnixOrgFreeMemPart(0, block);
}

#if MFPSYS_BOARD_HEAP
std::uint32_t heapRef(void* block) noexcept {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(block));
}
// A heap library may set itself up in a process only at its first call (the
// test allocator maps its area then). A process whose first contact with the
// heap is a block another process allocated has had no call yet: it makes
// one, once, before it follows the address.
void* heapPtr(std::uint32_t ref) noexcept {
    static std::atomic<bool> met{false};
    if (ref != 0 && !met.load(std::memory_order_acquire)) {
        heapFree(heapAlloc(1));
        met.store(true, std::memory_order_release);
    }
    return reinterpret_cast<void*>(std::uintptr_t{ref});
}
#else
std::uint32_t heapRef(void* block) noexcept { return mfpheap::heap_ref(block); }
void* heapPtr(std::uint32_t ref) noexcept { return mfpheap::heap_ptr(ref); }
#endif

}  // namespace mfpsys::port
