// Dynamic segment keys: a bitmap in a registry segment, one bit per key.
#include <cstdio>
#include <mutex>

#include "mfpsys/mm.h"
#include "mfpsys/registry.h"
#include "port/fork_guard.h"
#include "port/sysv_lock.h"

extern "C" {
unsigned char* pMmInfo = nullptr;
}

namespace {

constexpr int kBitmapKey = MM_KEY_BITMAP;
constexpr int kBitmapSize = 31;
constexpr int kFirstKey = MM_KEY_FIRST;
// The last key, 21247, is the NV store's fixed key: it is never handed out.
constexpr int kAllocatableBits = MM_KEY_LAST - MM_KEY_FIRST;
constexpr key_t kLockKey = 0x4D504D01;
constexpr unsigned char kMasks[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};

// Threads of this process; the semaphore serialises processes, and the
// kernel gives it back when a holder dies.
std::mutex g_mutex;
[[maybe_unused]] const bool g_forkSafe = mfpsys::port::guardAcrossFork(g_mutex, mfpsys::port::LockRank::keys);
int g_semId = -1;

bool obtainLock() {
    if (g_semId == -1) g_semId = mfpsys::port::sysvLockOpen(kLockKey);
    return g_semId != -1;
}

// Holds the process mutex and, when it could be taken, the semaphore.
class KeyLock {
public:
    KeyLock() : lk_(g_mutex), sem_(obtainLock() ? g_semId : -1) {}
    bool held() const { return sem_.held(); }

private:
    std::lock_guard<std::mutex> lk_;
    mfpsys::port::SysvLock sem_;
};

void mapBitmap() {
    KUSharedMemAttach(kBitmapKey, kBitmapSize);
    pMmInfo = static_cast<unsigned char*>(KUSharedMemRetrieveMemory(kBitmapKey));
}

}  // namespace

extern "C" {

int mmInit(void) {
    std::lock_guard lk(g_mutex);
    mapBitmap();
    if (!pMmInfo) {
        std::printf("[MM]mmInit ERROR! (shared memory)\n");
        return -1;
    }
    return 0;
}

int mmMakeSharedMemoryKey(int* key) {
    if (!key) return -1;
    {
        std::lock_guard lk(g_mutex);
        if (!pMmInfo) mapBitmap();
        if (!pMmInfo) {
            std::printf("[MM]mmMakeSharedMemoryKey ERROR! (shared memory)\n");
            return -1;
        }
    }
    KeyLock lock;
    if (!lock.held()) {
        // Not "no key free": the caller must be able to tell the two apart.
        std::printf("[MM]mmMakeSharedMemoryKey ERROR! (lock)\n");
        return -1;
    }
    for (int i = 0; i < kAllocatableBits; ++i) {
        unsigned char& byte = pMmInfo[i / 8];
        if (!(byte & kMasks[i % 8])) {
            byte = static_cast<unsigned char>(byte | kMasks[i % 8]);
            *key = kFirstKey + i;
            return 0;
        }
    }
    return -1;
}

int mmDeleteSharedMemoryKey(int key) {
    unsigned char* bitmap;
    {
        std::lock_guard lk(g_mutex);
        bitmap = pMmInfo;
    }
    if (!bitmap) {
        std::printf("[MM]mmDeleteSharedMemoryKey ERROR! (shared memory)\n");
        return -1;
    }
    if (key < kFirstKey || key > MM_KEY_LAST) {
        std::printf("[MM]mmMakeSharedMemoryKey ERROR! (key id = 0x%4x)\n", static_cast<unsigned>(key));
        return -1;
    }
    const int i = key - kFirstKey;
    KeyLock lock;
    if (!lock.held()) {
        std::printf("[MM]mmDeleteSharedMemoryKey ERROR! (lock)\n");
        return -1;
    }
    unsigned char& byte = bitmap[i / 8];
    if (!(byte & kMasks[i % 8])) {
        std::printf("[MM]mmMakeSharedMemoryKey ERROR! (not used)\n");
        return -1;
    }
    byte = static_cast<unsigned char>(byte & ~kMasks[i % 8]);
    return 0;
}

}  // extern "C"
