// The bytes the store puts on flash: headers, counts, control entries and
// checksums, read back from the board's flash image.
#include "nv_fixture.h"

using namespace nvtest;

namespace {

using NvFormat = NvTest;

TEST_F(NvFormat, FirstRecordOfARingWritesHeaderEntryAndDataBigEndian) {
    powerUp();
    const std::vector<uint8_t> abc = {0x61, 0x62, 0x63};
    ASSERT_EQ(nvWrite(kAddr[3], 3, abc.data()), 0);
    auto s6 = sector(6);
    EXPECT_EQ(be32(s6, 0), NV_ERASE_ID_READY);
    // Count 0 (the erased sector before it has none), reserved 0, checksum 0.
    EXPECT_EQ(std::vector<uint8_t>(s6.begin() + 4, s6.begin() + 8), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(be16(s6, 8), NV_MARK_USED);
    EXPECT_EQ(be16(s6, 16), NV_MARK_DONE);
    EXPECT_EQ(be16(s6, 18), 0x7F29);  // "abc" plus 0x7EFD bytes of 0xFF
    EXPECT_EQ(be32(s6, 20), 256u);
    EXPECT_EQ(be32(s6, 24), 0x1000u);
    EXPECT_EQ(be16(s6, 28), 0xFFFF);
    uint32_t sum = 0;
    for (int i = 16; i < 30; ++i) sum += s6[i];
    EXPECT_EQ(be16(s6, 30), uint16_t(sum));
    EXPECT_EQ(s6[256], 0x61);
    EXPECT_EQ(s6[258], 0x63);
    EXPECT_EQ(s6[259], 0xFF);
    EXPECT_EQ(be16(s6, 32), 0xFFFF) << "the next entry stays free";
    expectNoViolation();
}

TEST_F(NvFormat, EmptyRecordsChecksumTheWholeErasedCapacity) {
    powerUp();
    ASSERT_EQ(nvWrite(kAddr[0], 0, nullptr), 0);
    ASSERT_EQ(nvWrite(kAddr[3], 0, nullptr), 0);
    EXPECT_EQ(be16(sector(0), 18), 0x0100);
    EXPECT_EQ(be16(sector(6), 18), 0x8100);
}

TEST_F(NvFormat, ControlChecksumCoversTheFinalMarkAndTheUnwrittenBytes) {
    powerUp();
    for (int s : {0, 6}) {
        int b = s == 0 ? 0 : 3;
        ASSERT_EQ(nvSetDataMark(s, NV_MARK_DONE), 0);
        ASSERT_EQ(nvSetCtlOfst(s, b), 0);
        ASSERT_EQ(nvSetDataCksm(s, b, 0x1234), 0);
        ASSERT_EQ(nvSetCtrlCksm(s), 0);
    }
    auto s0 = sector(0);
    EXPECT_EQ(std::vector<uint8_t>(s0.begin() + 16, s0.begin() + 32),
              (std::vector<uint8_t>{0x3F, 0xFF, 0x12, 0x34, 0, 0, 1, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x03, 0x83}));
    EXPECT_EQ(be16(sector(6), 30), 0x0393);
}

TEST_F(NvFormat, SectorCountFollowsThePrevSectorAndSkipsTheNoCountValue) {
    powerUp();
    struct Case { int sec; uint16_t prevCnt; std::vector<uint8_t> bytes; };
    const Case cases[] = {
        {0, 0xFFFF, {0x00, 0x00, 0x00, 0x00}},  // prev has no valid count
        {2, 0x0101, {0x01, 0x02, 0x00, 0x03}},
        {4, 0xFFFD, {0xFF, 0xFE, 0x00, 0xFD}},
        {6, 0xFFFE, {0x00, 0x00, 0x00, 0x00}},  // 0xFFFF would read as "none"
    };
    for (const Case& c : cases) {
        nvRealSec[nvRealSec[c.sec]->prev]->secCnt = c.prevCnt;
        ASSERT_EQ(nvSetSecCnt(c.sec, 0), 0);
        auto v = board().flash(kSecOfst[c.sec] + 4, 4);
        EXPECT_EQ(v, c.bytes) << "sector " << c.sec;
        EXPECT_EQ(nvRealSec[c.sec]->secCnt, uint16_t((c.bytes[0] << 8) | c.bytes[1]));
    }
}

TEST_F(NvFormat, HeaderCheckersAcceptOnlyValidFields) {
    powerUp();
    uint16_t cnt = 0xABCD;
    EXPECT_EQ(nvGetSecCnt(0, &cnt), -1) << "erased count bytes sum to 0xFD, not 0xFF";
    EXPECT_EQ(cnt, 0xABCD);
    EXPECT_EQ(nvChkSecEraseID(0), -1);
    EXPECT_EQ(nvChkMark(0), 0) << "an erased mark is valid";

    struct Mark { uint16_t v; int ok; };
    const Mark marks[] = {{0xFFFF, 0}, {0x7FFF, 0}, {0x3FFF, 0}, {0x1FFF, -1}, {0x0000, -1}, {0xFF7F, -1}};
    int s = 0;
    for (const Mark& m : marks) {
        put(s, SectorImage(kSecSize[s]).header(NV_ERASE_ID_READY, 0x0102, m.v));
        EXPECT_EQ(nvChkMark(s), m.ok) << std::hex << m.v;
        EXPECT_EQ(nvChkSecEraseID(s), 0);
        ASSERT_EQ(nvGetSecCnt(s, &cnt), 0);
        EXPECT_EQ(cnt, 0x0102);
        ++s;
    }
    board().set_flash(kSecOfst[7] + 4, std::vector<uint8_t>{0x01, 0x02, 0x00, 0x04});
    EXPECT_EQ(nvGetSecCnt(7, &cnt), -1);

    // A record against the data checksum of its entry (entry e's at 18 + 16e).
    std::vector<uint8_t> buf(kCap[3]);
    put(6, SectorImage(kSecSize[6]).record(0, 256, kAddr[3], kCap[3], pattern(3, 1, 50))
               .record(1, 256 + kCap[3], kAddr[3], kCap[3], pattern(3, 2, 50), SectorImage::Damage::DataCksm));
    EXPECT_EQ(nvChkData(kSecOfst[6] + 256, kCap[3], kSecOfst[6] + 18, buf.data()), 0);
    EXPECT_EQ(nvChkData(kSecOfst[6] + 256 + kCap[3], kCap[3], kSecOfst[6] + 34, buf.data()), -1);
}

// Bad indexes and missing shared state touch nothing at all.
TEST_F(NvFormat, InnerStepsRefuseBadIndexesAndMissingState) {
    auto early = mfpsys::test::run_child([&] {
        CHILD_CHECK(nvSetMark(0, NV_MARK_USED) == -1);
        CHILD_CHECK(nvSetData(0, 0, 0, nullptr) == -1);
        CHILD_CHECK(nvChkVacancy(0, 0) == -1);
        CHILD_CHECK(nvSecEraseWait(0) == -1);
        CHILD_CHECK(nvGetCrntSec(1) == -1);
        CHILD_CHECK(nvGetVidx(0) == -1);
        CHILD_CHECK(nvReadReq(0, 1, nullptr) == -1);
        return 0;
    });
    EXPECT_CHILD_OK(early);
    EXPECT_EQ(board().counters().opens, 0u);

    uint8_t d[4] = {};
    EXPECT_EQ(nvRead(kAddr[0], 4, nullptr), -1);
    EXPECT_EQ(nvWrite(kAddr[0], 4, nullptr), NV_E_PARAM);
    EXPECT_EQ(nvWriteRetry(kAddr[0], 4, nullptr), NV_E_PARAM);
    EXPECT_EQ(board().counters().opens, 0u) << "refused before anything was attached or scanned";

    powerUp();
    board().reset_counters();
    EXPECT_EQ(nvSetMark(8, NV_MARK_USED), -1);
    EXPECT_EQ(nvSetSecEraseID(-1, 0), -1);
    EXPECT_EQ(nvSetSecCnt(0, 4), -1);
    EXPECT_EQ(nvSetCtlOfst(0, -1), -1);
    EXPECT_EQ(nvSetData(8, 0, 4, d), -1);
    EXPECT_EQ(nvSetData(0, 4, 4, d), -1);
    EXPECT_EQ(nvSetData(0, 0, 4, nullptr), -1);
    EXPECT_EQ(nvChkVacancy(0, 4), -1);
    EXPECT_EQ(nvSecEraseNoWait(9), -1);
    EXPECT_EQ(nvEraseThreadCreate(-1), -1);
    EXPECT_EQ(nvGetSecData(8), 0);
    EXPECT_EQ(nvChkSecErase(8), -1);
    EXPECT_EQ(nvReadExe(0, 4, nullptr), -1);
    EXPECT_EQ(nvWriteExe(0, 4, nullptr), -1);
    auto c = board().counters();
    EXPECT_EQ(c.opens, 0u);
    EXPECT_EQ(c.writes, 0u);
    EXPECT_EQ(nvRealSec[0]->eraseState, uint32_t(NV_ERASE_STATE_READY));
}

}  // namespace
