/* KUSharedMem*: keyed System V shared-memory segments shared by every process.
 *
 * A process attaches a segment by key and finds it at the size under which it
 * was first registered. The registry is a system-wide table segment (default
 * key 24553) guarded by a semaphore (default key 24853); each process keeps
 * its own list of the segments it has attached, in its own memory. A child of
 * fork starts with a copy of its parent's list and mappings; from then on
 * neither sees the other's attachments. A fork may come while other threads
 * are inside a call: the child never inherits a lock that nobody releases.
 */
#ifndef MFPSYS_REGISTRY_H
#define MFPSYS_REGISTRY_H

#include <stdint.h>

#include "mfpsys/export.h"

MFPSYS_BEGIN_DECLS

#define KU_SHARED_MEM_TABLE_KEY 24553
#define KU_SHARED_MEM_SEM_KEY 24853
#define KU_SHARED_MEM_SLOTS 256

/* One slot of the table; key 0 marks a free slot, shmid 0 no segment. */
typedef struct KUSharedMemEntry {
    int32_t key;
    int32_t shmid;
    int32_t size;
} KUSharedMemEntry;

/* The system-wide table segment (native byte order, 3108 bytes). */
typedef struct KUSharedMemTable {
    int32_t reserved0;
    int32_t reserved4;
    int32_t count;     /* number of slots: 256 */
    int32_t reserved12;
    int32_t reserved16;
    int32_t next;      /* continuation table: always 0, the registry is one table */
    KUSharedMemEntry entry[KU_SHARED_MEM_SLOTS];
    int32_t spare[3];  /* part of the segment, never read or written */
} KUSharedMemTable;

/* Replaces the table key and the semaphore key (each only when > 0) and sets
 * the registry up. -1 when the registry was already set up in this process
 * (keys unchanged), else 0. */
MFPSYS_API int KUSharedMemInit(int tableKey, int semKey);

/* Maps the segment registered under key, creating and registering it with
 * size bytes when the key has none. Returns the requested or the registered
 * size, or -1 on failure (key or size not positive, registry or segment not
 * available). A mapping of a segment that was removed meanwhile is replaced
 * by the registered one. Judge the attachment by KUSharedMemRetrieveMemory. */
MFPSYS_API int KUSharedMemAttach(int key, int size);

/* This process's address of the segment, or NULL when the key is not
 * registered, this attachment asked for more than the registered size, or it
 * maps a segment that was removed meanwhile (attach again). */
MFPSYS_API void *KUSharedMemRetrieveMemory(int key);

/* Marks the attachment detached; the mapping stays. Returns 0. */
MFPSYS_API int KUSharedMemDetach(int key);

/* Unmaps the segment here, destroys it once every process has unmapped it
 * and erases its registration. Returns 0. */
MFPSYS_API int KUSharedMemRemove(int key);

/* Calls kept for existing clients: they touch nothing, and those that
 * return an int return 0. */
MFPSYS_API int KUSharedMemAttachWithName(const char *name, int size);
MFPSYS_API int KUSharedMemLock(int key);
MFPSYS_API int KUSharedMemUnlock(int key);
MFPSYS_API int KUSharedMemWrite(int key, const void *data, int size);
MFPSYS_API int KUShareMemRead(int key, void *data, int size);
MFPSYS_API void KUSharedMemUpdate(int key);
MFPSYS_API void KUSharedMemAddObserver(int key, void (*observer)(int key));
MFPSYS_API void KUSharedMemRemoveObserver(int key, void (*observer)(int key));

MFPSYS_END_DECLS

#endif /* MFPSYS_REGISTRY_H */
