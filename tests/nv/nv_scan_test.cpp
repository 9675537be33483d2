// The power-up scan over prepared (often damaged) flash: which copy of each block is taken, which
// entries are refused and which sectors erased, and why, which kept sectors stay open to appends.
#include <sys/ipc.h>

#include <array>
#include <cctype>

#include "nv/nv_format.h"
#include "nv/nv_plan.h"
#include "nv_fixture.h"

using namespace nvtest;
using namespace mfpsys::nv;
using D = SectorImage::Damage;

namespace {

struct ScanCase {
    const char* name;
    std::vector<std::pair<int, SectorImage>> flash;
    std::vector<std::array<int, 3>> want;  // block, round read (0: none), its current sector
    // Per sector why the scan clears it (h no valid header in its ring, n nothing taken, o older, c a cut
    // move; upper case: erased, lower: already blank), or kept: '.' open to appends, 'x' takes none.
    const char* sectors;
    const char* refused = "";              // sector.entry and why, for every entry in use refused
    bool sharedRing = false;               // blocks 0 and 1 share ring 1 (0x4000 bytes each)
};
void PrintTo(const ScanCase& c, std::ostream* o) { *o << c.name; }
SectorImage S(int s) { return SectorImage(s); }
constexpr uint32_t kEnd6 = 256 + kCap[3];

const ScanCase kCases[] = {
    {"DamagedCountChecksumDropsTheNewerSector",
     {{0, S(0).header(1).record(0, 256, 0, 1)}, {1, S(1).header(2).record(0, 256, 0, 2).raw(7, {0x55})}},
     {{0, 1, 0}}, "xOhhhhhh"},
    {"DamagedNewestRecordFallsBackToTheOlderCopy",
     {{0, S(0).header(1).record(0, 256, 0, 1)}, {1, S(1).header(2).record(0, 256, 0, 2, D::MarkIncomplete)},
      {2, S(2).header(1).record(0, 256, 1, 1)}, {3, S(3).header(2).record(0, 256, 1, 2, D::DataCksm)},
      {6, S(6).header(3).record(0, 256, 3, 1).record(1, kEnd6, 3, 2, D::CtrlCksm)}},
     {{0, 1, 0}, {1, 1, 2}, {3, 1, 6}}, "xNxNhhxo", "1.0 incomplete; 6.1 control checksum; "},
    {"RecordEndingAtTheSectorEndIsTaken", {{7, S(7).header(4).record(0, 256, 3, 1)}}, {{3, 1, 7}}, "hhhhhhox"},
    {"RecordOfAnotherRingsBlockIsNoCopy", {{6, S(6).header(1).record(0, 256, 0, 1)}}, {{0, 0, 0}, {3, 0, 6}},
     "hhhhhhNn", "6.0 block of another ring; "},
    {"NewestCountWinsAcrossTheWrapAndOutsideIt",
     {{0, S(0).header(0xFFFE).record(0, 256, 0, 1)}, {1, S(1).header(0).record(0, 256, 0, 2)},
      {2, S(2).header(0xFFF0).record(0, 256, 1, 1)}, {3, S(3).header(2).record(0, 256, 1, 2)},
      {4, S(4).header(6).record(0, 256, 2, 1)}, {5, S(5).header(5).record(0, 256, 2, 2)},
      {6, S(6).header(0xFFF5).record(0, 256, 3, 1)}, {7, S(7).header(0x10).record(0, 256, 3, 2)}},
     {{0, 2, 1}, {1, 1, 2}, {2, 1, 4}, {3, 1, 6}}, "OxxOxO.O"},
    {"EqualCountsTakeTheLowerSector",
     {{6, S(6).header(7).record(0, 256, 3, 1)}, {7, S(7).header(7, NV_MARK_DONE).record(0, 256, 3, 2)}},
     {{3, 1, 6}}, "hhhhhh.O"},
    {"ProgrammedBytesPastTheLastRecordCloseTheSector",
     {{6, S(6).header(1).record(0, 256, 3, 1).raw(kEnd6 + 5, {0})}}, {{3, 1, 6}}, "hhhhhhxo"},
    {"ProgrammedBytesInAFreeControlEntryCloseTheSector",
     {{6, S(6).header(1).record(0, 256, 3, 1).raw(32 + 6, {0x12})}}, {{3, 1, 6}}, "hhhhhhxo"},
    {"CutTransferOfASharedRingFallsBackToTheOlderSector",
     {{0, S(0).header(5).record(0, 256, 0, 1, D::None, 0x4000).record(1, 256 + 0x4000, 1, 1, D::None, 0x4000)},
      {1, S(1).header(6).record(0, 256, 0, 2, D::None, 0x4000)}},
     {{0, 1, 0}, {1, 1, 0}}, ".Chhhhhh", "", true},
};

// The scan acts on its reasons but keeps none: the plan runs again, from the
// same tables over the same image, through a port that notes them.
struct Reasons final : StartTables, ImagePort {
    explicit Reasons(const std::vector<uint8_t>& img) : ImagePort(img.data(), img.size(), t) {}
    void clear(int s, Clear why) override { cleared[s] = clearName(why); }
    std::vector<std::string> cleared = std::vector<std::string>(NV_REAL_SEC_NUM, "kept");
};

class NvScan : public NvTest, public testing::WithParamInterface<ScanCase> {};

TEST_P(NvScan, TakesTheNewestIntactCopy) {
    const ScanCase& c = GetParam();
    if (c.sharedRing) shareRingOne();
    for (const auto& [s, img] : c.flash) put(s, img);
    const auto img = board().flash(0, kSecOfst[7] + kSecSize[7]);
    Reasons plan(img);
    readCounts(plan.t, plan, kAllRings);
    bool found[NV_VRTL_SEC_NUM] = {};
    for (int32_t ring = 1; ring <= 4; ++ring) planRing(plan.t, plan, ring, found);
    std::string refused;  // every entry in use whose copy no scan takes, and why
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s)
        for (uint32_t e = 0; e < NV_CTL_ENTRY_NUM; ++e) {
            Entry en = decodeEntry(&img[kSecOfst[s] + ctlEntryOfst(e)], plan.sec[s].ringId, kSecSize[s], plan.t.blk);
            if (en.inUse() && en.refusal != Refusal::None)
                refused += std::to_string(s) + "." + std::to_string(e) + " " + refusalName(en.refusal) + "; ";
        }
    EXPECT_EQ(c.refused, refused);
    powerUp();
    for (auto [b, round, sec] : c.want) {
        EXPECT_EQ(round > 0, reads(b, round)) << "block " << b;
        EXPECT_EQ(nvVrtlSec[b]->crntSec, uint32_t(sec)) << "block " << b;
    }
    for (int s = 0; s < 8; ++s) {
        const char code = c.sectors[s];
        const size_t why = std::string("hnoc").find(char(std::tolower(code)));  // in Clear's order
        EXPECT_EQ(why == std::string::npos ? "kept" : clearName(Clear(why)), plan.cleared[s]) << "sector " << s;
        EXPECT_EQ(board().counters().erases[s], std::isupper(code) ? 1u : 0u) << "sector " << s << " erased";
        if (code == '.' || code == 'x') {
            EXPECT_EQ(nvRealSec[s]->writeOfst == kSecSize[s], code == 'x') << "sector " << s << ": no room for a record";
        }
    }
    expectNoViolation();
}
INSTANTIATE_TEST_SUITE_P(Nv, NvScan, testing::ValuesIn(kCases), [](const auto& i) { return i.param.name; });
using NvPlan = NvTest;

// A record whose data does not match its checksum is no copy: not to the
// checkers, nor to the repair that rescans a ring after a writer died.
TEST_F(NvPlan, DamagedRecordIsRefusedByTheCheckersAndTheRepairRescan) {
    powerUp();
    put(6, S(6).header(0x0102).record(0, 256, 3, 1).record(1, kEnd6, 3, 2, D::DataCksm));
    const int semId = st()->otherInfo[0];
    EXPECT_CHILD_OK(mfpsys::test::run_child([&] {
        CHILD_CHECK(nvTakeSem(semId, IPC_NOWAIT) == 0);
        st()->writeInfo[1] = 3;
        return 0;
    }));
    uint16_t cnt = 0;
    std::vector<uint8_t> buf(kCap[3]);
    put(0, S(0).header(0x0102).raw(7, {4}));
    EXPECT_TRUE(nvGetSecCnt(6, &cnt) == 0 && cnt == 0x0102);
    EXPECT_EQ(nvGetSecCnt(0, &cnt), -1);
    EXPECT_EQ(nvChkData(kSecOfst[6] + 256, kCap[3], kSecOfst[6] + 18, buf.data()), 0);
    EXPECT_EQ(nvChkData(kSecOfst[6] + kEnd6, kCap[3], kSecOfst[6] + 34, buf.data()), -1);
    for (auto [mark, ok] : {std::pair<uint16_t, int>{0x7FFF, 0}, {0x3FFF, 0}, {0x1FFF, -1}, {0xFF7F, -1}}) {
        put(5, S(5).header(1, mark));
        EXPECT_EQ(nvChkMark(5), ok) << std::hex << mark;
    }
    EXPECT_TRUE(nvChkSecEraseID(5) == 0 && nvChkSecEraseID(4) == -1);
    board().arm_fault(mfpsim::Fault::WriteFail, 1);
    EXPECT_EQ(nvWrite(kAddr[3], 4, "abcd"), NV_E_SYSTEM);
    EXPECT_EQ(nvVrtlSec[3]->crntSec, 6u);
    EXPECT_EQ(nvVrtlSec[3]->dataOfst, 256);
}

// A read that fails at power-up (a header, a record) leaves its sector
// unexamined: the next write of the ring examines it again before anything
// there is erased or written, and a read gets the newest copy found; while it
// cannot be read, the write is refused and nothing is erased.
TEST_F(NvPlan, SectorAReadFailedOnIsExaminedAgainNeverErasedUnread) {
    auto shared = [](int s, uint16_t count, uint16_t mark, std::array<int, 3> rounds) {
        SectorImage img = S(s).header(count, mark);
        for (int e = 0; e < 3; ++e) img.record(e, 256 + 0x4000u * e, e % 2, rounds[e], D::None, 0x4000);
        return img;
    };
    struct Case { bool sharedRing; uint64_t nth; int want; std::vector<std::pair<int, int>> boot, after; };
    const Case cases[] = {
        {false, 1, 0, {{0, 1}}, {{0, 9}}},    // sector 0's header: the append path
        {false, 10, 0, {{0, 1}}, {{0, 9}}},   // its record into the cache
        {true, 11, 0, {{0, 3}, {1, 2}}, {{0, 3}, {1, 9}}},      // block 1's newest record: the move
        {true, 0, NV_E_SYSTEM, {}, {{0, 3}, {1, 2}}}};          // ... unreadable until disarmed
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "read " << c.nth << (c.sharedRing ? " shared" : ""));
        for (int s = 0; s < 2; ++s) put(s, S(s));
        if (c.sharedRing) {
            shareRingOne();
            put(0, shared(0, 5, NV_MARK_USED, {1, 1, 2}));
            put(1, shared(1, 6, NV_MARK_DONE, {2, 2, 3}));
        } else {
            put(0, S(0).header(1).record(0, 256, 0, 1));
        }
        board().reset_counters();
        if (c.nth) board().arm_fault(mfpsim::Fault::ReadFail, c.nth);
        else board().fail_reads_at(kSecOfst[1] + 0x4100);
        const int b = c.sharedRing ? 1 : 0;
        EXPECT_CHILD_OK(restart([&] {
            CHILD_CHECK(nvRead(0x7777, 0, nullptr) == -1);
            CHILD_CHECK(nvWrite(kAddr[b], 40, pattern(b, 9, 40).data()) == c.want);
            for (auto [blk, round] : c.boot) CHILD_CHECK(reads(blk, round));
            return 0;
        }));
        if (c.want) {
            EXPECT_EQ(board().counters().erases[0] + board().counters().erases[1], 0u);
        }
        board().disarm();
        EXPECT_CHILD_OK(restart([&] {
            for (auto [blk, round] : c.after) CHILD_CHECK(reads(blk, round));
            return 0;
        }));
        expectNoViolation();
    }
}

}  // namespace
