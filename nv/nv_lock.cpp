// The NV write lock: one private System V semaphore whose id lives in the
// shared state, taken without waiting and without SEM_UNDO (a dead holder's
// is recovered by nv_repair).
#include <sys/ipc.h>
#include <sys/sem.h>

#include "nv/nv_lock.h"
#include "nv/nv_tables.h"

using namespace mfpsys::nv;

extern "C" {

MFPSYS_API int nvInitSemaphore(void) {
    NvSharedState* st = state();
    if (st == nullptr) return -1;
    int id = nvGetSem(IPC_CREAT);
    st->otherInfo[0] = id;
    return id;
}

MFPSYS_API int nvGetSem(int flag) {
    if (flag & IPC_CREAT) flag |= IPC_EXCL | 0666;
    int id = ::semget(IPC_PRIVATE, 1, flag);
    semun one{};
    one.val = 1;
    ::semctl(id, 0, SETVAL, one);
    return id;
}

MFPSYS_API int nvTakeSem(int semId, int flag) {
    sembuf op{0, -1, static_cast<short>(flag & 0xFFFF)};
    return ::semop(semId, &op, 1) == 0 ? 0 : -1;
}

MFPSYS_API int nvGiveSem(int semId) {
    sembuf ops[2] = {{0, 0, 0}, {0, 1, 0}};
    return ::semop(semId, ops, 2) == 0 ? 0 : -1;
}

}  // extern "C"
