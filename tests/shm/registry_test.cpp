// The registry seen from real processes: the table segment, the attach
// decisions, removal, a full table, set-up failures and races.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/sem.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <thread>
#include <vector>

#include "harness/proc.h"
#include "harness/together.h"
#include "mfpsys/mm.h"
#include "mfpsys/nv.h"
#include "shm/registry_peer.h"

using namespace mfpsys::test;

namespace {

constexpr int K = 4711;

union semun {
    int val;
    semid_ds* buf;
    unsigned short* array;
};

}  // namespace

TEST(RegistrySetup, CreatesTheTableAndAnOpenSemaphoreWithTheDefaultKeys) {
    ASSERT_CHILD_OK(run_child([] { return KUSharedMemAttach(K, 16) == 16 ? 0 : 1; }));
    TableView t;
    ASSERT_TRUE(t.exists());
    EXPECT_EQ(segmentStat(t.id()).shm_segsz, 3108u);
    EXPECT_EQ(t->count, 256);
    EXPECT_EQ(t->next, 0);
    EXPECT_EQ(t.count(K), 1);
    int sem = semget(KU_SHARED_MEM_SEM_KEY, 1, 0);
    ASSERT_NE(sem, -1);
    semid_ds ds{};
    semun arg{};
    arg.buf = &ds;
    ASSERT_EQ(semctl(sem, 0, IPC_STAT, arg), 0);
    // Without permission bits unprivileged clients would not be serialised.
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0666u);
    EXPECT_EQ(semctl(sem, 0, GETVAL, arg), 0);  // released after the attach
}

// Peers that create the shared objects with their own flags: the registry
// semaphore without permission bits, the key bitmap and the NV state block
// registered in the table. An unprivileged client works on them and never
// re-creates, resizes or re-initialises one.
TEST(RegistrySetup, UnprivilegedClientUsesObjectsAPeerCreated) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as a peer and then as another user needs root";
    const int table = shmget(KU_SHARED_MEM_TABLE_KEY, 3108, IPC_CREAT | 0666);
    const int sem = semget(KU_SHARED_MEM_SEM_KEY, 1, IPC_CREAT);
    const int bitmap = shmget(MM_KEY_BITMAP, 31, IPC_CREAT | 0666);
    const int nv = shmget(NV_SHARED_KEY, NV_SHARED_SIZE, IPC_CREAT | 0666);
    ASSERT_TRUE(table != -1 && sem != -1 && bitmap != -1 && nv != -1);
    {
        TableView t;
        t->entry[0] = {MM_KEY_BITMAP, bitmap, 31};
        t->entry[1] = {NV_SHARED_KEY, nv, NV_SHARED_SIZE};
    }
    // The peer has drawn key 21000 and finished the power-up scan.
    auto* bits = static_cast<unsigned char*>(shmat(bitmap, nullptr, 0));
    auto* state = static_cast<NvSharedState*>(shmat(nv, nullptr, 0));
    bits[0] = 0x01;
    state->realSec[0].secCnt = 7;
    state->otherInfo[1] = 1;
    ASSERT_CHILD_OK(run_child([] {
        CHILD_CHECK(setgid(65534) == 0 && setuid(65534) == 0);
        CHILD_CHECK(KUSharedMemAttach(K, 16) == 16 && KUSharedMemRetrieveMemory(K) != nullptr);
        int key = 0;
        CHILD_CHECK(mmMakeSharedMemoryKey(&key) == 0 && key == 21001);
        CHILD_CHECK(nvSharedMemAttach() == 0 && nvSharedMemRetrieve() == 0);
        CHILD_CHECK(nvRealSec[0]->secCnt == 7);
        return 0;
    }));
    TableView t;
    EXPECT_EQ(t.id(), table);
    EXPECT_EQ(semget(KU_SHARED_MEM_SEM_KEY, 1, 0), sem);
    semid_ds ds{};
    semun arg{};
    arg.buf = &ds;
    ASSERT_EQ(semctl(sem, 0, IPC_STAT, arg), 0);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0u);
    EXPECT_EQ(t->entry[0].shmid, bitmap);
    EXPECT_EQ(t->entry[1].shmid, nv);
    EXPECT_EQ(segmentStat(bitmap).shm_segsz, 31u);
    EXPECT_EQ(segmentStat(nv).shm_segsz, static_cast<size_t>(NV_SHARED_SIZE));
    EXPECT_EQ(bits[0], 0x03);
    EXPECT_EQ(state->realSec[0].secCnt, 7u);
    EXPECT_EQ(state->otherInfo[1], 1);
    shmdt(bits);
    shmdt(state);
}

TEST(RegistrySetup, AnExistingTableKeepsItsEntriesAndGetsItsHeaderRewritten) {
    int id = shmget(KU_SHARED_MEM_TABLE_KEY, 3108, IPC_CREAT | 0666);
    ASSERT_NE(id, -1);
    int seg = shmget(K, 50, IPC_CREAT | 0666);
    ASSERT_NE(seg, -1);
    {
        TableView t;
        ASSERT_TRUE(t.exists());
        std::memset(t.operator->(), 0x5A, 24);
        t->entry[7] = KUSharedMemEntry{K, seg, 50};
    }
    ASSERT_CHILD_OK(run_child([] {
        // Registered at 50 by an earlier process: that size stands.
        CHILD_CHECK(KUSharedMemAttach(K, 40) == 50);
        CHILD_CHECK(KUSharedMemRetrieveMemory(K) != nullptr);
        return 0;
    }));
    TableView t;
    EXPECT_EQ(t->reserved0, 0x5A5A5A5A);  // never written
    EXPECT_EQ((std::vector<int>{t->reserved4, t->count, t->reserved12, t->reserved16, t->next}),
              (std::vector<int>{0, 256, 0, 0, 0}));
    EXPECT_EQ(t->entry[7].key, K);
    EXPECT_EQ(t->entry[7].shmid, seg);
    EXPECT_EQ(t.count(K), 1);
}

TEST(RegistrySetup, InitChangesKeysOnlyBeforeSetUp) {
    ASSERT_CHILD_OK(run_child([] {
        CHILD_CHECK(KUSharedMemInit(0, 0) == 0);
        CHILD_CHECK(KUSharedMemInit(-5, -5) == -1);  // now set up
        return 0;
    }));
    EXPECT_TRUE(TableView().exists());
    ASSERT_CHILD_OK(run_restarted([] {
        CHILD_CHECK(KUSharedMemInit(-5, -5) == 0);
        CHILD_CHECK(shmget(KU_SHARED_MEM_TABLE_KEY, 0, 0) != -1);
        return 0;
    }));
    ASSERT_CHILD_OK(run_restarted([] {
        CHILD_CHECK(KUSharedMemInit(31000, 31001) == 0);
        CHILD_CHECK(KUSharedMemAttach(K, 8) == 8);
        CHILD_CHECK(shmget(KU_SHARED_MEM_TABLE_KEY, 0, 0) == -1);
        CHILD_CHECK(semget(KU_SHARED_MEM_SEM_KEY, 1, 0) == -1);
        TableView t(31000);
        CHILD_CHECK(t.exists() && t.count(K) == 1);
        CHILD_CHECK(semget(31001, 1, 0) != -1);
        // Too late now: the keys stay.
        CHILD_CHECK(KUSharedMemInit(32000, 32001) == -1);
        CHILD_CHECK(KUSharedMemAttach(K + 1, 8) == 8);
        CHILD_CHECK(t.count(K + 1) == 1);
        CHILD_CHECK(shmget(32000, 0, 0) == -1);
        return 0;
    }));
}

TEST(RegistrySetup, AFailedSetUpIsRetriedByTheNextCall) {
    // A segment with the table's key but too small makes set-up fail.
    int blocker = shmget(KU_SHARED_MEM_TABLE_KEY, 100, IPC_CREAT | 0666);
    ASSERT_NE(blocker, -1);
    RegistryPeer a;
    EXPECT_EQ(a.attach(K, 64), -1);
    EXPECT_EQ(a.retrieve(K), 0);
    EXPECT_EQ(a.detach(K), 0);
    EXPECT_EQ(a.remove(K), 0);  // no semaphore to lock, nothing to remove
    EXPECT_EQ(semget(KU_SHARED_MEM_SEM_KEY, 1, 0), -1);
    ASSERT_EQ(shmctl(blocker, IPC_RMID, nullptr), 0);
    EXPECT_EQ(a.attach(K, 64), 64);
    EXPECT_NE(a.retrieve(K), 0);
    TableView t;
    ASSERT_TRUE(t.exists());
    EXPECT_EQ(t.count(K), 1);
    EXPECT_EQ(a.init(1, 1), -1);  // set up now
}

TEST(RegistrySetup, ThreadsMakingTheirFirstCallTogetherSetUpOnce) {
    ASSERT_CHILD_OK(run_child([] {
        constexpr int n = 8;
        std::latch start(n);
        std::atomic<int> ok{0};
        std::vector<std::thread> th;
        for (int i = 0; i < n; ++i)
            th.emplace_back([&, i] {
                start.arrive_and_wait();
                if (KUSharedMemAttach(K + i, 32) == 32 && KUSharedMemRetrieveMemory(K + i)) ok.fetch_add(1);
            });
        for (auto& t : th) t.join();
        CHILD_CHECK(ok.load() == n);
        // One mapping of the table in this process: set-up ran once.
        CHILD_CHECK(segmentStat(shmget(KU_SHARED_MEM_TABLE_KEY, 0, 0)).shm_nattch == 1);
        return 0;
    }));
    TableView t;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(t.count(K + i), 1) << i;
}

TEST(RegistryAttach, BadArgumentsFailAndChangeNothing) {
    ASSERT_CHILD_OK(run_child([] {
        CHILD_CHECK(KUSharedMemAttach(0, 10) == -1);
        CHILD_CHECK(KUSharedMemAttach(-3, 10) == -1);
        CHILD_CHECK(KUSharedMemAttach(K, 0) == -1);
        CHILD_CHECK(KUSharedMemAttach(K, -10) == -1);
        CHILD_CHECK(KUSharedMemRetrieveMemory(0) == nullptr);
        CHILD_CHECK(KUSharedMemRetrieveMemory(K) == nullptr);
        CHILD_CHECK(KUSharedMemRemove(0) == 0);
        return 0;
    }));
    TableView t;
    ASSERT_TRUE(t.exists());
    for (auto& e : t->entry) {
        EXPECT_EQ(e.key, 0);
        EXPECT_EQ(e.shmid, 0);
    }
    EXPECT_EQ(shmget(K, 0, 0), -1);
}

// Rows: new key (1), second process (9), same process again (13).
TEST(RegistryAttach, ProcessesShareTheSegmentRegisteredFirst) {
    RegistryPeer a, b;
    ASSERT_EQ(a.attach(K, 100), 100);
    auto pa = a.retrieve(K);
    ASSERT_NE(pa, 0);
    TableView t;
    ASSERT_EQ(t.count(K), 1);
    const KUSharedMemEntry e = *t.find(K);
    EXPECT_EQ(e.size, 100);
    EXPECT_EQ(segmentStat(e.shmid).shm_segsz, 100u);
    a.poke(pa, 99, 0xA5);

    EXPECT_EQ(b.attach(K, 100), 100);
    auto pb = b.retrieve(K);
    ASSERT_NE(pb, 0);
    EXPECT_EQ(b.peek(pb, 99), 0xA5);
    b.poke(pb, 0, 0x3C);
    EXPECT_EQ(a.peek(pa, 0), 0x3C);
    EXPECT_EQ(segmentStat(e.shmid).shm_nattch, 2u);

    // Mapped at the registered size: no new mapping, whatever is asked.
    EXPECT_EQ(a.attach(K, 100), 100);
    EXPECT_EQ(a.attach(K, 300), 100);
    EXPECT_EQ(a.retrieve(K), pa);
    EXPECT_EQ(segmentStat(e.shmid).shm_nattch, 2u);
    EXPECT_EQ(t.count(K), 1);
    EXPECT_EQ(t.find(K)->shmid, e.shmid);
    EXPECT_EQ(t.find(K)->size, 100);

    // Detaching keeps the mapping; a key never attached here is ignored.
    EXPECT_EQ(a.detach(K), 0);
    EXPECT_EQ(a.retrieve(K), pa);
    EXPECT_EQ(a.attach(K, 100), 100);
    EXPECT_EQ(a.retrieve(K), pa);
    EXPECT_EQ(a.detach(K + 1), 0);
}

// Rows 9 and 12: a larger request gets the registered size and no address
// until the process attaches again.
TEST(RegistryAttach, LargerRequestGetsAnAddressOnlyAfterAttachingAgain) {
    RegistryPeer a, b, c;
    ASSERT_EQ(a.attach(K, 100), 100);
    a.poke(a.retrieve(K), 5, 0x77);
    EXPECT_EQ(b.attach(K, 200), 100);
    EXPECT_EQ(b.retrieve(K), 0);
    EXPECT_EQ(b.attach(K, 200), 100);
    auto pb = b.retrieve(K);
    ASSERT_NE(pb, 0);
    EXPECT_EQ(b.peek(pb, 5), 0x77);
    EXPECT_EQ(c.attach(K, 50), 100);
    auto pc = c.retrieve(K);
    ASSERT_NE(pc, 0);
    EXPECT_EQ(c.peek(pc, 5), 0x77);
    TableView t;
    EXPECT_EQ(t.count(K), 1);
    EXPECT_EQ(t.find(K)->size, 100);
    EXPECT_EQ(segmentStat(t.find(K)->shmid).shm_nattch, 3u);  // b's first mapping was undone
}

// Row 3: after a removal elsewhere, the next attach makes a new segment;
// a mapping of a segment removed meanwhile is never taken for the new one.
TEST(RegistryRemove, IsSeenByOtherProcesses) {
    RegistryPeer a, b;
    ASSERT_EQ(a.attach(K, 100), 100);
    ASSERT_EQ(b.attach(K, 100), 100);
    auto pb = b.retrieve(K);
    b.poke(pb, 1, 0x11);
    TableView t;
    const int oldId = t.find(K)->shmid;

    EXPECT_EQ(a.remove(K), 0);
    EXPECT_EQ(t.count(K), 0);
    EXPECT_EQ(a.retrieve(K), 0);
    EXPECT_EQ(b.retrieve(K), 0);
    // Marked for destruction, still mapped by b, which can still read it.
    ASSERT_TRUE(segmentExists(oldId));
    EXPECT_TRUE(segmentStat(oldId).shm_perm.mode & SHM_DEST);
    EXPECT_EQ(segmentStat(oldId).shm_nattch, 1u);
    EXPECT_EQ(b.peek(pb, 1), 0x11);

    EXPECT_EQ(b.attach(K, 100), 100);
    auto pb2 = b.retrieve(K);
    ASSERT_NE(pb2, 0);
    EXPECT_EQ(b.peek(pb2, 1), 0);  // a new, zero-filled segment
    ASSERT_EQ(t.count(K), 1);
    EXPECT_NE(t.find(K)->shmid, oldId);
    EXPECT_FALSE(segmentExists(oldId));  // b's old mapping was the last one

    // a maps the new segment; b removes it and registers the key again at
    // the same size. a's mapping is stale: not handed out, and replaced by
    // the registered segment at a's next attach.
    ASSERT_EQ(a.attach(K, 100), 100);
    ASSERT_NE(a.retrieve(K), 0);
    const int staleId = t.find(K)->shmid;
    ASSERT_EQ(b.remove(K), 0);
    ASSERT_EQ(b.attach(K, 100), 100);
    b.poke(b.retrieve(K), 2, 0x22);
    EXPECT_EQ(a.retrieve(K), 0);
    EXPECT_EQ(a.attach(K, 100), 100);
    auto pa = a.retrieve(K);
    ASSERT_NE(pa, 0);
    EXPECT_EQ(a.peek(pa, 2), 0x22);
    a.poke(pa, 3, 0x33);
    EXPECT_EQ(b.peek(b.retrieve(K), 3), 0x33);
    EXPECT_FALSE(segmentExists(staleId));  // a's stale mapping was undone

    // A process that never attached the key removes its entry too.
    RegistryPeer c;
    const int newId = t.find(K)->shmid;
    EXPECT_EQ(c.remove(K), 0);
    EXPECT_EQ(t.count(K), 0);
    EXPECT_TRUE(segmentStat(newId).shm_perm.mode & SHM_DEST);
    EXPECT_EQ(c.remove(K), 0);  // nothing left to remove
}

// A process finds each of its keys where it is now, after other processes
// have removed keys and reused their slots, and keys that share a bucket of
// the lookup hints (they differ by 512) never stand in for one another.
TEST(RegistryLookup, KeysAreFoundAfterSlotsAreReusedElsewhere) {
    const int k1 = K, k2 = K + 512, k3 = K + 1;
    RegistryPeer a, b;
    ASSERT_EQ(a.attach(k1, 100), 100);
    ASSERT_EQ(a.attach(k2, 100), 100);
    for (int round = 0; round < 2; ++round) {
        a.poke(a.retrieve(k1), 0, 0x01);
        a.poke(a.retrieve(k2), 0, 0x02);
    }
    ASSERT_EQ(b.attach(k1, 100), 100);
    ASSERT_EQ(b.attach(k2, 100), 100);
    EXPECT_EQ(b.peek(b.retrieve(k1), 0), 0x01);
    EXPECT_EQ(b.peek(b.retrieve(k2), 0), 0x02);

    // b frees k1's slot, gives it to k3 and registers k1 anew elsewhere.
    TableView t;
    const int oldSlot = t.slot(k1);
    EXPECT_EQ(b.remove(k1), 0);
    ASSERT_EQ(b.attach(k3, 50), 50);
    EXPECT_EQ(t.slot(k3), oldSlot);
    ASSERT_EQ(b.attach(k1, 200), 200);
    b.poke(b.retrieve(k1), 0, 0x33);

    // a still holds its old mapping of k1; its next attach must follow the
    // new entry, not the slot where it last saw the key.
    EXPECT_EQ(a.attach(k1, 100), 200);
    EXPECT_EQ(a.peek(a.retrieve(k1), 0), 0x33);
    EXPECT_EQ(a.attach(k3, 10), 50);
    EXPECT_EQ(a.peek(a.retrieve(k2), 0), 0x02);

    // A removed attachment is gone from the lookups, and comes back new.
    EXPECT_EQ(a.remove(k2), 0);
    EXPECT_EQ(a.retrieve(k2), 0);
    EXPECT_EQ(a.attach(k2, 30), 30);
    EXPECT_EQ(a.peek(a.retrieve(k2), 0), 0);
    EXPECT_EQ(t.count(k1), 1);
    EXPECT_EQ(t.count(k2), 1);
    EXPECT_EQ(t.count(k3), 1);
}

// Rows 5 and 8: a slot with the key but no segment (a writer that died
// half-way) is completed, and stays the only slot of the key.
TEST(RegistryAttach, SlotWithoutSegmentIsCompleted) {
    RegistryPeer a;
    ASSERT_EQ(a.attach(K + 1, 8), 8);  // sets the registry up
    TableView t;
    t->entry[3] = KUSharedMemEntry{K, 0, 77};
    EXPECT_EQ(a.attach(K, 100), 100);
    ASSERT_EQ(t.count(K), 1);
    EXPECT_EQ(t.slot(K), 3);
    EXPECT_NE(t.find(K)->shmid, 0);
    EXPECT_EQ(t.find(K)->size, 100);
    auto p = a.retrieve(K);
    ASSERT_NE(p, 0);
    a.poke(p, 2, 0x42);

    const int id = t.find(K)->shmid;
    t.find(K)->shmid = 0;
    EXPECT_EQ(a.attach(K, 100), 100);
    EXPECT_EQ(t.count(K), 1);
    EXPECT_EQ(t.find(K)->shmid, id);
    auto p2 = a.retrieve(K);
    ASSERT_NE(p2, 0);
    EXPECT_EQ(a.peek(p2, 2), 0x42);
    EXPECT_EQ(segmentStat(id).shm_nattch, 1u);  // the old mapping was undone
}

// A creation that fails is not recorded (rows 3 and 2), and a node left
// without a segment takes the registered size when the key exists (row 10).
TEST(RegistryAttach, FailedCreationIsNotRecorded) {
    RegistryPeer a, b;
    ASSERT_EQ(a.attach(K, 100), 100);
    ASSERT_EQ(b.remove(K), 0);
    // A segment of the key made outside the registry, too small for 100.
    int foreign = shmget(K, 10, IPC_CREAT | 0600);
    ASSERT_NE(foreign, -1);
    EXPECT_EQ(a.attach(K, 100), -1);
    EXPECT_EQ(a.retrieve(K), 0);
    TableView t;
    EXPECT_EQ(t.count(K), 0);
    ASSERT_EQ(shmctl(foreign, IPC_RMID, nullptr), 0);

    EXPECT_EQ(a.attach(K, 100), 100);
    ASSERT_NE(a.retrieve(K), 0);
    ASSERT_EQ(t.count(K), 1);

    // Again without a segment, then b registers the key at 60.
    ASSERT_EQ(b.remove(K), 0);
    foreign = shmget(K, 10, IPC_CREAT | 0600);
    ASSERT_EQ(a.attach(K, 100), -1);
    ASSERT_EQ(shmctl(foreign, IPC_RMID, nullptr), 0);
    ASSERT_EQ(b.attach(K, 60), 60);
    EXPECT_EQ(a.attach(K, 100), 60);
    auto pa = a.retrieve(K);
    ASSERT_NE(pa, 0);  // recorded at the registered size
    b.poke(b.retrieve(K), 59, 0x9E);
    EXPECT_EQ(a.peek(pa, 59), 0x9E);
    EXPECT_EQ(t.count(K), 1);
}

TEST(RegistryTable, FullTableStillMapsButRegistersNothingUntilASlotFrees) {
    RegistryPeer a, b;
    for (int i = 0; i < 256; ++i) ASSERT_EQ(a.attach(1000 + i, 16), 16) << i;
    TableView t;
    for (int i = 0; i < 256; ++i) ASSERT_EQ(t->entry[i].key, 1000 + i);
    // The 257th key: created and mapped, but not registered.
    EXPECT_EQ(a.attach(5000, 16), 16);
    EXPECT_EQ(a.retrieve(5000), 0);
    EXPECT_EQ(t.count(5000), 0);
    EXPECT_NE(shmget(5000, 0, 0), -1);

    EXPECT_EQ(b.remove(1100), 0);
    EXPECT_EQ(t->entry[100].key, 0);
    EXPECT_EQ(a.attach(5000, 16), 16);
    EXPECT_NE(a.retrieve(5000), 0);
    EXPECT_EQ(t.slot(5000), 100);  // the freed slot, the lowest free one
    EXPECT_EQ(t.count(5000), 1);
    for (int i = 0; i < 256; ++i)
        if (i != 100) {
            EXPECT_EQ(t->entry[i].key, 1000 + i);
        }
}

TEST(RegistryRace, ProcessesAttachingANewKeyTogetherShareOneEntry) {
    constexpr int n = 4;
    for (int round = 0; round < 10; ++round) {
        const int key = 6000 + round;
        auto outcomes = run_together(
            n,
            [&](int i) {
                CHILD_CHECK(KUSharedMemAttach(key, 64) == 64);
                auto* p = static_cast<unsigned char*>(KUSharedMemRetrieveMemory(key));
                CHILD_CHECK(p != nullptr);
                p[i] = static_cast<unsigned char>(i + 1);
                return 0;
            },
            // Set up beforehand, so that only the new key's attach races.
            [](int i) { return KUSharedMemAttach(K + i, 8) == 8 ? 0 : 1; });
        for (auto& o : outcomes) ASSERT_CHILD_OK(o);
        TableView t;
        ASSERT_EQ(t.count(key), 1) << "round " << round;
        void* seg = shmat(t.find(key)->shmid, nullptr, SHM_RDONLY);
        ASSERT_NE(seg, reinterpret_cast<void*>(-1));
        for (int i = 0; i < n; ++i) EXPECT_EQ(static_cast<unsigned char*>(seg)[i], i + 1) << "round " << round;
        shmdt(seg);
    }
}

TEST(RegistryRace, ThreadsOfOneProcessKeepOneAttachmentPerKey) {
    ASSERT_CHILD_OK(run_child([] {
        CHILD_CHECK(KUSharedMemAttach(K + 100, 8) == 8);  // set up beforehand
        constexpr int n = 8;
        std::latch start(n);
        std::atomic<int> bad{0};
        std::vector<std::thread> th;
        for (int i = 0; i < n; ++i)
            th.emplace_back([&, i] {
                start.arrive_and_wait();
                for (int r = 0; r < 50; ++r) {
                    if (KUSharedMemAttach(K, 128) != 128 || !KUSharedMemRetrieveMemory(K)) bad.fetch_add(1);
                    int own = K + 1 + i;  // each thread's own key comes and goes
                    if (KUSharedMemAttach(own, 32) != 32 || !KUSharedMemRetrieveMemory(own)) bad.fetch_add(1);
                    KUSharedMemRemove(own);
                    if (KUSharedMemRetrieveMemory(own)) bad.fetch_add(1);
                }
            });
        for (auto& t : th) t.join();
        CHILD_CHECK(bad.load() == 0);
        TableView t;
        CHILD_CHECK(t.count(K) == 1);
        CHILD_CHECK(segmentStat(t.find(K)->shmid).shm_nattch == 1);
        for (int i = 0; i < n; ++i) CHILD_CHECK(t.count(K + 1 + i) == 0);
        return 0;
    }));
}

// Two processes attach a new key while a killed process holds the lock:
// both wait, neither is blocked for good, and the second to get the lock
// finds the first one's entry instead of adding its own.
TEST(RegistryRace, KilledLockHolderDoesNotBlockTheOthers) {
    RegistryPeer a, b;
    ASSERT_EQ(a.attach(K, 8), 8);  // table and semaphore exist
    ASSERT_EQ(b.attach(K, 8), 8);
    int sem = semget(KU_SHARED_MEM_SEM_KEY, 1, 0);
    ASSERT_NE(sem, -1);
    Child holder = hold_sem_lock(sem);
    semun arg{};
    EXPECT_EQ(semctl(sem, 0, GETVAL, arg), 1);

    a.post(kAttach, K + 1, 8);
    b.post(kAttach, K + 1, 8);
    while (semctl(sem, 0, GETZCNT, arg) < 2) usleep(1000);
    TableView t;
    EXPECT_EQ(t.count(K + 1), 0);

    holder.kill(SIGKILL);
    EXPECT_FALSE(holder.wait().exited);
    EXPECT_EQ(a.result(), 8);
    EXPECT_EQ(b.result(), 8);
    EXPECT_EQ(t.count(K + 1), 1);
    EXPECT_EQ(semctl(sem, 0, GETVAL, arg), 0);
    auto pa = a.retrieve(K + 1), pb = b.retrieve(K + 1);
    ASSERT_NE(pa, 0);
    ASSERT_NE(pb, 0);
    a.poke(pa, 3, 0x6B);
    EXPECT_EQ(b.peek(pb, 3), 0x6B);
    EXPECT_EQ(a.remove(K + 1), 0);
    EXPECT_EQ(t.count(K + 1), 0);
}
