// The cross-process lock: one System V semaphore, value 0 free, taken by
// {wait for 0, +1} in one call. A set the kernel has just created is
// therefore free without any set-up, and no value is ever set by hand. Take
// and give carry SEM_UNDO, so the kernel gives the lock back when its holder
// dies; where a dead holder can leave work half done, an owner word in shared
// memory tells the next holder to repair it.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace mfpsys::port {

// How an existing set without the permission bits asked for is opened.
enum class SemOpen {
    Strict,          // refused: the open fails
    AcceptModeZero,  // opened with the flags alone, as a peer that made it mode 0 does
};

// The id of key's one-semaphore set, created with mode 0666 when absent;
// -1 when it can be neither opened nor created.
int sysvLockOpen(key_t key, SemOpen how = SemOpen::Strict) noexcept;

// The lock of one set, held from construction to destruction (or release).
// A signal never ends a wait; any other failure leaves it not held.
class SysvLock {
public:
    // Takes the lock of set id; id -1 takes nothing.
    explicit SysvLock(int id) noexcept;
    // As above, and while held owner names this process (self, never 0). A
    // non-zero owner found on taking is a holder that died while holding.
    SysvLock(int id, std::uint32_t& owner, std::uint32_t self) noexcept;
    ~SysvLock() { release(); }
    SysvLock(const SysvLock&) = delete;
    SysvLock& operator=(const SysvLock&) = delete;

    bool held() const noexcept { return id_ != -1; }
    // The owner word named a process when this lock was taken.
    bool ownerDied() const noexcept { return ownerDied_; }
    // Clears the owner word and gives the lock back, if held.
    void release() noexcept;

private:
    int id_ = -1;
    std::uint32_t* owner_ = nullptr;
    bool ownerDied_ = false;
};

}  // namespace mfpsys::port
