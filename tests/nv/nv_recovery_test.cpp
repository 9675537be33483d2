// Failures around a write: dead lock holders, half-done scans, device faults.
// After each, the next write lands on erased flash and nothing acknowledged
// is lost.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <csignal>

#include "nv_fixture.h"

using namespace nvtest;
using mfpsys::test::run_child;

namespace {

class NvRecovery : public NvTest {
protected:
    // In a newly started system: block b reads round's image of len bytes.
    void expectAfterRestart(int b, int round, uint32_t len = 40) {
        board().power_on();
        EXPECT_EQ(reader.read(b, round, len), 0) << "block " << b << " round " << round;
    }
    void SetUp() override {
        NvTest::SetUp();
        reader.start();
    }
    RestartReader reader;
};

TEST_F(NvRecovery, LockOfAWriterThatDiedIsRecovered) {
    powerUp();
    int semId = st()->otherInfo[0];
    EXPECT_CHILD_OK(run_child([&] {
        CHILD_CHECK(nvTakeSem(semId, IPC_NOWAIT) == 0);
        return 0;  // ends holding it
    }));
    EXPECT_EQ(semctl(semId, 0, GETVAL), 0);
    write(1, 1);
    EXPECT_EQ(semctl(semId, 0, GETVAL), 1);
    expectAfterRestart(1, 1);
}

// A writer killed in the middle of an append: its entry is started and part
// of its data is programmed, and the tables still offer both. The next writer
// repairs the tables from flash and moves the ring instead of appending over
// the damage.
TEST_F(NvRecovery, WriterKilledMidAppendIsRepairedBeforeTheNextWrite) {
    powerUp();
    write(3, 1);
    int semId = st()->otherInfo[0];
    EXPECT_CHILD_OK(run_child([&] {
        CHILD_CHECK(nvTakeSem(semId, IPC_NOWAIT) == 0);
        st()->writeInfo[1] = 3;
        CHILD_CHECK(nvSetDataMark(6, NV_MARK_USED) == 0);
        std::vector<uint8_t> junk(100, 0x00);
        CHILD_CHECK(nvWriteExe(kSecOfst[6] + nvRealSec[6]->writeOfst, 100, junk.data()) == 0);
        // The tables still offer the started entry and the programmed bytes.
        _exit(0);
    }));
    write(3, 2);
    EXPECT_EQ(nvVrtlSec[3]->crntSec, 7u) << "moved, did not append at the damaged offset";
    EXPECT_EQ(st()->writeInfo[1], 0xFFFFFFFFu);
    expectNoViolation();
    expectAfterRestart(3, 2);
}

// A process that died while scanning leaves the store usable: the next first
// use copies the defaults again and scans again, and its lock was released.
TEST_F(NvRecovery, ScannerThatDiedIsFollowedByAFreshScan) {
    auto img = pattern(3, 1, kCap[3]);
    put(6, SectorImage(kSecSize[6]).header(NV_ERASE_ID_READY, 1, NV_MARK_USED).record(0, 256, kAddr[3], kCap[3], img));
    EXPECT_CHILD_OK(run_child([] {
        CHILD_CHECK(nvSharedMemAttach() == 0 && nvSharedMemRetrieve() == 0);
        CHILD_CHECK(nvPowerup() == 0);
        nvVrtlSec[3]->dataOfst = 12345;  // half-built tables, flag never set
        nvRealSec[6]->ringId = 9;
        return 0;
    }));
    EXPECT_CHILD_OK(run_child([] {
        int id = semget(0x4D504E01, 1, IPC_CREAT | 0666);
        CHILD_CHECK(id >= 0);
        sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
        CHILD_CHECK(semop(id, take, 2) == 0);
        return 0;  // dies holding the first-use lock
    }));
    EXPECT_CHILD_OK(run_child([&] {
        std::vector<uint8_t> out(kCap[3]);
        CHILD_CHECK(nvRead(kAddr[3], kCap[3], out.data()) == 0);
        CHILD_CHECK(out == img);
        CHILD_CHECK(nvVrtlSec[3]->dataOfst == 256 && nvRealSec[6]->ringId == 4);
        return 0;
    }));
}

TEST_F(NvRecovery, FailedAppendIsReportedAndTheNextWriteMoves) {
    powerUp();
    write(3, 1);
    board().arm_fault(mfpsim::Fault::WriteFail, 2);  // the data of the next append
    auto d = pattern(3, 2, 40);
    EXPECT_EQ(nvWrite(kAddr[3], 40, d.data()), NV_E_SYSTEM);
    EXPECT_EQ(nvVrtlSec[3]->dataOfst, 256) << "tables still name the last good copy";
    EXPECT_EQ(nvChkVacancy(6, 3), -1) << "no append over the started entry";
    write(3, 3);
    EXPECT_EQ(nvVrtlSec[3]->crntSec, 7u);
    expectNoViolation();
    expectAfterRestart(3, 3);
}

TEST_F(NvRecovery, ShortReadBackOfTheEntryIsReported) {
    powerUp();
    board().arm_fault(mfpsim::Fault::ReadShort, 1);  // the control checksum's read-back
    auto d = pattern(0, 1, 40);
    EXPECT_EQ(nvWrite(kAddr[0], 40, d.data()), NV_E_SYSTEM);
    EXPECT_EQ(nvVrtlSec[0]->dataOfst, -1);
    write(0, 2);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 1u);
    expectNoViolation();
    expectAfterRestart(0, 2);
}

TEST_F(NvRecovery, FailedTransferPutsTheTablesBackAndErasesItsTarget) {
    powerUp();
    write(0, 1);
    board().arm_fault(mfpsim::Fault::WriteShort, 5);  // the transfer's data write
    auto d = pattern(0, 2, 40);
    EXPECT_EQ(nvWrite(kAddr[0], 40, d.data()), NV_E_SYSTEM);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 0u);
    EXPECT_EQ(nvVrtlSec[0]->dataOfst, 256);
    EXPECT_EQ(nvRealSec[0]->usedEntries, 1u);
    EXPECT_EQ(nvRealSec[1]->eraseState, uint32_t(NV_ERASE_STATE_ERASING));
    expectAfterRestart(0, 1);
    write(0, 3);
    EXPECT_EQ(nvVrtlSec[0]->crntSec, 1u);
    expectNoViolation();
    expectAfterRestart(0, 3);
}

TEST_F(NvRecovery, UnreachableDeviceNeverReportsBusyAndOpenFailuresAreReported) {
    powerUp();
    board().arm_fault(mfpsim::Fault::Open, 1);
    EXPECT_EQ(nvChkEraseExe(kSecOfst[0]), NV_ERASE_STATUS_UNKNOWN);
    board().arm_fault(mfpsim::Fault::Lseek, 1);
    EXPECT_NE(nvChkEraseExe(kSecOfst[0]), -1);
    board().arm_fault(mfpsim::Fault::Open, 1);
    uint8_t b[4];
    EXPECT_EQ(nvReadExe(0, 4, b), -1);
    board().arm_fault(mfpsim::Fault::Open, 1);
    EXPECT_EQ(nvWrite(kAddr[2], 4, b), NV_E_SYSTEM);
    board().arm_fault(mfpsim::Fault::EraseFail, 1);
    EXPECT_EQ(nvSecEraseWait(3), -1);
    EXPECT_EQ(nvRealSec[3]->eraseState, uint32_t(NV_ERASE_STATE_ERASING));
    write(2, 1);
    expectNoViolation();
}

// An erase that never ends during the power-up: the waited erase gives up
// after its bound, the power-up completes, and the sector takes no record
// until the device reports its erase over.
TEST_F(NvRecovery, HungEraseAtPowerUpGivesUpAndTheOtherRingsStart) {
    put(2, SectorImage(kSecSize[2]).raw(0, {0, 0, 0, 0}));
    put(6, SectorImage(kSecSize[6]).header(NV_ERASE_ID_READY, 1, NV_MARK_USED)
               .record(0, 256, kAddr[3], kCap[3], pattern(3, 1, 40)));
    board().arm_fault(mfpsim::Fault::EraseNeverEnds, 1);
    mfpsys::test::Child scanner([] {
        CHILD_CHECK(reads(3, 1));
        CHILD_CHECK(nvRealSec[2]->eraseState == NV_ERASE_STATE_ERASING);
        auto d = pattern(1, 1, 40);
        CHILD_CHECK(nvWrite(kAddr[1], 40, d.data()) == NV_E_BUSY);
        CHILD_CHECK(nvEraseExe(kSecOfst[2]) == 0);  // a new request, which ends
        CHILD_CHECK(nvWrite(kAddr[1], 40, d.data()) == 0);
        return 0;
    });
    mfpsys::test::Child watchdog([&] {
        while (board().virtual_seconds() < 600) usleep(1000);
        ::kill(scanner.pid(), SIGKILL);
        return 0;
    });
    auto scanned = scanner.wait();  // killed by the watchdog if still waiting
    EXPECT_CHILD_OK(scanned);
    EXPECT_GE(board().virtual_seconds(), uint64_t(NV_ERASE_WAIT_POLLS - 1));
    expectNoViolation();
    expectAfterRestart(1, 1);
}

// The scan erases a sector only when it could read it.
TEST_F(NvRecovery, ScanNeverErasesASectorItCouldNotRead) {
    auto prepare = [&] {
        put(2, SectorImage(kSecSize[2]).raw(0, {0, 0, 0, 0}).raw(300, {1, 2, 3}));
    };
    prepare();
    board().set_journal(true);
    EXPECT_CHILD_OK(restarted([] { uint8_t b[1]; nvRead(0x7777, 1, b); return 0; }));
    uint64_t nth = 0, n = 0;
    for (const auto& j : board().journal()) {
        if (j.kind != 'r') continue;
        ++n;
        if (j.offset == kSecOfst[2] && j.length == kSecSize[2]) nth = n;
    }
    board().set_journal(false);
    ASSERT_GT(nth, 0u) << "the blank test reads the whole sector";
    EXPECT_TRUE(blank(2)) << "readable: erased";

    prepare();
    board().reset_counters();
    board().arm_fault(mfpsim::Fault::ReadFail, nth);
    EXPECT_CHILD_OK(restarted([] {
        uint8_t b[1];
        nvRead(0x7777, 1, b);
        CHILD_CHECK(nvRealSec[2]->eraseState == NV_ERASE_STATE_ERASING);
        CHILD_CHECK(nvChkSecErase(2) == -1);  // still holding what it held
        // Ring 2's next write lands in sector 2 (the first of its ring) only
        // after it has been checked and erased.
        uint8_t d[4] = {1, 2, 3, 4};
        CHILD_CHECK(nvWriteRetry(kAddr[1], 4, d) == 0);
        CHILD_CHECK(nvVrtlSec[1]->crntSec == 2);
        return 0;
    }));
    EXPECT_EQ(board().counters().erases[2], 1u) << "erased once, by the write, not by the scan";
    expectNoViolation();
}

}  // namespace
