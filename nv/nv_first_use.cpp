// The first-use lock: one System V semaphore per system, taken with
// SEM_UNDO, and counted per thread so that a holder may take it again.
#include <optional>

#include "nv/nv_first_use.h"
#include "port/sysv_lock.h"

namespace mfpsys::nv {

namespace {

// The first-use lock this thread holds, and how many holders on this thread
// share it (the lock is reentrant here).
thread_local std::optional<mfpsys::port::SysvLock> t_firstUse;
thread_local int t_firstUseDepth = 0;

int firstUseSem() { return mfpsys::port::sysvLockOpen(kFirstUseSemKey); }

}  // namespace

FirstUseLock::FirstUseLock() {
    if (t_firstUseDepth == 0) {
        t_firstUse.emplace(firstUseSem());
        if (!t_firstUse->held()) {
            t_firstUse.reset();
            return;
        }
    }
    ++t_firstUseDepth;
    held_ = true;
}

FirstUseLock::~FirstUseLock() {
    if (held_ && --t_firstUseDepth == 0) t_firstUse.reset();
}

}  // namespace mfpsys::nv
