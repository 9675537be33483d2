// Every exported call with input it must refuse (null pointers, negative, zero
// and huge sizes, unknown keys, block addresses, sectors, areas, indices): the
// documented failure, no crash, and flash, registry table and key bitmap as they were.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "harness/board.h"
#include "mfpsys/mfpsys.h"
#include "rel.h"

using namespace rel;

namespace {

uint8_t g_buf[0x10000], g_info[12];

struct Row {
    const char* calls;  // the exported calls the row refuses
    std::function<bool()> refused;
    bool attached = true;  // run where the NV store's shared state is mapped (else the index checks go untried)
};

const std::vector<Row> kRows = {
    {"nvRead", [] { return nvRead(0x1234, 16, g_buf) == -1 && nvRead(-1, 16, g_buf) == -1 && nvRead(kAddr[0], 16, nullptr) == -1 &&
                           nvRead(kAddr[3], kCap[3] + 1, g_buf) == -1 && nvRead(kAddr[0], 0xFFFFFFFFu, g_buf) == -1; }},
    {"nvWrite nvWriteRetry",
     [] { return nvWrite(0x0C00, 16, g_buf) == NV_E_PARAM && nvWrite(0x1001, 1, g_buf) == NV_E_PARAM && nvWrite(kAddr[1], 16, nullptr) == NV_E_PARAM &&
                 nvWrite(kAddr[3], kCap[3] + 1, g_buf) == NV_E_PARAM && nvWrite(kAddr[0], 0xFFFFFFFFu, g_buf) == NV_E_PARAM &&
                 nvWriteRetry(INT32_MIN, 16, g_buf) == NV_E_PARAM && nvWriteRetry(kAddr[2], 1, nullptr) == NV_E_PARAM &&
                 nvWriteRetry(kAddr[2], 0x80000000u, g_buf) == NV_E_PARAM; }},
    {"nvReadReq nvWriteReq nvSharedMemAttach nvSharedMemRetrieve",
     [] { return nvSharedMemAttach() == 0 && nvSharedMemRetrieve() == 0 && nvReadReq(0x7777, 4, g_buf) == -1 &&
                 nvReadReq(kAddr[0], 4, nullptr) == -1 && nvWriteReq(0x7777, 4, g_buf) == NV_E_PARAM &&
                 nvWriteReq(kAddr[0], 4, nullptr) == NV_E_PARAM && nvWriteReq(kAddr[3], kCap[3] + 1, g_buf) == NV_E_PARAM; }},
    {"nvChkVacancy nvSetData nvGetSecData nvChkSecErase nvGetCrntSec nvGetVidx",
     [] { return nvChkVacancy(-1, 0) == -1 && nvChkVacancy(8, 0) == -1 && nvChkVacancy(0, -1) == -1 && nvChkVacancy(0, 4) == -1 &&
                 nvSetData(8, 0, 4, g_buf) == -1 && nvSetData(-1, 0, 4, g_buf) == -1 && nvSetData(0, 4, 4, g_buf) == -1 &&
                 nvSetData(0, 0, 4, nullptr) == -1 && nvSetData(0, 0, kCap[0] + 1, g_buf) == -1 && nvGetSecData(8) == 0 && nvGetSecData(-1) == 0 &&
                 nvChkSecErase(8) == -1 && nvChkSecErase(-1) == -1 && nvGetCrntSec(99) == -1 && nvGetCrntSec(-1) == -1 && nvGetVidx(0x0001) == -1 &&
                 nvGetVidx(-1) == -1; }},
    {"nvSecEraseNoWait nvEraseThreadCreate nvSecEraseWait",
     [] { return nvSecEraseNoWait(8) == -1 && nvSecEraseNoWait(-1) == -1 && nvEraseThreadCreate(99) == -1 && nvSecEraseWait(INT_MIN) == -1 &&
                 nvSecEraseWait(8) == -1; }},
    {"nvTakeSem nvGiveSem",
     [] { return nvTakeSem(-1, IPC_NOWAIT) == -1 && nvGiveSem(-1) == -1 && nvTakeSem(INT_MAX, IPC_NOWAIT) == -1; }},
    {"nvReadExe nvWriteExe nvEraseExe",
     [] { return nvReadExe(0, 16, nullptr) == -1 && nvReadExe(0x80000, 16, g_buf) == -1 && nvReadExe(0x7FFF8, 16, g_buf) == -1 &&
                 nvWriteExe(0x60000, 16, nullptr) == -1 && nvWriteExe(0x80000, 4, g_buf) == -1 && nvWriteExe(0xFFFFFFF0u, 4, g_buf) == -1 &&
                 nvEraseExe(0x1234) == -1 && nvEraseExe(0x7A001) == -1; }},
    {"nvChkEraseExe (no result is documented for an offset the device refuses)", [] { nvChkEraseExe(0x80000), nvChkEraseExe(0xFFFFFFFFu); return true; }},
    {"nvSetSecEraseID nvSetMark nvSetSecCnt nvSetDataMark nvSetCtlOfst nvSetDataCksm nvSetCtrlCksm",
     [] { return nvSetSecEraseID(8, 0) == -1 && nvSetMark(-1, NV_MARK_USED) == -1 && nvSetSecCnt(8, 0) == -1 && nvSetSecCnt(0, 4) == -1 &&
                 nvSetDataMark(8, NV_MARK_USED) == -1 && nvSetCtlOfst(0, 4) == -1 && nvSetCtlOfst(8, 0) == -1 && nvSetDataCksm(0, -1, 0) == -1 &&
                 nvSetCtrlCksm(8) == -1; }},
    {"nvChkSecEraseID nvChkMark nvGetSecCnt nvChkData nvCalcCksm nvSetIdList",
     [] { uint16_t c = 7;
          return nvChkSecEraseID(8) == -1 && nvChkMark(-1) == -1 && nvGetSecCnt(8, &c) == -1 && c == 7 && nvGetSecCnt(0, nullptr) == -1 &&
                 nvChkData(0x100, 16, 0x12, nullptr) == -1 && nvChkData(0x100, 0x80000000u, 0x12, g_buf) == -1 && nvCalcCksm(nullptr, 10) == 0 &&
                 nvCalcCksm(g_buf, 0) == 0 && nvCalcCksm(g_buf, -5) == 0 && nvSetIdList(nullptr) == nullptr; }},
    {"KUSharedMemAttach KUSharedMemRetrieveMemory KUSharedMemDetach KUSharedMemRemove",
     [] { return KUSharedMemAttach(0, 16) == -1 && KUSharedMemAttach(-7, 16) == -1 && KUSharedMemAttach(4242, 0) == -1 &&
                 KUSharedMemAttach(4242, -1) == -1 && KUSharedMemAttach(4242, INT_MIN) == -1 && shmget(4242, 0, 0) == -1 &&
                 KUSharedMemRetrieveMemory(4242) == nullptr && KUSharedMemRetrieveMemory(0) == nullptr && KUSharedMemDetach(4244) == 0 &&
                 KUSharedMemRemove(4244) == 0 && KUSharedMemRemove(0) == 0 && KUSharedMemRemove(-1) == 0 &&
                 KUSharedMemAttach(4245, 16) == 16 && KUSharedMemAttach(4245, 0) == -1 && KUSharedMemRemove(4245) == 0; }},
    {"KUSharedMemInit KUSharedMemAttachWithName KUSharedMemLock KUSharedMemUnlock KUSharedMemWrite KUShareMemRead "
     "KUSharedMemUpdate KUSharedMemAddObserver KUSharedMemRemoveObserver",
     [] { KUSharedMemUpdate(-1);
          KUSharedMemAddObserver(0, nullptr);
          KUSharedMemRemoveObserver(0, nullptr);
          return KUSharedMemAttach(4246, 8) == 8 && KUSharedMemRemove(4246) == 0 && KUSharedMemInit(-1, -1) == -1 &&
                 KUSharedMemAttachWithName(nullptr, -1) == 0 && KUSharedMemLock(0) == 0 && KUSharedMemUnlock(-1) == 0 &&
                 KUSharedMemWrite(1, nullptr, -1) == 0 && KUShareMemRead(1, nullptr, INT_MAX) == 0; }},
    {"mmMakeSharedMemoryKey mmDeleteSharedMemoryKey mmInit",
     [] { return mmMakeSharedMemoryKey(nullptr) == -1 && mmDeleteSharedMemoryKey(21000) == -1 /* bitmap not mapped */ && mmInit() == 0 &&
                 mmDeleteSharedMemoryKey(20999) == -1 && mmDeleteSharedMemoryKey(21248) == -1 && mmDeleteSharedMemoryKey(-1) == -1 &&
                 mmDeleteSharedMemoryKey(21100) == -1 && mmDeleteSharedMemoryKey(21247) == -1; }},
    {"mmSharedMemAttach mmSharedMemRetrieveMemory mmSharedMemDetach mmSharedMemRemove mmSharedMemReAttach",
     [] { return mmSharedMemAttach(0, 8) == -1 && mmSharedMemAttach(4250, -8) == -1 && mmSharedMemRetrieveMemory(4251) == nullptr &&
                 mmSharedMemDetach(4251) == 0 && mmSharedMemRemove(0) == 0 && mmSharedMemReAttach(0, 16) == 0 && mmSharedMemReAttach(-3, 16) == 0 &&
                 mmSharedMemReAttach(4260, 0) == 0 && mmSharedMemReAttach(4260, -16) == 0 && mmSharedMemRetrieveMemory(4260) == nullptr; }},
    {"env_mac_write env_mac_read_n env_mac_write_n (refused before any device call)",
     [] { std::string big(4000, 'a');
          return env_mac_write(nullptr) == -1 && env_mac_write(std::string(21, 'a').c_str()) == -1 && env_mac_write(big.c_str()) == -1 &&
                 env_mac_write("00:1a:\xff:3c") == -1 && env_mac_read_n(nullptr) == -1 && env_mac_write_n(nullptr) == -1; }},
    {"mmNORConvKey vfsDWL_GetArea vfsDWL_FreeArea mmNORConnect mmNORDisconnect (info untouched, window kept)",
     [] { std::memset(g_info, 0xEE, sizeof g_info);
          void* area = vfsDWL_GetArea(0);
          bool ok = mmNORConvKey(2) == -1 && mmNORConvKey(-1) == -1 && mmNORConvKey(INT_MIN) == -1 && vfsDWL_GetArea(2) == nullptr &&
                    vfsDWL_GetArea(-1) == nullptr && area != nullptr && vfsDWL_FreeArea(2, area) == -1 && vfsDWL_FreeArea(0, nullptr) == -1 &&
                    vfsDWL_FreeArea(-1, nullptr) == -1 && mmNORConnect(5, g_info) == nullptr && mmNORConnect(0, nullptr) == nullptr &&
                    mmNORConnect(-1, g_info) == nullptr && mmNORDisconnect(0, nullptr) == -1 &&
                    mmNORDisconnect(7, static_cast<unsigned char*>(area) + 20) == -1;
          if (ok) (void)static_cast<volatile unsigned char*>(area)[0x1EFFF];  // still mapped
          return ok && vfsDWL_FreeArea(0, area) == 0 && g_info[0] == 0xEE && g_info[11] == 0xEE; }},
    // Inner steps in a process that never reached the shared state: nothing may be written through its null tables.
    {"nvPowerup nvGetSecCntAll nvSetupData nvInitSemaphore nvInitRealTbl nvInitVrtlTbl nvSharedMemDetach",
    [] { int list[5];
         nvInitRealTbl();
         nvInitVrtlTbl();
         return nvChkVacancy(0, 0) == -1 && nvSetData(0, 0, 4, g_buf) == -1 && nvSetSecEraseID(0, 0) == -1 && nvSetMark(0, NV_MARK_USED) == -1 &&
                nvSetSecCnt(0, 0) == -1 && nvSetDataMark(0, 0) == -1 && nvSetCtrlCksm(0) == -1 && nvSecEraseNoWait(0) == -1 &&
                nvSecEraseWait(0) == -1 && nvGetCrntSec(1) == -1 && nvGetVidx(0) == -1 && nvPowerup() == -1 && nvGetSecCntAll() == -1 &&
                nvSetupData() == -1 && nvInitSemaphore() == -1 && nvWriteReq(kAddr[0], 4, g_buf) == NV_E_SYSTEM &&
                nvReadReq(kAddr[0], 4, g_buf) == -1 && nvSetIdList(list)[0] == -1 && nvSharedMemDetach() == 0; }, false},
};

class BadInput : public mfpsys::test::BoardTest {};

TEST_F(BadInput, EveryExportedCallRefusesAndChangesNothing) {
    ASSERT_CHILD_OK(mfpsys::test::run_child([] {
        for (int b = 0; b < kBlocks; ++b) CHILD_CHECK(writeImage(b, 1) == 0);
        int key = 0;
        CHILD_CHECK(env_mac_write("00:11:22:33:44:55") == 0 && mmMakeSharedMemoryKey(&key) == 0 && KUSharedMemAttach(key, 64) == 64);
        return 0;
    }));
    for (const Row& row : kRows) {
        auto flash = board().flash(0, mfpsim::kFlashSize);
        auto table = segmentBytes(KU_SHARED_MEM_TABLE_KEY), bitmap = segmentBytes(MM_KEY_BITMAP);
        auto o = mfpsys::test::run_child([&] {
            return (!row.attached || (nvSharedMemAttach() == 0 && nvSharedMemRetrieve() == 0)) && row.refused() ? 0 : 1;
        });
        EXPECT_TRUE(o.ok()) << row.calls << ": " << (o.exited ? "not refused as documented" : o.describe());
        EXPECT_TRUE(board().flash(0, mfpsim::kFlashSize) == flash) << row.calls << ": flash changed";
        EXPECT_TRUE(segmentBytes(KU_SHARED_MEM_TABLE_KEY) == table && segmentBytes(MM_KEY_BITMAP) == bitmap)
            << row.calls << ": registry table or key bitmap changed";
    }
}

}  // namespace
