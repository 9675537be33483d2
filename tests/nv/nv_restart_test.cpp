// Restart cycles (no System V object survives, the flash does): every ring
// keeps its newest image while it appends, moves and its counts wrap.
#include "nv_fixture.h"

using namespace nvtest;

namespace {

class NvRestart : public NvTest {
protected:
    static uint32_t lengthOf(int b, int round) { return round == 0 ? 40 : 1 + (round * 4099u + b * 577u) % kCap[b]; }
    // One boot: the previous round's images read back, then this round's
    // written; block 3 twice in odd rounds, so its ring also appends.
    static int boot(int round, bool first) {
        for (int b = 0; b < 4; ++b) CHILD_CHECK(first ? !reads(b, 0) : reads(b, round - 1, lengthOf(b, round - 1)));
        for (int b = 0; b < 4; ++b) {
            if (b == 3 && round % 2) CHILD_CHECK(nvWriteRetry(kAddr[b], 9, pattern(b, 99, 9).data()) == 0);
            CHILD_CHECK(nvWriteRetry(kAddr[b], lengthOf(b, round), pattern(b, round, lengthOf(b, round)).data()) == 0);
        }
        return 0;
    }
};

TEST_F(NvRestart, EveryRingKeepsItsNewestImageOverManyRestarts) {
    for (int round = 1; round <= 16; ++round) ASSERT_CHILD_OK(restart([&] { return boot(round, round == 1); }));
    expectNoViolation();
}

// Round 0's images stored with counts just below the wrap.
TEST_F(NvRestart, CountsWrapPastFFFEWithoutLosingTheNewestImage) {
    for (int b = 0; b < 4; ++b)
        put(2 * b, SectorImage(2 * b).header(uint16_t(0xFFFB - b), NV_MARK_DONE).record(0, 256, b, 0));
    for (int round = 1; round <= 9; ++round)
        ASSERT_CHILD_OK(restart([&] {
            CHILD_CHECK(boot(round, false) == 0);
            for (int b = 0; b < 4 && round == 9; ++b) CHILD_CHECK(nvRealSec[nvVrtlSec[b]->crntSec]->secCnt < 0x10);
            return 0;
        }));
    expectNoViolation();
}

// Blocks 0 and 1 of 0x800 bytes share ring 1, so the control area's 15
// entries fill before the data space does. A restart keeps a clean sector
// open where its records end, the 15th record takes the last entry and the
// 16th moves the ring, carrying the other block's newest copy along.
TEST_F(NvRestart, SectorTakesFifteenRecordsAcrossRestartsAndTheSixteenthMoves) {
    constexpr uint32_t cap = 0x800;
    shareRingOne(cap);
    auto record = [](int e) { return nvWrite(kAddr[e % 2], 40, pattern(e % 2, e, 40).data()); };
    auto bootWith = [&](int n, int upTo) {  // records 0..n-1 on flash: where the next goes; writes n..upTo-1
        const auto boot = restart([&] {
            CHILD_CHECK(nvRead(0x7777, 0, nullptr) == -1);
            CHILD_CHECK(n == 0 || reads(0, (n - 1) & ~1));  // the newest copies, also of a full sector
            CHILD_CHECK(n == 0 || reads(1, (n - 2) | 1));
            CHILD_CHECK(nvRealSec[0]->usedEntries == uint32_t(n));
            CHILD_CHECK(nvRealSec[0]->writeOfst == 256 + cap * n);
            for (int e = n; e < upTo; ++e) CHILD_CHECK(record(e) == 0);
            CHILD_CHECK(nvVrtlSec[0]->crntSec == (upTo <= 15 ? 0u : 1u));
            CHILD_CHECK(nvVrtlSec[1]->crntSec == (upTo <= 15 ? 0u : 1u));
            return 0;
        });
        ASSERT_CHILD_OK(boot) << "after " << n << " records";
    };
    SectorImage full(0);
    full.header(0);
    for (int e = 0; e < 15; ++e) full.record(e, 256 + cap * e, e % 2, e, SectorImage::Damage::None, cap);
    bootWith(0, 14);
    bootWith(14, 15);
    EXPECT_EQ(sector(0), full.bytes()) << "the 15th record appended after the restart, in the last entry";
    bootWith(15, 16);
    EXPECT_EQ(sector(1), SectorImage(1).header(1, NV_MARK_DONE).record(0, 256, 0, 14, SectorImage::Damage::None, cap)
                             .record(1, 256 + cap, 1, 15, SectorImage::Damage::None, cap).bytes());
    EXPECT_EQ(board().counters().erases[0], 1u) << "erased once, when the ring moved";
    EXPECT_EQ(board().counters().erases[1], 0u);
    expectNoViolation();
}

}  // namespace
