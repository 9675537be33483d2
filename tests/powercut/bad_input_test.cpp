// Every exported call with input it must refuse (null pointers, negative, zero
// and huge sizes, unknown keys, block addresses, sectors, areas, indices), one
// call per case: the documented result, no crash, the caller's buffers not
// written, and flash, registry table and key bitmap as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "harness/board.h"
#include "mfpsys/mfpsys.h"
#include "rel.h"

using namespace rel;

namespace {

uint8_t g_buf[0x10000], g_info[12];
template <class T> std::int64_t value(T r) {
    if constexpr (std::is_pointer_v<T>) return reinterpret_cast<std::intptr_t>(r);
    else return static_cast<std::int64_t>(r);
}
// Area 0 mapped for the call and read at its last byte after it: a call that unmapped it crashes the child.
std::int64_t keepsArea(int (*call)(unsigned char* area)) {
    auto* area = static_cast<unsigned char*>(vfsDWL_GetArea(0));
    const int r = call(area);
    (void)static_cast<volatile unsigned char*>(area)[0x1EFFF];
    return r;
}

// attached: run where the NV store's shared state is mapped (else the index checks go untried).
struct Case { const char* name; std::int64_t (*call)(); std::int64_t expected; bool attached; };
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
// C(nvRead, nullDest, (args), -1) is the case nvRead_nullDest: nvRead(args) gives -1. X names any expression.
#define X(name, expr, want, attached) Case{#name, [] { return value(expr); }, want, attached}
#define C(fn, why, args, want) X(fn##_##why, fn args, want, true)
#define B(fn, args, want) X(fn##_noSharedState, fn args, want, false)  // never reached the shared state: its null tables untouched
constexpr std::int64_t kNull = 0;

const Case kCases[] = {
    C(nvRead, unknownBlock, (0x1234, 16, g_buf), -1), C(nvRead, nullDest, (kAddr[0], 16, nullptr), -1),
    C(nvRead, overCapacity, (kAddr[3], kCap[3] + 1, g_buf), -1), C(nvRead, hugeLength, (kAddr[0], 0xFFFFFFFFu, g_buf), -1),
    C(nvWrite, unknownBlock, (0x0C00, 16, g_buf), NV_E_PARAM), C(nvWrite, nullData, (kAddr[1], 16, nullptr), NV_E_PARAM),
    C(nvWrite, overCapacity, (kAddr[3], kCap[3] + 1, g_buf), NV_E_PARAM), C(nvWrite, hugeLength, (kAddr[0], 0xFFFFFFFFu, g_buf), NV_E_PARAM),
    C(nvWriteRetry, minAddr, (INT32_MIN, 16, g_buf), NV_E_PARAM), C(nvWriteRetry, signBitLength, (kAddr[2], 0x80000000u, g_buf), NV_E_PARAM),
    C(nvReadReq, unknownBlock, (0x7777, 4, g_buf), -1), C(nvReadReq, nullDest, (kAddr[0], 4, nullptr), -1),
    C(nvWriteReq, unknownBlock, (0x7777, 4, g_buf), NV_E_PARAM), C(nvWriteReq, nullData, (kAddr[0], 4, nullptr), NV_E_PARAM),
    C(nvWriteReq, overCapacity, (kAddr[3], kCap[3] + 1, g_buf), NV_E_PARAM), C(nvChkVacancy, negativeSector, (-1, 0), -1),
    C(nvChkVacancy, sectorPastEnd, (8, 0), -1), C(nvChkVacancy, negativeBlock, (0, -1), -1), C(nvChkVacancy, blockPastEnd, (0, 4), -1),
    C(nvSetData, sectorPastEnd, (8, 0, 4, g_buf), -1), C(nvSetData, negativeSector, (-1, 0, 4, g_buf), -1),
    C(nvSetData, blockPastEnd, (0, 4, 4, g_buf), -1), C(nvSetData, nullData, (0, 0, 4, nullptr), -1),
    C(nvSetData, overCapacity, (0, 0, kCap[0] + 1, g_buf), -1), C(nvGetSecData, sectorPastEnd, (8), 0), C(nvGetSecData, negativeSector, (-1), 0),
    C(nvChkSecErase, sectorPastEnd, (8), -1), C(nvChkSecErase, negativeSector, (-1), -1), C(nvGetCrntSec, unknownRing, (99), -1),
    C(nvGetCrntSec, negativeRing, (-1), -1), C(nvGetVidx, notABlockAddress, (0x0001), -1), C(nvSecEraseNoWait, sectorPastEnd, (8), -1),
    C(nvSecEraseNoWait, negativeSector, (-1), -1), C(nvEraseThreadCreate, sectorPastEnd, (99), -1), C(nvSecEraseWait, minSector, (INT_MIN), -1),
    C(nvSecEraseWait, sectorPastEnd, (8), -1), C(nvTakeSem, negativeId, (-1, IPC_NOWAIT), -1), C(nvTakeSem, unknownId, (INT_MAX, IPC_NOWAIT), -1),
    C(nvGiveSem, negativeId, (-1), -1), C(nvReadExe, nullBuffer, (0, 16, nullptr), -1), C(nvReadExe, pastFlashEnd, (0x80000, 16, g_buf), -1),
    X(nvReadExe_acrossFlashEnd, [] { static uint8_t part[16]; return nvReadExe(0x7FFF8, 16, part); }(), -1, true),  // a short read fills part of it
    C(nvWriteExe, nullBuffer, (0x60000, 16, nullptr), -1), C(nvWriteExe, pastFlashEnd, (0x80000, 4, g_buf), -1),
    C(nvWriteExe, offsetWraps, (0xFFFFFFF0u, 4, g_buf), -1), C(nvEraseExe, notASectorStart, (0x1234), -1),
    C(nvEraseExe, insideEnvSector, (0x7A001), -1),
    // The device refuses the request; that must never read as an erase finished (0), or the sector would be taken as ready.
    X(nvChkEraseExe_pastFlashEndNeverFinished, nvChkEraseExe(0x80000) != 0, 1, true), C(nvSetSecEraseID, sectorPastEnd, (8, 0), -1),
    C(nvSetMark, negativeSector, (-1, NV_MARK_USED), -1), C(nvSetSecCnt, sectorPastEnd, (8, 0), -1), C(nvSetSecCnt, blockPastEnd, (0, 4), -1),
    C(nvSetDataMark, sectorPastEnd, (8, NV_MARK_USED), -1), C(nvSetCtlOfst, blockPastEnd, (0, 4), -1), C(nvSetCtlOfst, sectorPastEnd, (8, 0), -1),
    C(nvSetDataCksm, negativeBlock, (0, -1, 0), -1), C(nvSetCtrlCksm, sectorPastEnd, (8), -1), C(nvChkSecEraseID, sectorPastEnd, (8), -1),
    C(nvChkMark, negativeSector, (-1), -1), C(nvGetSecCnt, sectorPastEnd, (8, reinterpret_cast<uint16_t*>(g_buf)), -1),
    C(nvGetSecCnt, nullCount, (0, nullptr), -1), C(nvChkData, nullBuffer, (0x100, 16, 0x12, nullptr), -1),
    C(nvChkData, signBitLength, (0x100, 0x80000000u, 0x12, g_buf), -1), C(nvCalcCksm, null, (nullptr, 10), 0),
    C(nvCalcCksm, zeroLength, (g_buf, 0), 0), C(nvCalcCksm, negativeLength, (g_buf, -5), 0), C(nvSetIdList, null, (nullptr), kNull),
    C(KUSharedMemAttach, zeroKey, (0, 16), -1), C(KUSharedMemAttach, negativeKey, (-7, 16), -1), C(KUSharedMemAttach, zeroSize, (4242, 0), -1),
    C(KUSharedMemAttach, minSize, (4242, INT_MIN), -1), C(KUSharedMemRetrieveMemory, unregistered, (4242), kNull),
    C(KUSharedMemDetach, unregistered, (4244), 0), C(KUSharedMemRemove, unregistered, (4244), 0), C(KUSharedMemRemove, zeroKey, (0), 0),
    C(KUSharedMemInit, afterSetUp, (-1, -1), -1), C(mmMakeSharedMemoryKey, nullKey, (nullptr), -1),
    C(mmDeleteSharedMemoryKey, bitmapNotMapped, (21000), -1),
    X(mmDeleteSharedMemoryKey_belowRange, (mmInit(), mmDeleteSharedMemoryKey(20999)), -1, true),
    X(mmDeleteSharedMemoryKey_aboveRange, (mmInit(), mmDeleteSharedMemoryKey(21248)), -1, true),
    X(mmDeleteSharedMemoryKey_notInUse, (mmInit(), mmDeleteSharedMemoryKey(21100)), -1, true),
    X(mmDeleteSharedMemoryKey_nvKeyNotInUse, (mmInit(), mmDeleteSharedMemoryKey(21247)), -1, true),
    X(mmDeleteSharedMemoryKey_negative, (mmInit(), mmDeleteSharedMemoryKey(-1)), -1, true), C(KUSharedMemAttach, zeroSizeOfDrawnKey, (21000, 0), -1),
    C(mmSharedMemAttach, negativeSize, (4250, -8), -1), C(mmSharedMemReAttach, zeroKey, (0, 16), 0),
    C(mmSharedMemReAttach, zeroSize, (4260, 0), 0), C(mmSharedMemReAttach, negativeSize, (4260, -16), 0),
    // Refused before any device call.
    C(env_mac_write, null, (nullptr), -1), C(env_mac_write, oneTooLong, (std::string(21, 'a').c_str()), -1),
    C(env_mac_write, huge, (std::string(4000, 'a').c_str()), -1), C(env_mac_write, notHex, ("00:1a:\xff:3c"), -1),
    C(env_mac_read_n, null, (nullptr), -1), C(env_mac_write_n, null, (nullptr), -1), C(mmNORConvKey, two, (2), -1),
    C(mmNORConvKey, minKey, (INT_MIN), -1), C(vfsDWL_GetArea, two, (2), kNull), C(vfsDWL_GetArea, negative, (-1), kNull),
    X(vfsDWL_FreeArea_otherArea, keepsArea([](unsigned char* a) { return vfsDWL_FreeArea(2, a); }), -1, true),
    C(vfsDWL_FreeArea, nullAddr, (0, nullptr), -1), C(mmNORConnect, unknownKey, (5, g_info), kNull),
    C(mmNORConnect, nullInfo, (0, nullptr), kNull), C(mmNORDisconnect, nullData, (0, nullptr), -1),
    X(mmNORDisconnect_unknownKey, keepsArea([](unsigned char* a) { return mmNORDisconnect(7, a + 20); }), -1, true),
    X(nvInitRealTbl_noSharedState, (nvInitRealTbl(), 0), 0, false), X(nvInitVrtlTbl_noSharedState, (nvInitVrtlTbl(), 0), 0, false),
    B(nvChkVacancy, (0, 0), -1), B(nvSetData, (0, 0, 4, g_buf), -1), B(nvSetSecEraseID, (0, 0), -1), B(nvSetMark, (0, NV_MARK_USED), -1),
    B(nvSetSecCnt, (0, 0), -1), B(nvSetDataMark, (0, 0), -1), B(nvSetCtrlCksm, (0), -1), B(nvSecEraseNoWait, (0), -1), B(nvSecEraseWait, (0), -1),
    B(nvGetCrntSec, (1), -1), B(nvGetVidx, (0), -1), B(nvPowerup, (), -1), B(nvGetSecCntAll, (), -1), B(nvSetupData, (), -1),
    B(nvInitSemaphore, (), -1), B(nvWriteReq, (kAddr[0], 4, g_buf), NV_E_SYSTEM), B(nvReadReq, (kAddr[0], 4, g_buf), -1), B(nvSharedMemDetach, (), 0),
    X(nvSetIdList_noSharedState, [] { static int list[5]; return nvSetIdList(list)[0]; }(), -1, false),
};

// One system for the whole table, prepared once: every call runs in a process of its own against it, and each
// case checks that it is as it was.
[[maybe_unused]] const bool kOneSystem = mfpsys::test::one_namespace_for("BadInput");
class BadInput : public testing::TestWithParam<Case> {
protected:
    static inline std::optional<mfpsys::test::TempBoard> temp;
    static inline mfpsys::test::Outcome prepared;
    static void SetUpTestSuite() {
        temp.emplace();
        prepared = mfpsys::test::run_child([] {  // a stored block (the store powered up), an address, a drawn key and its segment
            int key = 0;
            CHILD_CHECK(writeImage(3, 1) == 0);
            CHILD_CHECK(env_mac_write("00:11:22:33:44:55") == 0);
            CHILD_CHECK(mmMakeSharedMemoryKey(&key) == 0);
            return KUSharedMemAttach(key, 64) == 64 ? 0 : 1;
        });
    }
    static void TearDownTestSuite() { temp.reset(); }
    mfpsim::Board& board() { return temp->board(); }
};

TEST_P(BadInput, Refused) {
    ASSERT_CHILD_OK(prepared) << "preparing the system";
    const Case& c = GetParam();
    const auto flash = board().flash(0, mfpsim::kFlashSize);
    const auto table = segmentBytes(KU_SHARED_MEM_TABLE_KEY), bitmap = segmentBytes(MM_KEY_BITMAP);
    mfpsys::test::Shared<std::int64_t> got(2);  // the result, and whether the caller's buffers kept their bytes
    const auto o = mfpsys::test::run_child([&] {
        std::memset(g_buf, 0xEE, sizeof g_buf);
        std::memset(g_info, 0xEE, sizeof g_info);
        if (c.attached && (nvSharedMemAttach() != 0 || nvSharedMemRetrieve() != 0)) return 2;
        got[0] = c.call();
        const auto kept = [](const uint8_t* p, size_t n) { return std::all_of(p, p + n, [](uint8_t x) { return x == 0xEE; }); };
        got[1] = kept(g_buf, sizeof g_buf) && kept(g_info, sizeof g_info);
        return 0;
    });
    ASSERT_CHILD_OK(o);
    EXPECT_EQ(got[0], c.expected) << "the documented result";
    EXPECT_EQ(got[1], 1) << "the caller's buffer was written";
    EXPECT_TRUE(board().flash(0, mfpsim::kFlashSize) == flash) << "flash changed";
    EXPECT_TRUE(segmentBytes(KU_SHARED_MEM_TABLE_KEY) == table) << "registry table changed";
    EXPECT_TRUE(segmentBytes(MM_KEY_BITMAP) == bitmap) << "key bitmap changed";
}

INSTANTIATE_TEST_SUITE_P(, BadInput, testing::ValuesIn(kCases), [](const auto& i) { return std::string(i.param.name); });

}  // namespace
