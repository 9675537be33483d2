// Power-up: the first nvRead, nvWrite or nvEraseAll in the system attaches
// the shared state and runs the scan under the first-use lock; every later
// call finds the powered-up flag set.
#include "nv/nv_first_use.h"
#include "nv/nv_lock.h"
#include "nv/nv_powerup.h"
#include "nv/nv_scan.h"
#include "nv/nv_tables.h"

namespace mfpsys::nv {

int ensurePoweredUp() {
    if (nvSharedMemAttach() != 0) return -1;
    if (nvSharedMemRetrieve() != 0) return -1;
    if (poweredUpFlag(state()).load(std::memory_order_acquire) != 0) return 0;
    FirstUseLock lock;
    if (!lock.held()) return -1;
    if (poweredUpFlag(state()).load(std::memory_order_acquire) != 0) return 0;
    // Under the lock: copy the defaults (flag still 0) and scan.
    if (nvSharedMemRetrieve() != 0) return -1;
    if (nvPowerup() != 0) return -1;
    poweredUpFlag(state()).store(1, std::memory_order_release);
    return 0;
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
    unexaminedWord(st).store(0);
    nvGetSecCntAll();
    nvSetupData();
    return 0;
}

}  // extern "C"
