// The shared heap: blocks outlive their allocator and are reached from other
// processes by reference; bad releases change nothing; a dead lock holder
// neither blocks nor corrupts the heap.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "harness/proc.h"
#include "port/heap_ref.h"
#include "port/tarnix.h"

using namespace mfpsys::test;
using mfpheap::heap_check;
using mfpheap::heap_ptr;
using mfpheap::heap_ref;

namespace {

constexpr key_t kHeapKey = 0x4D504801;

void fill(void* p, std::size_t n, unsigned salt) {
    auto* b = static_cast<unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(salt * 131 + i * 7);
}

bool holds(const void* p, std::size_t n, unsigned salt) {
    auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (b[i] != static_cast<unsigned char>(salt * 131 + i * 7)) return false;
    return true;
}

}  // namespace

TEST(Heap, BlockOutlivesItsAllocatorAndIsReachedByReference) {
    Shared<std::uint32_t> ref;
    // The allocator writes its block, publishes the reference and ends.
    ASSERT_CHILD_OK(run_child([&] {
        void* p = tarnixSubAllocMem(1000);
        CHILD_CHECK(p != nullptr);
        fill(p, 1000, 5);
        *ref = heap_ref(p);
        CHILD_CHECK(*ref != mfpheap::kNoRef);
        CHILD_CHECK(heap_ptr(*ref) == p);
        int on_stack = 0;
        CHILD_CHECK(heap_ref(&on_stack) == mfpheap::kNoRef);
        CHILD_CHECK(heap_ptr(mfpheap::kNoRef) == nullptr && heap_ptr(0xFFFFFFF0u) == nullptr);
        return 0;
    }));
    // A process started later finds the bytes through the reference and
    // gives the block back.
    ASSERT_CHILD_OK(run_child([&] {
        void* p = heap_ptr(*ref);
        CHILD_CHECK(p != nullptr);
        CHILD_CHECK(holds(p, 1000, 5));
        CHILD_CHECK(heap_check().used_blocks == 1);
        tarnixOrgFreeMemPart(0, p);
        auto c = heap_check();
        CHILD_CHECK(c.consistent);
        CHILD_CHECK(c.used_blocks == 0);
        return 0;
    }));
}

// Each block names the process that allocated it, also in the child of a
// process that had used the heap before the fork.
TEST(Heap, BlocksNameTheirAllocatorAlsoAfterAFork) {
    auto allocator = [](void* p) {
        std::uint32_t pid;
        std::memcpy(&pid, static_cast<unsigned char*>(p) - 4, sizeof pid);
        return static_cast<pid_t>(pid);
    };
    ASSERT_CHILD_OK(run_child([&] {
        void* p = tarnixSubAllocMem(64);
        CHILD_CHECK(p != nullptr && allocator(p) == getpid());
        pid_t pid = fork();
        if (pid == 0) {
            void* q = tarnixSubAllocMem(64);
            _exit(q != nullptr && allocator(q) == getpid() ? 0 : 1);
        }
        int status = 0;
        CHILD_CHECK(pid > 0 && waitpid(pid, &status, 0) == pid);
        CHILD_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        void* r = tarnixSubAllocMem(64);
        CHILD_CHECK(r != nullptr && allocator(r) == getpid());
        return 0;
    }));
}

TEST(Heap, LivesInItsDocumentedSegmentAndHoldsTheNvCachesWithRoomToSpare) {
    ASSERT_CHILD_OK(run_child([] {
        std::vector<void*> blocks;
        for (std::size_t n : {0xFF00u, 0xFF00u, 0xFF00u, 0x7F00u}) blocks.push_back(tarnixSubAllocMem(n));
        // Working buffers of many calls at once.
        for (int i = 0; i < 64; ++i) blocks.push_back(tarnixSubAllocMem(16 * 1024));
        for (void* p : blocks) CHILD_CHECK(p != nullptr);
        int id = shmget(kHeapKey, 0, 0);
        CHILD_CHECK(id != -1);
        shmid_ds ds{};
        CHILD_CHECK(shmctl(id, IPC_STAT, &ds) == 0);
        CHILD_CHECK(ds.shm_segsz == 2u * 1024 * 1024);
        CHILD_CHECK(semget(kHeapKey, 1, 0) != -1);
        return 0;
    }));
}

TEST(Heap, ExhaustionGivesNullAndFreedSpaceIsUsableAgain) {
    constexpr std::size_t kChunk = 64 * 1024;
    EXPECT_EQ(tarnixSubAllocMem(SIZE_MAX), nullptr);
    EXPECT_EQ(tarnixSubAllocMem(2u * 1024 * 1024), nullptr);
    std::vector<void*> blocks;
    while (void* p = tarnixSubAllocMem(kChunk)) {
        fill(p, kChunk, static_cast<unsigned>(blocks.size()));
        blocks.push_back(p);
        ASSERT_LT(blocks.size(), 100u);
    }
    auto c = heap_check();
    EXPECT_TRUE(c.consistent);
    // Nearly the whole segment was handed out, and no two blocks overlap.
    EXPECT_GE(blocks.size() * kChunk, c.capacity - 2 * kChunk);
    for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_TRUE(holds(blocks[i], kChunk, static_cast<unsigned>(i)));
    EXPECT_LT(c.largest_free, kChunk);

    tarnixOrgFreeMemPart(0, blocks[3]);
    void* again = tarnixSubAllocMem(kChunk);
    EXPECT_EQ(again, blocks[3]);
    // Two neighbours given back form one block large enough for both.
    tarnixOrgFreeMemPart(0, blocks[5]);
    tarnixOrgFreeMemPart(0, blocks[6]);
    EXPECT_NE(tarnixSubAllocMem(2 * kChunk), nullptr);
    EXPECT_TRUE(heap_check().consistent);
}

TEST(Heap, BadReleasesAreIgnored) {
    void* a = tarnixSubAllocMem(64);
    void* b = tarnixSubAllocMem(64);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    fill(b, 64, 9);
    const auto before = heap_check();

    int on_stack = 0;
    void* from_malloc = std::malloc(64);
    EXPECT_EQ(tarnixOrgFreeMemPart(0, nullptr), -1);
    EXPECT_EQ(tarnixOrgFreeMemPart(0, &on_stack), -1);
    EXPECT_EQ(tarnixOrgFreeMemPart(0, from_malloc), -1);
    EXPECT_EQ(tarnixOrgFreeMemPart(0, static_cast<char*>(a) + 8), -1);  // inside a block, b follows
    EXPECT_EQ(tarnixOrgFreeMemPart(0, static_cast<char*>(b) + 3), -1);  // unaligned
    std::free(from_malloc);
    auto after = heap_check();
    EXPECT_TRUE(after.consistent);
    EXPECT_EQ(after.used_blocks, before.used_blocks);

    EXPECT_EQ(tarnixOrgFreeMemPart(0, a), 0);
    EXPECT_EQ(tarnixOrgFreeMemPart(0, a), -1);  // twice
    // The second release must not have made one block available twice.
    void* c = tarnixSubAllocMem(64);
    void* d = tarnixSubAllocMem(64);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(c, d);
    EXPECT_NE(d, b);
    EXPECT_TRUE(holds(b, 64, 9));
    after = heap_check();
    EXPECT_TRUE(after.consistent);
    EXPECT_EQ(after.used_blocks, before.used_blocks + 1);
}

TEST(Heap, ThreadsOfSeveralProcessesNeverShareABlock) {
    auto outcomes = run_children(3, [](int proc) {
        std::vector<std::thread> threads;
        std::atomic<int> bad{0};
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                std::vector<std::pair<void*, unsigned>> live;
                for (int i = 0; i < 300; ++i) {
                    unsigned salt = static_cast<unsigned>(proc * 100000 + t * 1000 + i);
                    std::size_t n = 24 + (salt % 7) * 40;
                    if (void* p = tarnixSubAllocMem(n)) {
                        fill(p, n, salt);
                        live.emplace_back(p, salt);
                    }
                    if (live.size() > 8 || (i % 3 == 0 && !live.empty())) {
                        auto [q, s] = live.front();
                        if (!holds(q, 24 + (s % 7) * 40, s)) bad.fetch_add(1);
                        tarnixOrgFreeMemPart(0, q);
                        live.erase(live.begin());
                    }
                }
                for (auto [q, s] : live) {
                    if (!holds(q, 24 + (s % 7) * 40, s)) bad.fetch_add(1);
                    tarnixOrgFreeMemPart(0, q);
                }
            });
        for (auto& th : threads) th.join();
        CHILD_CHECK(bad.load() == 0);
        return 0;
    });
    for (auto& o : outcomes) EXPECT_CHILD_OK(o);
    auto c = heap_check();
    EXPECT_TRUE(c.consistent);
    EXPECT_EQ(c.used_blocks, 0u);
}

TEST(Heap, DeadLockHolderDoesNotBlockOthers) {
    ASSERT_CHILD_OK(run_child([] { return tarnixSubAllocMem(16) ? 0 : 1; }));  // heap exists
    int sem = semget(kHeapKey, 1, 0);
    ASSERT_NE(sem, -1);
    Child holder = hold_sem_lock(sem);
    union semun { int val; semid_ds* buf; unsigned short* array; } unused{};
    EXPECT_EQ(semctl(sem, 0, GETVAL, unused), 1);
    // The holder dies half-way through a change: owner word set, counters
    // behind the chain (header words 2 and 3).
    auto* hdr = static_cast<std::uint32_t*>(shmat(shmget(kHeapKey, 0, 0), nullptr, 0));
    ASSERT_NE(hdr, reinterpret_cast<std::uint32_t*>(-1));
    hdr[2] = static_cast<std::uint32_t>(holder.pid());
    hdr[3] += 3;
    shmdt(hdr);
    holder.kill(SIGKILL);
    EXPECT_FALSE(holder.wait().exited);
    ASSERT_CHILD_OK(run_child([] {
        void* p = tarnixSubAllocMem(100);
        CHILD_CHECK(p != nullptr);
        CHILD_CHECK(tarnixOrgFreeMemPart(0, p) == 0);
        const auto c = heap_check();
        return c.consistent && c.repairs == 1 ? 0 : 1;
    }));
}

TEST(Heap, ProcessesKilledAtRandomPointsLeaveAConsistentHeap) {
    for (int round = 0; round < 8; ++round) {
        Arrivals busy;
        std::vector<Child> workers;
        for (int w = 0; w < 3; ++w)
            workers.emplace_back([&, w] {
                std::vector<void*> live;
                for (unsigned i = 0;; ++i) {
                    if (void* p = tarnixSubAllocMem(16 + (i * 37 + w) % 500)) live.push_back(p);
                    if (live.size() > 20) {
                        tarnixOrgFreeMemPart(0, live[i % live.size()]);
                        live.erase(live.begin() + i % live.size());
                    }
                    if (i == 200 + 50 * static_cast<unsigned>(round)) busy.arrive();
                }
                return 0;
            });
        busy.await(3);
        for (auto& w : workers) w.kill(SIGKILL);
        for (auto& w : workers) w.wait();
    }
    // The blocks the dead held stay allocated; everything else is intact and
    // the heap keeps working.
    ASSERT_CHILD_OK(run_child([] {
        auto c = heap_check();
        CHILD_CHECK(c.consistent);
        void* p = tarnixSubAllocMem(4096);
        CHILD_CHECK(p != nullptr);
        CHILD_CHECK(heap_check().used_blocks == c.used_blocks + 1);
        tarnixOrgFreeMemPart(0, p);
        CHILD_CHECK(heap_check().used_blocks == c.used_blocks);
        return 0;
    }));
}
