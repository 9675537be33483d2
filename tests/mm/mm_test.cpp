// The memory-manager layer: dynamic keys from the shared bitmap, its messages,
// races between processes, and resizing a segment by moving it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/sem.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "harness/proc.h"
#include "harness/together.h"
#include "mfpsys/mm.h"
#include "shm/registry_peer.h"

using namespace mfpsys::test;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

constexpr int kBitmapKey = 20992;
constexpr key_t kKeyLock = 0x4D504D01;

bool bitSet(const unsigned char* map, int key) {
    int i = key - 21000;
    return map[i / 8] & (1u << (i % 8));
}

// The bitmap as another process sees it, through its registered segment.
std::vector<unsigned char> bitmapNow() {
    TableView t;
    if (!t.exists() || !t.find(kBitmapKey)) return {};
    void* p = shmat(t.find(kBitmapKey)->shmid, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) return {};
    std::vector<unsigned char> v(static_cast<unsigned char*>(p), static_cast<unsigned char*>(p) + 31);
    shmdt(p);
    return v;
}

}  // namespace

TEST(MmKeys, LowestFreeKeyFirstAndReleasesReused) {
    int key = 0;
    for (int k = 21000; k <= 21010; ++k) {  // no mmInit needed
        ASSERT_EQ(mmMakeSharedMemoryKey(&key), 0);
        ASSERT_EQ(key, k);
    }
    EXPECT_EQ(mmDeleteSharedMemoryKey(21005), 0);
    EXPECT_FALSE(bitSet(pMmInfo, 21005));
    ASSERT_EQ(mmMakeSharedMemoryKey(&key), 0);
    EXPECT_EQ(key, 21005);
    // Bit layout: key 21000 + i is bit i % 8 of byte i / 8.
    auto seen = bitmapNow();
    ASSERT_EQ(seen.size(), 31u);
    EXPECT_EQ(seen[0], 0xFF);
    EXPECT_EQ(seen[1], 0x07);
    EXPECT_EQ(seen[2], 0x00);
}

TEST(MmKeys, KeysOutliveTheProcessThatDrewThem) {
    ASSERT_CHILD_OK(run_child([] {
        int key = 0;
        CHILD_CHECK(mmMakeSharedMemoryKey(&key) == 0 && key == 21000);
        return 0;
    }));
    ASSERT_CHILD_OK(run_child([] {
        int key = 0;
        CHILD_CHECK(mmInit() == 0);
        CHILD_CHECK(mmMakeSharedMemoryKey(&key) == 0 && key == 21001);
        CHILD_CHECK(mmDeleteSharedMemoryKey(21000) == 0);
        return 0;
    }));
    auto seen = bitmapNow();
    ASSERT_EQ(seen.size(), 31u);
    EXPECT_EQ(seen[0], 0x02);
}

// 21247 is the NV store's fixed key: the allocator stops at 21246.
TEST(MmKeys, ExhaustionStopsBeforeTheNvKeyAndPrintsNothing) {
    int key = 0;
    for (int k = 21000; k <= 21246; ++k) {
        ASSERT_EQ(mmMakeSharedMemoryKey(&key), 0);
        ASSERT_EQ(key, k);
    }
    CaptureStdout();
    key = 12345;
    EXPECT_EQ(mmMakeSharedMemoryKey(&key), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(key, 12345);
    EXPECT_FALSE(bitSet(pMmInfo, 21247));
    // Someone else's use of 21247 can still be given back.
    pMmInfo[30] |= 0x80;
    EXPECT_EQ(mmDeleteSharedMemoryKey(21247), 0);
    EXPECT_EQ(pMmInfo[30], 0x7F);
    EXPECT_EQ(mmDeleteSharedMemoryKey(21246), 0);
    ASSERT_EQ(mmMakeSharedMemoryKey(&key), 0);
    EXPECT_EQ(key, 21246);
}

TEST(MmKeys, ReleaseMessages) {
    // The bitmap exists, but this process never mapped it.
    ASSERT_CHILD_OK(run_child([] { return mmInit(); }));
    CaptureStdout();
    EXPECT_EQ(mmDeleteSharedMemoryKey(21000), -1);
    EXPECT_EQ(GetCapturedStdout(), "[MM]mmDeleteSharedMemoryKey ERROR! (shared memory)\n");
    EXPECT_EQ(pMmInfo, nullptr);

    ASSERT_EQ(mmInit(), 0);
    int key = 0;
    ASSERT_EQ(mmMakeSharedMemoryKey(&key), 0);
    const auto before = bitmapNow();
    CaptureStdout();
    EXPECT_EQ(mmDeleteSharedMemoryKey(20999), -1);
    EXPECT_EQ(mmDeleteSharedMemoryKey(21248), -1);
    EXPECT_EQ(mmDeleteSharedMemoryKey(21001), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "[MM]mmMakeSharedMemoryKey ERROR! (key id = 0x5207)\n"
              "[MM]mmMakeSharedMemoryKey ERROR! (key id = 0x5300)\n"
              "[MM]mmMakeSharedMemoryKey ERROR! (not used)\n");
    EXPECT_EQ(bitmapNow(), before);  // failed calls change no bit

    CaptureStdout();
    EXPECT_EQ(mmDeleteSharedMemoryKey(key), 0);
    EXPECT_EQ(mmDeleteSharedMemoryKey(key), -1);
    EXPECT_EQ(GetCapturedStdout(), "[MM]mmMakeSharedMemoryKey ERROR! (not used)\n");
    EXPECT_EQ(mmMakeSharedMemoryKey(nullptr), -1);
    EXPECT_EQ(bitmapNow()[0], 0);
}

TEST(MmKeys, UnavailableBitmapMessages) {
    // A segment with the bitmap's key, too small, made outside the registry.
    ASSERT_NE(shmget(kBitmapKey, 8, IPC_CREAT | 0600), -1);
    CaptureStdout();
    EXPECT_EQ(mmInit(), -1);
    int key = 777;
    EXPECT_EQ(mmMakeSharedMemoryKey(&key), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "[MM]mmInit ERROR! (shared memory)\n"
              "[MM]mmMakeSharedMemoryKey ERROR! (shared memory)\n");
    EXPECT_EQ(key, 777);
    EXPECT_EQ(pMmInfo, nullptr);
}

// A key lock that cannot be had (another owner's semaphore, unusable for an
// unprivileged process) is reported, and is not taken for "no key free".
TEST(MmKeys, UnobtainableLockMessages) {
    ASSERT_NE(semget(kKeyLock, 1, IPC_CREAT | 0600), -1);
    ASSERT_CHILD_OK(run_child([] {
        CHILD_CHECK(setuid(65534) == 0);
        int key = 777;
        CaptureStdout();
        const bool failed = mmMakeSharedMemoryKey(&key) == -1 && mmDeleteSharedMemoryKey(21000) == -1;
        CHILD_CHECK(GetCapturedStdout() ==
                    "[MM]mmMakeSharedMemoryKey ERROR! (lock)\n"
                    "[MM]mmDeleteSharedMemoryKey ERROR! (lock)\n" && failed && key == 777);
        return 0;
    }));
    EXPECT_EQ(bitmapNow(), std::vector<unsigned char>(31, 0));
}

TEST(MmKeys, ProcessesAndThreadsNeverHoldTheSameKeyAtOnce) {
    constexpr int kProcs = 8, kThreads = 2, kRounds = 400;
    Shared<std::atomic<int>> holder(248);
    Shared<std::atomic<int>> clashes;
    auto outcomes = run_together(kProcs, [&](int p) {
            CHILD_CHECK(mmInit() == 0);
            std::vector<std::thread> th;
            std::atomic<int> bad{0};
            for (int t = 0; t < kThreads; ++t)
                th.emplace_back([&, t] {
                    const int me = p * kThreads + t + 1;
                    for (int r = 0; r < kRounds; ++r) {
                        int key = 0;
                        if (mmMakeSharedMemoryKey(&key) != 0 || key < 21000 || key > 21246) {
                            bad.fetch_add(1);
                            continue;
                        }
                        int none = 0;
                        if (!holder[key - 21000].compare_exchange_strong(none, me)) clashes->fetch_add(1);
                        std::this_thread::yield();
                        holder[key - 21000].store(0);
                        if (mmDeleteSharedMemoryKey(key) != 0) bad.fetch_add(1);
                    }
                });
            for (auto& x : th) x.join();
            CHILD_CHECK(bad.load() == 0);
            return 0;
        });
    for (auto& o : outcomes) EXPECT_CHILD_OK(o);
    EXPECT_EQ(clashes->load(), 0);
    EXPECT_EQ(bitmapNow(), std::vector<unsigned char>(31, 0));  // no update lost
}

// Allocators killed at random points, some inside the key lock: the kernel
// gives the lock back, and the next process draws a key.
TEST(MmKeys, KilledAllocatorsDoNotBlockOthers) {
    const auto drawOne = [] {
        int key = 0;
        CHILD_CHECK(mmMakeSharedMemoryKey(&key) == 0 && key >= 21000);
        return mmDeleteSharedMemoryKey(key);
    };
    ASSERT_CHILD_OK(run_child(drawOne));
    const int sem = semget(kKeyLock, 1, 0);
    ASSERT_NE(sem, -1);
    ASSERT_EQ(semctl(sem, 0, GETVAL), 0) << "an ended process left the lock taken";
    for (int round = 0; round < 8; ++round) {
        Arrivals busy;
        std::vector<Child> workers;
        for (int w = 0; w < 3; ++w)
            workers.emplace_back([&] {
                for (int i = 0;; ++i) {
                    int key = 0;
                    if (mmMakeSharedMemoryKey(&key) == 0) mmDeleteSharedMemoryKey(key);
                    if (i == 50 + 20 * round) busy.arrive();
                }
                return 0;
            });
        busy.await(3);
        for (auto& w : workers) w.kill(SIGKILL);
        for (auto& w : workers) w.wait();
        ASSERT_EQ(semctl(sem, 0, GETVAL), 0) << "lock left taken in round " << round;
    }
    ASSERT_CHILD_OK(run_child(drawOne));
}

TEST(MmSegments, PassThroughToTheRegistry) {
    EXPECT_EQ(mmSharedMemAttach(4000, 40), 40);
    auto* p = static_cast<unsigned char*>(mmSharedMemRetrieveMemory(4000));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, KUSharedMemRetrieveMemory(4000));
    EXPECT_EQ(mmSharedMemAttach(4000, 80), 40);
    EXPECT_EQ(mmSharedMemAttach(0, 80), -1);
    EXPECT_EQ(mmSharedMemDetach(4000), 0);
    EXPECT_EQ(mmSharedMemRetrieveMemory(4000), p);
    EXPECT_EQ(mmSharedMemRemove(4000), 0);
    EXPECT_EQ(mmSharedMemRetrieveMemory(4000), nullptr);
    EXPECT_EQ(TableView().count(4000), 0);
}

TEST(MmResize, GrowingAndShrinkingKeepWhatFits) {
    ASSERT_EQ(mmSharedMemAttach(4000, 100), 100);
    auto* old = static_cast<unsigned char*>(mmSharedMemRetrieveMemory(4000));
    for (int i = 0; i < 100; ++i) old[i] = static_cast<unsigned char>(i + 1);
    TableView t;
    const int oldId = t.find(4000)->shmid;

    int n = mmSharedMemReAttach(4000, 200);
    EXPECT_EQ(n, 21000);
    auto* p = static_cast<unsigned char*>(mmSharedMemRetrieveMemory(n));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(p[i], i < 100 ? i + 1 : 0) << i;  // the rest zero-filled
    EXPECT_EQ(mmSharedMemRetrieveMemory(4000), nullptr);
    EXPECT_EQ(t.count(4000), 0);
    EXPECT_FALSE(segmentExists(oldId));
    EXPECT_EQ(t.find(n)->size, 200);

    // Shrinking copies what fits; the same size still moves to a new key.
    for (int size : {40, 40}) {
        const int m = mmSharedMemReAttach(n, size);
        ASSERT_NE(m, 0);
        EXPECT_NE(m, n);
        EXPECT_EQ(segmentStat(t.find(m)->shmid).shm_segsz, 40u);
        auto* q = static_cast<unsigned char*>(mmSharedMemRetrieveMemory(m));
        ASSERT_NE(q, nullptr);
        for (int i = 0; i < 40; ++i) ASSERT_EQ(q[i], i + 1);
        n = m;
    }
}

TEST(MmResize, OtherProcessesFollowOnlyThroughTheNewKey) {
    RegistryPeer a;
    ASSERT_EQ(a.attach(4000, 100), 100);
    auto pa = a.retrieve(4000);
    a.poke(pa, 7, 0x5D);
    // A process without its own attachment cannot grow the segment.
    ASSERT_CHILD_OK(run_child([] {
        CHILD_CHECK(mmSharedMemReAttach(4000, 200) == 0);
        return 0;
    }));
    TableView t;
    ASSERT_EQ(t.count(4000), 1);
    EXPECT_EQ(t.find(4000)->size, 100);
    EXPECT_EQ(a.retrieve(4000), pa);

    Shared<int> newKey;
    ASSERT_CHILD_OK(run_child([&] {
        CHILD_CHECK(mmSharedMemAttach(4000, 100) == 100);
        *newKey = mmSharedMemReAttach(4000, 300);
        CHILD_CHECK(*newKey == 21000);  // the refused attempt drew no key
        return 0;
    }));
    EXPECT_EQ(a.retrieve(4000), 0);
    EXPECT_EQ(a.peek(pa, 7), 0x5D);  // a's old mapping stays usable
    EXPECT_EQ(a.attach(*newKey, 300), 300);
    auto pn = a.retrieve(*newKey);
    ASSERT_NE(pn, 0);
    EXPECT_EQ(a.peek(pn, 7), 0x5D);
}

TEST(MmResize, UnregisteredKeyMovesAZeroSegmentAndFullPoolFails) {
    int n = mmSharedMemReAttach(4100, 64);
    ASSERT_EQ(n, 21000);
    TableView t;
    EXPECT_EQ(t.count(4100), 0);
    auto* p = static_cast<unsigned char*>(mmSharedMemRetrieveMemory(n));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);

    ASSERT_EQ(mmSharedMemAttach(4000, 16), 16);
    auto* k = static_cast<unsigned char*>(mmSharedMemRetrieveMemory(4000));
    k[0] = 0x61;
    int key = 0;
    while (mmMakeSharedMemoryKey(&key) == 0) {}
    EXPECT_EQ(mmSharedMemReAttach(4000, 32), 0);
    EXPECT_EQ(mmSharedMemRetrieveMemory(4000), k);
    EXPECT_EQ(k[0], 0x61);
    EXPECT_EQ(t.find(4000)->size, 16);
    EXPECT_EQ(mmSharedMemReAttach(4000, 0), 0);
    EXPECT_EQ(mmSharedMemReAttach(0, 16), 0);
}
