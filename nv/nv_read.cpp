// Block read: hands out the image of a block that the power-up scan found,
// once per power-up. The read touches the flash only for an image the scan
// could not keep in memory or whose ring it could not read whole.
#include <cstring>

#include "nv/nv_powerup.h"
#include "nv/nv_repair.h"
#include "nv/nv_scan.h"
#include "nv/nv_tables.h"
#include "port/heap_seam.h"

using namespace mfpsys::nv;

extern "C" {

MFPSYS_API int nvRead(int32_t blockAddr, uint32_t length, void* dest) {
    if (dest == nullptr && length != 0) return -1;
    int result = -1;
    if (ensurePoweredUp() == 0) {
        int b = nvGetVidx(blockAddr);
        // Straight from the cache to the caller: a scratch copy in between
        // would only cost a heap block and a second copy of the image.
        if (b >= 0 && length <= blk(b)->capacity) result = nvReadReq(blockAddr, length, dest);
    }
    nvSharedMemDetach();
    return result;
}

MFPSYS_API int nvReadReq(int32_t blockAddr, uint32_t length, void* dest) {
    if (dest == nullptr && length != 0) return -1;
    int b = nvGetVidx(blockAddr);
    if (b < 0 || length > blk(b)->capacity) return -1;
    NvVrtlSecEntry* v = blk(b);
    uint32_t image = cacheRef(v).load(std::memory_order_acquire);
    if (image == kImageOnFlash || (image != 0 && ringUnexamined(v->ringId))) {
        // The image is still on the flash, or a sector of its ring could not
        // be read at power-up: the ring is examined again, as a writer would,
        // so that the newest copy found is what goes out.
        PatientWriteLock lock;
        if (lock.held()) {
            PendingChange pending(state(), b);
            rescanRing(lock.token(), v->ringId, Images::Refresh);
        }
    }
    // Whoever swaps the reference out owns the cache: two readers of one
    // block get it once between them.
    uint32_t ref = cacheRef(v).exchange(0, std::memory_order_acq_rel);
    if (ref == kImageOnFlash) {
        // Not to be had now (no heap for it, or unreadable): a later read
        // tries again, unless a re-examination has meanwhile put an image
        // there, which must not be overwritten (and lost to the heap).
        uint32_t none = 0;
        cacheRef(v).compare_exchange_strong(none, kImageOnFlash, std::memory_order_acq_rel);
        return -1;
    }
    void* cache = mfpsys::port::heapPtr(ref);
    if (cache == nullptr) return -1;
    if (length != 0) std::memcpy(dest, cache, length);
    mfpsys::port::heapFree(cache);
    return 0;
}

}  // extern "C"
