// Taking the NV write lock from a holder that died: the dead writer's
// repair, and the take that waits for as long as a live process holds it.
#pragma once

#include "nv/nv_lock.h"

namespace mfpsys::nv {

// Brings the write lock back when its holder died, after putting the
// tables of the ring it was changing (every ring for an erase-all) back to
// what the flash holds; call with the lock seen busy. True when the lock was
// reset (or was found free).
bool recoverWriteLock(int semId);

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

}  // namespace mfpsys::nv
