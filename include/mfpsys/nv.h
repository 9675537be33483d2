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
                                    * or the block's current sector not in its ring */

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
    uint32_t cache;     /* heap reference of the power-up image; 0: none */
} NvVrtlSecEntry;

/* The shared segment. The write area's word 1 names the block whose write is
 * in progress (0xFFFFFFFF: none; 0xFFFFFFFE: an erase-all), so that a writer
 * that dies holding the write lock can be repaired after. */
typedef struct NvSharedState {
    NvRealSecEntry realSec[NV_REAL_SEC_NUM];  /* offset 0 */
    NvVrtlSecEntry vrtlSec[NV_VRTL_SEC_NUM];  /* offset 320 */
    uint32_t setupInfo[9];                     /* offset 416 */
    uint32_t writeInfo[2];                     /* offset 452 */
    uint32_t eraseInfo[12];                    /* offset 460 */
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

/* Client entry points. */
MFPSYS_API int nvRead(int32_t blockAddr, uint32_t length, void* dest);
MFPSYS_API int nvWriteRetry(int32_t blockAddr, uint32_t length, const void* data);
MFPSYS_API int nvWrite(int32_t blockAddr, uint32_t length, const void* data);
/* 0 when every sector flagged for erase-all was erased, -1 otherwise. Waits
 * for the write lock as long as a live process holds it (a dead holder's is
 * recovered), so it never gives up because a writer was busy. */
MFPSYS_API int nvEraseAll(void);

/* Read and write inner steps. */
MFPSYS_API int nvReadReq(int32_t blockAddr, uint32_t length, void* dest);
/* NV_E_SYSTEM without shared state or when the block's current sector is not
 * in its ring (nothing written); NV_E_PARAM for bad arguments. */
MFPSYS_API int nvWriteReq(int32_t blockAddr, uint32_t length, const void* data);
MFPSYS_API int nvChkVacancy(int sec, int vidx);
MFPSYS_API int nvSetData(int sec, int vidx, uint32_t length, const void* data);

/* Erase. */
MFPSYS_API int nvSecEraseNoWait(int sec);
MFPSYS_API int nvEraseThreadCreate(int sec);
/* 0 once erased and prepared; -1 when the erase could not be started, its
 * end could not be seen, or NV_ERASE_WAIT_POLLS requests found it busy. */
MFPSYS_API int nvSecEraseWait(int sec);

/* Power-up scan. nvPowerup returns 0, or -1 when the tables are unusable
 * (and then changes nothing on flash). The scan passes over control entries
 * whose data would lie outside their sector, and never takes a block's copy
 * from a sector of another ring (its bytes still count as used). */
MFPSYS_API int nvPowerup(void);
MFPSYS_API int nvGetSecCntAll(void);
MFPSYS_API int nvSetupData(void);
MFPSYS_API int* nvSetIdList(int list[5]);
MFPSYS_API int nvGetCrntSec(int ringId);
MFPSYS_API int nvGetSecData(int sec);
MFPSYS_API int nvChkSecErase(int sec);

/* Write lock. */
MFPSYS_API int nvInitSemaphore(void);
MFPSYS_API int nvGetSem(int flag);
MFPSYS_API int nvTakeSem(int semId, int flag);
MFPSYS_API int nvGiveSem(int semId);

/* Shared state. nvSharedMemAttach returns -1 when the segment is missing or
 * registered smaller than NV_SHARED_SIZE; nvSharedMemRetrieve then returns -1
 * and sets nothing. nvSharedMemRetrieve may also return -1 with the pointers
 * already set, when the defaults are due but the first-use lock cannot be
 * taken; the tables are then not to be used. */
MFPSYS_API int nvSharedMemAttach(void);
MFPSYS_API int nvSharedMemRetrieve(void);
MFPSYS_API int nvSharedMemDetach(void);
MFPSYS_API void nvInitRealTbl(void);
MFPSYS_API void nvInitVrtlTbl(void);
MFPSYS_API int nvGetVidx(int32_t blockAddr);

/* Flash device: 0, or -1 when the device failed or moved fewer bytes. */
MFPSYS_API int nvReadExe(uint32_t offset, uint32_t length, void* buffer);
MFPSYS_API int nvWriteExe(uint32_t offset, uint32_t length, const void* buffer);
MFPSYS_API int nvEraseExe(uint32_t offset);
/* -1 while erasing, NV_ERASE_STATUS_UNKNOWN when unreachable, else finished. */
MFPSYS_API int nvChkEraseExe(uint32_t offset);

/* Header and control-entry fields of sector sec (entry = its usedEntries). */
MFPSYS_API int nvSetSecEraseID(int sec, uint32_t id);
MFPSYS_API int nvSetMark(int sec, uint32_t mark);
MFPSYS_API int nvSetSecCnt(int sec, int vidx);
MFPSYS_API int nvSetDataMark(int sec, uint32_t mark);
MFPSYS_API int nvSetCtlOfst(int sec, int vidx);
MFPSYS_API int nvSetDataCksm(int sec, int vidx, uint32_t cksm);
MFPSYS_API int nvSetCtrlCksm(int sec);
MFPSYS_API int nvChkSecEraseID(int sec);
MFPSYS_API int nvChkMark(int sec);
MFPSYS_API int nvGetSecCnt(int sec, uint16_t* count);
MFPSYS_API int nvChkData(uint32_t dataOfst, uint32_t length, uint32_t cksmOfst, void* buffer);

/* Sum of n unsigned bytes; 0 when n <= 0 or bytes is null. */
MFPSYS_API uint32_t nvCalcCksm(const void* bytes, int32_t n);

MFPSYS_END_DECLS

#endif /* MFPSYS_NV_H */
