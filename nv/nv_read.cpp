// Block read: hands out the image of a block that the power-up scan found,
// once per power-up. The read never touches the flash itself.
#include <cstring>

#include "nv/nv_internal.h"

using namespace mfpsys::nv;

extern "C" {

MFPSYS_API int nvRead(int32_t blockAddr, uint32_t length, void* dest) {
    if (dest == nullptr && length != 0) return -1;
    int result = -1;
    if (ensurePoweredUp() == 0) {
        int b = nvGetVidx(blockAddr);
        if (b >= 0 && length <= nvVrtlSec[b]->capacity) {
            void* scratch = heapAlloc(nvVrtlSec[b]->capacity);
            if (scratch != nullptr) {
                result = nvReadReq(blockAddr, length, scratch);
                if (result == 0 && length != 0) std::memcpy(dest, scratch, length);
                heapFree(scratch);
            }
        }
    }
    nvSharedMemDetach();
    return result;
}

MFPSYS_API int nvReadReq(int32_t blockAddr, uint32_t length, void* dest) {
    if (dest == nullptr && length != 0) return -1;
    int b = nvGetVidx(blockAddr);
    if (b < 0 || length > nvVrtlSec[b]->capacity) return -1;
    // Whoever swaps the reference out owns the cache: two readers of one
    // block get it once between them.
    uint32_t ref = cacheRef(nvVrtlSec[b]).exchange(0, std::memory_order_acq_rel);
    if (ref == 0) return -1;
    void* cache = heapPtr(ref);
    if (cache == nullptr) return -1;
    if (length != 0) std::memcpy(dest, cache, length);
    heapFree(cache);
    return 0;
}

}  // extern "C"
