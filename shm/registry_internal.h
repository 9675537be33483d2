// The registry's internal steps, shared by its source files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mfpsys/registry.h"

// One attachment of this process, in the process's own memory.
struct KUSharedMemNode {
    std::int32_t key;
    std::int32_t shmid;     // 0: no segment
    std::int32_t size;      // size this attachment records
    void* address;          // null: not mapped here
    std::int32_t detached;  // set by KUSharedMemDetach, never read
    KUSharedMemNode* next;
    KUSharedMemNode* prev;
};

static_assert(sizeof(KUSharedMemEntry) == 12);
static_assert(offsetof(KUSharedMemEntry, key) == 0);
static_assert(offsetof(KUSharedMemEntry, shmid) == 4);
static_assert(offsetof(KUSharedMemEntry, size) == 8);
static_assert(sizeof(KUSharedMemTable) == KU_SHARED_MEM_SLOTS * 12 + 36);
static_assert(sizeof(KUSharedMemTable) == 3108);
static_assert(offsetof(KUSharedMemTable, count) == 8);
static_assert(offsetof(KUSharedMemTable, next) == 20);
static_assert(offsetof(KUSharedMemTable, entry) == 24);

// Brings the registry to the ready state in this process if it is not.
void KUSharedMemSetup();

// Table operations; callers hold the registry mutex, and the registry lock
// too when they change the table.
KUSharedMemEntry* KUSharedMemTableFind(std::int32_t key);
int KUSharedMemTableInsert(std::int32_t key, std::int32_t shmid, std::int32_t size);
int KUSharedMemTableErase(std::int32_t key);

// This process's attachment list; callers hold the registry mutex.
KUSharedMemNode* KUSharedMemListFind(std::int32_t key);
KUSharedMemNode* KUSharedMemListAdd(std::int32_t key, std::int32_t shmid, std::int32_t size, void* address);
void KUSharedMemListRemove(std::int32_t key);
