// The layer's segment calls: pass-through to the registry, and resize by
// moving a segment to a fresh dynamic key.
#include <algorithm>
#include <cstring>

#include "mfpsys/mm.h"
#include "mfpsys/registry.h"

extern "C" {

int mmSharedMemAttach(int key, int size) { return KUSharedMemAttach(key, size); }
void* mmSharedMemRetrieveMemory(int key) { return KUSharedMemRetrieveMemory(key); }
int mmSharedMemDetach(int key) { return KUSharedMemDetach(key); }
int mmSharedMemRemove(int key) { return KUSharedMemRemove(key); }

int mmSharedMemReAttach(int oldKey, int newSize) {
    const int oldSize = KUSharedMemAttach(oldKey, newSize);
    if (oldSize <= 0) return 0;
    void* oldAddr = KUSharedMemRetrieveMemory(oldKey);
    if (!oldAddr) return 0;
    int newKey = 0;
    if (mmMakeSharedMemoryKey(&newKey) == -1) return 0;
    if (KUSharedMemAttach(newKey, newSize) != newSize) return 0;
    void* newAddr = KUSharedMemRetrieveMemory(newKey);
    if (!newAddr) {
        KUSharedMemDetach(newKey);
        KUSharedMemRemove(newKey);
        return 0;
    }
    std::memset(newAddr, 0, static_cast<size_t>(newSize));
    // A smaller new size keeps only what fits.
    std::memcpy(newAddr, oldAddr, static_cast<size_t>(std::min(oldSize, newSize)));
    KUSharedMemDetach(oldKey);
    KUSharedMemRemove(oldKey);
    KUSharedMemDetach(newKey);
    return newKey;
}

}  // extern "C"
