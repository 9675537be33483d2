// Processes killed while they hold each cross-process lock that guards no flash
// (registry, keys, heap, address read; the NV writer's and the address rewrite's:
// the campaign): the lock comes back and the dead holder's half-done work is
// repaired. Clients released at one instant: no lost update, one scan, one
// hand-out of an image, no torn read, no interleaved rewrite (NV_E_RETRY_OVER
// is the one documented failure under contention). Registry and key clients
// released together: the virtual board's procs suite, on the real kernel.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "harness/board.h"
#include "heap/heap_ref.h"
#include "mfpsys/mfpsys.h"
#include "port/tarnix.h"
#include "rel.h"

using mfpsys::test::run_child;
using namespace rel;

namespace {

template <class T> auto paramName = [](const auto& info) { return std::string(T::rows[size_t(info.param)].name); };

// Holders of the locks that guard no flash, killed after a varying number of rounds of
// their work (worker, round): the lock is free afterwards and a new process works, also
// one forked while its parent's other threads are inside calls of that kind.
struct LoopHolder { const char* name; key_t lock; std::function<void(int, int)> round; std::function<int()> next; };
struct KilledLoop : mfpsys::test::BoardTest, ::testing::WithParamInterface<int> {
    static inline const std::vector<LoopHolder> rows = {
        {"registry", KU_SHARED_MEM_SEM_KEY,
         [](int w, int r) {
             if (KUSharedMemAttach(5000 + w * 16 + r % 16, 64) > 0) KUSharedMemRemove(5000 + w * 16 + r % 16);
         },
         [] { return KUSharedMemAttach(9999, 32) == 32 && KUSharedMemRetrieveMemory(9999) && KUSharedMemRemove(9999) == 0 ? 0 : 1; }},
        {"keys", kKeySem,
         [](int, int) {
             int key = 0;
             if (mmMakeSharedMemoryKey(&key) == 0) mmDeleteSharedMemoryKey(key);
         },
         [] {
             int key = 0;
             return mmMakeSharedMemoryKey(&key) == 0 && mmDeleteSharedMemoryKey(key) == 0 ? 0 : 1;
         }},
        {"heap", kHeapKey, [](int w, int r) { if (void* p = tarnixSubAllocMem(16 + size_t(r * 37 + w) % 500)) tarnixOrgFreeMemPart(0, p); },
         [] {
             void* p = tarnixSubAllocMem(4096);
             return p && mfpheap::heap_check().consistent && tarnixOrgFreeMemPart(0, p) == 0 ? 0 : 1;
         }},
        {"env", kEnvSem, [](int, int) { env_mac_read(); }, [] { return env_mac_read() != ENV_MAC_READ_FAILED ? 0 : 1; }},
    };
};

TEST_P(KilledLoop, LockComesBackAndTheNextProcessWorks) {
    const LoopHolder& h = rows[size_t(GetParam())];
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
        for (auto& w : workers) {
            w.kill(SIGKILL);
            w.wait();
        }
        ASSERT_EQ(lockValue(h.lock), 0) << h.name << ": lock left taken in round " << round;
    }
    EXPECT_CHILD_OK(run_child([&]() -> int {  // a client forks while its other threads keep calling: each child's call returns
        for (int w = 0; w < 3; ++w) std::thread([&h, w] { for (int i = 0;; ++i) h.round(w, i); }).detach();
        for (int k = 0; k < 12; ++k) {
            const auto next = run_child([&] {
                alarm(10);
                return h.next();
            });
            if (!next.ok()) _exit(1);
        }
        _exit(0);  // ends the busy threads with the process
    })) << h.name;
}
INSTANTIATE_TEST_SUITE_P(, KilledLoop, ::testing::Range(0, 4), paramName<KilledLoop>);

class Killed : public mfpsys::test::BoardTest {};
// A heap holder dies half-way through a change (owner word set, counters behind the chain): the next process repairs the heap, once.
TEST_F(Killed, HeapHolderMidChangeIsRepaired) {
    ASSERT_CHILD_OK(run_child([] { return tarnixSubAllocMem(16) ? 0 : 1; }));
    mfpsys::test::Child holder = mfpsys::test::hold_sem_lock(semget(kHeapKey, 1, 0));
    auto* hdr = static_cast<uint32_t*>(shmat(shmget(kHeapKey, 0, 0), nullptr, 0));
    ASSERT_NE(hdr, reinterpret_cast<uint32_t*>(-1));
    hdr[2] = uint32_t(holder.pid());
    hdr[3] += 3;
    shmdt(hdr);
    holder.kill(SIGKILL);
    holder.wait();
    EXPECT_CHILD_OK(run_child([] {
        CHILD_CHECK(tarnixSubAllocMem(100));
        CHILD_CHECK(mfpheap::heap_check().consistent);
        CHILD_CHECK(mfpheap::heap_check().repairs == 1);
        return 0;
    }));
}

// A remover killed between destroying a segment and erasing its entry: the next attach makes a live segment under the one entry.
TEST_F(Killed, RegistryRemoverBetweenDestroyAndErase) {
    ASSERT_CHILD_OK(run_child([] { return KUSharedMemAttach(7000, 64) == 64 ? 0 : 1; }));
    ASSERT_EQ(entries(7000, IPC_RMID), 1);
    EXPECT_CHILD_OK(run_child([] { return KUSharedMemAttach(7000, 64) == 64 && KUSharedMemRetrieveMemory(7000) ? 0 : 1; }));
    EXPECT_EQ(entries(7000, IPC_STAT), 1) << "the key needs one entry naming a live segment";
}

constexpr int kRounds = sizeof(void*) == 4 ? 4 : 16;  // the 32-bit target runs under qemu, slowly
struct Tally {
    // Images handed out, processes done; tickets in call order: latest acknowledged start, each acknowledged return.
    std::atomic<int> acked[kBlocks], arrived, done, clock, began[kBlocks], ended[kBlocks][8 * kRounds + 8];  // by image id
    void together(int n, int r) {  // the n callers start round r together (one that died lets the others go after a bound)
        for (long spins = (++arrived, 0); arrived < n * (r + 1) && spins < 200000; ++spins) sched_yield();
    }
};
std::vector<uint8_t> signedImage(int b, int id) {  // any read checkable
    auto v = image(b, id);
    v[0] = uint8_t(b);
    v[1] = uint8_t(id);
    return v;
}
// Writer i of block b, released with the others each round; a write may fail only by staying busy to the end.
int writeRounds(Tally& t, int writers, int i, int b) {
    int bad = 0;
    for (int r = 0, rc = 0; r < kRounds; ++r) {
        t.together(writers, r);
        const int id = 8 * (r + 1) + i, start = ++t.clock;  // id 0: the image written before the clients
        auto v = signedImage(b, id);
        if ((rc = nvWriteRetry(kAddr[b], uint32_t(v.size()), v.data())) != 0 && rc != NV_E_RETRY_OVER)  // the others go on
            bad = std::fprintf(stderr, "block %d, write %d: result %#x\n", b, id, unsigned(rc));
        if (rc == 0) t.ended[b][id] = ++t.clock;
        for (int m = t.began[b]; rc == 0 && m < start && !t.began[b].compare_exchange_weak(m, start);) {}
    }
    return bad != 0;
}
// One block's writes are serialised: after a restart each reads, whole, one that returned after every acknowledged one began.
void newestAcknowledged(mfpsim::Board& board, Tally& t) {
    EXPECT_EQ(board.counters().violations, 0u) << "a write programmed over a written byte";
    for (int b = 0; b < kBlocks; ++b) {
        auto o = mfpsys::test::run_restarted([&t, b] {
            auto v = readBlock(b);
            return v && (*v)[1] < std::size(t.ended[b]) && *v == padded(b, signedImage(b, (*v)[1])) ? (*v)[1] : 255;
        });
        ASSERT_TRUE(o.exited && o.code != 255) << "block " << b << " reads no whole image of its own: " << o.describe();
        EXPECT_GT(o.code ? t.ended[b][o.code].load() : 1, t.began[b].load())
            << "block " << b << " reads write " << o.code << ", not the newest acknowledged";
    }
}
// Process 0 of 8 holds the lock of key while the others start work, until each waits on it or is done: they pass it in a queue.
int queued(key_t key, int i, int round, Tally& t, const std::function<int()>& work) {
    const int id = semget(key, 1, IPC_CREAT | 0666);  // the library's locks: wait for 0, then +1
    sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}}, give{0, -1, SEM_UNDO};
    CHILD_CHECK(i || semop(id, take, 2) == 0);
    t.together(8, round);
    if (i) {
        const int rc = work();
        ++t.done;
        return rc;
    }
    for (long spins = 0; semctl(id, 0, GETZCNT, semun{}) + t.done < 7 * (round + 1) && spins < 1000000; ++spins) sched_yield();
    return semop(id, &give, 1) | work();
}
// Blocks 0 and 1 (0x4000 bytes each) share a ring of sectors 0-3: a sector takes three copies, so appends and moves alternate.
void sharedRing() {
    _nvRealSec[2].ringId = _nvRealSec[3].ringId = _nvVrtlSec[1].ringId = 1;
    _nvVrtlSec[0].capacity = _nvVrtlSec[1].capacity = 0x4000;
}
// procs processes run run(i) released together, then the parent checks; tables: the NV defaults, set before first use.
struct Scenario { const char* name; int procs; std::function<int(int, Tally&)> run;
                  std::function<void(mfpsim::Board&, Tally&)> check; void (*tables)() = nullptr; };
struct Concurrent : mfpsys::test::BoardTest, ::testing::WithParamInterface<int> {
    static inline const std::vector<Scenario> rows = {
        // Writers of every block, two of each block of a ring of two, and first readers, released together.
        {"nv_writers_readers", 8,
         [](int i, Tally& t) {
             for (int b = 0; i >= 6 && b < kBlocks; ++b) if (auto got = readBlock(b)) CHILD_CHECK(*got == padded(b, signedImage(b, (*got)[1])));
             return i < 6 ? writeRounds(t, 6, i, i < 4 ? i % 2 : i - 2) : 0;
         },
         newestAcknowledged, sharedRing},
        // First calls queued on the first-use lock: one scan. Readers queued on the heap lock (to free an image): each image out once.
        {"nv_first_use_one_image", 8,
         [](int i, Tally& t) {
             CHILD_CHECK(queued(kFirstUseSem, i, 0, t, [] { return nvRead(-1, 0, nullptr) == -1 ? 0 : 1; }) == 0);
             return queued(kHeapKey, i, 1, t, [&t] {
                 for (int b = 0; b < kBlocks; ++b) {
                     auto got = readBlock(b);
                     CHILD_CHECK(!got || *got == padded(b, signedImage(b, 0)));
                     t.acked[b] += got.has_value();
                 }
                 return 0;
             });
         },
         [](mfpsim::Board&, Tally& t) {
             for (int b = 0; b < kBlocks; ++b) EXPECT_EQ(t.acked[b], 1) << "block " << b << ": readers handed its power-up image";
             EXPECT_EQ(run_child([] { auto h = mfpheap::heap_check(); return h.consistent ? int(std::min(h.used_blocks, 254u)) : 255; }).code, 0)
                 << "heap blocks left once every image went out (255: chain broken): a second scan dropped the first one's";
         }},
        // Address rewrites run one after the other (read, erase, write); readers see a whole address.
        {"mac_writers_readers", 5,
         [](int i, Tally& t) {
             const char* macs[] = {"00:00:00:00:00:01", "00:00:00:00:00:02", "00:00:00:00:00:03"};
             for (int k = 0; k < 2 * kRounds; ++k) {
                 t.together(5, k);
                 char* m = i < 3 && k < kRounds ? nullptr : env_mac_read();
                 CHILD_CHECK(i < 3 && k < kRounds ? env_mac_write(macs[i]) == 0
                                                  : m && m != ENV_MAC_READ_FAILED && !std::strncmp(m, "00:00:00:00:00:0", 16));
             }
             return 0;
         },
         [](mfpsim::Board& board, Tally&) {
             std::string kinds;
             for (const auto& e : board.journal()) kinds += e.kind;
             ASSERT_GE(kinds.size(), 9u * kRounds);
             for (size_t at = 0; (at = kinds.find('e', at)) != std::string::npos; ++at)
                 EXPECT_EQ(kinds.substr(at ? at - 1 : 0, 3), "rew") << "a rewrite interleaved with another step: " << kinds;
             EXPECT_EQ(board.counters().violations, 0u);
         }},
    };
};

TEST_P(Concurrent, ClientsReleasedTogether) {
    const Scenario& s = rows[size_t(GetParam())];
    mfpsys::test::Shared<Tally> tally;
    if (s.tables) s.tables();  // for this process and its children; later rows read the capacities in force
    // Round 0 of every block on flash and the system's objects made, so that only the calls under test race.
    ASSERT_CHILD_OK(restart([] {
        int rc = 0;
        for (int b = 0; b < kBlocks && rc == 0; ++b) {
            const auto v = signedImage(b, 0);
            rc = nvWriteRetry(kAddr[b], uint32_t(v.size()), v.data());
        }
        return rc;
    }));
    ASSERT_CHILD_OK(run_child([] { return KUSharedMemAttach(4000, 8) == 8 && mmInit() == 0 && env_mac_write("00:00:00:00:00:00") == 0 ? 0 : 1; }));
    board().set_journal(true);
    for (auto& o : mfpsys::test::run_together(s.procs, [&](int i) { return s.run(i, *tally); })) EXPECT_CHILD_OK(o) << s.name;
    s.check(board(), *tally);
}
INSTANTIATE_TEST_SUITE_P(, Concurrent, ::testing::Range(0, 3), paramName<Concurrent>);

}  // namespace
