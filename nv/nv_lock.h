// The NV write lock: one private System V semaphore whose id lives in the
// shared state (nvInitSemaphore, nvGetSem, nvTakeSem, nvGiveSem, declared
// in mfpsys/nv.h), and the proof that it is held.
#pragma once

#include <sys/sem.h>

#include <cstdint>

#include "mfpsys/nv.h"

namespace mfpsys::nv {

// semctl's fourth argument for the write lock's semaphore.
union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

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

}  // namespace mfpsys::nv
