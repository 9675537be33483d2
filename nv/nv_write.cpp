// Block write: append a full-capacity copy to the ring's current sector, or
// move the ring to its next sector when the current one is full. Only writers
// holding the write lock change the tables; a device failure leaves the
// tables describing the flash and the damaged area closed to appends.
#include <sys/ipc.h>
#include <unistd.h>

#include <cerrno>

#include "nv/nv_device.h"
#include "nv/nv_erase.h"
#include "nv/nv_flash.h"
#include "nv/nv_lock.h"
#include "nv/nv_powerup.h"
#include "nv/nv_repair.h"
#include "nv/nv_scan.h"
#include "nv/nv_tables.h"
#include "port/heap_seam.h"

using namespace mfpsys::nv;

namespace {

// What a failed transfer must put back (caches are left alone: a reader in
// another process may release one at any time).
struct RingSnapshot {
    NvRealSecEntry sectors[NV_REAL_SEC_NUM];
    uint32_t crntSec[NV_VRTL_SEC_NUM];
    int32_t dataOfst[NV_VRTL_SEC_NUM];

    void take() {
        for (int s = 0; s < NV_REAL_SEC_NUM; ++s) sectors[s] = *sec(s);
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
            crntSec[b] = blk(b)->crntSec;
            dataOfst[b] = blk(b)->dataOfst;
        }
    }
    void restore() const {
        for (int s = 0; s < NV_REAL_SEC_NUM; ++s) *sec(s) = sectors[s];
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
            blk(b)->crntSec = crntSec[b];
            blk(b)->dataOfst = dataOfst[b];
        }
    }
};

// Moves the ring of block vidx from its current sector to the next one and
// writes the new copy there.
int transfer(const WriteLockHeld&, int vidx, uint32_t length, const void* data) {
    NvVrtlSecEntry* v = blk(vidx);
    int oldSec = static_cast<int>(v->crntSec);
    NvRealSecEntry* o = sec(oldSec);
    int newSec = static_cast<int>(o->next);
    NvRealSecEntry* n = sec(newSec);
    if (n == nullptr || newSec == oldSec) return NV_E_SYSTEM;  // a ring of one sector cannot move
    int32_t ringId = o->ringId;
    // Never write over the only copy of a block.
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        NvVrtlSecEntry* w = blk(b);
        if (w->ringId == ringId && w->dataOfst != -1 && w->crntSec == static_cast<uint32_t>(newSec))
            return NV_E_SYSTEM;
    }
    // Sectors left behind once the ring has moved: the old one and any other
    // holding a block's newest copy. None whose records were not examined
    // is erased.
    bool left[NV_REAL_SEC_NUM] = {};
    left[oldSec] = true;
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
        if (NvVrtlSecEntry* w = blk(b); w->ringId == ringId && w->dataOfst != -1 && w->crntSec < NV_REAL_SEC_NUM)
            left[w->crntSec] = true;
    left[newSec] = false;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s)
        if (left[s] && unexamined(s)) return NV_E_SYSTEM;
    if (int rc = makeReady(newSec); rc != 0) return rc;

    RingSnapshot snap;
    snap.take();
    n->writeOfst = NV_CTL_AREA_SIZE;
    o->usedEntries = 0;
    bool ok = true;
    for (int b = 0; b < NV_VRTL_SEC_NUM && ok; ++b) {
        NvVrtlSecEntry* w = blk(b);
        if (w->ringId != ringId) continue;
        w->crntSec = static_cast<uint32_t>(newSec);
        if (b == vidx) {
            ok = nvSetData(newSec, b, length, data) == 0;
        } else if (snap.dataOfst[b] != -1) {
            // Each block's newest copy, from wherever it lies, through a
            // buffer only as long as the copy is needed.
            void* scratch = mfpsys::port::heapAlloc(w->capacity);
            const NvRealSecEntry& src = snap.sectors[snap.crntSec[b]];
            ok = scratch != nullptr &&
                 nvReadExe(src.flashOfst + static_cast<uint32_t>(snap.dataOfst[b]), w->capacity, scratch) == 0 &&
                 nvSetData(newSec, b, w->capacity, scratch) == 0;
            mfpsys::port::heapFree(scratch);
        }
        // A block with no copy yet gets none: nothing of another block's
        // bytes may stand in for it.
    }
    if (ok) ok = nvSetMark(newSec, NV_MARK_DONE) == 0;
    if (!ok) {
        snap.restore();
        // The half-filled sector must not be taken for the newest one.
        nvSecEraseNoWait(newSec);
        return NV_E_SYSTEM;
    }
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s)
        if (left[s]) nvEraseThreadCreate(s);
    return 0;
}

// Appends the copy of block b to its ring's current sector, or moves the
// ring when the sector has no room.
int writeBlock(const WriteLockHeld& held, NvSharedState* st, int b, uint32_t length, const void* data) {
    NvVrtlSecEntry* v = blk(b);
    int s = static_cast<int>(v->crntSec);
    NvRealSecEntry* r = sec(s);
    // The new copy goes into the block's own ring or nowhere: from a sector
    // of another ring, an append or a move would never write this block.
    if (r == nullptr || r->ringId != v->ringId) return NV_E_SYSTEM;
    PendingChange pending(st, b);
    // A ring with a sector whose records the scan could not read is examined
    // again before anything in it is touched.
    if (ringUnexamined(v->ringId)) {
        rescanRing(held, v->ringId, Images::Refresh);
        s = static_cast<int>(v->crntSec);
        r = sec(s);
    }
    if (nvChkVacancy(s, b) != 0) return transfer(held, b, length, data);
    uint32_t used = r->usedEntries;
    if (int rc = makeReady(s); rc != 0) return rc;
    if (nvSetData(s, b, length, data) != 0) {
        // Some of a record may be on flash: the entry is spent and no later
        // record goes where this one began.
        r->usedEntries = used + 1;
        r->writeOfst = r->size;
        return NV_E_SYSTEM;
    }
    return 0;
}

}  // namespace

extern "C" {

MFPSYS_API int nvWriteRetry(int32_t blockAddr, uint32_t length, const void* data) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        int r = nvWrite(blockAddr, length, data);
        if (r != NV_E_BUSY) return r;
        ::sleep(1);
    }
    return NV_E_RETRY_OVER;
}

MFPSYS_API int nvWrite(int32_t blockAddr, uint32_t length, const void* data) {
    if (data == nullptr && length != 0) return NV_E_PARAM;
    int result;
    if (ensurePoweredUp() != 0) {
        result = NV_E_SYSTEM;
    } else {
        int b = nvGetVidx(blockAddr);
        NvSharedState* st = state();
        if (b < 0 || blk(b)->capacity < length) {
            result = NV_E_PARAM;
        } else {
            int id = st->otherInfo[0];
            bool taken = nvTakeSem(id, IPC_NOWAIT) == 0;
            if (!taken && errno == EAGAIN && recoverWriteLock(id)) taken = nvTakeSem(id, IPC_NOWAIT) == 0;
            if (!taken) {
                result = NV_E_BUSY;
            } else {
                result = nvWriteReq(blockAddr, length, data);
                nvGiveSem(st->otherInfo[0]);
            }
        }
    }
    nvSharedMemDetach();
    return result;
}

MFPSYS_API int nvWriteReq(int32_t blockAddr, uint32_t length, const void* data) {
    if (data == nullptr && length != 0) return NV_E_PARAM;
    NvSharedState* st = state();
    if (st == nullptr) return NV_E_SYSTEM;
    int b = nvGetVidx(blockAddr);
    if (b < 0 || blk(b)->capacity < length) return NV_E_PARAM;
    // The caller holds the write lock.
    const WriteLockHeld held;
    return writeBlock(held, st, b, length, data);
}

}  // extern "C"
