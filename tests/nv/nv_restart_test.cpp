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

}  // namespace
