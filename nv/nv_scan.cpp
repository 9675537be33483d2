// Power-up scan: rebuilds the tables from the flash after a restart, and the
// same walk over one ring when a dead writer's work has to be repaired.
#include <array>
#include <cstring>

#include "nv/nv_format.h"
#include "nv/nv_internal.h"

namespace mfpsys::nv {

namespace {

// 1 when len bytes at offset all read 0xFF, 0 when some do not, -1 when the
// device failed.
// True when every byte is 0xFF, compared a block at a time.
bool erasedBytes(const uint8_t* p, size_t n) {
    static const std::array<uint8_t, 256> ff = [] {
        std::array<uint8_t, 256> a{};
        a.fill(0xFF);
        return a;
    }();
    for (; n >= ff.size(); p += ff.size(), n -= ff.size())
        if (std::memcmp(p, ff.data(), ff.size()) != 0) return false;
    return std::memcmp(p, ff.data(), n) == 0;
}

int allErased(uint32_t offset, uint32_t len) {
    // One device step for the whole range where the heap allows it.
    if (auto* buf = static_cast<uint8_t*>(heapAlloc(len ? len : 1))) {
        int r = nvReadExe(offset, len, buf) != 0 ? -1 : erasedBytes(buf, len) ? 1 : 0;
        heapFree(buf);
        return r;
    }
    std::array<uint8_t, 4096> chunk;
    while (len > 0) {
        uint32_t n = len < chunk.size() ? len : static_cast<uint32_t>(chunk.size());
        if (nvReadExe(offset, n, chunk.data()) != 0) return -1;
        if (!erasedBytes(chunk.data(), n)) return 0;
        offset += n;
        len -= n;
    }
    return 1;
}

// Checks a record's data checksum without a heap buffer.
bool recordIntact(uint32_t dataOfst, uint32_t len, uint16_t stored) {
    std::array<uint8_t, 4096> chunk;
    uint32_t sum = 0;
    while (len > 0) {
        uint32_t n = len < chunk.size() ? len : static_cast<uint32_t>(chunk.size());
        if (nvReadExe(dataOfst, n, chunk.data()) != 0) return false;
        sum += nvCalcCksm(chunk.data(), static_cast<int32_t>(n));
        dataOfst += n;
        len -= n;
    }
    return (sum & 0xFFFF) == stored;
}

struct SectorResult {
    int supplied = 0;          // blocks whose newest copy this sector gave
    bool readFailed = false;   // the control area could not be read
    bool topUsable = false;    // the highest entry in use set the write offset
};

// Reads sector s's control entries newest first and takes the newest intact
// copy of every block not yet found. With loadCaches the copy goes into a
// heap image (the block's cache); otherwise only the tables follow the flash.
SectorResult scanSector(int s, bool found[NV_VRTL_SEC_NUM], bool loadCaches) {
    SectorResult res;
    NvRealSecEntry* r = sec(s);
    std::array<uint8_t, NV_CTL_AREA_SIZE> ctl;
    if (nvReadExe(r->flashOfst, NV_CTL_AREA_SIZE, ctl.data()) != 0) {
        res.readFailed = true;
        return res;
    }
    int top = -1;
    bool offsetSet = false;
    for (int e = NV_CTL_ENTRY_NUM - 1; e >= 0; --e) {
        const uint8_t* ent = ctl.data() + kCtlBase + kCtlSize * e;
        uint16_t mark = be16(ent);
        if (mark & 0x8000) continue;  // free
        if (top < 0) {
            top = e;
            r->usedEntries = static_cast<uint32_t>(e + 1);
        }
        if ((nvCalcCksm(ent, 14) & 0xFFFF) != be16(ent + 14) || (mark & 0xC000) != 0) continue;
        int b = nvGetVidx(static_cast<int32_t>(be32(ent + 8)));
        if (b < 0) continue;
        NvVrtlSecEntry* v = nvVrtlSec[b];
        // A block of another ring (tables changed since the record was
        // written, or a damaged address) never takes its copy from here: a
        // write would move the wrong ring and leave the block unwritten.
        bool ownRing = v->ringId == r->ringId;
        if (ownRing && found[b]) continue;
        uint32_t dataOfst = be32(ent + 4);
        // An entry pointing outside its sector cannot be a record of ours.
        if (dataOfst < NV_CTL_AREA_SIZE || uint64_t{dataOfst} + v->capacity > r->size) continue;
        // Its bytes are programmed all the same: nothing goes over them.
        if (!offsetSet) {
            offsetSet = true;
            r->writeOfst = dataOfst + v->capacity;
            res.topUsable = (e == top);
        }
        if (!ownRing) continue;
        uint32_t cksmOfst = r->flashOfst + kCtlBase + kCtlSize * static_cast<uint32_t>(e) + 2;
        void* buf = loadCaches ? heapAlloc(v->capacity) : nullptr;
        bool intact;
        if (buf != nullptr) {
            intact = nvChkData(r->flashOfst + dataOfst, v->capacity, cksmOfst, buf) == 0;
        } else {
            intact = recordIntact(r->flashOfst + dataOfst, v->capacity, be16(ent + 2));
        }
        if (!intact) {
            heapFree(buf);
            continue;
        }
        found[b] = true;
        ++res.supplied;
        v->dataOfst = static_cast<int32_t>(dataOfst);
        v->crntSec = static_cast<uint32_t>(s);
        if (buf != nullptr) cacheRef(v).store(heapRef(buf), std::memory_order_release);
    }
    return res;
}

// Erases a sector that is not blank; one that cannot be read is left alone
// but marked so that nothing is written into it before it is seen erased.
void cleanSector(int s) {
    int blank = secBlank(s);
    if (blank == -1) {
        nvSecEraseWait(s);
    } else if (blank == NV_SEC_UNREADABLE) {
        sec(s)->eraseState = NV_ERASE_STATE_ERASING;
    }
}

// A kept sector takes further records only where nothing has been
// programmed: a record cut short above the newest usable one, or any
// programmed byte past the write offset, makes the next write move on.
void closeIfDirty(int s, bool topUsable) {
    NvRealSecEntry* r = sec(s);
    bool clean = topUsable && r->writeOfst <= r->size;
    if (clean && r->writeOfst < r->size) clean = allErased(r->flashOfst + r->writeOfst, r->size - r->writeOfst) == 1;
    if (clean && r->usedEntries < NV_CTL_ENTRY_NUM) {
        uint32_t from = kCtlBase + kCtlSize * r->usedEntries;
        clean = allErased(r->flashOfst + from, NV_CTL_AREA_SIZE - from) == 1;
    }
    if (!clean) r->writeOfst = r->size;
}

bool ringComplete(int32_t ringId, const bool found[NV_VRTL_SEC_NUM]) {
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        if (nvVrtlSec[b]->ringId == ringId && !found[b]) return false;
    return true;
}

}  // namespace

int secBlank(int s) {
    NvRealSecEntry* r = sec(s);
    if (r == nullptr) return -1;
    auto* buf = static_cast<uint8_t*>(heapAlloc(r->size));
    if (buf == nullptr) return NV_SEC_UNREADABLE;
    int result = -1;
    if (r->size < 4 || nvReadExe(r->flashOfst, r->size, buf) != 0) {
        result = NV_SEC_UNREADABLE;
    } else {
        uint32_t id = be32(buf);
        bool blank = (id == 0xFFFFFFFFu || id == NV_ERASE_ID_READY) && erasedBytes(buf + 4, r->size - 4);
        result = blank ? 0 : -1;
    }
    heapFree(buf);
    return result;
}

void scanRing(int32_t ringId, bool loadCaches) {
    bool found[NV_VRTL_SEC_NUM];
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        found[b] = loadCaches && cacheRef(nvVrtlSec[b]).load(std::memory_order_acquire) != 0;

    int cur = nvGetCrntSec(ringId);
    if (cur < 0) {
        for (int s = 0; s < NV_REAL_SEC_NUM; ++s)
            if (nvRealSec[s]->ringId == ringId) cleanSector(s);
        return;
    }
    int kept = -1;  // newest sector left in use
    bool searching = true;
    int s = cur;
    do {
        if (searching) {
            SectorResult res = scanSector(s, found, loadCaches);
            if (ringComplete(ringId, found)) {
                searching = false;
                if (kept < 0) kept = s;
                closeIfDirty(s, res.topUsable);
            } else if (res.supplied > 0) {
                NvRealSecEntry* prev = sec(static_cast<int>(nvRealSec[s]->prev));
                bool transferCutShort = s == cur && prev != nvRealSec[s] && prev->secCnt != NV_SEC_CNT_NONE;
                if (transferCutShort) {
                    // The ring's older sector still holds every block: forget
                    // the partial copies and take them from there.
                    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
                        NvVrtlSecEntry* v = nvVrtlSec[b];
                        if (v->ringId != ringId || !found[b] || v->crntSec != static_cast<uint32_t>(s)) continue;
                        found[b] = false;
                        v->dataOfst = -1;
                        if (loadCaches) heapFree(heapPtr(cacheRef(v).exchange(0)));
                    }
                    cleanSector(s);
                } else {
                    // Holds the only copy of some block: keep it.
                    if (kept < 0) kept = s;
                    closeIfDirty(s, res.topUsable);
                }
            } else if (res.readFailed) {
                nvRealSec[s]->eraseState = NV_ERASE_STATE_ERASING;
            } else {
                cleanSector(s);
            }
        } else {
            cleanSector(s);
        }
        s = static_cast<int>(nvRealSec[s]->prev);
    } while (s != cur);

    // Blocks without a copy go where the rest of their ring lives.
    int home = kept >= 0 ? kept : firstSecOfRing(ringId);
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        NvVrtlSecEntry* v = nvVrtlSec[b];
        if (v->ringId == ringId && v->dataOfst == -1) v->crntSec = static_cast<uint32_t>(home);
    }
}

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
    nvGetSecCntAll();
    nvSetupData();
    return 0;
}

MFPSYS_API int nvGetSecCntAll(void) {
    if (state() == nullptr) return -1;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        NvRealSecEntry* r = nvRealSec[s];
        r->secCnt = NV_SEC_CNT_NONE;
        uint16_t cnt = 0;
        if (nvChkSecEraseID(s) == 0 && nvChkMark(s) == 0 && nvGetSecCnt(s, &cnt) == 0) r->secCnt = cnt;
    }
    return 0;
}

MFPSYS_API int* nvSetIdList(int list[5]) {
    if (list == nullptr) return nullptr;
    for (int i = 0; i < 5; ++i) list[i] = -1;
    if (state() == nullptr) return list;
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        int32_t ring = nvVrtlSec[b]->ringId;
        for (int i = 0; i < 4; ++i) {
            if (list[i] == ring) break;
            if (list[i] == -1) {
                list[i] = ring;
                break;
            }
        }
    }
    return list;
}

MFPSYS_API int nvGetCrntSec(int ringId) {
    if (state() == nullptr) return -1;
    int64_t work[NV_REAL_SEC_NUM];
    bool high = false;
    for (int i = 0; i < NV_REAL_SEC_NUM; ++i) {
        const NvRealSecEntry* r = nvRealSec[i];
        work[i] = (r->ringId == ringId && r->secCnt != NV_SEC_CNT_NONE) ? r->secCnt : -1;
        if (work[i] > 0xFFF0) high = true;
    }
    // Counts wrap: just after 0xFFFE come 0, 1, ...
    if (high)
        for (int64_t& w : work)
            if (w >= 0 && w <= 15) w += 0x10000;
    int best = -1;
    for (int i = 0; i < NV_REAL_SEC_NUM; ++i)
        if (work[i] >= 0 && (best < 0 || work[i] > work[best])) best = i;
    return best;
}

MFPSYS_API int nvGetSecData(int s) {
    if (sec(s) == nullptr) return 0;
    bool found[NV_VRTL_SEC_NUM];
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        found[b] = cacheRef(nvVrtlSec[b]).load(std::memory_order_acquire) != 0;
    scanSector(s, found, true);
    return 0;
}

MFPSYS_API int nvChkSecErase(int s) { return secBlank(s); }

MFPSYS_API int nvSetupData(void) {
    if (state() == nullptr) return -1;
    int list[5];
    nvSetIdList(list);
    for (int i = 0; i < 5 && list[i] != -1; ++i) scanRing(list[i], true);
    return 0;
}

}  // extern "C"
