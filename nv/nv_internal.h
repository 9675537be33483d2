// Inner helpers of the NV store shared by its source files (not exported).
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "mfpsys/nv.h"
#include "nv/nv_plan.h"
#include "port/heap_seam.h"

namespace mfpsys::nv {

// System-wide lock of first use and of write-lock repair; SEM_UNDO, so a
// holder that dies gives it back.
inline constexpr key_t kFirstUseSemKey = 0x4D504E01;
// Write area word 1: block whose write is in progress.
inline constexpr uint32_t kPendingNone = 0xFFFFFFFFu;
inline constexpr uint32_t kPendingAll = 0xFFFFFFFEu;

// This process's attachment (null until a retrieve succeeded).
NvSharedState* state();

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

// Heap memory shared by every process, named by 32-bit references.
using mfpsys::port::heapAlloc;
using mfpsys::port::heapFree;
using mfpsys::port::heapPtr;
using mfpsys::port::heapRef;

// Proof that the NV write lock is held: only the code that took it (or, in
// nvWriteReq, whose caller must have) makes one, and every function that
// changes the tables or the flash for a write, a move, an erase-all or a
// dead writer's repair asks for it.
class WriteLockHeld {
public:
    WriteLockHeld(const WriteLockHeld&) = delete;
    WriteLockHeld& operator=(const WriteLockHeld&) = delete;
private:
    WriteLockHeld() = default;
    friend int ::nvWriteReq(int32_t, uint32_t, const void*);
    friend class PatientWriteLock;
    friend bool recoverWriteLock(int semId);
};

// The write lock taken for as long as a live process holds it (a dead
// holder's is recovered), given back at the end of the scope.
class PatientWriteLock {
public:
    PatientWriteLock();
    ~PatientWriteLock();
    PatientWriteLock(const PatientWriteLock&) = delete;
    PatientWriteLock& operator=(const PatientWriteLock&) = delete;
    bool held() const { return held_; }
    // Only while held().
    const WriteLockHeld& token() const { return token_; }
private:
    bool held_;
    WriteLockHeld token_;
};

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

// The first-use lock, reentrant on one thread.
class FirstUseLock {
public:
    FirstUseLock();
    ~FirstUseLock();
    FirstUseLock(const FirstUseLock&) = delete;
    FirstUseLock& operator=(const FirstUseLock&) = delete;
    bool held() const { return held_; }
private:
    bool held_ = false;
};

// Attach, retrieve and, if no scan has run yet, run it under the first-use
// lock (without handing caches to anybody). 0 when the tables describe the
// flash, -1 otherwise.
int ensurePoweredUp();

// The tables obey the rules the store relies on (every block has a ring with
// sectors, no ring id -1, every sector holds one copy of each of its ring's
// blocks).
bool tablesValid();

// What a walk over a ring does with the blocks' images.
enum class Images {
    Load,     // the power-up scan: each block without one gets its image
    Keep,     // the repair after a dead writer: caches untouched
    Refresh,  // examined again: an image not yet handed out becomes the
              // newest copy found
};

// The tables of one ring back to what its flash holds, its counts read
// again and its sectors' examination marks renewed.
void rescanRing(const WriteLockHeld&, int32_t ringId, Images images);

// Lowest sector index of a ring, or -1.
int firstSecOfRing(int32_t ringId);

// Brings the write lock back when its holder died; call with the lock seen
// busy. True when the lock was reset (or was found free).
bool recoverWriteLock(int semId);

// Whether sector s reads erased (its erase ID may also read ready).
Blank secBlank(int s);

// Whether len bytes at device offset all read 0xFF.
Blank rangeBlank(uint32_t offset, uint32_t len);

// Reads len bytes from offset in pieces of at most 4 KiB, for checks that
// need no heap buffer, handing each piece to visit(bytes, n); visit returns
// false to stop early. False only when a read failed.
template <class Visit>
bool readInChunks(uint32_t offset, uint32_t len, Visit visit) {
    std::array<uint8_t, 4096> chunk;
    while (len > 0) {
        uint32_t n = len < chunk.size() ? len : static_cast<uint32_t>(chunk.size());
        if (nvReadExe(offset, n, chunk.data()) != 0) return false;
        if (!visit(chunk.data(), n)) return true;
        offset += n;
        len -= n;
    }
    return true;
}

// 0 when sector s may take a record now; NV_E_BUSY while its erase runs (or
// was started again because it did not read blank), NV_E_SYSTEM when the
// device cannot tell or the sector's records were not examined.
int makeReady(int s);

}  // namespace mfpsys::nv
