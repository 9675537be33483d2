// The shared-memory registry: a system-wide table of keyed segments guarded by
// a System V semaphore, and this process's list of its own attachments guarded
// by a process-local mutex. Lock order everywhere: mutex, then semaphore.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <mutex>
#include <new>

#include "port/fork_guard.h"
#include "port/sysv_lock.h"
#include "shm/registry_internal.h"

namespace {

constexpr int kCreateFlags = IPC_CREAT | 0666;
constexpr std::int32_t kTableSize = KU_SHARED_MEM_SLOTS * 12 + 36;

struct Registry {
    std::int32_t tableKey = KU_SHARED_MEM_TABLE_KEY;
    std::int32_t semKey = KU_SHARED_MEM_SEM_KEY;
    int tableId = 0;
    std::int32_t tableSize = 0;
    // Set last by a set-up that obtained everything: non-null means ready,
    // and then semId is a semaphore that set-up really obtained.
    std::atomic<KUSharedMemTable*> table{nullptr};
    int semId = 0;
    // Set-up has a mutex of its own, so that a retry after a failed attempt
    // never touches the registry mutex another thread may hold.
    std::mutex setup;
    std::mutex mutex;
};

Registry g;
[[maybe_unused]] const bool g_forkSafe =
    mfpsys::port::guardAcrossFork(g.mutex, mfpsys::port::LockRank::registry) &&
    mfpsys::port::guardAcrossFork(g.setup, mfpsys::port::LockRank::registrySetup);
KUSharedMemNode g_head{0, 0, 0, nullptr, 0, &g_head, &g_head};

// A lookup by key tries first where the key was last found, so that a process
// with many keys does not walk the table and the list for each. Hints are
// direct-mapped by key (a run of consecutive keys never collides); a hint is
// only a guess, confirmed by the key stored where it points, and a miss falls
// back to the walk.
constexpr std::size_t kHints = 512;
std::size_t hintOf(std::int32_t key) { return static_cast<std::uint32_t>(key) % kHints; }
// Slot index + 1; 0: no hint. Read and written under the registry mutex.
std::uint16_t g_slotHint[kHints] = {};
// Cleared before a node is released, so it never points at freed memory.
KUSharedMemNode* g_nodeHint[kHints] = {};

KUSharedMemTable* readyTable() { return g.table.load(std::memory_order_acquire); }

// The registry lock; only taken with a ready registry, so the semaphore id
// is a real one.
using RegistryLock = mfpsys::port::SysvLock;

// Records live in this process's own memory, not in the heap every process
// shares: nothing outside the process reads them, a fork gives the child a
// list of its own, and they end with the process.
KUSharedMemNode* allocNode() { return new (std::nothrow) KUSharedMemNode{}; }

void linkNode(KUSharedMemNode* n, std::int32_t key, std::int32_t shmid, std::int32_t size, void* address) {
    n->key = key;
    n->shmid = shmid;
    n->size = size;
    n->address = address;
    n->detached = 0;
    n->next = &g_head;
    n->prev = g_head.prev;
    g_head.prev->next = n;
    g_head.prev = n;
    g_nodeHint[hintOf(key)] = n;
}

// The cases of an attach, one per row of the attach table in
// docs/registry.md and numbered as its rows: what the call finds in the
// table for the key, and in this process's list (no node, a node without a
// segment, one with a segment that is not mapped, or mapped).
enum class AttachCase {
    // No entry for the key.
    NoEntryNoNode = 1,
    NoEntryNodeWithoutSegment,
    NoEntryNodeMapped,
    NoEntryNodeNotMapped,
    // A bare entry: the key without a segment (its writer died between its
    // stores).
    BareEntryNoNode,
    BareEntryNodeWithoutSegment,
    BareEntryNodeNotMapped,
    BareEntryNodeMapped,
    // An entry with a segment.
    EntryNoNode,
    EntryNodeWithoutSegment,
    EntryNodeNotMapped,
    // Mapped at another size than the entry's, or mapping another segment:
    // a stale mapping of a removed segment whose key was registered again.
    EntryNodeMappedOtherwise,
    EntryNodeMappedAsRegistered,
};

enum class EntryFound { None, WithoutSegment, WithSegment };
enum class NodeFound { None, WithoutSegment, NotMapped, Mapped };

EntryFound entryFound(const KUSharedMemEntry* e) {
    if (!e) return EntryFound::None;
    return e->shmid != 0 ? EntryFound::WithSegment : EntryFound::WithoutSegment;
}

NodeFound nodeFound(const KUSharedMemNode* n) {
    if (!n) return NodeFound::None;
    if (n->shmid == 0) return NodeFound::WithoutSegment;
    return n->address ? NodeFound::Mapped : NodeFound::NotMapped;
}

// The case of each pair of findings; a node mapped beside a registered
// segment is told apart below, by what it maps.
constexpr AttachCase kCaseOf[3][4] = {
    // no node, node without a segment, node not mapped, node mapped
    {AttachCase::NoEntryNoNode, AttachCase::NoEntryNodeWithoutSegment, AttachCase::NoEntryNodeNotMapped,
     AttachCase::NoEntryNodeMapped},
    {AttachCase::BareEntryNoNode, AttachCase::BareEntryNodeWithoutSegment, AttachCase::BareEntryNodeNotMapped,
     AttachCase::BareEntryNodeMapped},
    {AttachCase::EntryNoNode, AttachCase::EntryNodeWithoutSegment, AttachCase::EntryNodeNotMapped,
     AttachCase::EntryNodeMappedOtherwise},
};

AttachCase caseOf(EntryFound entry, NodeFound node) {
    return kCaseOf[static_cast<int>(entry)][static_cast<int>(node)];
}

AttachCase classifyAttach(const KUSharedMemEntry* e, const KUSharedMemNode* n) {
    AttachCase c = caseOf(entryFound(e), nodeFound(n));
    if (c == AttachCase::EntryNodeMappedOtherwise && n->size == e->size && n->shmid == e->shmid)
        c = AttachCase::EntryNodeMappedAsRegistered;
    return c;
}

// Which segment a case maps: a new one from shmget (then registered under
// the key: inserted, or set where an entry stands), the registered one (its
// entry rewritten with its own values), or none (the table left alone).
enum class Segment { New, Registered, None };

// What each case does, one line per row.
struct AttachPlan {
    AttachCase row;
    bool unmapFirst;  // the node's old mapping is undone before anything else
    Segment map;
};
constexpr AttachPlan kAttachPlan[] = {
    // case                                  unmap first  segment mapped
    {AttachCase::NoEntryNoNode,               false,       Segment::New},
    {AttachCase::NoEntryNodeWithoutSegment,   false,       Segment::New},
    {AttachCase::NoEntryNodeMapped,           true,        Segment::New},
    {AttachCase::NoEntryNodeNotMapped,        false,       Segment::New},
    {AttachCase::BareEntryNoNode,             false,       Segment::New},
    {AttachCase::BareEntryNodeWithoutSegment, false,       Segment::New},
    {AttachCase::BareEntryNodeNotMapped,      false,       Segment::New},
    {AttachCase::BareEntryNodeMapped,         true,        Segment::New},
    {AttachCase::EntryNoNode,                 false,       Segment::Registered},
    {AttachCase::EntryNodeWithoutSegment,     false,       Segment::Registered},
    {AttachCase::EntryNodeNotMapped,          false,       Segment::Registered},
    {AttachCase::EntryNodeMappedOtherwise,    true,        Segment::Registered},
    {AttachCase::EntryNodeMappedAsRegistered, false,       Segment::None},
};
constexpr bool plansInRowOrder() {
    for (std::size_t i = 0; i < std::size(kAttachPlan); ++i)
        if (static_cast<std::size_t>(kAttachPlan[i].row) != i + 1) return false;
    return true;
}
static_assert(plansInRowOrder(), "one plan per case, in row order");

const AttachPlan& planOf(AttachCase c) { return kAttachPlan[static_cast<int>(c) - 1]; }

void* const kNotMapped = reinterpret_cast<void*>(-1);

struct Mapping {
    int id;
    void* address;  // kNotMapped when the id or the mapping failed
};

Mapping mapSegment(Segment which, std::int32_t key, std::int32_t size, std::int32_t registeredId) {
    int id = which == Segment::Registered ? registeredId : shmget(key, static_cast<size_t>(size), kCreateFlags);
    return {id, id == -1 ? kNotMapped : shmat(id, nullptr, 0)};
}

// Enters the key's segment in the table under the registry lock; returns the
// size that stands for the key. Searched again under the lock: a process
// that raced us to a new key may have registered it meanwhile, and one key
// keeps one entry.
std::int32_t registerSegment(std::int32_t key, Segment mapped, std::int32_t foundId, std::int32_t foundSize,
                             std::int32_t id, std::int32_t size) {
    RegistryLock lock(g.semId);
    KUSharedMemEntry* now = KUSharedMemTableFind(key);
    if (mapped == Segment::Registered) {
        if (now && now->shmid == foundId) {
            now->size = foundSize;
            now->shmid = foundId;
        }
        return foundSize;
    }
    // Same segment registered by the racer first: its size stands.
    if (now && now->shmid == id) return now->size;
    if (now) {
        now->size = size;
        now->shmid = id;
    } else {
        KUSharedMemTableInsert(key, id, size);
    }
    return size;
}

}  // namespace

void KUSharedMemSetup() {
    if (readyTable()) return;
    std::lock_guard lk(g.setup);
    if (readyTable()) return;
    g.tableSize = kTableSize;
    int id = shmget(g.tableKey, static_cast<size_t>(g.tableSize), kCreateFlags);
    if (id == -1) return;
    void* addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) return;
    // Permission bits let unprivileged clients take the lock as well. A peer
    // may have created the semaphore without them (mode 0); an unprivileged
    // process is refused the request with bits and opens it as the peer does.
    int sem = mfpsys::port::sysvLockOpen(g.semKey, mfpsys::port::SemOpen::AcceptModeZero);
    if (sem == -1) {
        // Without the lock the table could not be changed safely: stay not
        // ready, and let the next call try again.
        shmdt(addr);
        return;
    }
    g.tableId = id;
    g.semId = sem;
    auto* t = static_cast<KUSharedMemTable*>(addr);
    t->reserved4 = 0;
    t->count = KU_SHARED_MEM_SLOTS;
    t->reserved12 = 0;
    t->reserved16 = 0;
    t->next = 0;
    g.table.store(t, std::memory_order_release);
}

// The continuation link is a 32-bit word that no process sets, and it could
// not hold a pointer on a 64-bit build: the registry is this one table.
KUSharedMemEntry* KUSharedMemTableFind(std::int32_t key) {
    KUSharedMemTable* t = readyTable();
    if (!t) return nullptr;
    // Key 0 asks for the first free slot, which only the walk can tell.
    std::uint16_t& hint = g_slotHint[hintOf(key)];
    if (key != 0 && hint != 0 && t->entry[hint - 1].key == key) return &t->entry[hint - 1];
    for (auto& e : t->entry) {
        if (e.key == key) {
            if (key != 0) hint = static_cast<std::uint16_t>(&e - t->entry + 1);
            return &e;
        }
    }
    return nullptr;
}

int KUSharedMemTableInsert(std::int32_t key, std::int32_t shmid, std::int32_t size) {
    KUSharedMemEntry* e = KUSharedMemTableFind(0);
    if (!e) return 0;
    // A writer that dies between these stores leaves a slot with the key but
    // no segment, which the next attach of the key completes.
    e->size = size;
    e->key = key;
    e->shmid = shmid;
    return 1;
}

int KUSharedMemTableErase(std::int32_t key) {
    KUSharedMemEntry* e = KUSharedMemTableFind(key);
    if (!e) return 0;
    if (e->shmid != 0) shmctl(e->shmid, IPC_RMID, nullptr);
    e->shmid = 0;
    e->size = 0;
    e->key = 0;
    return 1;
}

KUSharedMemNode* KUSharedMemListFind(std::int32_t key) {
    KUSharedMemSetup();
    KUSharedMemNode*& hint = g_nodeHint[hintOf(key)];
    // The list holds at most one node per key, so a confirmed hint is the
    // node the walk would find.
    if (hint && hint->key == key) return hint;
    for (KUSharedMemNode* n = g_head.next; n != &g_head; n = n->next) {
        if (n->key == key) {
            hint = n;
            return n;
        }
    }
    return nullptr;
}

KUSharedMemNode* KUSharedMemListAdd(std::int32_t key, std::int32_t shmid, std::int32_t size, void* address) {
    KUSharedMemNode* n = allocNode();
    if (n) linkNode(n, key, shmid, size, address);
    return n;
}

void KUSharedMemListRemove(std::int32_t key) {
    KUSharedMemSetup();
    if (key == 0) return;
    KUSharedMemNode* n = KUSharedMemListFind(key);
    if (!n) return;
    n->prev->next = n->next;
    n->next->prev = n->prev;
    if (g_nodeHint[hintOf(key)] == n) g_nodeHint[hintOf(key)] = nullptr;
    if (n->address) shmdt(n->address);
    delete n;
}

extern "C" {

int KUSharedMemInit(int tableKey, int semKey) {
    {
        std::lock_guard lk(g.setup);
        if (readyTable()) return -1;
        if (tableKey > 0) g.tableKey = tableKey;
        if (semKey > 0) g.semKey = semKey;
    }
    KUSharedMemSetup();
    return 0;
}

int KUSharedMemAttach(int key, int size) {
    KUSharedMemSetup();
    if (key <= 0 || size <= 0) return -1;
    if (!readyTable()) return -1;
    std::lock_guard lk(g.mutex);

    KUSharedMemEntry* e = KUSharedMemTableFind(key);
    KUSharedMemNode* n = KUSharedMemListFind(key);
    const std::int32_t foundId = e ? e->shmid : 0;
    const std::int32_t foundSize = e ? e->size : 0;
    const AttachPlan* plan = &planOf(classifyAttach(e, n));
    if (plan->map == Segment::None) return foundSize;

    // A first attachment gets its node before anything changes, so that a
    // failed allocation leaves nothing behind.
    KUSharedMemNode* fresh = nullptr;
    if (!n && !(fresh = allocNode())) return -1;

    if (plan->unmapFirst) {
        shmdt(n->address);
        n->address = nullptr;
    }
    Mapping m = mapSegment(plan->map, key, size, foundId);
    if (m.address == kNotMapped && plan->map == Segment::Registered && (errno == EINVAL || errno == EIDRM)) {
        // The registered segment is gone: a remover died after destroying it
        // and before erasing its entry. The key is then an entry without a
        // segment, as the node now stands: a new one is created and put in
        // place of the dead id.
        plan = &planOf(caseOf(EntryFound::WithoutSegment, nodeFound(n)));
        m = mapSegment(plan->map, key, size, foundId);
    }
    if (m.address == kNotMapped) {
        // Neither a failed id nor a failed address is ever recorded.
        delete fresh;
        if (n) {
            n->shmid = 0;
            n->address = nullptr;
        }
        return -1;
    }
    // A new node records the requested size, an existing one the size that
    // stands for the key.
    if (fresh) linkNode(fresh, key, m.id, size, m.address);
    const std::int32_t stands = registerSegment(key, plan->map, foundId, foundSize, m.id, size);
    if (!fresh) {
        n->address = m.address;
        n->detached = 0;
        n->shmid = m.id;
        n->size = stands;
    }
    return stands;
}

void* KUSharedMemRetrieveMemory(int key) {
    KUSharedMemSetup();
    std::lock_guard lk(g.mutex);
    KUSharedMemNode* n = KUSharedMemListFind(key);
    KUSharedMemEntry* e = KUSharedMemTableFind(key);
    // A mapping of a segment other than the registered one belongs to a
    // removed segment: handing it out would split the key's users silently.
    if (n && e && n->size <= e->size && n->shmid == e->shmid) return n->address;
    return nullptr;
}

int KUSharedMemDetach(int key) {
    KUSharedMemSetup();
    std::lock_guard lk(g.mutex);
    if (KUSharedMemNode* n = KUSharedMemListFind(key)) n->detached = 1;
    return 0;
}

int KUSharedMemRemove(int key) {
    KUSharedMemSetup();
    std::lock_guard lk(g.mutex);
    // Without set-up there is no semaphore to lock and nothing to remove;
    // key 0 would name the first free slot.
    if (!readyTable() || key == 0) return 0;
    RegistryLock lock(g.semId);
    KUSharedMemListRemove(key);
    KUSharedMemTableErase(key);
    return 0;
}

}  // extern "C"
