// The dead writer's repair: a holder of the write lock that died is found
// through the kernel's record of the last process that operated on the
// semaphore; its half-done work is repaired before the lock is reset.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>

#include "nv/nv_first_use.h"
#include "nv/nv_plan.h"
#include "nv/nv_repair.h"
#include "nv/nv_scan.h"
#include "nv/nv_tables.h"

namespace mfpsys::nv {

namespace {

bool processGone(pid_t pid) { return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH; }

// The holder of a held lock (value 0) is the last process that operated on
// it: a take that fails changes nothing, so that is the one that took it.
bool heldByDeadProcess(int semId, pid_t& holder) {
    semun arg{};
    int val = ::semctl(semId, 0, GETVAL, arg);
    if (val != 0) return false;
    holder = ::semctl(semId, 0, GETPID, arg);
    return processGone(holder);
}

}  // namespace

bool recoverWriteLock(int semId) {
    NvSharedState* st = state();
    pid_t holder = 0;
    if (st == nullptr || !heldByDeadProcess(semId, holder)) return false;
    FirstUseLock lock;
    if (!lock.held()) return false;
    pid_t again = 0;
    // Someone else may have repaired and another writer taken it meanwhile.
    if (st->otherInfo[0] != semId || !heldByDeadProcess(semId, again) || again != holder) {
        semun arg{};
        return ::semctl(semId, 0, GETVAL, arg) == 1;
    }
    // The dead holder's lock is still taken: the repair runs under it.
    const WriteLockHeld held;
    uint32_t pending = pendingWord(st).load();
    if (pending == kPendingAll) {
        int list[5];
        nvSetIdList(list);
        for (int i = 0; i < 5 && list[i] != kNoRing; ++i) rescanRing(held, list[i], Images::Keep);
    } else if (pending < NV_VRTL_SEC_NUM) {
        rescanRing(held, blk(static_cast<int>(pending))->ringId, Images::Keep);
    }
    pendingWord(st).store(kPendingNone);
    semun one{};
    one.val = 1;
    return ::semctl(semId, 0, SETVAL, one) == 0;
}

PatientWriteLock::PatientWriteLock() : held_(false) {
    NvSharedState* st = state();
    if (st == nullptr) return;
    // No limit while the holder lives: an erase-all that gave up would leave
    // everything in place, and its callers take it as done.
    for (;;) {
        int id = st->otherInfo[0];
        if (nvTakeSem(id, IPC_NOWAIT) == 0) break;
        if (errno != EAGAIN) return;  // no lock to wait for
        if (recoverWriteLock(id) && nvTakeSem(id, IPC_NOWAIT) == 0) break;
        ::sleep(1);
    }
    held_ = true;
}

PatientWriteLock::~PatientWriteLock() {
    if (held_) nvGiveSem(state()->otherInfo[0]);
}

}  // namespace mfpsys::nv
