// Reads hand out the power-up image once, in any process.
#include "nv_fixture.h"

using namespace nvtest;
using mfpsys::test::run_child;
using mfpsys::test::run_children;
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

TEST_F(NvRead, LengthZeroConsumesTheImage) {
    EXPECT_EQ(nvRead(kAddr[3], 0, nullptr), 0);
    uint8_t b[4];
    EXPECT_EQ(nvRead(kAddr[3], 4, b), -1);
}

TEST_F(NvRead, FirstReadScansEvenWhenItsAddressIsUnknown) {
    uint8_t b[4];
    EXPECT_EQ(nvRead(0x0C00, 4, b), -1);
    EXPECT_NE(nvRealSec[0], nullptr);
    auto* st = reinterpret_cast<NvSharedState*>(nvRealSec[0]);
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

TEST_F(NvRead, CacheMadeByAnEndedScannerServesAnotherProcess) {
    EXPECT_CHILD_OK(run_child([] {
        uint8_t b[4];
        CHILD_CHECK(nvRead(kAddr[0], 4, b) == -1);  // scans, leaves block 3's image
        return 0;
    }));
    EXPECT_CHILD_OK(run_child([&] {
        std::vector<uint8_t> out(kCap[3]);
        CHILD_CHECK(nvRead(kAddr[3], kCap[3], out.data()) == 0);
        CHILD_CHECK(out == image);
        return 0;
    }));
}

// Several processes make their first read at once: one scan, one image.
TEST_F(NvRead, SimultaneousFirstReadsScanOnceAndShareOneImage) {
    constexpr int n = 4;
    Shared<int> got(n);
    mfpsys::test::Gate gate;
    std::vector<mfpsys::test::Child> kids;
    for (int i = 0; i < n; ++i) {
        kids.emplace_back([&, i] {
            gate.wait();
            std::vector<uint8_t> out(kCap[3]);
            int r = nvRead(kAddr[3], kCap[3], out.data());
            got[i] = r;
            if (r == 0) CHILD_CHECK(out == image);
            return 0;
        });
    }
    gate.open(n);
    int ok = 0;
    for (int i = 0; i < n; ++i) {
        EXPECT_CHILD_OK(kids[i].wait());
        ok += got[i] == 0;
    }
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(board().counters().erase_requests, 0u);
}

// Two readers of one block after power-up: exactly one gets the image.
TEST_F(NvRead, CacheIsReleasedExactlyOnceAcrossProcesses) {
    EXPECT_CHILD_OK(run_child([] {
        uint8_t b[1];
        CHILD_CHECK(nvRead(kAddr[0], 1, b) == -1);
        return 0;
    }));
    for (int round = 0; round < 3; ++round) {
        Shared<int> got(2);
        mfpsys::test::Gate gate;
        mfpsys::test::Child a([&] { gate.wait(); uint8_t b[8]; got[0] = nvRead(kAddr[3], 8, b); return 0; });
        mfpsys::test::Child c([&] { gate.wait(); uint8_t b[8]; got[1] = nvRead(kAddr[3], 8, b); return 0; });
        gate.open(2);
        EXPECT_CHILD_OK(a.wait());
        EXPECT_CHILD_OK(c.wait());
        EXPECT_EQ((got[0] == 0) + (got[1] == 0), round == 0 ? 1 : 0);
        EXPECT_EQ(got[0] + got[1], round == 0 ? -1 : -2);
    }
}

}  // namespace
