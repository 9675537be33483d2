// Writes: the order of flash writes, appends and transfers in the default
// rings, the write lock, busy sectors, and recovery from a dead writer.
#include <sys/ipc.h>
#include <sys/sem.h>

#include "nv_fixture.h"

using namespace nvtest;
using mfpsys::test::run_child;

namespace {

struct Op {
    char kind;
    uint32_t offset, length;
    bool operator==(const Op&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Op& op) {
    return o << op.kind << '@' << std::hex << op.offset << '+' << op.length;
}

class NvWrite : public NvTest {
protected:
    void powerUp() { ASSERT_EQ(nvRead(0x7777, 0, nullptr), -1); }
    // Flash writes and erase starts since the journal was switched on.
    std::vector<Op> changes() {
        std::vector<Op> out;
        for (const auto& j : board().journal())
            if (j.kind == 'w' || j.kind == 'e') out.push_back({j.kind, j.offset, j.length});
        return out;
    }
    std::vector<Op> record(uint32_t sec, uint32_t entry, uint32_t dataOfst, uint32_t len) {
        uint32_t e = sec + 16 + 16 * entry;
        return {{'w', e, 2}, {'w', sec + dataOfst, len}, {'w', e + 4, 4}, {'w', e + 8, 4},
                {'w', e + 2, 2}, {'w', e, 2}, {'w', e + 14, 2}};
    }
    std::vector<Op> header(uint32_t sec) { return {{'w', sec, 4}, {'w', sec + 8, 2}, {'w', sec + 4, 4}}; }
    static std::vector<Op> cat(std::vector<Op> a, const std::vector<Op>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    void write(int b, int round, uint32_t len = 40) {
        auto d = pattern(b, round, len);
        ASSERT_EQ(nvWrite(kAddr[b], len, d.data()), 0) << "round " << round;
    }
};

TEST_F(NvWrite, AppendAndTransferWriteInTheirFixedOrder) {
    powerUp();
    board().set_journal(true);
    write(3, 1, 3);
    EXPECT_EQ(changes(), cat(header(0x60000), record(0x60000, 0, 0x100, 3)));

    board().set_journal(false);
    board().set_journal(true);
    write(3, 2, 5);
    EXPECT_EQ(changes(), record(0x60000, 1, 0x100 + 0x7F00, 5));

    board().set_journal(false);
    board().set_journal(true);
    write(3, 3, 7);
    auto want = cat(header(0x70000), record(0x70000, 0, 0x100, 7));
    want = cat(want, {{'w', 0x70008, 2}, {'w', 0x60000, 4}, {'e', 0x60000, 0}});
    auto got = changes();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].kind, want[i].kind) << i;
        EXPECT_EQ(got[i].offset, want[i].offset) << i;
        if (want[i].kind == 'w') {
            EXPECT_EQ(got[i].length, want[i].length) << i;
        }
    }
    auto s7 = sector(7);
    EXPECT_EQ(be16(s7, 8), NV_MARK_DONE);
    EXPECT_EQ(be16(s7, 4), 1u) << "one more than sector 6's count";
    EXPECT_TRUE(blank(6)) << "the old sector's erase has run";
    EXPECT_EQ(board().counters().erases[6], 1u);
    expectNoViolation();
}

TEST_F(NvWrite, ThreeWritesInRingOneMoveTheRingAndWaitForTheErase) {
    powerUp();
    write(0, 1);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 0u);
    EXPECT_EQ(nvVrtlSec[0]->dataOfst, 256);
    EXPECT_EQ(be32(sector(0), 4), 0x00000000u);
    EXPECT_EQ(nvChkVacancy(0, 0), -1) << "one copy fills a 64 KiB sector";

    board().set_erase_status_polls(3);
    write(0, 2);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 1u);
    auto s1 = sector(1);
    EXPECT_EQ(be16(s1, 4), 1u);
    EXPECT_EQ(be16(s1, 8), NV_MARK_DONE);
    EXPECT_EQ(be32(s1, 20), 256u);
    EXPECT_EQ(nvRealSec[0]->eraseState, uint32_t(NV_ERASE_STATE_ERASING));
    EXPECT_EQ(nvRealSec[0]->usedEntries, 0u);

    auto d3 = pattern(0, 3, 40);
    EXPECT_EQ(nvWrite(kAddr[0], 40, d3.data()), NV_E_BUSY);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 1u) << "nothing changed";
    uint64_t t0 = board().virtual_seconds();
    EXPECT_EQ(nvWriteRetry(kAddr[0], 40, d3.data()), 0);
    EXPECT_GE(board().virtual_seconds() - t0, 1u);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 0u);
    EXPECT_EQ(be16(sector(0), 4), 2u);
    EXPECT_EQ(nvRealSec[2]->usedEntries, 0u) << "other rings never move";
    expectNoViolation();
}

// An erase that never ends keeps the ring from moving: busy, never a write
// into the erasing sector. A waited erase that ends at once asks once.
TEST_F(NvWrite, ErasesThatDoNotEndKeepTheRingWaiting) {
    powerUp();
    board().reset_counters();
    uint64_t t0 = board().virtual_seconds();
    EXPECT_EQ(nvSecEraseWait(5), 0);
    EXPECT_EQ(board().counters().status_requests, 1u);
    EXPECT_EQ(board().virtual_seconds(), t0);
    EXPECT_EQ(be32(sector(5), 0), NV_ERASE_ID_READY);

    write(0, 1);
    board().arm_fault(mfpsim::Fault::EraseNeverEnds, 1);
    write(0, 2);  // moves to sector 1; sector 0's erase never ends
    auto d = pattern(0, 3, 40);
    EXPECT_EQ(nvWriteRetry(kAddr[0], 40, d.data()), NV_E_RETRY_OVER);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 1u);
    EXPECT_EQ(nvVrtlSec[0]->dataOfst, 256);
    expectNoViolation();
}

TEST_F(NvWrite, SectorSixTakesTwoCopiesBeforeRingFourMoves) {
    powerUp();
    write(3, 1);
    write(3, 2);
    EXPECT_EQ(nvVrtlSec[3]->crntSec, 6u);
    EXPECT_EQ(nvVrtlSec[3]->dataOfst, int32_t(256 + kCap[3]));
    EXPECT_EQ(nvRealSec[6]->usedEntries, 2u);
    write(3, 3);
    EXPECT_EQ(nvVrtlSec[3]->crntSec, 7u);
    write(3, 4);  // sector 7 holds one copy: back to 6
    EXPECT_EQ(nvVrtlSec[3]->crntSec, 6u);
    expectNoViolation();
}

TEST_F(NvWrite, LengthLimitsAndUnknownAddresses) {
    powerUp();
    std::vector<uint8_t> d(kCap[3] + 1, 0x5A);
    EXPECT_EQ(nvWrite(kAddr[3], kCap[3] + 1, d.data()), NV_E_PARAM);
    EXPECT_EQ(nvWrite(0x1001, 1, d.data()), NV_E_PARAM);
    EXPECT_EQ(nvWriteRetry(0x0C00, 1, d.data()), NV_E_PARAM);
    EXPECT_EQ(board().counters().writes, 0u);
    EXPECT_EQ(nvWrite(kAddr[3], kCap[3], d.data()), 0);
    auto s6 = sector(6);
    EXPECT_EQ(s6[256 + kCap[3] - 1], 0x5A);
}

// A second writer sees the lock busy at once; the retry gives up after ten
// attempts and ten seconds, and succeeds once the lock is back.
TEST_F(NvWrite, BusyLockAndRetryOver) {
    powerUp();
    int semId = reinterpret_cast<NvSharedState*>(nvRealSec[0])->otherInfo[0];
    mfpsys::test::Gate release;
    mfpsys::test::Arrivals holding;
    mfpsys::test::Child holder([&] {
        CHILD_CHECK(nvTakeSem(semId, IPC_NOWAIT) == 0);
        holding.arrive();
        release.wait();
        CHILD_CHECK(nvGiveSem(semId) == 0);
        return 0;
    });
    holding.await(1);
    auto d = pattern(1, 1, 16);
    EXPECT_EQ(nvWrite(kAddr[1], 16, d.data()), NV_E_BUSY);
    uint64_t t0 = board().virtual_seconds();
    EXPECT_EQ(nvWriteRetry(kAddr[1], 16, d.data()), NV_E_RETRY_OVER);
    EXPECT_EQ(board().virtual_seconds() - t0, 10u);
    EXPECT_EQ(board().counters().writes, 0u);
    release.open(1);
    EXPECT_CHILD_OK(holder.wait());
    EXPECT_EQ(nvWrite(kAddr[1], 16, d.data()), 0);
    EXPECT_EQ(semctl(semId, 0, GETVAL), 1) << "given back to exactly 1";
}

// A write before any read scans first, without using a cache.
TEST_F(NvWrite, WriteBeforeAnyReadScansFirstAndKeepsTheImages) {
    auto old = pattern(3, 1, 30);
    put(6, SectorImage(kSecSize[6]).header(NV_ERASE_ID_READY, 4, NV_MARK_USED)
               .record(0, 256, kAddr[3], kCap[3], old));
    put(0, SectorImage(kSecSize[0]).raw(0, {0, 0, 0, 0}));
    write(3, 2);
    EXPECT_EQ(nvVrtlSec[3]->dataOfst, int32_t(256 + kCap[3])) << "appended behind the found copy";
    EXPECT_TRUE(blank(0)) << "the scan ran";
    std::vector<uint8_t> out(30);
    ASSERT_EQ(nvRead(kAddr[3], 30, out.data()), 0);
    EXPECT_EQ(out, old);
    EXPECT_EQ(be16(sector(6), 4), 4u);
    expectNoViolation();
}

}  // namespace
