// Sector erase: started without waiting by a transfer, waited for by the
// power-up scan and erase-all. The erase runs in the device; its end is seen
// only through the status request. Here too: whether a sector reads blank,
// and making one ready for records.
#include <unistd.h>

#include <array>

#include "nv/nv_device.h"
#include "nv/nv_erase.h"
#include "nv/nv_flash.h"
#include "nv/nv_format.h"
#include "nv/nv_tables.h"
#include "port/heap_seam.h"

namespace mfpsys::nv {

Blank rangeBlank(uint32_t offset, uint32_t len) {
    // One device step for the whole range where the heap allows it.
    if (auto* buf = static_cast<uint8_t*>(port::heapAlloc(len ? len : 1))) {
        Blank r = nvReadExe(offset, len, buf) != 0 ? Blank::Unreadable
                  : erasedBytes(buf, len)          ? Blank::Blank
                                                   : Blank::NotBlank;
        port::heapFree(buf);
        return r;
    }
    bool blank = true;
    if (!readInChunks(offset, len, [&](const uint8_t* p, uint32_t n) { return blank = erasedBytes(p, n); }))
        return Blank::Unreadable;
    return blank ? Blank::Blank : Blank::NotBlank;
}

Blank secBlank(int s) {
    NvRealSecEntry* r = sec(s);
    if (r == nullptr || r->size < 4) return Blank::NotBlank;
    auto* buf = static_cast<uint8_t*>(port::heapAlloc(r->size));
    if (buf == nullptr) {
        // Short of heap: the erase ID, then the rest piece by piece.
        std::array<uint8_t, 4> id;
        if (nvReadExe(r->flashOfst, 4, id.data()) != 0) return Blank::Unreadable;
        uint32_t v = port::getBe<uint32_t>(id.data());
        if (v != kEraseIdBlank && v != NV_ERASE_ID_READY) return Blank::NotBlank;
        return rangeBlank(r->flashOfst + 4, r->size - 4);
    }
    Blank result = Blank::Unreadable;
    if (nvReadExe(r->flashOfst, r->size, buf) == 0)
        result = sectorBlank(buf, r->size) ? Blank::Blank : Blank::NotBlank;
    port::heapFree(buf);
    return result;
}

// A sector whose erase has not been seen to end takes no record until the
// device says the erase is over and the sector reads blank; one that is not
// blank (a failed erase, or damage) is sent to erase again. A sector whose
// records nobody could read is neither written nor erased.
int makeReady(int s) {
    NvRealSecEntry* r = sec(s);
    if (unexamined(s)) return NV_E_SYSTEM;
    if (r->eraseState == NV_ERASE_STATE_READY) return 0;
    int status = nvChkEraseExe(r->flashOfst);
    if (status == -1) return NV_E_BUSY;
    if (status == NV_ERASE_STATUS_UNKNOWN) return NV_E_SYSTEM;
    switch (secBlank(s)) {
    case Blank::Unreadable: return NV_E_SYSTEM;
    case Blank::NotBlank: return nvSecEraseNoWait(s) == 0 ? NV_E_BUSY : NV_E_SYSTEM;
    case Blank::Blank: break;
    }
    r->eraseState = NV_ERASE_STATE_READY;
    return 0;
}

}  // namespace mfpsys::nv

using namespace mfpsys::nv;

extern "C" {

MFPSYS_API int nvSecEraseNoWait(int s) {
    NvRealSecEntry* r = sec(s);
    if (r == nullptr) return -1;
    r->eraseState = NV_ERASE_STATE_ERASING;
    // Whatever the sector held is gone once the erase ends: the next record
    // starts a fresh sector.
    r->writeOfst = NV_CTL_AREA_SIZE;
    r->usedEntries = 0;
    // From here on the header no longer reads as valid, even if power goes
    // before the device has wiped the sector.
    nvSetSecEraseID(s, NV_ERASE_ID_ERASING);
    return nvEraseExe(r->flashOfst);
}

MFPSYS_API int nvEraseThreadCreate(int s) { return nvSecEraseNoWait(s); }

MFPSYS_API int nvSecEraseWait(int s) {
    NvRealSecEntry* r = sec(s);
    if (r == nullptr) return -1;
    if (nvSecEraseNoWait(s) != 0) return -1;
    // Far above any sector's erase time: a hung erase or a driver that keeps
    // answering busy must not hold the caller (the power-up scan holds the
    // first-use lock) for ever.
    int status;
    for (int polls = 1; (status = nvChkEraseExe(r->flashOfst)) == -1; ++polls) {
        if (polls == NV_ERASE_WAIT_POLLS) return -1;
        ::sleep(1);
    }
    // An erase whose end could not be seen stays "erasing": nothing is
    // written into the sector before a later status request says it is over.
    if (status == NV_ERASE_STATUS_UNKNOWN) return -1;
    if (nvSetSecEraseID(s, NV_ERASE_ID_READY) != 0) return -1;
    r->eraseState = NV_ERASE_STATE_READY;
    // Blank now: nothing in it is left to examine.
    if (NvSharedState* st = state()) unexaminedWord(st).fetch_and(~(1u << s));
    return 0;
}

}  // extern "C"

