// The power-up scan on prepared flash images: which sector is newest, which
// copy of a block is taken, what is erased and what the tables say after.
#include "nv_fixture.h"

using namespace nvtest;

namespace {

class NvScan : public NvTest {
protected:
    // The first read of the system: runs the scan, reads block b.
    int firstRead(int b, std::vector<uint8_t>& out) {
        out.assign(kCap[b], 0);
        return nvRead(kAddr[b], kCap[b], out.data());
    }
    SectorImage ring1Copy(uint16_t count, int round) {
        return SectorImage(kSecSize[0]).header(NV_ERASE_ID_READY, count, NV_MARK_USED)
            .record(0, 256, kAddr[0], kCap[0], pattern(0, round, 100));
    }
    std::vector<uint8_t> image(int round, uint32_t cap) {
        auto v = pattern(0, round, 100);
        v.resize(cap, 0xFF);
        return v;
    }
};

TEST_F(NvScan, ErasedFlashErasesNothingAndLeavesEveryBlockWithoutCopy) {
    std::vector<uint8_t> out;
    EXPECT_EQ(firstRead(0, out), -1);
    EXPECT_EQ(board().counters().erase_requests, 0u);
    for (int b = 0; b < 4; ++b) {
        EXPECT_EQ(nvVrtlSec[b]->dataOfst, -1);
        EXPECT_EQ(nvVrtlSec[b]->cache, 0u);
    }
    EXPECT_EQ(nvVrtlSec[1]->crntSec, 2u);
    EXPECT_EQ(nvVrtlSec[3]->crntSec, 6u);
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(nvRealSec[s]->secCnt, NV_SEC_CNT_NONE);
        EXPECT_EQ(nvRealSec[s]->writeOfst, 256u);
        EXPECT_EQ(nvRealSec[s]->eraseState, uint32_t(NV_ERASE_STATE_READY));
    }
}

TEST_F(NvScan, PreparedBlankIsKeptAndAnInterruptedEraseIsFinished) {
    put(0, SectorImage(kSecSize[0]).raw(0, {0x5A, 0xA5, 0xA5, 0x5A}));
    put(2, SectorImage(kSecSize[2]).raw(0, {0, 0, 0, 0}));
    std::vector<uint8_t> out;
    firstRead(0, out);
    auto c = board().counters();
    EXPECT_EQ(c.erase_requests, 1u);
    EXPECT_EQ(c.erases[0], 0u);
    EXPECT_EQ(c.erases[2], 1u);
    EXPECT_EQ(be32(sector(2), 0), NV_ERASE_ID_READY) << "a waited erase prepares the sector";
    EXPECT_TRUE(blank(2));
}

TEST_F(NvScan, CutShortFirstRecordFallsBackToThePrevSector) {
    put(0, ring1Copy(5, 1));
    put(1, SectorImage(kSecSize[1]).header(NV_ERASE_ID_READY, 6, NV_MARK_USED).started(0));
    std::vector<uint8_t> out;
    ASSERT_EQ(firstRead(0, out), 0);
    EXPECT_EQ(out, image(1, kCap[0]));
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 0u);
    EXPECT_EQ(nvVrtlSec[0]->dataOfst, 256);
    EXPECT_TRUE(blank(1));
    EXPECT_EQ(board().counters().erases[0], 0u) << "the sector in use stays";
    EXPECT_EQ(nvRealSec[1]->writeOfst, 256u);
    EXPECT_EQ(nvRealSec[1]->usedEntries, 0u);
}

// Each ring's newest copy is damaged in one way that every other check
// passes: the older copy is the block's, in ring 4 from the same sector,
// whose write offset stays past the damaged record.
TEST_F(NvScan, DamagedNewestCopyLeavesTheOlderOne) {
    using D = SectorImage::Damage;
    const D damage[3] = {D::CtrlCksm, D::MarkIncomplete, D::None};
    for (int b = 0; b < 3; ++b) {
        put(2 * b, SectorImage(kSecSize[0]).header(NV_ERASE_ID_READY, 1, NV_MARK_USED)
                       .record(0, 256, kAddr[b], kCap[b], pattern(b, 1, 50)));
        SectorImage newer = SectorImage(kSecSize[0]).header(NV_ERASE_ID_READY, 2, NV_MARK_USED)
                                .record(0, 256, kAddr[b], kCap[b], pattern(b, 2, 50), damage[b]);
        if (b == 2) newer.raw(7, {0x55});  // the count's check byte
        put(2 * b + 1, newer);
    }
    auto older = pattern(3, 1, 50), newer = pattern(3, 2, 50);
    put(6, SectorImage(kSecSize[6]).header(NV_ERASE_ID_READY, 3, NV_MARK_USED)
               .record(0, 256, kAddr[3], kCap[3], older)
               .record(1, 256 + kCap[3], kAddr[3], kCap[3], newer, D::DataCksm));
    std::vector<uint8_t> out;
    ASSERT_EQ(firstRead(3, out), 0);
    EXPECT_TRUE(std::equal(older.begin(), older.end(), out.begin()));
    EXPECT_EQ(nvVrtlSec[3]->dataOfst, 256);
    EXPECT_EQ(nvRealSec[6]->writeOfst, 256 + 2 * kCap[3]);
    EXPECT_EQ(nvRealSec[6]->usedEntries, 2u);
    EXPECT_EQ(board().counters().erases[6], 0u);
    for (int b = 0; b < 3; ++b) {
        auto want = pattern(b, 1, 50);
        want.resize(kCap[b], 0xFF);
        EXPECT_EQ(firstRead(b, out), 0) << "block " << b;
        EXPECT_EQ(out, want) << "block " << b;
        EXPECT_EQ(nvVrtlSec[b]->crntSec, uint32_t(2 * b)) << "block " << b;
    }
}

TEST_F(NvScan, CountAfterTheWrapIsNewerAndEqualCountsPickTheLowerSector) {
    put(0, ring1Copy(0xFFFE, 1));
    put(1, ring1Copy(0x0000, 2));
    put(2, SectorImage(kSecSize[2]).header(NV_ERASE_ID_READY, 7, NV_MARK_USED)
               .record(0, 256, kAddr[1], kCap[1], pattern(1, 3, 10)));
    put(3, SectorImage(kSecSize[3]).header(NV_ERASE_ID_READY, 7, NV_MARK_DONE)
               .record(0, 256, kAddr[1], kCap[1], pattern(1, 4, 10)));
    std::vector<uint8_t> out;
    ASSERT_EQ(firstRead(0, out), 0);
    EXPECT_EQ(out, image(2, kCap[0]));
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 1u);
    EXPECT_TRUE(blank(0));
    EXPECT_EQ(nvVrtlSec[1]->crntSec, 2u);
    EXPECT_TRUE(blank(3));
}

TEST_F(NvScan, NewestSectorOrderingAcrossTheWrap) {
    std::vector<uint8_t> out;
    firstRead(0, out);
    struct Case { uint16_t a, b; int want; };
    const Case cases[] = {{0xFFF5, 0x0003, 1}, {0xFFF5, 0x0010, 0}, {0xFFF0, 0x0002, 0},
                          {0xFFFE, 0x0000, 1}, {5, 5, 0}, {NV_SEC_CNT_NONE, 0, 1}};
    for (const Case& c : cases) {
        nvRealSec[0]->secCnt = c.a;
        nvRealSec[1]->secCnt = c.b;
        EXPECT_EQ(nvGetCrntSec(1), c.want) << std::hex << c.a << " vs " << c.b;
    }
    nvRealSec[0]->secCnt = nvRealSec[1]->secCnt = NV_SEC_CNT_NONE;
    EXPECT_EQ(nvGetCrntSec(1), -1);
    EXPECT_EQ(nvGetCrntSec(9), -1);
}

// A record of block 0x0000 (ring 1) in sector 6 (ring 4) is no copy of it:
// the next write lands in ring 1 and survives a restart. A block whose
// current sector lies in another ring is refused before any flash write.
TEST_F(NvScan, RecordInAnotherRingsSectorIsNoCopyOfItsBlock) {
    put(6, SectorImage(kSecSize[6]).header(NV_ERASE_ID_READY, 1, NV_MARK_USED)
               .record(0, 256, kAddr[0], kCap[0], pattern(0, 1, 100)));
    EXPECT_CHILD_OK(restarted([this] {
        std::vector<uint8_t> out;
        CHILD_CHECK(firstRead(0, out) == -1);
        CHILD_CHECK(nvWrite(kAddr[0], 40, pattern(0, 2, 40).data()) == 0 && nvVrtlSec[0]->crntSec == 0);
        nvVrtlSec[0]->crntSec = 6;
        uint64_t writes = board().counters().writes;
        CHILD_CHECK(nvWrite(kAddr[0], 4, "abcd") == NV_E_SYSTEM && board().counters().writes == writes);
        return 0;
    }));
    EXPECT_CHILD_OK(restarted([] { return reads(0, 2) ? 0 : 1; }));
}

TEST_F(NvScan, FullControlAreaMakesTheNextWriteMove) {
    put(6, SectorImage(kSecSize[6]).header(NV_ERASE_ID_READY, 3, NV_MARK_USED)
               .record(14, 256, kAddr[3], kCap[3], pattern(3, 1, 20)));
    std::vector<uint8_t> out;
    ASSERT_EQ(firstRead(3, out), 0);
    EXPECT_EQ(nvRealSec[6]->usedEntries, 15u);
    EXPECT_EQ(nvChkVacancy(6, 3), -1);
    ASSERT_EQ(nvWrite(kAddr[3], 20, pattern(3, 2, 20).data()), 0);
    EXPECT_EQ(nvVrtlSec[3]->crntSec, 7u);
    expectNoViolation();
}

}  // namespace
