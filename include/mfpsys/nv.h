/* NV store: four fixed-size blocks kept in rings of NOR flash sectors.
 *
 * Every write appends a full-capacity copy of a block with a checksummed
 * control entry; a full sector moves its ring to the next sector, which is
 * then the only one in use. After a restart the power-up scan finds the newest
 * intact copy of each block. All processes share one view of the tables
 * through the System V segment NvSharedState (key 21247, 516 bytes).
 *
 * Results: the write side returns 0 or one of the NV_E_* codes, the read side
 * and the inner steps 0 or -1 (the few exceptions are noted below).
 */
#ifndef MFPSYS_NV_H
#define MFPSYS_NV_H

#include <stddef.h>
#include <stdint.h>

#include "mfpsys/export.h"

MFPSYS_BEGIN_DECLS

/* Result codes of the write side. */
#define NV_E_BUSY 0x52E00001       /* write lock held, or the next sector still erasing */
#define NV_E_RETRY_OVER 0x52E00002 /* nvWriteRetry saw NV_E_BUSY ten times */
#define NV_E_PARAM 0x52E00003      /* unknown block address, length above capacity, null data */
#define NV_E_SYSTEM 0x52E00004     /* flash device failed, shared state or heap memory missing,
                                    * the block's current sector not in its ring, or a
                                    * sector the write would touch could not be read */

#define NV_REAL_SEC_NUM 8
#define NV_VRTL_SEC_NUM 4
#define NV_SHARED_KEY 21247
#define NV_SHARED_SIZE 516

/* Sector and data marks, erase IDs and erase states. */
#define NV_MARK_FREE 0xFFFF
#define NV_MARK_USED 0x7FFF
#define NV_MARK_DONE 0x3FFF
#define NV_ERASE_ID_READY 0x5AA5A55AU
#define NV_ERASE_ID_ERASING 0x00000000U
#define NV_ERASE_STATE_READY 1
#define NV_ERASE_STATE_ERASING 2
#define NV_CTL_AREA_SIZE 256
#define NV_CTL_ENTRY_NUM 15
#define NV_SEC_CNT_NONE 0xFFFF

/* nvChkEraseExe's answer when the device cannot be asked at all (open or seek
 * failed): not -1, so that nobody waits for ever on a device that is gone. */
#define NV_ERASE_STATUS_UNKNOWN (-2)
/* nvSecEraseWait gives up after this many erase-status requests one second
 * apart (59 s) and returns -1; the sector then stays erasing (state 2) and
 * takes no record before a later status request reports the erase over. */
#define NV_ERASE_WAIT_POLLS 60
/* nvChkSecErase's answer when the sector could not be read: neither blank nor
 * known to be in use, so it must not be erased on that evidence. */
#define NV_SEC_UNREADABLE (-2)

/* One real flash sector (native byte order, lives in NvSharedState). */
typedef struct NvRealSecEntry {
    uint32_t flashOfst;    /* device offset of the sector's first byte */
    uint32_t size;         /* bytes */
    int32_t ringId;        /* sectors with equal ring id form a ring */
    uint8_t eraseAllFlag;  /* 1: nvEraseAll erases this sector */
    uint8_t reserved1[3];
    uint32_t usedEntries;  /* control entries in use, 0..15 */
    uint16_t secCnt;       /* generation number; 0xFFFF: none valid */
    uint8_t reserved2[2];
    uint32_t writeOfst;    /* where the next record goes; 256: none yet */
    uint32_t eraseState;   /* 1 ready, 2 an erase not yet seen finished */
    uint32_t next;         /* index of the following sector of the ring */
    uint32_t prev;         /* index of the preceding sector of the ring */
} NvRealSecEntry;

/* One block (virtual sector). */
typedef struct NvVrtlSecEntry {
    int32_t blockAddr;  /* callers name the block by exactly this value */
    uint32_t capacity;  /* bytes every copy reserves */
    int32_t ringId;
    uint32_t crntSec;   /* sector holding the newest copy */
    int32_t dataOfst;   /* offset of the newest copy in crntSec; -1: none */
    uint32_t cache;     /* heap reference of the power-up image; 0: none;
                         * 0xFFFFFFFF: one to be read from the flash */
} NvVrtlSecEntry;

/* The shared segment. The write area's word 1 names the block whose write is
 * in progress (0xFFFFFFFF: none; 0xFFFFFFFE: an erase-all), so that a writer
 * that dies holding the write lock can be repaired after. */
typedef struct NvSharedState {
    NvRealSecEntry realSec[NV_REAL_SEC_NUM];  /* offset 0 */
    NvVrtlSecEntry vrtlSec[NV_VRTL_SEC_NUM];  /* offset 320 */
    uint32_t setupInfo[9];                     /* offset 416 */
    uint32_t writeInfo[2];                     /* offset 452 */
    uint32_t eraseInfo[12];                    /* offset 460; word 0: sectors (bit s) whose
                                                * records the scan could not read */
    int32_t otherInfo[2];                      /* offset 508: write lock id, powered-up flag */
} NvSharedState;

#ifdef __cplusplus
static_assert(sizeof(NvRealSecEntry) == 40, "NvRealSecEntry is 40 bytes");
static_assert(sizeof(NvVrtlSecEntry) == 24, "NvVrtlSecEntry is 24 bytes");
static_assert(sizeof(NvSharedState) == NV_SHARED_SIZE, "NvSharedState is 516 bytes");
static_assert(offsetof(NvRealSecEntry, usedEntries) == 16 && offsetof(NvRealSecEntry, secCnt) == 20 &&
                  offsetof(NvRealSecEntry, writeOfst) == 24 && offsetof(NvRealSecEntry, prev) == 36,
              "NvRealSecEntry field offsets");
static_assert(offsetof(NvVrtlSecEntry, dataOfst) == 16 && offsetof(NvVrtlSecEntry, cache) == 20,
              "NvVrtlSecEntry field offsets");
static_assert(offsetof(NvSharedState, vrtlSec) == 320 && offsetof(NvSharedState, setupInfo) == 416 &&
                  offsetof(NvSharedState, writeInfo) == 452 && offsetof(NvSharedState, eraseInfo) == 460 &&
                  offsetof(NvSharedState, otherInfo) == 508,
              "NvSharedState layout");
#else
typedef char nv_real_sec_is_40[(sizeof(NvRealSecEntry) == 40) ? 1 : -1];
typedef char nv_vrtl_sec_is_24[(sizeof(NvVrtlSecEntry) == 24) ? 1 : -1];
typedef char nv_shared_is_516[(sizeof(NvSharedState) == NV_SHARED_SIZE) ? 1 : -1];
typedef char nv_other_at_508[(offsetof(NvSharedState, otherInfo) == 508) ? 1 : -1];
#endif

/* Per-process pointers into this process's attachment of NvSharedState;
 * null until the first successful retrieve. */
MFPSYS_API extern NvRealSecEntry* nvRealSec[NV_REAL_SEC_NUM];
MFPSYS_API extern NvVrtlSecEntry* nvVrtlSec[NV_VRTL_SEC_NUM];

/* Compiled-in defaults, copied into the segment while it is not powered up. */
MFPSYS_API extern NvRealSecEntry _nvRealSec[NV_REAL_SEC_NUM];
MFPSYS_API extern NvVrtlSecEntry _nvVrtlSec[NV_VRTL_SEC_NUM];
MFPSYS_API extern uint32_t _setupInfo[9];
MFPSYS_API extern uint32_t _writeInfo[2];
MFPSYS_API extern uint32_t _eraseInfo[12];
MFPSYS_API extern int32_t _otherInfo[2];
MFPSYS_API extern int32_t NVDBG_SHUTDOWN;

/* Client entry points. Each attaches the shared state itself and detaches
 * it before returning. */

/* Copies the first length bytes of the block's image that the power-up scan
 * found (running the scan first when no process has run it yet) into dest.
 * Each image is handed out once per power-up, to the first reader. An image
 * the scan found but had no heap memory for, or in a ring with a sector it
 * could not read, is taken from the flash by the first read (the ring read
 * again under the write lock, the copy checked against its data checksum);
 * a block written since then gives its newest copy. 0, or -1: unknown block,
 * length above the block's capacity, null dest with a length, no image left
 * (never written, or read already), shared state unusable, or no memory or
 * readable copy for an image still on the flash (a later read tries again). */
MFPSYS_API int nvRead(int32_t blockAddr, uint32_t length, void* dest);

/* nvWrite, again after a one-second sleep each time it reports NV_E_BUSY, at
 * most ten times. nvWrite's last result, or NV_E_RETRY_OVER. */
MFPSYS_API int nvWriteRetry(int32_t blockAddr, uint32_t length, const void* data);

/* Stores length bytes as the block's newest copy (the rest of its capacity
 * reads 0xFF) under the write lock, which it takes without waiting; runs the
 * power-up scan first when none has run. 0 once the copy is on flash;
 * NV_E_BUSY, NV_E_PARAM or NV_E_SYSTEM as defined above. */
MFPSYS_API int nvWrite(int32_t blockAddr, uint32_t length, const void* data);

/* Erases every sector whose erase-all flag is 1, waiting for each erase, under
 * the write lock; the blocks of those sectors are left without a copy. It
 * waits for the lock as long as a live process holds it (a dead holder's is
 * recovered), so it never gives up because a writer was busy. 0 when every
 * such sector was erased, -1 otherwise. */
MFPSYS_API int nvEraseAll(void);

/* Read and write inner steps: they work on this process's tables as they
 * stand and attach nothing. */

/* nvRead without attaching or running the power-up scan: hands out the
 * block's image once. 0, or -1 as nvRead. */
MFPSYS_API int nvReadReq(int32_t blockAddr, uint32_t length, void* dest);
/* The write itself, for a caller that holds the write lock: appends the copy
 * to the ring's current sector, or moves the ring to its next sector when
 * the copy does not fit. nvWrite's results; NV_E_SYSTEM without shared state
 * or when the block's current sector is not in its ring (nothing written). */
MFPSYS_API int nvWriteReq(int32_t blockAddr, uint32_t length, const void* data);
/* 0 when one more full-capacity copy of block vidx and one more control entry
 * fit in sector sec, -1 when not (or an index is out of range). */
MFPSYS_API int nvChkVacancy(int sec, int vidx);
/* Writes one record of block vidx at sector sec's write offset in the fixed
 * order (the sector header first when the sector is fresh), then advances the
 * tables. 0, or -1: bad index or argument, no room, or a device failure that
 * may have left part of the record on flash (tables unchanged). */
MFPSYS_API int nvSetData(int sec, int vidx, uint32_t length, const void* data);

/* Erase. */

/* Marks sector sec erasing (erase ID 0 on flash; in the tables erasing and
 * empty) and starts the device erase without waiting. 0, or -1 for a bad
 * index or a failed erase request. */
MFPSYS_API int nvSecEraseNoWait(int sec);
/* The same as nvSecEraseNoWait; the erase runs in the device, no thread is
 * started. */
MFPSYS_API int nvEraseThreadCreate(int sec);
/* Starts the erase of sector sec and asks the device once a second until it
 * is over, then marks the sector ready (erase ID 0x5AA5A55A). 0, or -1 when
 * the erase could not be started, its end was not seen, NV_ERASE_WAIT_POLLS
 * requests all found it busy, or the ready mark could not be written; the
 * sector then stays "erasing" in the tables. */
MFPSYS_API int nvSecEraseWait(int sec);

/* Power-up scan. */

/* Rebuilds the tables from the flash: a new write lock, ring links, every
 * sector's count, the newest intact copy of each block into its cache, and
 * erases of sectors left over. It passes over control entries whose data
 * would lie outside their sector, and never takes a block's copy from a
 * sector of another ring (such bytes still count as used). 0, or -1 when the
 * tables are unusable (then nothing on flash changes). Runs under the
 * first-use lock. */
MFPSYS_API int nvPowerup(void);
/* Reads every sector's header into the tables: its count when erase ID, mark
 * and count checksum are valid, else NV_SEC_CNT_NONE. 0, or -1 without
 * shared state. */
MFPSYS_API int nvGetSecCntAll(void);
/* Scans every ring for the blocks' newest intact copies (see nvPowerup). 0,
 * or -1 without shared state. */
MFPSYS_API int nvSetupData(void);
/* Fills list with the blocks' distinct ring ids in block order, the rest -1.
 * Returns list (null for a null list). */
MFPSYS_API int* nvSetIdList(int list[5]);
/* The sector of the ring whose valid count is newest (counts 0..15 come after
 * counts above 0xFFF0), or -1 when none has a valid count. */
MFPSYS_API int nvGetCrntSec(int ringId);
/* Reads sector sec's control entries newest first and takes the newest
 * intact copy of each block that has no cache yet into a cache. 0. */
MFPSYS_API int nvGetSecData(int sec);
/* 0 when sector sec is blank (erase ID 0xFFFFFFFF or 0x5AA5A55A, every other
 * byte 0xFF), -1 when it is not (or the index is bad), NV_SEC_UNREADABLE. */
MFPSYS_API int nvChkSecErase(int sec);

/* Write lock: one private System V semaphore, value 1 free, 0 held. */

/* Makes a new write lock and stores its id in the shared state. The id, or
 * -1 (no shared state, or the semaphore could not be made). */
MFPSYS_API int nvInitSemaphore(void);
/* A private one-semaphore set (flag IPC_CREAT adds IPC_EXCL and mode 0666)
 * set to 1. Its id, or -1. */
MFPSYS_API int nvGetSem(int flag);
/* Takes the lock (1 -> 0); with IPC_NOWAIT in flag a held lock fails at
 * once (errno EAGAIN). 0, or -1. */
MFPSYS_API int nvTakeSem(int semId, int flag);
/* Gives back a lock that the caller took (0 -> 1, never above 1). 0, or -1. */
MFPSYS_API int nvGiveSem(int semId);

/* Shared state. */

/* Attaches NvSharedState (creating it zero-filled when absent). 0, or -1 when
 * it cannot be attached or is registered smaller than NV_SHARED_SIZE (then
 * nvSharedMemRetrieve returns -1 and sets nothing). */
MFPSYS_API int nvSharedMemAttach(void);
/* Points nvRealSec and nvVrtlSec at this process's attachment and, while no
 * power-up scan has finished, copies the defaults in (under the first-use
 * lock). 0, or -1 when there is no full-size attachment; also -1 with the
 * pointers already set when the defaults are due but the first-use lock
 * cannot be taken (the tables are then not to be used). */
MFPSYS_API int nvSharedMemRetrieve(void);
/* Marks this process's attachment detached. 0. */
MFPSYS_API int nvSharedMemDetach(void);
/* Resets each sector's run-time fields and links the rings (next, prev). */
MFPSYS_API void nvInitRealTbl(void);
/* Puts each block at the first sector of its ring, with no copy and no
 * cache. */
MFPSYS_API void nvInitVrtlTbl(void);
/* Index 0..3 of the block whose address is exactly blockAddr, or -1. */
MFPSYS_API int nvGetVidx(int32_t blockAddr);

/* Flash device: each call opens "/dev/mfp_flashrom", positions, makes one
 * transfer or request and closes. */

/* Reads length bytes at offset. 0, or -1 when the device failed or moved
 * fewer bytes. */
MFPSYS_API int nvReadExe(uint32_t offset, uint32_t length, void* buffer);
/* Writes length bytes at offset. 0, or -1 as nvReadExe. */
MFPSYS_API int nvWriteExe(uint32_t offset, uint32_t length, const void* buffer);
/* Starts erasing the sector at offset and returns at once. 0, or -1. */
MFPSYS_API int nvEraseExe(uint32_t offset);
/* The erase status of the sector at offset: -1 while erasing,
 * NV_ERASE_STATUS_UNKNOWN when the device cannot be asked, else finished. */
MFPSYS_API int nvChkEraseExe(uint32_t offset);

/* Header and control-entry fields of sector sec, big-endian on flash; "the
 * entry" is the one numbered by the sector's used entries. Writers return 0,
 * or -1 for a bad index or a device failure. */

/* The 4-byte erase ID at offset 0. */
MFPSYS_API int nvSetSecEraseID(int sec, uint32_t id);
/* The 2-byte sector mark at offset 8. */
MFPSYS_API int nvSetMark(int sec, uint32_t mark);
/* The count after the prev sector's (0xFFFE is followed by 0), with its
 * checksum, at offset 4; the tables take the count too. */
MFPSYS_API int nvSetSecCnt(int sec, int vidx);
/* The entry's data mark. */
MFPSYS_API int nvSetDataMark(int sec, uint32_t mark);
/* The entry's data offset (the sector's write offset), then block vidx's
 * address. */
MFPSYS_API int nvSetCtlOfst(int sec, int vidx);
/* The low 16 bits of cksm as the entry's data checksum. */
MFPSYS_API int nvSetDataCksm(int sec, int vidx, uint32_t cksm);
/* Reads the entry back and writes the sum of its bytes 0..13 as its control
 * checksum. */
MFPSYS_API int nvSetCtrlCksm(int sec);
/* 0 when the erase ID reads 0x5AA5A55A, else -1 (also for a failed read). */
MFPSYS_API int nvChkSecEraseID(int sec);
/* 0 when the sector mark reads 0xFFFF, 0x7FFF or 0x3FFF, else -1. */
MFPSYS_API int nvChkMark(int sec);
/* Stores the header's count in *count and returns 0 when its checksum holds;
 * else -1 and *count untouched. */
MFPSYS_API int nvGetSecCnt(int sec, uint16_t* count);
/* Reads length bytes at device offset dataOfst into buffer and the 16-bit
 * checksum at cksmOfst. 0 when they agree, else -1. */
MFPSYS_API int nvChkData(uint32_t dataOfst, uint32_t length, uint32_t cksmOfst, void* buffer);

/* Sum of n unsigned bytes; 0 when n <= 0 or bytes is null. */
MFPSYS_API uint32_t nvCalcCksm(const void* bytes, int32_t n);

MFPSYS_END_DECLS

#endif /* MFPSYS_NV_H */
