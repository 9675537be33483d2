// Reads hand out the power-up image exactly once, in whichever process asks
// first, copied to exactly the length asked for.
#include "nv_fixture.h"
#include "port/tarnix.h"

using namespace nvtest;

namespace {

using NvRead = NvTest;

TEST_F(NvRead, ImageIsHandedOutOnceToTheFirstReaderOfAnyProcess) {
    put(6, SectorImage(6).header(9).record(0, 256, 3, 1));
    EXPECT_CHILD_OK(restart([] {
        uint8_t b[4];
        CHILD_CHECK(nvRead(kAddr[3], 0, nullptr) == 0 && nvRead(kAddr[3], 4, b) == -1);  // a read of 0 bytes takes it
        return 0;
    }));
    uint8_t b[4];
    EXPECT_EQ(nvRead(0x0C00, 4, b), -1) << "an unknown address still powers the store up";
    const int semId = st()->otherInfo[0];
    std::vector<uint8_t> out(40, 0xEE), want = pattern(3, 1, 39);
    want.push_back(0xEE);
    ASSERT_EQ(nvRead(kAddr[3], 39, out.data()), 0);
    EXPECT_EQ(out, want) << "exactly the length asked for";
    EXPECT_EQ(nvRead(kAddr[3], 4, b), -1);
    EXPECT_EQ(st()->otherInfo[0], semId) << "no second scan";
}

// A copy the scan found while the heap was exhausted is no missing block: a
// read without memory for it fails and leaves it, the first read with memory
// hands it out from the flash.
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
        CHILD_CHECK(reads(3, 1) && !reads(3, 1));  // handed out once
        return 0;
    }));
}

}  // namespace
