// Tables other than the defaults, the shared state's defaults and lookups,
// and erase-all.
#include <sys/ipc.h>
#include <sys/sem.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "mfpsys/registry.h"
#include "nv_fixture.h"

using namespace nvtest;
using mfpsys::test::run_child;

namespace {

class NvTables : public NvTest {
protected:
    void SetUp() override {
        NvTest::SetUp();
        std::memcpy(savedReal, _nvRealSec, sizeof savedReal);
        std::memcpy(savedVrtl, _nvVrtlSec, sizeof savedVrtl);
        reader.start();
    }
    void TearDown() override {
        std::memcpy(_nvRealSec, savedReal, sizeof savedReal);
        std::memcpy(_nvVrtlSec, savedVrtl, sizeof savedVrtl);
        NvTest::TearDown();
    }
    RestartReader reader;
    NvRealSecEntry savedReal[8];
    NvVrtlSecEntry savedVrtl[4];
};

TEST_F(NvTables, RetrieveCopiesDefaultsOnlyUntilPoweredUpAndLookupIsExact) {
    ASSERT_EQ(nvSharedMemAttach(), 0);
    ASSERT_EQ(nvSharedMemRetrieve(), 0);
    auto* st = NvTest::st();
    EXPECT_EQ(static_cast<void*>(nvVrtlSec[0]), static_cast<void*>(reinterpret_cast<char*>(st) + 320));
    EXPECT_EQ(0, std::memcmp(st->realSec, _nvRealSec, sizeof st->realSec));
    EXPECT_EQ(st->writeInfo[1], 0xFFFFFFFFu);
    EXPECT_EQ(st->eraseInfo[11], 0xFFFFFFFFu);
    EXPECT_EQ(st->setupInfo[0], 0xFFFFFFFFu);
    st->otherInfo[0] = 77;
    st->realSec[3].writeOfst = 5;
    ASSERT_EQ(nvSharedMemRetrieve(), 0);
    EXPECT_EQ(st->otherInfo[0], 0) << "flag 0: everything back to the defaults";
    EXPECT_EQ(st->realSec[3].writeOfst, 0u);

    const int32_t addrs[] = {0x0000, 0x0400, 0x0800, 0x1000, 0x0401, 0x0C00, -1};
    const int want[] = {0, 1, 2, 3, -1, -1, -1};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(nvGetVidx(addrs[i]), want[i]) << std::hex << addrs[i];

    powerUp();
    int semId = st->otherInfo[0];
    st->realSec[3].writeOfst = 5;
    ASSERT_EQ(nvSharedMemRetrieve(), 0);
    EXPECT_EQ(st->otherInfo[0], semId);
    EXPECT_EQ(st->otherInfo[1], 1);
    EXPECT_EQ(st->realSec[3].writeOfst, 5u) << "powered up: tables left alone";
}

TEST_F(NvTables, RingLinkingFollowsIndexOrderWithinEachRing) {
    const int32_t rings[8] = {1, 2, 1, 2, 1, 2, 1, 2};
    for (int s = 0; s < 8; ++s) _nvRealSec[s].ringId = rings[s];
    _nvRealSec[7].ringId = 5;  // alone in its ring
    ASSERT_EQ(nvSharedMemAttach(), 0);
    ASSERT_EQ(nvSharedMemRetrieve(), 0);
    nvInitRealTbl();
    nvInitVrtlTbl();
    const uint32_t next[8] = {2, 3, 4, 5, 6, 1, 0, 7};
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(nvRealSec[s]->next, next[s]) << s;
        EXPECT_EQ(nvRealSec[next[s]]->prev, uint32_t(s)) << s;
        EXPECT_EQ(nvRealSec[s]->writeOfst, 256u);
    }
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 0u);
    EXPECT_EQ(nvVrtlSec[1]->crntSec, 1u);
    int list[5];
    EXPECT_EQ(nvSetIdList(list), list);
    const int wantList[5] = {1, 2, 3, 4, -1};
    EXPECT_EQ(0, std::memcmp(list, wantList, sizeof list));
}

// Tables that break the rules are refused before anything touches the flash.
TEST_F(NvTables, BrokenTablesAreRefusedAndTheCallsFailCleanly) {
    auto refused = [&](auto change) {
        return run_child([&] {
            change();
            uint8_t d[4] = {};
            CHILD_CHECK(nvRead(kAddr[0], 4, d) == -1);
            CHILD_CHECK(nvWrite(kAddr[0], 4, d) == NV_E_SYSTEM);
            CHILD_CHECK(nvWriteRetry(kAddr[0], 4, d) == NV_E_SYSTEM);
            CHILD_CHECK(nvEraseAll() == -1);
            return 0;
        });
    };
    EXPECT_CHILD_OK(refused([] { _nvVrtlSec[1].ringId = 9; }));
    EXPECT_CHILD_OK(refused([] { _nvRealSec[2].ringId = _nvRealSec[3].ringId = _nvVrtlSec[1].ringId = -1; }));
    EXPECT_CHILD_OK(refused([] { _nvVrtlSec[3].capacity = 0x7F01; }));
    EXPECT_CHILD_OK(refused([] { _nvVrtlSec[0].ringId = 4; }));  // two blocks too big for sector 7
    // The shared state's key registered smaller by another client.
    EXPECT_CHILD_OK(restarted([] {
        CHILD_CHECK(KUSharedMemAttach(NV_SHARED_KEY, 100) == 100);
        uint8_t d[4] = {};
        CHILD_CHECK(nvRead(kAddr[0], 4, d) == -1 && nvWrite(kAddr[0], 4, d) == NV_E_SYSTEM && nvEraseAll() == -1);
        CHILD_CHECK(nvSharedMemAttach() == -1 && nvSharedMemRetrieve() == -1 && nvRealSec[0] == nullptr);
        auto* seg = static_cast<const uint8_t*>(KUSharedMemRetrieveMemory(NV_SHARED_KEY));
        CHILD_CHECK(seg != nullptr && std::all_of(seg, seg + 100, [](uint8_t c) { return c == 0; }));
        return 0;
    }));
    EXPECT_EQ(board().counters().opens, 0u);
    EXPECT_CHILD_OK(run_child([&] {
        CHILD_CHECK(nvWrite(kAddr[0], 4, "abcd") == 0);  // the defaults again: scans and works
        return 0;
    }));
}

// A ring holding two blocks, and a ring of four sectors.
TEST_F(NvTables, SharedRingsKeepEveryBlockAndNeverInventACopy) {
    const int32_t rings[8] = {1, 1, 2, 2, 2, 2, 4, 4};
    for (int s = 0; s < 8; ++s) _nvRealSec[s].ringId = rings[s];
    _nvVrtlSec[0].capacity = _nvVrtlSec[1].capacity = 0x4000;
    _nvVrtlSec[1].ringId = 1;
    _nvVrtlSec[2].ringId = 2;
    const uint32_t cap0 = 0x4000;

    // Boot 1: block 0 fills sector 0 (three copies) and moves to sector 1;
    // block 1 has no copy and gets none.
    EXPECT_CHILD_OK(restarted([&] {
        for (int b = 0; b < 4; ++b) CHILD_CHECK(!reads(b, 0));
        for (int r = 1; r <= 4; ++r) CHILD_CHECK(nvWrite(kAddr[0], 40, pattern(0, r, 40).data()) == 0);
        CHILD_CHECK(nvVrtlSec[0]->crntSec == 1 && nvVrtlSec[1]->crntSec == 1);
        CHILD_CHECK(nvVrtlSec[1]->dataOfst == -1 && nvRealSec[1]->usedEntries == 1);
        CHILD_CHECK(nvWrite(kAddr[2], 40, pattern(2, 1, 40).data()) == 0);
        return 0;
    }));
    auto s1 = sector(1);
    for (int e = 0; e < 15; ++e) EXPECT_NE(be32(s1, 16 + 16 * e + 8), uint32_t(kAddr[1])) << e;

    EXPECT_CHILD_OK(restarted([&] {
        CHILD_CHECK(reads(0, 4) && !reads(1, 0) && reads(2, 1));
        CHILD_CHECK(nvWrite(kAddr[1], 40, pattern(1, 1, 40).data()) == 0);
        CHILD_CHECK(nvVrtlSec[1]->crntSec == 1);
        CHILD_CHECK(nvWrite(kAddr[2], 40, pattern(2, 2, 40).data()) == 0);
        CHILD_CHECK(nvVrtlSec[2]->crntSec == 3);
        return 0;
    }));
    EXPECT_CHILD_OK(restarted([&] {
        CHILD_CHECK(reads(0, 4) && reads(1, 1) && reads(2, 2));
        CHILD_CHECK(nvWrite(kAddr[0], 40, pattern(0, 5, 40).data()) == 0);  // third copy in sector 1
        CHILD_CHECK(nvWrite(kAddr[0], 40, pattern(0, 6, 40).data()) == 0);  // moves: both blocks
        CHILD_CHECK(nvVrtlSec[0]->crntSec == 0 && nvVrtlSec[1]->crntSec == 0);
        CHILD_CHECK(nvVrtlSec[0]->dataOfst == 256 && nvVrtlSec[1]->dataOfst == int32_t(256 + cap0));
        for (int r = 3; r <= 5; ++r) CHILD_CHECK(nvWriteRetry(kAddr[2], 40, pattern(2, r, 40).data()) == 0);
        CHILD_CHECK(nvVrtlSec[2]->crntSec == 2);  // 3 -> 4 -> 5 -> 2
        return 0;
    }));
    EXPECT_CHILD_OK(restarted([&] {
        CHILD_CHECK(reads(0, 6) && reads(1, 1) && reads(2, 5));
        return 0;
    }));
    expectNoViolation();
}

// Blocks 0x0000 and 0x0400 swap rings between boots: the copies left in the
// other ring's sectors are not theirs, and a write lands in the block's new
// ring, readable after the next restart.
TEST_F(NvTables, BlocksThatChangedRingsBetweenBootsAreWrittenInTheirOwnRing) {
    EXPECT_CHILD_OK(restarted([] {
        for (int b = 0; b < 2; ++b) CHILD_CHECK(nvWrite(kAddr[b], 40, pattern(b, 1, 40).data()) == 0);
        return 0;
    }));
    std::swap(_nvVrtlSec[0].ringId, _nvVrtlSec[1].ringId);
    EXPECT_CHILD_OK(restarted([] {
        CHILD_CHECK(!reads(1, 1));
        CHILD_CHECK(nvWrite(kAddr[1], 40, pattern(1, 2, 40).data()) == 0);
        return 0;
    }));
    EXPECT_CHILD_OK(restarted([] { return reads(1, 2) ? 0 : 1; }));
    expectNoViolation();
}

// Power lost while a two-block ring moves, after the first block's copy:
// the older sector still holds both, so the partial one is dropped.
TEST_F(NvTables, SharedRingTransferCutShortFallsBackToTheOlderSector) {
    _nvVrtlSec[0].capacity = _nvVrtlSec[1].capacity = 0x4000;
    _nvVrtlSec[1].ringId = 1;
    _nvRealSec[2].ringId = _nvRealSec[3].ringId = 2;
    _nvVrtlSec[2].ringId = 2;
    auto writer = restarted([&] {
        CHILD_CHECK(nvWrite(kAddr[0], 40, pattern(0, 1, 40).data()) == 0);
        CHILD_CHECK(nvWrite(kAddr[0], 40, pattern(0, 2, 40).data()) == 0);
        CHILD_CHECK(nvWrite(kAddr[1], 40, pattern(1, 1, 40).data()) == 0);
        // Sector 0 is full; the move writes a header, block 0's record and
        // then block 1's copy: cut in the middle of that copy.
        board().arm_power_cut(mfpsim::CutAt::Program, 3 + 7 + 3, mfpsim::Tear::Prefix, 3);
        nvWrite(kAddr[0], 40, pattern(0, 3, 40).data());
        return 0;
    });
    EXPECT_FALSE(writer.ok());
    EXPECT_TRUE(board().power_lost());
    board().disarm();
    EXPECT_CHILD_OK(restarted([&] {
        CHILD_CHECK(reads(0, 2) && reads(1, 1));
        CHILD_CHECK(nvVrtlSec[0]->crntSec == 0 && nvVrtlSec[1]->crntSec == 0);
        CHILD_CHECK(nvWrite(kAddr[1], 40, pattern(1, 4, 40).data()) == 0);
        return 0;
    }));
    EXPECT_CHILD_OK(restarted([&] {
        CHILD_CHECK(reads(0, 2) && reads(1, 4));
        return 0;
    }));
    expectNoViolation();
}

TEST_F(NvTables, EraseAllWipesRingsOneToThreeAndTheNextWriteStartsClean) {
    powerUp();
    for (int b = 0; b < 4; ++b) write(b, 1);
    write(3, 2);
    write(3, 3);
    auto s6 = sector(6), s7 = sector(7);
    board().reset_counters();
    EXPECT_EQ(nvEraseAll(), 0);
    auto c = board().counters();
    for (int s = 0; s < 6; ++s) {
        EXPECT_EQ(c.erases[s], 1u) << s;
        EXPECT_TRUE(blank(s)) << s;
        EXPECT_EQ(be32(sector(s), 0), NV_ERASE_ID_READY);
        EXPECT_EQ(nvRealSec[s]->writeOfst, 256u);
        EXPECT_EQ(nvRealSec[s]->usedEntries, 0u);
        EXPECT_EQ(nvRealSec[s]->eraseState, uint32_t(NV_ERASE_STATE_READY));
    }
    EXPECT_EQ(c.erases[6] + c.erases[7], 0u);
    EXPECT_EQ(sector(6), s6);
    EXPECT_EQ(sector(7), s7);
    for (int b = 0; b < 3; ++b) {
        EXPECT_EQ(nvVrtlSec[b]->dataOfst, -1);
        EXPECT_EQ(nvVrtlSec[b]->crntSec, uint32_t(2 * b));
    }
    EXPECT_EQ(nvVrtlSec[3]->crntSec, 7u);

    write(0, 2);
    auto s0 = sector(0);
    EXPECT_EQ(be16(s0, 8), NV_MARK_USED);
    EXPECT_EQ(be32(s0, 20), 256u);
    EXPECT_EQ(reader.read(0, 2, 40), 0);
    EXPECT_EQ(reader.read(1, -1, 40), 0);
    EXPECT_EQ(reader.read(3, 3, 40), 0);
    expectNoViolation();
}

// Erase-all waits for a live writer however long it holds the lock, and
// then erases.
TEST_F(NvTables, EraseAllWaitsForALiveWriterAndThenErases) {
    powerUp();
    write(0, 1);
    mfpsys::test::Gate release;
    auto writer = holdWriteLock(release);
    board().reset_counters();
    uint64_t t0 = board().virtual_seconds();
    mfpsys::test::Child eraser([] { return nvEraseAll(); });
    for (int i = 0; i < 20000 && board().virtual_seconds() < t0 + 20; ++i) usleep(1000);
    EXPECT_GE(board().virtual_seconds(), t0 + 20) << "still waiting after twenty seconds";
    EXPECT_EQ(board().counters().erase_requests, 0u);
    release.open(1);
    EXPECT_CHILD_OK(writer.wait());
    EXPECT_CHILD_OK(eraser.wait());
    EXPECT_EQ(board().counters().erases[0], 1u);
    EXPECT_EQ(semctl(st()->otherInfo[0], 0, GETVAL), 1);
}

}  // namespace
