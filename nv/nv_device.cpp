// The flash device steps: one port/flash_device step each.
#include "nv/nv_device.h"
#include "port/flash_device.h"

extern "C" {

MFPSYS_API int nvReadExe(uint32_t offset, uint32_t length, void* buffer) {
    if (buffer == nullptr && length != 0) return -1;
    return mfpsys::port::flashRead(offset, buffer, length).whole(length) ? 0 : -1;
}

MFPSYS_API int nvWriteExe(uint32_t offset, uint32_t length, const void* buffer) {
    if (buffer == nullptr && length != 0) return -1;
    return mfpsys::port::flashWrite(offset, buffer, length).whole(length) ? 0 : -1;
}

MFPSYS_API int nvEraseExe(uint32_t offset) {
    return mfpsys::port::flashRequest(offset, mfpsys::port::kFlashErase).ok() ? 0 : -1;
}

MFPSYS_API int nvChkEraseExe(uint32_t offset) {
    const auto r = mfpsys::port::flashRequest(offset, mfpsys::port::kFlashEraseStatus);
    // Busy is the request's own answer -1; a device that could not be reached
    // or positioned has none.
    return r.fail == mfpsys::port::FlashFail::Open || r.fail == mfpsys::port::FlashFail::Seek
               ? NV_ERASE_STATUS_UNKNOWN
               : static_cast<int>(r.value);
}

}  // extern "C"
