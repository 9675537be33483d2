// Registry calls that existing clients still link against; they do nothing.
#include "mfpsys/registry.h"

extern "C" {

int KUSharedMemAttachWithName(const char*, int) { return 0; }
int KUSharedMemLock(int) { return 0; }
int KUSharedMemUnlock(int) { return 0; }
int KUSharedMemWrite(int, const void*, int) { return 0; }
int KUShareMemRead(int, void*, int) { return 0; }
void KUSharedMemUpdate(int) {}
void KUSharedMemAddObserver(int, void (*)(int)) {}
void KUSharedMemRemoveObserver(int, void (*)(int)) {}

}  // extern "C"
