// Reads hand out the power-up image once, in any process.
#include "harness/together.h"
#include "nv_fixture.h"

using namespace nvtest;
using mfpsys::test::run_child;
using mfpsys::test::run_together;
using mfpsys::test::Shared;

namespace {

class NvRead : public NvTest {
protected:
    void SetUp() override {
        NvTest::SetUp();
        put(6, SectorImage(kSecSize[6]).header(NV_ERASE_ID_READY, 9, NV_MARK_USED)
                   .record(0, 256, kAddr[3], kCap[3], image));
    }
    std::vector<uint8_t> image = pattern(3, 1, kCap[3]);
};

TEST_F(NvRead, ImageIsHandedOutOnceAndBadLengthsKeepIt) {
    // Length 0 (null destination allowed) consumes it too.
    EXPECT_CHILD_OK(restarted([] {
        uint8_t b[4];
        CHILD_CHECK(nvRead(kAddr[3], 0, nullptr) == 0 && nvRead(kAddr[3], 4, b) == -1);
        return 0;
    }));
    std::vector<uint8_t> out(kCap[3] + 1, 0xEE);
    EXPECT_EQ(nvRead(kAddr[3], kCap[3] + 1, out.data()), -1);
    EXPECT_EQ(out[0], 0xEE) << "destination untouched";
    EXPECT_NE(nvVrtlSec[3]->cache, 0u) << "a refused length leaves the cache";
    EXPECT_EQ(nvRead(kAddr[3] + 1, 4, out.data()), -1);
    ASSERT_EQ(nvRead(kAddr[3], kCap[3], out.data()), 0);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), out.begin()));
    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(nvRead(kAddr[3], 4, out.data()), -1);
    EXPECT_EQ(out[0], 0xEE);
}

TEST_F(NvRead, FirstReadScansEvenWhenItsAddressIsUnknown) {
    uint8_t b[4];
    EXPECT_EQ(nvRead(0x0C00, 4, b), -1);
    EXPECT_NE(nvRealSec[0], nullptr);
    auto* st = NvTest::st();
    EXPECT_EQ(st->otherInfo[1], 1);
    int semId = st->otherInfo[0];
    EXPECT_GE(semId, 0);
    ASSERT_EQ(nvRead(kAddr[3], 4, b), 0);
    EXPECT_EQ(b[3], image[3]);
    EXPECT_EQ(st->otherInfo[0], semId) << "no second scan";
}

TEST_F(NvRead, BlockWrittenAfterPowerUpStillReadsItsPowerUpImage) {
    uint8_t b[4];
    ASSERT_EQ(nvRead(kAddr[0], 4, b), -1);  // power-up
    auto fresh = pattern(3, 2, 64);
    ASSERT_EQ(nvWrite(kAddr[3], 64, fresh.data()), 0);
    std::vector<uint8_t> out(64);
    ASSERT_EQ(nvRead(kAddr[3], 64, out.data()), 0);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), image.begin()));
}

// Several processes make their first read at once: one scan, one image.
TEST_F(NvRead, SimultaneousFirstReadsScanOnceAndShareOneImage) {
    constexpr int n = 4;
    Shared<int> got(n);
    for (auto& o : run_together(n, [&](int i) {
             std::vector<uint8_t> out(kCap[3]);
             got[i] = nvRead(kAddr[3], kCap[3], out.data());
             CHILD_CHECK(got[i] != 0 || out == image);
             return 0;
         }))
        EXPECT_CHILD_OK(o);
    EXPECT_EQ((got[0] == 0) + (got[1] == 0) + (got[2] == 0) + (got[3] == 0), 1);
    EXPECT_EQ(board().counters().erase_requests, 0u);
}

// The cache made by a scanner that has ended goes to exactly one of two
// readers racing for it, and to nobody after that.
TEST_F(NvRead, CacheIsReleasedExactlyOnceAcrossProcesses) {
    EXPECT_CHILD_OK(run_child([] {
        uint8_t b[1];
        CHILD_CHECK(nvRead(kAddr[0], 1, b) == -1);
        return 0;
    }));
    for (int round = 0; round < 3; ++round) {
        Shared<int> got(2);
        for (auto& o : run_together(2, [&](int i) {
                 std::vector<uint8_t> b(kCap[3]);
                 got[i] = nvRead(kAddr[3], kCap[3], b.data());
                 CHILD_CHECK(got[i] != 0 || b == image);
                 return 0;
             }))
            EXPECT_CHILD_OK(o);
        EXPECT_EQ((got[0] == 0) + (got[1] == 0), round == 0 ? 1 : 0);
        EXPECT_EQ(got[0] + got[1], round == 0 ? -1 : -2);
    }
}

}  // namespace
