// Power lost at every step of an append and of a transfer: after the restart
// the block reads either its previous or its new image (the new one whenever
// the write had returned), and the next writes never program over anything.
#include "nv_fixture.h"

using namespace nvtest;
using mfpsim::CutAt;
using mfpsim::Tear;

namespace {

class NvPowerCut : public NvTest {
protected:
    // Erases the NV area offline and forgets every running erase.
    void wipe() {
        board().disarm();
        board().power_on();
        board().set_flash(0, std::vector<uint8_t>(0x78000, 0xFF));
    }

    // Block b holds `before` copies (rounds 1..before); the next write is cut
    // at the k-th program step (or the k-th erase). Returns the outcome of
    // the cut writer and checks two restarts after it.
    void cutAndRecover(int b, int before, CutAt at, uint64_t k, Tear tear, uint64_t salt) {
        SCOPED_TRACE(testing::Message() << "block " << b << " k " << k << " tear " << mfpsim::tear_name(tear)
                                        << " salt " << salt << (at == CutAt::Erase ? " (erase)" : ""));
        wipe();
        const int cut = before + 1;
        auto writer = restarted([&] {
            for (int r = 1; r <= before; ++r)
                CHILD_CHECK(nvWriteRetry(kAddr[b], 40 + r, pattern(b, r, 40 + r).data()) == 0);
            board().arm_power_cut(at, k, tear, salt);
            CHILD_CHECK(nvWriteRetry(kAddr[b], 40 + cut, pattern(b, cut, 40 + cut).data()) == 0);
            return 0;
        });
        board().disarm();
        bool completed = writer.ok();
        ASSERT_TRUE(completed || (writer.signal == SIGKILL && board().power_lost())) << writer.describe();
        auto after = restarted([&] {
            std::vector<uint8_t> got(40 + cut);
            const int rc = nvRead(kAddr[b], 40 + cut, got.data());
            auto fresh = pattern(b, cut, 40 + cut);
            auto old = pattern(b, before, 40 + before);
            old.resize(got.size(), 0xFF);
            if (completed) CHILD_CHECK(rc == 0 && got == fresh);
            // Before the first record there is no previous image to fall back to.
            CHILD_CHECK(rc == 0 ? got == fresh || (before > 0 && got == old) : before == 0);
            CHILD_CHECK(nvWriteRetry(kAddr[b], 60, pattern(b, 99, 60).data()) == 0);
            CHILD_CHECK(nvWriteRetry(kAddr[b], 61, pattern(b, 98, 61).data()) == 0);
            return 0;
        });
        ASSERT_CHILD_OK(after);
        auto last = restarted([&] {
            std::vector<uint8_t> got(61);
            CHILD_CHECK(nvRead(kAddr[b], 61, got.data()) == 0);
            CHILD_CHECK(got == pattern(b, 98, 61));
            return 0;
        });
        ASSERT_CHILD_OK(last);
        expectNoViolation();
    }
};

// Ring 4: sector 6 holds one complete copy when the second append is cut.
// A record cut short after it must make the next write move to sector 7.
TEST_F(NvPowerCut, AppendBehindACompleteRecord) {
    for (uint64_t k = 1; k <= 8; ++k) cutAndRecover(3, 1, CutAt::Program, k, Tear::Prefix, 11 + k);
    for (uint64_t k = 2; k <= 7; ++k) cutAndRecover(3, 1, CutAt::Program, k, Tear::Random, 101 + k);
    EXPECT_EQ(board().counters().power_cuts, 13u) << "an append is seven program steps";
}

TEST_F(NvPowerCut, FirstRecordOfAFreshRing) {
    for (uint64_t k = 1; k <= 11; ++k) cutAndRecover(1, 0, CutAt::Program, k, Tear::Prefix, 7 * k);
    EXPECT_EQ(board().counters().power_cuts, 10u) << "header and record are ten program steps";
}

// Ring 1: every write after the first moves the ring; cut each step of the
// move, including the old sector's erase.
TEST_F(NvPowerCut, TransferOfRingOne) {
    for (uint64_t k = 1; k <= 13; ++k) cutAndRecover(0, 1, CutAt::Program, k, Tear::Prefix, 31 + k);
    cutAndRecover(0, 1, CutAt::Erase, 1, Tear::Prefix, 5);
    cutAndRecover(0, 1, CutAt::Erase, 1, Tear::Random, 6);
    EXPECT_EQ(board().counters().power_cuts, 14u) << "a transfer is twelve program steps and an erase";
}

}  // namespace
