#include "port/sysv_lock.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <cerrno>

namespace mfpsys::port {

namespace {

bool take(int id) {
    sembuf ops[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    while (::semop(id, ops, 2) == -1)
        if (errno != EINTR) return false;
    return true;
}

void give(int id) {
    sembuf op = {0, -1, SEM_UNDO};
    while (::semop(id, &op, 1) == -1 && errno == EINTR) {
    }
}

}  // namespace

int sysvLockOpen(key_t key, SemOpen how) noexcept {
    int id = ::semget(key, 1, IPC_CREAT | 0666);
    if (id == -1 && errno == EACCES && how == SemOpen::AcceptModeZero) id = ::semget(key, 1, IPC_CREAT);
    return id;
}

SysvLock::SysvLock(int id) noexcept {
    if (id != -1 && take(id)) id_ = id;
}

SysvLock::SysvLock(int id, std::uint32_t& owner, std::uint32_t self) noexcept : SysvLock(id) {
    if (!held()) return;
    owner_ = &owner;
    ownerDied_ = owner != 0;
    owner = self;
}

void SysvLock::release() noexcept {
    if (id_ == -1) return;
    if (owner_ != nullptr) *owner_ = 0;
    give(id_);
    id_ = -1;
}

}  // namespace mfpsys::port
