// Power-up scan: rebuilds the tables from the flash after a restart, and the
// same walk over one ring when a dead writer's work has to be repaired. The
// decisions are the plan's (nv_plan.h); this file reads the flash device for
// it, loads the images and erases what it says.

#include <atomic>
#include <optional>

#include "nv/nv_format.h"
#include "nv/nv_internal.h"
#include "nv/nv_plan.h"

namespace mfpsys::nv {

namespace {

// Sectors a read failed on since this process's scan began, by bit: the
// count pass and the ring walks are separate calls.
std::atomic<uint32_t> unreadSectors{0};

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

// The plan on the flash device. With loadCaches each record taken becomes
// its block's heap image (the cache); otherwise only the tables follow the
// flash.
class DevicePort final : public ScanPort {
public:
    explicit DevicePort(bool loadCaches) : loadCaches_(loadCaches) {}
    bool read(uint32_t offset, uint32_t n, uint8_t* buf) override {
        return noteRead(offset, nvReadExe(offset, n, buf) == 0);
    }
    Blank erased(uint32_t offset, uint32_t n) override { return rangeBlank(offset, n); }
    bool take(int b, uint32_t offset, uint16_t cksm) override {
        NvVrtlSecEntry* v = nvVrtlSec[b];
        auto* buf = loadCaches_ ? static_cast<uint8_t*>(heapAlloc(v->capacity)) : nullptr;
        if (buf == nullptr) {
            std::optional<bool> intact = recordIntact(offset, v->capacity, cksm);
            return noteRead(offset, intact.has_value()) && *intact;
        }
        // The checksum comes from the control area the plan has read.
        if (!noteRead(offset, nvReadExe(offset, v->capacity, buf) == 0) || sum16(buf, v->capacity) != cksm) {
            heapFree(buf);
            return false;
        }
        cacheRef(v).store(heapRef(buf), std::memory_order_release);
        return true;
    }
    void drop(int b) override {
        if (loadCaches_) heapFree(heapPtr(cacheRef(nvVrtlSec[b]).exchange(0)));
    }
    // A sector that cannot be read is left alone but marked so that nothing
    // is written into it before it is seen erased. One that failed a read in
    // this scan counts as such even if it reads now: the failure may have
    // hidden the only copy of a block.
    void clear(int s, Clear) override {
        Blank blank = (unreadSectors.load() >> s) & 1u ? Blank::Unreadable : secBlank(s);
        if (blank == Blank::NotBlank) {
            nvSecEraseWait(s);
        } else if (blank == Blank::Unreadable) {
            unreadable(s);
        }
    }
    void unreadable(int s) override { nvRealSec[s]->eraseState = NV_ERASE_STATE_ERASING; }
private:
    bool noteRead(uint32_t offset, bool ok) {
        for (int s = 0; !ok && s < NV_REAL_SEC_NUM; ++s)
            if (offset - nvRealSec[s]->flashOfst < nvRealSec[s]->size) unreadSectors.fetch_or(1u << s);
        return ok;
    }
    bool loadCaches_;
};

}  // namespace

void scanRing(int32_t ringId, bool loadCaches) {
    bool found[NV_VRTL_SEC_NUM];
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        found[b] = loadCaches && cacheRef(nvVrtlSec[b]).load(std::memory_order_acquire) != 0;
    DevicePort port(loadCaches);
    planRing(sharedTables(), port, ringId, found);
}

void rescanRing(const WriteLockHeld&, int32_t ringId) {
    Tables t = sharedTables();
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        NvRealSecEntry* r = t.sec[s];
        if (r->ringId != ringId) continue;
        r->usedEntries = 0;
        r->writeOfst = NV_CTL_AREA_SIZE;
    }
    unreadSectors.store(0);
    DevicePort port(false);
    readCounts(t, port, ringId);
    int first = firstSector(t, ringId);
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        NvVrtlSecEntry* v = t.blk[b];
        if (v->ringId != ringId) continue;
        v->dataOfst = -1;
        v->crntSec = static_cast<uint32_t>(first);
    }
    scanRing(ringId, false);
}

int firstSecOfRing(int32_t ringId) { return firstSector(sharedTables(), ringId); }

}  // namespace mfpsys::nv

using namespace mfpsys::nv;

extern "C" {

MFPSYS_API int nvPowerup(void) {
    NvSharedState* st = state();
    if (st == nullptr) return -1;
    FirstUseLock lock;
    if (!lock.held() || !tablesValid()) return -1;
    nvInitSemaphore();
    nvInitRealTbl();
    nvInitVrtlTbl();
    pendingWord(st).store(kPendingNone);
    unreadSectors.store(0);
    nvGetSecCntAll();
    nvSetupData();
    return 0;
}

MFPSYS_API int nvGetSecCntAll(void) {
    if (state() == nullptr) return -1;
    DevicePort port(false);
    readCounts(sharedTables(), port, kAllRings);
    return 0;
}

MFPSYS_API int* nvSetIdList(int list[5]) {
    if (list == nullptr) return nullptr;
    for (int i = 0; i < 5; ++i) list[i] = -1;
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
    bool found[NV_VRTL_SEC_NUM];
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        found[b] = cacheRef(nvVrtlSec[b]).load(std::memory_order_acquire) != 0;
    DevicePort port(true);
    planSector(sharedTables(), port, s, found);
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
    for (int i = 0; i < 5 && list[i] != -1; ++i) scanRing(list[i], true);
    return 0;
}

}  // extern "C"
