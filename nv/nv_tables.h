// The NV store's shared state: this process's view of the segment, the one
// way to reach a sector's and a block's record, and the words of the state
// that several files read and change. The exported table calls
// (nvSharedMemAttach, nvSharedMemRetrieve, nvSharedMemDetach, nvInitRealTbl,
// nvInitVrtlTbl, nvGetVidx) are declared in mfpsys/nv.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "mfpsys/nv.h"
#include "nv/nv_plan.h"

namespace mfpsys::nv {

// Write area word 1: block whose write is in progress.
inline constexpr uint32_t kPendingNone = 0xFFFFFFFFu;
inline constexpr uint32_t kPendingAll = 0xFFFFFFFEu;

// This process's attachment (null until a retrieve succeeded).
NvSharedState* state();

// Sector s's and block b's record, or null for an index out of range.
inline NvRealSecEntry* sec(int s) {
    return (s >= 0 && s < NV_REAL_SEC_NUM) ? nvRealSec[s] : nullptr;
}
inline NvVrtlSecEntry* blk(int b) {
    return (b >= 0 && b < NV_VRTL_SEC_NUM) ? nvVrtlSec[b] : nullptr;
}

inline Tables sharedTables() {
    Tables t;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) t.sec[s] = nvRealSec[s];
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) t.blk[b] = nvVrtlSec[b];
    return t;
}

inline std::atomic_ref<int32_t> poweredUpFlag(NvSharedState* st) {
    return std::atomic_ref<int32_t>(st->otherInfo[1]);
}
inline std::atomic_ref<uint32_t> pendingWord(NvSharedState* st) {
    return std::atomic_ref<uint32_t>(st->writeInfo[1]);
}
inline std::atomic_ref<uint32_t> cacheRef(NvVrtlSecEntry* v) {
    return std::atomic_ref<uint32_t>(v->cache);
}
// Cache word of a block whose image is still to be handed out but is not in
// memory (the heap was short, or its ring holds a sector the scan could not
// examine): its first read takes it from the flash. No heap block has this
// reference (an odd address, and far beyond the stand-in's segment).
inline constexpr uint32_t kImageOnFlash = 0xFFFFFFFFu;
inline bool isHeapImage(uint32_t ref) { return ref != 0 && ref != kImageOnFlash; }

// Erase area word 0: the sectors, by bit, whose records the last scan of
// their ring could not examine (a read failed). Nothing is written into such
// a sector, nor is it erased, before its ring has been examined again.
inline std::atomic_ref<uint32_t> unexaminedWord(NvSharedState* st) {
    return std::atomic_ref<uint32_t>(st->eraseInfo[0]);
}
bool unexamined(int s);
bool ringUnexamined(int32_t ringId);

// Names the block whose ring is being changed in the shared state for as
// long as the change runs, so that a holder's death is repaired on the right
// ring.
class PendingChange {
public:
    PendingChange(NvSharedState* st, int b) : st_(st) { pendingWord(st_).store(static_cast<uint32_t>(b)); }
    ~PendingChange() { pendingWord(st_).store(kPendingNone); }
    PendingChange(const PendingChange&) = delete;
    PendingChange& operator=(const PendingChange&) = delete;
private:
    NvSharedState* st_;
};

// The tables obey the rules the store relies on (every block has a ring with
// sectors, no ring id -1, every sector holds one copy of each of its ring's
// blocks).
bool tablesValid();

// Lowest sector index of a ring, or -1.
int firstSecOfRing(int32_t ringId);

}  // namespace mfpsys::nv
