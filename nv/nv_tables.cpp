// NV tables: the shared state block, its defaults, ring linking and block
// lookup.
#include <atomic>
#include <cstring>
#include <mutex>

#include "mfpsys/mm.h"
#include "nv/nv_first_use.h"
#include "nv/nv_tables.h"
#include "port/fork_guard.h"

extern "C" {

MFPSYS_API NvRealSecEntry* nvRealSec[NV_REAL_SEC_NUM];
MFPSYS_API NvVrtlSecEntry* nvVrtlSec[NV_VRTL_SEC_NUM];

// flash offset, size, ring id, erase-all flag; everything else 0.
MFPSYS_API NvRealSecEntry _nvRealSec[NV_REAL_SEC_NUM] = {
    {0x00000, 0x10000, 1, 1, {}, 0, 0, {}, 0, 0, 0, 0},
    {0x10000, 0x10000, 1, 1, {}, 0, 0, {}, 0, 0, 0, 0},
    {0x20000, 0x10000, 2, 1, {}, 0, 0, {}, 0, 0, 0, 0},
    {0x30000, 0x10000, 2, 1, {}, 0, 0, {}, 0, 0, 0, 0},
    {0x40000, 0x10000, 3, 1, {}, 0, 0, {}, 0, 0, 0, 0},
    {0x50000, 0x10000, 3, 1, {}, 0, 0, {}, 0, 0, 0, 0},
    {0x60000, 0x10000, 4, 0, {}, 0, 0, {}, 0, 0, 0, 0},
    {0x70000, 0x08000, 4, 0, {}, 0, 0, {}, 0, 0, 0, 0},
};
// block address, capacity, ring id; current sector, data offset, cache 0.
MFPSYS_API NvVrtlSecEntry _nvVrtlSec[NV_VRTL_SEC_NUM] = {
    {0x0000, 0xFF00, 1, 0, 0, 0},
    {0x0400, 0xFF00, 2, 0, 0, 0},
    {0x0800, 0xFF00, 3, 0, 0, 0},
    {0x1000, 0x7F00, 4, 0, 0, 0},
};
MFPSYS_API uint32_t _setupInfo[9] = {0xFFFFFFFFu, 0, 0, 0, 0, 0, 0, 0, 0};
MFPSYS_API uint32_t _writeInfo[2] = {0, 0xFFFFFFFFu};
MFPSYS_API uint32_t _eraseInfo[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFFFFFFFFu};
MFPSYS_API int32_t _otherInfo[2] = {0, 0};
MFPSYS_API int32_t NVDBG_SHUTDOWN = 0;

}  // extern "C"

namespace mfpsys::nv {

namespace {

// Set after the pointer arrays, so a thread that finds it at this process's
// mapping finds the arrays pointing there as well.
std::atomic<NvSharedState*> g_state{nullptr};
// The arrays are written only when the mapping is new to the process, by one
// thread at a time; threads that find them in place read and never write.
std::mutex g_pointing;
[[maybe_unused]] const bool g_forkSafe = mfpsys::port::guardAcrossFork(g_pointing, mfpsys::port::LockRank::nvPointers);

void pointAt(NvSharedState* base) {
    if (g_state.load(std::memory_order_acquire) == base) return;
    std::lock_guard lk(g_pointing);
    if (g_state.load(std::memory_order_relaxed) == base) return;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) nvRealSec[s] = &base->realSec[s];
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) nvVrtlSec[b] = &base->vrtlSec[b];
    g_state.store(base, std::memory_order_release);
}
// This process's last attach found the segment at least as large as the
// tables; a retrieve hands out nothing otherwise.
std::atomic<bool> g_wholeSegment{false};

}  // namespace

NvSharedState* state() { return g_state.load(std::memory_order_acquire); }

bool unexamined(int s) {
    NvSharedState* st = state();
    return st != nullptr && s >= 0 && s < NV_REAL_SEC_NUM && ((unexaminedWord(st).load() >> s) & 1u);
}

bool ringUnexamined(int32_t ringId) {
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s)
        if (sec(s)->ringId == ringId && unexamined(s)) return true;
    return false;
}

bool tablesValid() {
    if (state() == nullptr) return false;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        const NvRealSecEntry* r = sec(s);
        if (r->ringId == -1) return false;
        // One copy of each block of the ring after the control area.
        uint64_t need = NV_CTL_AREA_SIZE;
        int blocks = 0;
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
            if (blk(b)->ringId == r->ringId) {
                need += blk(b)->capacity;
                ++blocks;
            }
        }
        if (blocks > NV_CTL_ENTRY_NUM || need > r->size) return false;
        if (uint64_t{r->flashOfst} + r->size > 0x100000000ull) return false;
    }
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        if (blk(b)->ringId == -1 || firstSecOfRing(blk(b)->ringId) < 0) return false;
        if (blk(b)->capacity > 0x7FFFFFFFu) return false;
    }
    return true;
}

int firstSecOfRing(int32_t ringId) { return firstSector(sharedTables(), ringId); }

}  // namespace mfpsys::nv

using namespace mfpsys::nv;

extern "C" {

MFPSYS_API int nvSharedMemAttach(void) {
    int r = mmSharedMemAttach(NV_SHARED_KEY, NV_SHARED_SIZE);
    // A key registered smaller by another client would put the tables past
    // the segment's end: refused.
    bool whole = r >= NV_SHARED_SIZE;
    g_wholeSegment.store(whole);
    return whole ? 0 : -1;
}

MFPSYS_API int nvSharedMemRetrieve(void) {
    if (!g_wholeSegment.load()) return -1;
    auto* base = static_cast<NvSharedState*>(mmSharedMemRetrieveMemory(NV_SHARED_KEY));
    if (base == nullptr) return -1;
    pointAt(base);
    if (poweredUpFlag(base).load(std::memory_order_acquire) != 0) return 0;
    // Defaults go in only under the first-use lock and only while no scan
    // has finished: a scan in another process holds the lock while it builds.
    FirstUseLock lock;
    if (!lock.held()) return -1;
    if (poweredUpFlag(base).load(std::memory_order_acquire) != 0) return 0;
    std::memcpy(base->realSec, _nvRealSec, sizeof base->realSec);
    std::memcpy(base->vrtlSec, _nvVrtlSec, sizeof base->vrtlSec);
    std::memcpy(base->setupInfo, _setupInfo, sizeof base->setupInfo);
    std::memcpy(base->writeInfo, _writeInfo, sizeof base->writeInfo);
    std::memcpy(base->eraseInfo, _eraseInfo, sizeof base->eraseInfo);
    std::memcpy(base->otherInfo, _otherInfo, sizeof base->otherInfo);
    return 0;
}

MFPSYS_API int nvSharedMemDetach(void) { return mmSharedMemDetach(NV_SHARED_KEY); }

MFPSYS_API void nvInitRealTbl(void) {
    if (state() == nullptr) return;
    for (int i = 0; i < NV_REAL_SEC_NUM; ++i) {
        NvRealSecEntry* r = sec(i);
        r->eraseState = NV_ERASE_STATE_READY;
        r->usedEntries = 0;
        r->secCnt = 0;
        r->writeOfst = NV_CTL_AREA_SIZE;
    }
    linkRings(sharedTables());
}

MFPSYS_API void nvInitVrtlTbl(void) {
    if (state() == nullptr) return;
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        NvVrtlSecEntry* v = blk(b);
        int first = firstSecOfRing(v->ringId);
        v->crntSec = first < 0 ? 0u : static_cast<uint32_t>(first);
        v->dataOfst = -1;
        v->cache = 0;
    }
}

MFPSYS_API int nvGetVidx(int32_t blockAddr) {
    if (state() == nullptr) return -1;
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        if (blk(b)->blockAddr == blockAddr) return b;
    return -1;
}

}  // extern "C"
