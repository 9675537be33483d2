// The registry across real processes: table set-up, one segment per key,
// removal, stale mappings and slot hints, forked and ended clients.
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <unistd.h>

#include <vector>
#include "harness/proc.h"
#include "heap/heap_ref.h"
#include "mfpsys/mm.h"
#include "shm/registry_peer.h"

using namespace mfpsys::test;
namespace {
constexpr int K = 4711;
using V = std::vector<std::int64_t>;  // results of steps, evaluated in order
unsigned semMode(int sem) {
    semid_ds ds{};
    return semctl(sem, 0, IPC_STAT, semun{.buf = &ds}) == 0 ? ds.sem_perm.mode & 0777 : ~0u;
}
}  // namespace

// Keys set before set-up move the table and its lock. A set-up that failed
// (the table's key taken by a segment too small) is retried by the next call;
// an unprivileged client uses the objects a peer created with flags of its
// own (a mode-0 semaphore) and re-creates none.
TEST(ShmSetup, FailedSetUpIsRetriedAndPeerObjectsAreUsedAsFound) {
    ASSERT_CHILD_OK(run_restarted([] {
        CHILD_CHECK(KUSharedMemInit(31000, 31001) == 0 && KUSharedMemAttach(K, 8) == 8);
        return TableView(31000).count(K) == 1 && semget(31001, 1, 0) != -1 && shmget(KU_SHARED_MEM_TABLE_KEY, 0, 0) == -1 ? 0 : 1;
    }));
    int table = shmget(KU_SHARED_MEM_TABLE_KEY, 100, IPC_CREAT | 0666);
    RegistryPeer a;
    EXPECT_EQ((V{a.attach(K, 64), a.retrieve(K), a.remove(K)}), (V{-1, 0, 0}));
    ASSERT_EQ(shmctl(table, IPC_RMID, nullptr), 0);
    if (geteuid() != 0) GTEST_SKIP() << "acting as a peer and then as another user needs root";
    table = shmget(KU_SHARED_MEM_TABLE_KEY, 3108, IPC_CREAT | 0666);
    const int sem = semget(KU_SHARED_MEM_SEM_KEY, 1, IPC_CREAT);
    EXPECT_EQ(a.attach(K, 64), 64);
    ASSERT_CHILD_OK(run_child([] {
        CHILD_CHECK(setgid(65534) == 0 && setuid(65534) == 0);
        int key = 0;
        CHILD_CHECK(KUSharedMemAttach(K, 16) == 64 && KUSharedMemRetrieveMemory(K) != nullptr);
        return mmMakeSharedMemoryKey(&key) == 0 && key == 21000 ? 0 : 1;
    }));
    EXPECT_EQ((V{TableView().id(), semget(KU_SHARED_MEM_SEM_KEY, 1, 0), semMode(sem)}), (V{table, sem, 0}));
}

// Every process maps the segment registered first, at its registered size (a
// larger request: once attached again); sizes not positive are refused; keys
// 512 apart share a lookup hint, which counts only while its slot holds the key.
TEST(ShmAttach, ProcessesShareTheSegmentRegisteredFirst) {
    RegistryPeer a, b, c;
    ASSERT_EQ(a.attach(K, 100), 100);
    const auto pa = a.retrieve(K);
    a.poke(pa, 99, 0xA5);
    TableView t;
    const int id = t.find(K)->shmid;
    EXPECT_EQ((V{a.attach(K, 0), a.attach(K, -10), a.attach(K, 300), a.retrieve(K), a.attach(K + 512, 30)}),
              (V{-1, -1, 100, pa, 30}));
    EXPECT_EQ((V{segmentSize(id), segmentSize(t.find(K + 512)->shmid)}), (V{100, 30}));
    EXPECT_EQ((V{b.attach(K, 200), b.retrieve(K), b.attach(K, 200), c.attach(K, 50)}), (V{100, 0, 100, 100}));
    for (auto* p : {&b, &c}) {
        const auto q = p->retrieve(K);
        ASSERT_NE(q, 0);
        p->poke(q, 0, static_cast<unsigned char>(p->pid()));
        EXPECT_EQ((V{p->peek(q, 99), a.peek(pa, 0)}), (V{0xA5, p->pid() & 0xFF}));
    }
    // One entry, and b's first mapping was undone.
    EXPECT_EQ((V{t.count(K), segmentUsers(id)}), (V{1, 3}));
    EXPECT_EQ(segmentSize(t.id()), 3108) << "the table's size, as peers map it";
    EXPECT_EQ(segmentStat(t.id()).shm_perm.mode & 0777, 0666u) << "a table every user may map";
    EXPECT_EQ(semMode(semget(KU_SHARED_MEM_SEM_KEY, 1, 0)), 0666u) << "a lock every user may take";
}

// Removal unmaps here, erases the entry and destroys the segment with its
// last mapping; a mapping of a segment removed elsewhere (its slot reused
// meanwhile) is never handed out, and the next attach follows the new entry,
// also at the same size; a creation that fails records nothing.
TEST(ShmRemove, LastUserDestroysAndAStaleMappingIsNeverHandedOut) {
    RegistryPeer a, b;
    ASSERT_EQ((V{a.attach(K, 100), b.attach(K, 100)}), (V{100, 100}));
    const auto pb = b.retrieve(K);
    b.poke(pb, 1, 0x11);
    TableView t;
    const int oldId = t.find(K)->shmid, oldSlot = t.slot(K);
    EXPECT_EQ((V{a.remove(K), t.count(K), segmentUsers(oldId), b.retrieve(K), b.peek(pb, 1)}),
              (V{0, 0, 1, 0, 0x11}));
    EXPECT_TRUE(segmentStat(oldId).shm_perm.mode & SHM_DEST);
    ASSERT_EQ(b.attach(K, 100), 100);
    EXPECT_EQ((V{segmentExists(oldId), b.peek(b.retrieve(K), 1), a.attach(K, 100)}), (V{0, 0, 100}));
    const auto staleA = a.retrieve(K);
    const int staleId = t.find(K)->shmid;
    ASSERT_EQ((V{b.remove(K), b.attach(K + 1, 50), t.slot(K + 1), b.attach(K, 100)}), (V{0, 50, oldSlot, 100}));
    b.poke(b.retrieve(K), 2, 0x22);
    EXPECT_EQ((V{a.retrieve(K), a.peek(staleA, 2), a.attach(K, 100)}), (V{0, 0, 100}));
    EXPECT_EQ((V{a.peek(a.retrieve(K), 2), segmentExists(staleId)}), (V{0x22, 0}));
    const int lone = t.find(K)->shmid;  // a is its only user after b's removal
    ASSERT_EQ(b.remove(K), 0);
    const int foreign = shmget(K, 10, IPC_CREAT | 0600);  // too small for 100: a's next creation fails
    EXPECT_EQ((V{a.attach(K, 100), a.retrieve(K), t.count(K)}), (V{-1, 0, 0}));
    EXPECT_EQ((V{shmctl(foreign, IPC_RMID, nullptr), a.remove(K), segmentExists(lone)}), (V{0, 0, 0}));
}

// After a fork each process has records of its own: the child keeps what it inherited, the parent
// never finds the child's mapping, the child's removal leaves the parent's. A hundred processes,
// started by one that never calls the library, attach keys and end: the shared heap is as it was.
TEST(ShmAttach, ForkedAndEndedClientsHaveRecordsOfTheirOwn) {
    Shared<mfpheap::HeapCheck> heap(2);
    ASSERT_CHILD_OK(run_child([&] {
        auto* a = static_cast<unsigned char*>(KUSharedMemAttach(K, 64) == 64 ? KUSharedMemRetrieveMemory(K) : nullptr);
        CHILD_CHECK(a != nullptr && (a[0] = 0xA1) && (heap[0] = mfpheap::heap_check()).mapped);
        CHILD_CHECK(run_child([a] { return KUSharedMemRetrieveMemory(K) == a && KUSharedMemAttach(K + 1, 32) == 32 ? 0 : 1; }).ok());
        CHILD_CHECK(KUSharedMemRetrieveMemory(K + 1) == nullptr && KUSharedMemAttach(K + 1, 32) == 32);
        auto* b = static_cast<unsigned char*>(KUSharedMemRetrieveMemory(K + 1));
        const int oldA = TableView().find(K)->shmid;  // removed by a child, still mapped here until our next attach
        CHILD_CHECK(b && run_child([] { return KUSharedMemRemove(K) == 0 && KUSharedMemAttach(K + 2, 8) == 8 ? 0 : 1; }).ok());
        CHILD_CHECK(KUSharedMemRetrieveMemory(K) == nullptr && a[0] == 0xA1 && segmentExists(oldA));
        return KUSharedMemAttach(K, 64) == 64 && !segmentExists(oldA) && KUSharedMemAttach(K + 3, 8) == 8 &&
               KUSharedMemRetrieveMemory(K + 1) == b && !KUSharedMemRetrieveMemory(K + 2) ? 0 : 1;
    }));
    for (int batch = 0; batch < 16; ++batch)  // 8 processes at once: a record kept per process shows in the count
        for (auto& o : run_together(8, [](int p) {
                 int rc = 0;
                 for (int k = 0; k < 8; ++k) rc |= KUSharedMemAttach(K + 9 + (p + k) % 16, 16) != 16;
                 return rc;
             }))
            ASSERT_CHILD_OK(o);
    ASSERT_CHILD_OK(run_child([&] { return (heap[1] = mfpheap::heap_check()).mapped ? 0 : 1; }));
    EXPECT_EQ((V{heap[1].used_blocks, heap[1].used_bytes}), (V{heap[0].used_blocks, heap[0].used_bytes}));
}
