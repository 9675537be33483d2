// The system-wide lock of the store's first use: held while the shared
// state takes its defaults, while the power-up scan builds the tables, and
// while a dead writer's work is repaired.
#pragma once

#include <sys/types.h>

namespace mfpsys::nv {

// SEM_UNDO, so a holder that dies gives it back.
inline constexpr key_t kFirstUseSemKey = 0x4D504E01;

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

}  // namespace mfpsys::nv
