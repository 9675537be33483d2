// Writes: the exact bytes on flash, appends and moves between sectors,
// erases, device failures mid-write and the block tables. (Erase-all's
// extent: the campaign's erase_all scenario keeps ring 4's acknowledged image.)
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <functional>
#include <utility>

#include "mfpsys/registry.h"
#include "nv_fixture.h"

using namespace nvtest;

namespace {

using NvWrite = NvTest;

// Two appends then a move in ring 4, against images built byte by byte; the
// move marks the new sector done, then invalidates and erases the old one.
// Ring 1 starts in sector 1 at count 0xFFFE: its move counts on past 0xFFFF.
TEST_F(NvWrite, AppendsAndMoveLeaveExactBigEndianBytes) {
    put(1, SectorImage(1).header(0xFFFE, NV_MARK_DONE).record(0, 256, 0, 0));
    powerUp();
    write(3, 1);
    write(3, 2);
    EXPECT_EQ(sector(6), SectorImage(6).header(0).record(0, 256, 3, 1).record(1, 256 + kCap[3], 3, 2).bytes());
    board().set_journal(true);
    write(3, 3);
    EXPECT_EQ(sector(7), SectorImage(7).header(1, NV_MARK_DONE).record(0, 256, 3, 3).bytes());
    EXPECT_EQ(board().counters().erases[6], 1u);
    std::vector<std::pair<char, uint32_t>> ops;
    for (const auto& j : board().journal()) ops.emplace_back(j.kind, j.offset);
    std::erase_if(ops, [](const auto& op) { return op.first != 'w' && op.first != 'e'; });
    EXPECT_EQ(std::vector(ops.end() - 3, ops.end()),
              (std::vector<std::pair<char, uint32_t>>{{'w', 0x70008}, {'w', 0x60000}, {'e', 0x60000}}));
    // Literal vectors: a short record's checksum counts the erased rest of its capacity.
    ASSERT_EQ(nvWrite(kAddr[3], 3, "abc"), 0);
    EXPECT_EQ(be16(sector(6), 18), 0x7F29);
    write(0, 1);
    EXPECT_EQ(be16(sector(0), 4), 0u) << "0xFFFF means no count: 0xFFFE is followed by 0";
    expectNoViolation();
}

// Ring 1 takes one copy per sector (an exact fit); the next write moves and
// must wait for the old sector's erase before moving back.
TEST_F(NvWrite, RingOneMovesEveryWriteAndWaitsForTheErase) {
    powerUp();
    write(0, 1);
    board().set_erase_status_polls(3);
    write(0, 2);
    auto d = pattern(0, 3, 40);
    EXPECT_EQ(nvWrite(kAddr[0], 40, d.data()), NV_E_BUSY);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 1u) << "moved once, and not yet back";
    EXPECT_EQ(nvWriteRetry(kAddr[0], 40, d.data()), 0);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 0u);
    board().set_erase_status_polls(NV_ERASE_WAIT_POLLS + 1);  // an erase that does not end in time
    EXPECT_EQ(nvSecEraseWait(5), -1);
    expectNoViolation();
}

// A device step that fails (or programs only part) fails the write, leaves
// the last good copy named, erases a half-made new sector and gives the lock
// back: the next write succeeds elsewhere.
TEST_F(NvWrite, DeviceFailureMidWriteKeepsTheLastGoodCopy) {
    struct Case { int block; mfpsim::Fault fault; uint64_t nth; int moved; };
    const Case cases[] = {{3, mfpsim::Fault::WriteFail, 2, 7}, {0, mfpsim::Fault::WriteShort, 5, 1},
                          {1, mfpsim::Fault::ReadShort, 1, 3}, {2, mfpsim::Fault::Open, 1, 5}};
    powerUp();
    for (auto [b, fault, nth, moved] : cases) {
        SCOPED_TRACE(mfpsim::fault_name(fault));
        write(b, 1);
        const int32_t ofst = nvVrtlSec[b]->dataOfst;
        const uint32_t sec = nvVrtlSec[b]->crntSec;
        board().arm_fault(fault, nth);
        EXPECT_EQ(nvWrite(kAddr[b], 40, pattern(b, 2, 40).data()), NV_E_SYSTEM);
        board().disarm();
        EXPECT_EQ(nvVrtlSec[b]->dataOfst, ofst);
        EXPECT_EQ(nvVrtlSec[b]->crntSec, sec);
        EXPECT_EQ(semctl(st()->otherInfo[0], 0, GETVAL), 1);
        ASSERT_EQ(nvWriteRetry(kAddr[b], 40, pattern(b, 3, 40).data()), 0);
        EXPECT_EQ(nvVrtlSec[b]->crntSec, uint32_t(moved));
    }
    EXPECT_EQ(board().counters().erases[1], 1u) << "the failed move's target is erased";
    board().arm_fault(mfpsim::Fault::Lseek, 1);
    EXPECT_EQ(nvChkEraseExe(kSecOfst[4]), NV_ERASE_STATUS_UNKNOWN) << "an unreachable device is never busy";
    board().arm_fault(mfpsim::Fault::EraseFail, 1);
    EXPECT_EQ(nvSecEraseWait(4), -1) << "a failed erase is reported";
    EXPECT_EQ(nvRealSec[4]->eraseState, NV_ERASE_STATE_ERASING) << "and the sector is not taken for ready";
    expectNoViolation();
    for (int b = 0; b < 4; ++b) EXPECT_TRUE(readsAfterRestart(b, 3)) << b;
}

// Tables: a shared segment registered too small is refused untouched, and
// blocks that changed rings between boots never take the other ring's copy.
TEST_F(NvWrite, TablesRefuseASmallSegmentAndFollowRingChanges) {
    const std::function<void()> broken[] = {
        [] { KUSharedMemAttach(NV_SHARED_KEY, 100); },           // the state registered too small
        [] { _nvVrtlSec[1].ringId = 9; },                        // a ring with no sectors
        [] { _nvRealSec[2].ringId = _nvRealSec[3].ringId = _nvVrtlSec[1].ringId = -1; },
        [] { _nvVrtlSec[3].capacity = 0x7F01; },                 // more than its sectors hold
        [] { _nvVrtlSec[0].ringId = 4; }};                       // two blocks too big for sector 7
    for (const auto& breakIt : broken)
        EXPECT_CHILD_OK(restart([&] {
            breakIt();
            uint8_t d[4] = {};
            CHILD_CHECK(nvRead(kAddr[0], 4, d) == -1);
            CHILD_CHECK(nvWrite(kAddr[0], 4, d) == NV_E_SYSTEM);
            CHILD_CHECK(nvEraseAll() == -1);
            return 0;
        }));
    EXPECT_EQ(board().counters().opens, 0u);
    EXPECT_CHILD_OK(restart([] {
        for (int b = 0; b < 2; ++b) CHILD_CHECK(nvWrite(kAddr[b], 40, pattern(b, 1, 40).data()) == 0);
        return 0;
    }));
    std::swap(_nvVrtlSec[0].ringId, _nvVrtlSec[1].ringId);
    EXPECT_CHILD_OK(restart([] {
        CHILD_CHECK(!reads(1, 1));  // its copy is in the ring it left
        CHILD_CHECK(nvWrite(kAddr[1], 40, pattern(1, 2, 40).data()) == 0);
        return 0;
    }));
    EXPECT_CHILD_OK(restart([] { return reads(1, 2) ? 0 : 1; }));
    expectNoViolation();
}

// A write lock another process holds: NV_E_BUSY at once, NV_E_RETRY_OVER after
// ten one-second waits, nothing written; erase-all waits until it is given
// back, and the lock is whole again after.
TEST_F(NvWrite, HeldLockGivesBusyThenRetryOverAndEraseAllWaits) {
    powerUp();
    const int id = st()->otherInfo[0];
    mfpsys::test::Arrivals held;
    const uint64_t t0 = board().virtual_seconds();
    mfpsys::test::Child holder([&] {  // lets go once the others waited 12 s
        const int rc = nvTakeSem(id, IPC_NOWAIT);
        held.arrive();
        while (rc == 0 && board().virtual_seconds() < t0 + 12) usleep(1000);  // polls gently: the clock has a lock
        return rc == 0 ? nvGiveSem(id) : rc;
    });
    held.await(1);
    const auto d = pattern(1, 1, 16);
    EXPECT_EQ(nvWrite(kAddr[1], 16, d.data()), NV_E_BUSY);
    EXPECT_EQ(nvWriteRetry(kAddr[1], 16, d.data()), NV_E_RETRY_OVER);
    EXPECT_EQ(board().virtual_seconds() - t0, 10u);
    EXPECT_EQ(board().counters().writes, 0u);
    EXPECT_EQ(nvEraseAll(), 0) << "erase-all waits as long as the holder lives";
    EXPECT_GE(board().virtual_seconds() - t0, 12u);
    EXPECT_CHILD_OK(holder.wait());
    EXPECT_EQ(nvWrite(kAddr[1], 16, d.data()), 0);
    EXPECT_EQ(semctl(id, 0, GETVAL), 1) << "given back to exactly 1";
}

}  // namespace
