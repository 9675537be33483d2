// Restart cycles: every block written, the board restarted (no System V
// object survives), the newest image read back by the power-up scan.
#include "nv_fixture.h"

using namespace nvtest;

namespace {

class NvRestart : public NvTest {
protected:
    static uint32_t lengthOf(int b, int round) { return round <= 0 ? 0 : 1 + (round * 4099u + b * 577u) % kCap[b]; }

    // One boot: check the previous round's images, then write this round's.
    // Block 3 is written twice in odd rounds, so its ring also appends.
    static int boot(int round, int firstRound) {
        for (int b = 0; b < 4; ++b) {
            std::vector<uint8_t> got(kCap[b], 0);
            int rc = nvRead(kAddr[b], kCap[b], got.data());
            if (round == firstRound) {
                CHILD_CHECK(rc == -1);
                continue;
            }
            CHILD_CHECK(rc == 0);
            auto want = pattern(b, round - 1, lengthOf(b, round - 1));
            want.resize(kCap[b], 0xFF);
            CHILD_CHECK(got == want);
        }
        for (int b = 0; b < 4; ++b) {
            int times = (b == 3 && round % 2 == 1) ? 2 : 1;
            for (int t = 0; t < times; ++t) {
                int r = t + 1 == times ? round : round + 1000;
                uint32_t len = t + 1 == times ? lengthOf(b, round) : 9;
                CHILD_CHECK(nvWriteRetry(kAddr[b], len, pattern(b, r, len).data()) == 0);
            }
        }
        return 0;
    }
};

TEST_F(NvRestart, EveryRingKeepsItsNewestImageOverManyRestarts) {
    for (int round = 1; round <= 24; ++round) {
        auto out = restarted([&] { return boot(round, 1); });
        ASSERT_CHILD_OK(out) << "round " << round;
    }
    expectNoViolation();
    for (int s = 0; s < 8; ++s) EXPECT_LE(board().counters().erases[s], 24u);
}

TEST_F(NvRestart, CountsWrapPastFFFEWithoutLosingTheNewestImage) {
    // Round 0's images, stored with counts just below the wrap.
    for (int b = 0; b < 4; ++b) {
        int s = 2 * b;
        put(s, SectorImage(kSecSize[s]).header(NV_ERASE_ID_READY, uint16_t(0xFFFB - b), NV_MARK_DONE)
                   .record(0, 256, kAddr[b], kCap[b], pattern(b, 0, 1)));
    }
    // Round 0's images are one byte long.
    for (int round = 1; round <= 10; ++round) {
        auto out = restarted([&] {
            if (round == 1) {
                for (int b = 0; b < 4; ++b) {
                    std::vector<uint8_t> got(kCap[b]);
                    CHILD_CHECK(nvRead(kAddr[b], kCap[b], got.data()) == 0);
                    CHILD_CHECK(got[0] == pattern(b, 0, 1)[0] && got[1] == 0xFF);
                }
                for (int b = 0; b < 4; ++b) {
                    uint32_t len = lengthOf(b, 1);
                    CHILD_CHECK(nvWriteRetry(kAddr[b], len, pattern(b, 1, len).data()) == 0);
                }
                return 0;
            }
            return boot(round, 1 - 100);
        });
        ASSERT_CHILD_OK(out) << "round " << round;
    }
    // Ring 1 moved once per round: from 0xFFFB over 0xFFFE to the low counts.
    auto last = restarted([&] {
        CHILD_CHECK(boot(11, 1 - 100) == 0);
        for (int b = 0; b < 4; ++b) CHILD_CHECK(nvRealSec[nvVrtlSec[b]->crntSec]->secCnt < 0x10);
        return 0;
    });
    EXPECT_CHILD_OK(last);
    expectNoViolation();
}

}  // namespace
