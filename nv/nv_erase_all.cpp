// Erase-all: every sector marked for it erased (waiting) under the write
// lock, taken patiently, and the blocks whose copies went with them sent to
// the first erased sector of their ring.
#include "nv/nv_erase.h"
#include "nv/nv_lock.h"
#include "nv/nv_powerup.h"
#include "nv/nv_repair.h"
#include "nv/nv_tables.h"

namespace {

using namespace mfpsys::nv;

// Erases every sector marked for erase-all and sends the blocks whose copies
// went to the first erased sector of their ring. 0, or -1 when an erase
// failed.
int eraseMarkedSectors(const WriteLockHeld&) {
    int result = 0;
    bool erased[NV_REAL_SEC_NUM] = {};
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
        if (sec(s)->eraseAllFlag != 1) continue;
        erased[s] = true;
        if (nvSecEraseWait(s) != 0) result = -1;
    }
    // Blocks whose copies were wiped have none now; they start again in the
    // first erased sector of their ring.
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        NvVrtlSecEntry* v = blk(b);
        if (v->crntSec >= NV_REAL_SEC_NUM || !erased[v->crntSec]) continue;
        v->dataOfst = -1;
        for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
            if (erased[s] && sec(s)->ringId == v->ringId) {
                v->crntSec = static_cast<uint32_t>(s);
                break;
            }
        }
    }
    return result;
}

}  // namespace

extern "C" {

MFPSYS_API int nvEraseAll(void) {
    int result = -1;
    if (ensurePoweredUp() == 0) {
        PatientWriteLock lock;
        if (lock.held()) {
            NvSharedState* st = state();
            pendingWord(st).store(kPendingAll);
            result = eraseMarkedSectors(lock.token());
            pendingWord(st).store(kPendingNone);
        }
    }
    nvSharedMemDetach();
    return result;
}

}  // extern "C"
