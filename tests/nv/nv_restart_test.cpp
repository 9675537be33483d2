// Restart cycles (no System V object survives, the flash does): every ring
// keeps its newest image while it appends and moves, and each restart finds
// where its next record goes. Reads hand out the power-up image exactly once,
// copied to exactly the length asked for, also when the heap could not hold
// it at power-up. (One image to one reader among processes: the concurrency
// table.)
#include "nv_fixture.h"
#include "port/tarnix.h"

using namespace nvtest;

namespace {

using NvRestart = NvTest;
using NvRead = NvTest;

// Ring 1 holds blocks 0 and 1 of 0x800 bytes: its 15 control entries fill before its data space, then
// each move writes both blocks and 13 appends follow. Each boot reads the last round's images (block 3
// after its writes: reads hand out the power-up image) and writes this round's, blocks 0 and 3 twice in
// odd rounds.
TEST_F(NvRestart, EveryRingKeepsItsNewestImageOverManyRestarts) {
    shareRingOne(0x800);
    auto lengthOf = [](int b, int round) { return round == 0 ? 40 : 1 + (round * 4099u + b * 577u) % 0x800; };
    auto reread = [&](int b, int round) { return round == 0 ? !reads(b, 0) : reads(b, round, lengthOf(b, round)); };
    for (int round = 1; round <= 16; ++round) {
        const auto boot = restart([&] {
            for (int b = 0; b < 3; ++b) CHILD_CHECK(reread(b, round - 1));
            const uint32_t n = 2 * (round - 1) + round / 2, k = n > 15 ? n - 15 : 0;  // ring 1's records, past 15
            const uint32_t s = k ? (k + 13) / 14 % 2 : 0, used = k ? 2 + (k - 1) % 14 : n;
            CHILD_CHECK(nvVrtlSec[0]->crntSec == s);  // where the scan found the next record goes
            CHILD_CHECK(nvRealSec[s]->usedEntries == used);
            CHILD_CHECK(nvRealSec[s]->writeOfst == NV_CTL_AREA_SIZE + 0x800 * used);
            for (int b = 0; b < 4; ++b) {
                if (b % 3 == 0 && round % 2) CHILD_CHECK(nvWriteRetry(kAddr[b], 9, pattern(b, 99, 9).data()) == 0);
                CHILD_CHECK(nvWriteRetry(kAddr[b], lengthOf(b, round), pattern(b, round, lengthOf(b, round)).data()) == 0);
            }
            CHILD_CHECK(reread(3, round - 1));
            return 0;
        });
        ASSERT_CHILD_OK(boot) << "round " << round;
        for (uint32_t e = 0; e < 15 && round == 6; ++e)  // sector 0 full: 15 entries, records packed
            EXPECT_EQ(mfpsys::test::be32(sector(0), 20 + 16 * e), 256 + 0x800 * e) << "entry " << e;
    }
    EXPECT_EQ(board().counters().erases[0], 1u) << "erased once, when ring 1 moved on";
    expectNoViolation();
}

// A copy the scan found while the heap was exhausted is no missing block: a
// read without memory for it fails and leaves it, the first read with memory
// hands it out from the flash, once.
TEST_F(NvRead, ImageTheHeapCouldNotHoldIsReadFromTheFlashOnce) {
    put(6, SectorImage(6).header(9).record(0, 256, 3, 1));
    EXPECT_CHILD_OK(restart([] {
        CHILD_CHECK(nvSharedMemAttach() == 0);
        std::vector<void*> filler;
        for (size_t n = 1u << 20; n >= 8; n /= 2)
            while (void* p = tarnixSubAllocMem(n)) filler.push_back(p);
        uint8_t b[4];
        CHILD_CHECK(nvRead(kAddr[3], 4, b) == -1);
        for (void* p : filler) tarnixOrgFreeMemPart(0, p);
        std::vector<uint8_t> out(40, 0xEE), want = pattern(3, 1, 39);
        want.push_back(0xEE);
        CHILD_CHECK(nvRead(kAddr[3], 39, out.data()) == 0);
        CHILD_CHECK(out == want);  // exactly the length asked for
        CHILD_CHECK(nvRead(kAddr[3], 4, b) == -1);  // handed out once
        return 0;
    }));
}

}  // namespace
