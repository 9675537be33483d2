// Power-up scan: rebuilds the tables from the flash after a restart, and the
// same walk over one ring when a dead writer's work has to be repaired. The
// decisions are the plan's (nv_plan.h); this file reads the flash device for
// it, loads the images and erases what it says.

#include <atomic>
#include <optional>

#include "nv/nv_device.h"
#include "nv/nv_erase.h"
#include "nv/nv_flash.h"
#include "nv/nv_format.h"
#include "nv/nv_plan.h"
#include "nv/nv_scan.h"
#include "nv/nv_tables.h"
#include "port/heap_seam.h"

namespace mfpsys::nv {

namespace {

void markUnexamined(int s) { unexaminedWord(state()).fetch_or(1u << s); }

// Checks a record's data checksum without a heap buffer; nothing when the
// device could not be read.
std::optional<bool> recordIntact(uint32_t dataOfst, uint32_t len, uint16_t stored) {
    uint32_t sum = 0;
    const bool read = readInChunks(dataOfst, len, [&](const uint8_t* p, uint32_t n) {
        sum += nvCalcCksm(p, static_cast<int32_t>(n));
        return true;
    });
    if (!read) return std::nullopt;
    return static_cast<uint16_t>(sum) == stored;
}

// The plan on the flash device. Each record taken for a block named in load
// becomes that block's heap image once the walk is over; the other blocks'
// records are only checked.
class DevicePort final : public ScanPort {
public:
    explicit DevicePort(const bool (&load)[NV_VRTL_SEC_NUM]) {
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) load_[b] = load[b];
    }
    ~DevicePort() {
        for (uint8_t* image : image_) port::heapFree(image);
    }
    DevicePort(const DevicePort&) = delete;
    DevicePort& operator=(const DevicePort&) = delete;

    bool read(uint32_t offset, uint32_t n, uint8_t* buf) override {
        return noteRead(offset, nvReadExe(offset, n, buf) == 0);
    }
    Blank erased(uint32_t offset, uint32_t n) override { return rangeBlank(offset, n); }
    bool take(int b, uint32_t offset, uint16_t cksm) override {
        NvVrtlSecEntry* v = blk(b);
        auto* buf = load_[b] ? static_cast<uint8_t*>(port::heapAlloc(v->capacity)) : nullptr;
        if (buf == nullptr) {
            std::optional<bool> intact = recordIntact(offset, v->capacity, cksm);
            const bool ok = noteRead(offset, intact.has_value()) && *intact;
            taken_[b] = load_[b] && ok;
            return ok;
        }
        // The checksum comes from the control area the plan has read.
        if (!noteRead(offset, nvReadExe(offset, v->capacity, buf) == 0) || sum16(buf, v->capacity) != cksm) {
            port::heapFree(buf);
            return false;
        }
        image_[b] = buf;
        taken_[b] = true;
        return true;
    }
    void drop(int b) override {
        port::heapFree(image_[b]);
        image_[b] = nullptr;
        taken_[b] = false;
    }
    // A sector that cannot be read is left alone and marked, so that nothing
    // is written into it and it is not erased before its ring is examined
    // again. One that failed a read in this walk counts as such even if it
    // reads now: the failure may have hidden the only copy of a block.
    void clear(int s, Clear) override {
        Blank blank = unexamined(s) ? Blank::Unreadable : secBlank(s);
        if (blank == Blank::NotBlank) {
            nvSecEraseWait(s);
        } else if (blank == Blank::Unreadable) {
            markUnexamined(s);
        }
    }
    void unreadable(int s) override { markUnexamined(s); }

    // Gives each block of the ring named in load what the walk found: its
    // image, or the mark that its first read takes it from the flash (no
    // heap for it; or, after a walk over the whole ring, no copy found while
    // a sector of the ring is unexamined). An image not yet handed out is
    // replaced; one a reader took meanwhile stays taken.
    void install(int32_t ringId, bool wholeRing) {
        const bool open = ringUnexamined(ringId);
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
            NvVrtlSecEntry* v = blk(b);
            if (!load_[b] || v->ringId != ringId) continue;
            uint32_t old = cacheRef(v).load(std::memory_order_acquire);
            uint32_t want = old;
            if (taken_[b]) want = image_[b] ? port::heapRef(image_[b]) : kImageOnFlash;
            else if (wholeRing && open && old == 0) want = kImageOnFlash;
            else if (wholeRing && !open && old == kImageOnFlash) want = 0;
            if (want == old || !cacheRef(v).compare_exchange_strong(old, want, std::memory_order_acq_rel)) continue;
            if (isHeapImage(old)) port::heapFree(port::heapPtr(old));
            image_[b] = nullptr;
        }
    }

private:
    bool noteRead(uint32_t offset, bool ok) {
        for (int s = 0; !ok && s < NV_REAL_SEC_NUM; ++s)
            if (offset - sec(s)->flashOfst < sec(s)->size) markUnexamined(s);
        return ok;
    }
    bool load_[NV_VRTL_SEC_NUM];
    bool taken_[NV_VRTL_SEC_NUM] = {};
    uint8_t* image_[NV_VRTL_SEC_NUM] = {};
};

// Which blocks a walk over a ring loads, and which count as found already.
struct Walk {
    bool load[NV_VRTL_SEC_NUM];
    bool found[NV_VRTL_SEC_NUM];
};

Walk walkFor(int32_t ringId, Images images) {
    Walk w{};
    const bool open = ringUnexamined(ringId);
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        uint32_t c = cacheRef(blk(b)).load(std::memory_order_acquire);
        // After power-up only an image still to be handed out is renewed:
        // one taken from the flash on its first read, or one in memory while
        // its ring was unexamined (no write has changed such a ring since).
        w.load[b] = images == Images::Load      ? c == 0
                    : images == Images::Refresh ? c == kImageOnFlash || (c != 0 && open)
                                                : false;
        w.found[b] = images == Images::Load && c != 0;
    }
    return w;
}

void walkRing(int32_t ringId, Walk w) {
    DevicePort port(w.load);
    planRing(sharedTables(), port, ringId, w.found);
    port.install(ringId, true);
}

}  // namespace

void rescanRing(const WriteLockHeld&, int32_t ringId, Images images) {
    const Walk w = walkFor(ringId, images);
    Tables t = sharedTables();
    uint32_t ringBits = 0;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        NvRealSecEntry* r = t.sec[s];
        if (r->ringId != ringId) continue;
        r->usedEntries = 0;
        r->writeOfst = NV_CTL_AREA_SIZE;
        ringBits |= 1u << s;
    }
    // Each sector of the ring is examined afresh.
    unexaminedWord(state()).fetch_and(~ringBits);
    const bool none[NV_VRTL_SEC_NUM] = {};
    DevicePort port(none);
    readCounts(t, port, ringId);
    int first = firstSector(t, ringId);
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        NvVrtlSecEntry* v = t.blk[b];
        if (v->ringId != ringId) continue;
        v->dataOfst = -1;
        v->crntSec = static_cast<uint32_t>(first);
    }
    walkRing(ringId, w);
}

}  // namespace mfpsys::nv

using namespace mfpsys::nv;

extern "C" {

MFPSYS_API int nvGetSecCntAll(void) {
    if (state() == nullptr) return -1;
    const bool none[NV_VRTL_SEC_NUM] = {};
    DevicePort port(none);
    readCounts(sharedTables(), port, kAllRings);
    return 0;
}

MFPSYS_API int* nvSetIdList(int list[5]) {
    if (list == nullptr) return nullptr;
    for (int i = 0; i < 5; ++i) list[i] = kNoRing;
    if (state() == nullptr) return list;
    ringIds(sharedTables(), list);
    return list;
}

MFPSYS_API int nvGetCrntSec(int ringId) {
    if (state() == nullptr) return -1;
    return newestSector(sharedTables(), ringId);
}

MFPSYS_API int nvGetSecData(int s) {
    if (sec(s) == nullptr) return 0;
    bool load[NV_VRTL_SEC_NUM], found[NV_VRTL_SEC_NUM];
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        found[b] = cacheRef(blk(b)).load(std::memory_order_acquire) != 0;
        load[b] = !found[b];
    }
    DevicePort port(load);
    planSector(sharedTables(), port, s, found);
    port.install(sec(s)->ringId, false);
    return 0;
}

MFPSYS_API int nvChkSecErase(int s) {
    if (sec(s) == nullptr) return -1;
    switch (secBlank(s)) {
    case Blank::Blank: return 0;
    case Blank::NotBlank: return -1;
    case Blank::Unreadable: break;
    }
    return NV_SEC_UNREADABLE;
}

MFPSYS_API int nvSetupData(void) {
    if (state() == nullptr) return -1;
    int list[5];
    nvSetIdList(list);
    for (int i = 0; i < 5 && list[i] != kNoRing; ++i) walkRing(list[i], walkFor(list[i], Images::Load));
    return 0;
}

}  // extern "C"
