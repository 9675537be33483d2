// Every exported call with input it must refuse: null pointers, negative,
// zero and huge sizes and lengths, unknown keys, block addresses, sectors,
// areas and indices. Each row runs in a process of its own on a board that
// holds real data; it must give its documented failure result, crash
// nothing, and leave the flash, the registry table and the key bitmap as
// they were.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "harness/board.h"
#include "harness/proc.h"
#include "images.h"
#include "mfpsys/mfpsys.h"

using namespace rel;

namespace {

struct Row {
    const char* call;
    std::function<bool()> refused;  // true when the documented failure came back
};

uint8_t g_buf[0x10000];
unsigned char g_info[12];

std::vector<Row> nvRows() {
    uint16_t cnt = 0;
    (void)cnt;
    return {
        {"nvRead unknown block", [] { return nvRead(0x1234, 16, g_buf) == -1; }},
        {"nvRead negative block", [] { return nvRead(-1, 16, g_buf) == -1; }},
        {"nvRead null destination", [] { return nvRead(kAddr[0], 16, nullptr) == -1; }},
        {"nvRead capacity + 1", [] { return nvRead(kAddr[3], kCap[3] + 1, g_buf) == -1; }},
        {"nvRead huge length", [] { return nvRead(kAddr[0], 0xFFFFFFFFu, g_buf) == -1; }},
        {"nvWrite unknown block", [] { return nvWrite(0x0C00, 16, g_buf) == NV_E_PARAM; }},
        {"nvWrite null data", [] { return nvWrite(kAddr[1], 16, nullptr) == NV_E_PARAM; }},
        {"nvWrite capacity + 1", [] { return nvWrite(kAddr[3], kCap[3] + 1, g_buf) == NV_E_PARAM; }},
        {"nvWrite huge length", [] { return nvWrite(kAddr[0], 0xFFFFFFFFu, g_buf) == NV_E_PARAM; }},
        {"nvWriteRetry unknown block", [] { return nvWriteRetry(INT32_MIN, 16, g_buf) == NV_E_PARAM; }},
        {"nvWriteRetry null data", [] { return nvWriteRetry(kAddr[2], 1, nullptr) == NV_E_PARAM; }},
        {"nvWriteRetry huge length", [] { return nvWriteRetry(kAddr[2], 0x80000000u, g_buf) == NV_E_PARAM; }},
        {"nvReadReq unknown block", [] { return nvReadReq(0x7777, 4, g_buf) == -1; }},
        {"nvReadReq null destination", [] { return nvReadReq(kAddr[0], 4, nullptr) == -1; }},
        {"nvWriteReq unknown block",
         [] { return nvSharedMemAttach() == 0 && nvSharedMemRetrieve() == 0 && nvWriteReq(0x7777, 4, g_buf) == NV_E_PARAM; }},
        {"nvWriteReq null data", [] { return nvWriteReq(kAddr[0], 4, nullptr) == NV_E_PARAM; }},
        {"nvChkVacancy sector/block out of range",
         [] { return nvChkVacancy(-1, 0) == -1 && nvChkVacancy(8, 0) == -1 && nvChkVacancy(0, -1) == -1 &&
                     nvChkVacancy(0, 4) == -1; }},
        {"nvSetData out of range, null, too long",
         [] { return nvSetData(8, 0, 4, g_buf) == -1 && nvSetData(-1, 0, 4, g_buf) == -1 &&
                     nvSetData(0, 4, 4, g_buf) == -1 && nvSetData(0, 0, 4, nullptr) == -1 &&
                     nvSetData(0, 0, kCap[0] + 1, g_buf) == -1; }},
        {"erase calls out of range",
         [] { return nvSecEraseNoWait(8) == -1 && nvSecEraseNoWait(-1) == -1 && nvEraseThreadCreate(99) == -1 &&
                     nvSecEraseWait(INT_MIN) == -1; }},
        {"nvGetCrntSec unknown ring", [] { return nvGetCrntSec(99) == -1 && nvGetCrntSec(-1) == -1; }},
        {"nvChkSecErase out of range", [] { return nvChkSecErase(8) == -1 && nvChkSecErase(-1) == -1; }},
        {"semaphore calls on a bad id",
         [] { return nvTakeSem(-1, IPC_NOWAIT) == -1 && nvGiveSem(-1) == -1 && nvTakeSem(INT_MAX, IPC_NOWAIT) == -1; }},
        {"nvGetVidx unknown", [] { return nvGetVidx(0x0001) == -1 && nvGetVidx(-1) == -1; }},
        {"nvReadExe null, beyond, across the end",
         [] { return nvReadExe(0, 16, nullptr) == -1 && nvReadExe(0x80000, 16, g_buf) == -1 &&
                     nvReadExe(0x7FFF8, 16, g_buf) == -1; }},
        {"nvWriteExe null, beyond the device",
         [] { return nvWriteExe(0x60000, 16, nullptr) == -1 && nvWriteExe(0x80000, 4, g_buf) == -1 &&
                     nvWriteExe(0xFFFFFFF0u, 4, g_buf) == -1; }},
        {"nvEraseExe not a sector start", [] { return nvEraseExe(0x1234) == -1 && nvEraseExe(0x7A001) == -1; }},
        {"field setters out of range",
         [] { return nvSetSecEraseID(8, 0) == -1 && nvSetMark(-1, NV_MARK_USED) == -1 && nvSetSecCnt(8, 0) == -1 &&
                     nvSetSecCnt(0, 4) == -1 && nvSetDataMark(8, NV_MARK_USED) == -1 && nvSetCtlOfst(0, 4) == -1 &&
                     nvSetCtlOfst(8, 0) == -1 && nvSetDataCksm(0, -1, 0) == -1 && nvSetCtrlCksm(8) == -1; }},
        {"field checkers out of range, null count",
         [] {
             uint16_t c = 0;
             return nvChkSecEraseID(8) == -1 && nvChkMark(-1) == -1 && nvGetSecCnt(8, &c) == -1 &&
                    nvGetSecCnt(0, nullptr) == -1;
         }},
        {"nvChkData null, huge",
         [] { return nvChkData(0x100, 16, 0x12, nullptr) == -1 && nvChkData(0x100, 0x80000000u, 0x12, g_buf) == -1; }},
        {"nvCalcCksm null, zero, negative",
         [] { return nvCalcCksm(nullptr, 10) == 0 && nvCalcCksm(g_buf, 0) == 0 && nvCalcCksm(g_buf, -5) == 0; }},
        {"nvSetIdList null", [] { return nvSetIdList(nullptr) == nullptr; }},
    };
}

// Inner steps in a process that never reached the shared state.
std::vector<Row> nvNoStateRows() {
    return {
        {"inner steps without shared state",
         [] {
             int list[5];
             return nvChkVacancy(0, 0) == -1 && nvSetData(0, 0, 4, g_buf) == -1 && nvSetSecEraseID(0, 0) == -1 &&
                    nvSetMark(0, NV_MARK_USED) == -1 && nvSetSecCnt(0, 0) == -1 && nvSetDataMark(0, 0) == -1 &&
                    nvSetCtrlCksm(0) == -1 && nvSecEraseNoWait(0) == -1 && nvSecEraseWait(0) == -1 &&
                    nvGetCrntSec(1) == -1 && nvGetVidx(0) == -1 && nvPowerup() == -1 && nvGetSecCntAll() == -1 &&
                    nvSetupData() == -1 && nvWriteReq(kAddr[0], 4, g_buf) == NV_E_SYSTEM &&
                    nvReadReq(kAddr[0], 4, g_buf) == -1 && nvSetIdList(list)[0] == -1;
         }},
    };
}

std::vector<Row> registryRows() {
    return {
        {"KUSharedMemAttach key 0, negative key", [] { return KUSharedMemAttach(0, 16) == -1 && KUSharedMemAttach(-7, 16) == -1; }},
        {"KUSharedMemAttach size 0, negative, also of a registered key",
         [] { return KUSharedMemAttach(4242, 0) == -1 && KUSharedMemAttach(4242, -1) == -1 &&
                     KUSharedMemAttach(4242, INT_MIN) == -1 && KUSharedMemRetrieveMemory(4242) == nullptr &&
                     KUSharedMemAttach(4245, 16) == 16 && KUSharedMemAttach(4245, 0) == -1 &&
                     KUSharedMemRemove(4245) == 0; }},
        {"KUSharedMemRetrieveMemory unknown, 0",
         [] { return KUSharedMemRetrieveMemory(4243) == nullptr && KUSharedMemRetrieveMemory(0) == nullptr; }},
        {"KUSharedMemDetach/Remove unknown, 0, negative",
         [] { return KUSharedMemDetach(4244) == 0 && KUSharedMemRemove(4244) == 0 && KUSharedMemRemove(0) == 0 &&
                     KUSharedMemRemove(-1) == 0; }},
        {"calls without effect, null and negative",
         [] {
             KUSharedMemUpdate(-1);
             KUSharedMemAddObserver(0, nullptr);
             KUSharedMemRemoveObserver(0, nullptr);
             return KUSharedMemAttachWithName(nullptr, -1) == 0 && KUSharedMemLock(0) == 0 &&
                    KUSharedMemUnlock(-1) == 0 && KUSharedMemWrite(1, nullptr, -1) == 0 &&
                    KUShareMemRead(1, nullptr, INT_MAX) == 0;
         }},
    };
}

std::vector<Row> mmRows() {
    return {
        {"mmMakeSharedMemoryKey null", [] { return mmMakeSharedMemoryKey(nullptr) == -1; }},
        {"mmDeleteSharedMemoryKey before the bitmap is mapped", [] { return mmDeleteSharedMemoryKey(21000) == -1; }},
        {"mmDeleteSharedMemoryKey out of range, unused, reserved",
         [] { return mmInit() == 0 && mmDeleteSharedMemoryKey(20999) == -1 && mmDeleteSharedMemoryKey(21248) == -1 &&
                     mmDeleteSharedMemoryKey(-1) == -1 && mmDeleteSharedMemoryKey(21100) == -1 &&
                     mmDeleteSharedMemoryKey(21247) == -1; }},
        {"mm segment calls with bad keys and sizes",
         [] { return mmSharedMemAttach(0, 8) == -1 && mmSharedMemAttach(4250, -8) == -1 &&
                     mmSharedMemRetrieveMemory(4251) == nullptr && mmSharedMemDetach(4251) == 0 &&
                     mmSharedMemRemove(0) == 0; }},
        {"mmSharedMemReAttach bad key, size 0, negative size",
         [] { return mmSharedMemReAttach(0, 16) == 0 && mmSharedMemReAttach(-3, 16) == 0 &&
                     mmSharedMemReAttach(4260, 0) == 0 && mmSharedMemReAttach(4260, -16) == 0 &&
                     mmSharedMemRetrieveMemory(4260) == nullptr; }},
    };
}

std::vector<Row> envDwlRows() {
    return {
        {"env_mac_write null, 21 characters, 4000 characters",
         [] {
             std::string big(4000, 'a');
             return env_mac_write(nullptr) == -1 && env_mac_write("00:11:22:33:44:55:667") == -1 &&
                    env_mac_write(big.c_str()) == -1;
         }},
        {"env_mac_read_n / env_mac_write_n null",
         [] { return env_mac_read_n(nullptr) == -1 && env_mac_write_n(nullptr) == -1; }},
        {"mmNORConvKey other keys", [] { return mmNORConvKey(2) == -1 && mmNORConvKey(-1) == -1 && mmNORConvKey(INT_MIN) == -1; }},
        {"vfsDWL_GetArea other areas", [] { return vfsDWL_GetArea(2) == nullptr && vfsDWL_GetArea(-1) == nullptr; }},
        {"vfsDWL_FreeArea other area, null address",
         [] { return vfsDWL_FreeArea(2, g_buf) == -1 && vfsDWL_FreeArea(0, nullptr) == -1 && vfsDWL_FreeArea(-1, nullptr) == -1; }},
        {"mmNORConnect other key, null info",
         [] { return mmNORConnect(5, g_info) == nullptr && mmNORConnect(0, nullptr) == nullptr && mmNORConnect(-1, g_info) == nullptr; }},
        {"mmNORDisconnect null data, other key",
         [] { return mmNORDisconnect(0, nullptr) == -1 && mmNORDisconnect(1, nullptr) == -1; }},
    };
}


class BadInput : public mfpsys::test::BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        // Real data on the board, and the system's objects in this namespace.
        auto setup = mfpsys::test::run_child([] {
            for (int b = 0; b < kBlocks; ++b) {
                auto img = image(b, 1);
                CHILD_CHECK(nvWriteRetry(kAddr[b], uint32_t(img.size()), img.data()) == 0);
            }
            CHILD_CHECK(env_mac_write("00:11:22:33:44:55") == 0);
            int key = 0;
            CHILD_CHECK(mmMakeSharedMemoryKey(&key) == 0 && KUSharedMemAttach(key, 64) == 64);
            return 0;
        });
        ASSERT_CHILD_OK(setup);
    }

    void runRows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            auto flash = board().flash(0, mfpsim::kFlashSize);
            auto table = segmentBytes(KU_SHARED_MEM_TABLE_KEY);
            auto bitmap = segmentBytes(MM_KEY_BITMAP);
            board().reset_counters();
            auto o = mfpsys::test::run_child([&] { return row.refused() ? 0 : 1; });
            EXPECT_TRUE(o.ok()) << row.call << ": " << (o.exited ? "not refused as documented" : o.describe());
            auto c = board().counters();
            // The device-level calls may reach the device, which refuses them;
            // nothing may be programmed or erased.
            uint64_t erased = 0;
            for (uint64_t e : c.erases) erased += e;
            EXPECT_EQ(c.programmed_bytes + erased + c.violations, 0u) << row.call << ": touched the flash";
            EXPECT_TRUE(board().flash(0, mfpsim::kFlashSize) == flash) << row.call << ": flash changed";
            EXPECT_TRUE(segmentBytes(KU_SHARED_MEM_TABLE_KEY) == table) << row.call << ": registry changed";
            EXPECT_TRUE(segmentBytes(MM_KEY_BITMAP) == bitmap) << row.call << ": key bitmap changed";
        }
    }
};

TEST_F(BadInput, NvCalls) { runRows(nvRows()); }

TEST_F(BadInput, NvInnerStepsWithoutSharedState) {
    // A process that never attached: its pointers are null, and nothing may
    // be written through them.
    runRows(nvNoStateRows());
}

TEST_F(BadInput, RegistryAndKeyCalls) {
    runRows(registryRows());
    runRows(mmRows());
}

TEST_F(BadInput, AddressAndWindowCalls) { runRows(envDwlRows()); }

}  // namespace
