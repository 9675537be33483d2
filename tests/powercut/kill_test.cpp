// Processes killed while they hold each cross-process lock (NV writer mid-write
// and mid-transfer, erase-all, address rewrite, registry, keys, heap, first use):
// the lock comes back, the others go on, and the dead holder's half-done work is repaired.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>

#include "harness/board.h"
#include "mfpsys/mfpsys.h"
#include "port/heap_ref.h"
#include "port/tarnix.h"
#include "rel.h"

using mfpsim::CutAt;
using mfpsys::test::run_child;
using namespace rel;

namespace {

int writeOnce(int b, int r) {  // one attempt: a lock still held by the dead is a failure
    auto v = image(b, r);
    return nvWrite(kAddr[b], uint32_t(v.size()), v.data()) == 0 ? 0 : 1;
}
int reads(int b, int r) { return readBlock(b) == padded(b, image(b, r)) ? 0 : 1; }
int macIs(const char* text) {
    char* m = env_mac_read();
    return m && m != ENV_MAC_READ_FAILED && !std::strcmp(m, text) ? 0 : 1;
}

// A holder killed by a power cut at each of its flash steps while the rest of
// the system (its IPC namespace) lives on; then the next process, and a restart.
struct FlashHolder {
    const char* name;
    key_t lock;  // the system lock it holds (the NV write lock has no key: the first-use lock is checked)
    std::function<int()> setup, work, next, after;
};
const std::vector<FlashHolder> kFlashHolders = {
    {"nv_append", kFirstUseSem, [] { return writeImage(3, 1); }, [] { return writeImage(3, 2); }, [] { return writeOnce(3, 3); },
     [] { return reads(3, 3); }},
    {"nv_transfer", kFirstUseSem, [] { return writeImage(0, 1) | writeImage(3, 1); }, [] { return writeImage(0, 2); },
     [] { return writeOnce(0, 3); }, [] { return reads(0, 3) | reads(3, 1); }},
    {"nv_erase_all", kFirstUseSem, [] { return writeImage(0, 1) | writeImage(3, 1); }, [] { return nvEraseAll(); },
     [] { return writeOnce(1, 3); }, [] { return reads(1, 3) | reads(3, 1); }},
    {"mac_rewrite", kEnvSem, [] { return env_mac_write("00:11:22:33:44:55"); }, [] { return env_mac_write("66:77:88:99:aa:bb"); },
     [] { return env_mac_write("02:03:04:05:06:07"); }, [] { return macIs("02:03:04:05:06:07"); }},
};

class KilledHolder : public mfpsys::test::BoardTest, public ::testing::WithParamInterface<int> {};

TEST_P(KilledHolder, AtEveryFlashStepLockComesBackAndWorkIsRepaired) {
    const FlashHolder& h = kFlashHolders[size_t(GetParam())];
    mfpsys::test::Shared<uint64_t> steps(2);  // counted by the uncut run (k == 0)
    for (CutAt at : {CutAt::Program, CutAt::Erase})
        for (uint64_t k = at == CutAt::Erase; k <= steps[at == CutAt::Erase] || k == 0; ++k) {
            SCOPED_TRACE(testing::Message() << h.name << (at == CutAt::Erase ? " erase " : " program ") << k);
            board().power_on();
            board().set_flash(0, std::vector<uint8_t>(mfpsim::kFlashSize, 0xFF));
            board().reset_counters();
            ASSERT_CHILD_OK(restart([&] {
                CHILD_CHECK(run_child(h.setup).ok());
                auto c0 = board().counters();
                if (k) board().arm_power_cut(at, k, mfpsim::Tear::Prefix, mix(k));
                auto victim = run_child(h.work);
                board().disarm();
                if (!k) steps[0] = board().counters().writes - c0.writes, steps[1] = board().counters().erase_requests - c0.erase_requests;
                CHILD_CHECK(k ? victim.signal == SIGKILL : victim.ok());
                board().power_on();
                CHILD_CHECK(lockValue(h.lock) == 0);
                return run_child(h.next).ok() ? 0 : 1;
            }));
            ASSERT_CHILD_OK(restart(h.after));
            EXPECT_EQ(board().counters().violations, 0u) << "programmed over the dead holder's leftovers";
        }
    EXPECT_GT(steps[0], 0u);
}

INSTANTIATE_TEST_SUITE_P(, KilledHolder, ::testing::Range(0, int(kFlashHolders.size())),
                         [](const auto& info) { return std::string(kFlashHolders[size_t(info.param)].name); });

// Holders of the locks that guard no flash, killed after a varying number of
// rounds of their work: the lock is free afterwards and a new process works.
struct LoopHolder {
    const char* name;
    key_t lock;
    std::function<void(int, int)> round;  // (worker, round)
    std::function<int()> next;
};
const std::vector<LoopHolder> kLoopHolders = {
    {"registry", KU_SHARED_MEM_SEM_KEY, [](int w, int r) { if (KUSharedMemAttach(5000 + w * 16 + r % 16, 64) > 0) KUSharedMemRemove(5000 + w * 16 + r % 16); },
     [] { return KUSharedMemAttach(9999, 32) == 32 && KUSharedMemRetrieveMemory(9999) && KUSharedMemRemove(9999) == 0 ? 0 : 1; }},
    {"keys", kKeySem, [](int, int) { int key = 0; if (mmMakeSharedMemoryKey(&key) == 0) mmDeleteSharedMemoryKey(key); },
     [] { int key = 0; return mmMakeSharedMemoryKey(&key) == 0 && mmDeleteSharedMemoryKey(key) == 0 ? 0 : 1; }},
    {"heap", kHeapKey, [](int w, int r) { if (void* p = tarnixSubAllocMem(16 + size_t(r * 37 + w) % 500)) tarnixOrgFreeMemPart(0, p); },
     [] { void* p = tarnixSubAllocMem(4096); return p && mfpheap::heap_check().consistent && tarnixOrgFreeMemPart(0, p) == 0 ? 0 : 1; }},
};

class KilledLoop : public mfpsys::test::BoardTest, public ::testing::WithParamInterface<int> {};

TEST_P(KilledLoop, LockComesBackAndTheNextProcessWorks) {
    const LoopHolder& h = kLoopHolders[size_t(GetParam())];
    ASSERT_CHILD_OK(run_child(h.next));
    for (int round = 0; round < 6; ++round) {
        mfpsys::test::Arrivals busy;
        std::vector<mfpsys::test::Child> workers;
        for (int w = 0; w < 3; ++w)
            workers.emplace_back([&, w] {
                for (int i = 0;; ++i) {
                    h.round(w, i);
                    if (i == 30 + 17 * round) busy.arrive();
                }
                return 0;
            });
        busy.await(3);
        for (auto& w : workers) w.kill(SIGKILL), w.wait();
        ASSERT_EQ(lockValue(h.lock), 0) << h.name << ": lock left taken in round " << round;
    }
    EXPECT_CHILD_OK(run_child(h.next));
}

INSTANTIATE_TEST_SUITE_P(, KilledLoop, ::testing::Range(0, int(kLoopHolders.size())),
                         [](const auto& info) { return std::string(kLoopHolders[size_t(info.param)].name); });

class Killed : public mfpsys::test::BoardTest {};

// A heap holder dies half-way through a change (owner word set, counters
// behind the chain): the next process repairs the heap, once.
TEST_F(Killed, HeapHolderMidChangeIsRepaired) {
    ASSERT_CHILD_OK(run_child([] { return tarnixSubAllocMem(16) ? 0 : 1; }));
    mfpsys::test::Child holder = mfpsys::test::hold_sem_lock(semget(kHeapKey, 1, 0));
    auto* hdr = static_cast<uint32_t*>(shmat(shmget(kHeapKey, 0, 0), nullptr, 0));
    ASSERT_NE(hdr, reinterpret_cast<uint32_t*>(-1));
    hdr[2] = uint32_t(holder.pid()), hdr[3] += 3;
    shmdt(hdr);
    holder.kill(SIGKILL);
    holder.wait();
    EXPECT_CHILD_OK(run_child([] {
        void* p = tarnixSubAllocMem(100);
        auto c = mfpheap::heap_check();
        return p && tarnixOrgFreeMemPart(0, p) == 0 && c.consistent && c.repairs == 1 ? 0 : 1;
    }));
}

// A remover killed between destroying a segment and erasing its entry: the
// next attach of the key makes a live segment under the one entry.
TEST_F(Killed, RegistryRemoverBetweenDestroyAndErase) {
    ASSERT_CHILD_OK(run_child([] { return KUSharedMemAttach(7000, 64) == 64 ? 0 : 1; }));
    auto entries = [](int cmd) {
        auto* t = static_cast<KUSharedMemTable*>(shmat(shmget(KU_SHARED_MEM_TABLE_KEY, 0, 0), nullptr, SHM_RDONLY));
        int n = 0;
        shmid_ds ds{};
        for (const auto& e : t->entry) n += e.key == 7000 && shmctl(e.shmid, cmd, &ds) == 0;
        shmdt(t);
        return n;
    };
    ASSERT_EQ(entries(IPC_RMID), 1);
    EXPECT_CHILD_OK(run_child([] {
        auto* p = KUSharedMemAttach(7000, 64) == 64 ? static_cast<volatile char*>(KUSharedMemRetrieveMemory(7000)) : nullptr;
        return p ? (p[63] = 1, 0) : 1;
    }));
    EXPECT_EQ(entries(IPC_STAT), 1) << "the key needs one entry naming a live segment";
}

// The first process of a started system dies in its power-up scan leaving
// half-built tables, another dies holding the first-use lock: the next scans again.
TEST_F(Killed, ScannerLeavesHalfBuiltTablesAndTheFirstUseLock) {
    ASSERT_CHILD_OK(restart([] { return writeImage(3, 1); }));
    ASSERT_CHILD_OK(run_child([] {
        CHILD_CHECK(nvSharedMemAttach() == 0 && nvSharedMemRetrieve() == 0 && nvPowerup() == 0);
        nvVrtlSec[3]->dataOfst = 12345, nvRealSec[6]->ringId = 9;
        return 0;
    }));
    ASSERT_CHILD_OK(run_child([] {
        int id = semget(kFirstUseSem, 1, IPC_CREAT | 0666);
        sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
        return id >= 0 && semop(id, take, 2) == 0 ? 0 : 1;
    }));
    EXPECT_CHILD_OK(run_child([] { return reads(3, 1); }));
}

}  // namespace
