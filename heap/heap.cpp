// Stand-in for the board's in-house heap: one System V segment that every
// process maps, so a block allocated by one process is usable by every other
// process, also after the allocating process has ended.
//
// Layout of the segment: a 64-byte header, then a chain of blocks that covers
// the rest of the segment exactly. Each block starts with an 8-byte header:
// one word holding the block size (a multiple of 8, header included) with the
// low bit set while the block is in use, and one word with the pid of the
// process that allocated it (diagnostics only). Payloads are 8-aligned.
//
// Every change to the chain is a single aligned 32-bit store that leaves the
// chain intact, so a process killed in the middle of an operation can leave
// at most the usage counters behind the chain. Those counters are repaired by
// the next lock holder, which learns of the dead holder from the owner-pid
// word in the header (the kernel releases the semaphore itself: SEM_UNDO).
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>

#include "heap/heap_ref.h"
#include "port/sysv_lock.h"
#include "port/tarnix.h"

namespace {

constexpr key_t kHeapShmKey = 0x4D504801;
constexpr key_t kHeapSemKey = 0x4D504801;
constexpr std::uint32_t kHeapBytes = 2u * 1024u * 1024u;
// Built as the board build's test allocator, every process maps the segment
// at this one address, as the board's library guarantees for its blocks;
// otherwise wherever its kernel puts it.
#ifdef MFPHEAP_MAP_ADDRESS
void* const kMapAddress = reinterpret_cast<void*>(std::uintptr_t{MFPHEAP_MAP_ADDRESS});
#else
void* const kMapAddress = nullptr;
#endif

// Whether nothing of this process lies in [at, at + size), from its map.
bool range_free(std::uintptr_t at, std::uintptr_t size) {
    std::FILE* f = std::fopen("/proc/self/maps", "re");
    if (!f) return false;
    bool free = true;
    unsigned long lo, hi;
    char line[512];
    while (free && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "%lx-%lx", &lo, &hi) == 2 && lo < at + size && at < hi) free = false;
    std::fclose(f);
    return free;
}

// A segment at the fixed address. qemu-user reserves the whole guest address
// space, so a plain attach there fails; the attach may then take over the
// reservation, but only where this process's map shows nothing else.
void* attach(int shmid) {
    void* addr = shmat(shmid, kMapAddress, 0);
    if (addr != reinterpret_cast<void*>(-1) || kMapAddress == nullptr || errno != EINVAL) return addr;
    if (!range_free(reinterpret_cast<std::uintptr_t>(kMapAddress), kHeapBytes)) return addr;
    return shmat(shmid, kMapAddress, SHM_REMAP);
}
constexpr std::uint32_t kMagic = 0x4D484550;  // "MHEP": header initialised
constexpr std::uint32_t kArenaStart = 64;
constexpr std::uint32_t kBlockHeader = 8;
constexpr std::uint32_t kMinBlock = 16;
constexpr std::uint32_t kUsed = 1;
constexpr std::uint32_t kSizeMask = ~std::uint32_t{7};

struct HeapHeader {
    std::uint32_t magic;        // written last by the initialiser
    std::uint32_t heap_bytes;   // segment size the chain was laid out for
    std::uint32_t owner_pid;    // pid of the lock holder while it changes the heap
    std::uint32_t used_blocks;  // counters, recomputed after a dead holder
    std::uint32_t used_bytes;
    std::uint32_t repairs;      // dead holders found so far
    std::uint32_t broken;       // chain found damaged: the heap refuses all work
    std::uint32_t reserved[9];
};
static_assert(sizeof(HeapHeader) == kArenaStart);

std::mutex g_mutex;                       // threads of this process
std::atomic<std::byte*> g_base{nullptr};  // this process's mapping
int g_semid = -1;

HeapHeader* header(std::byte* base) { return reinterpret_cast<HeapHeader*>(base); }

// The pid, asked of the kernel once per process: getpid is a system call and
// every heap operation needs the pid. It changes only in the child of a fork,
// where the handler forgets it. Read and written under g_mutex (the child of
// a fork has one thread).
pid_t g_pid = 0;
std::uint32_t self_pid() {
    if (g_pid == 0) g_pid = getpid();
    return static_cast<std::uint32_t>(g_pid);
}

// A fork waits until no other thread is inside a heap call, so the child
// never inherits the mutex held by a thread it does not have. Registered
// while the library loads: registering later, under g_mutex, could meet a
// fork that is already waiting for g_mutex.
void before_fork() { g_mutex.lock(); }
void after_fork_parent() { g_mutex.unlock(); }
void after_fork_child() {
    g_pid = 0;
    g_mutex.unlock();
}
[[maybe_unused]] const int g_fork_handlers = pthread_atfork(before_fork, after_fork_parent, after_fork_child);

// Block words are read and written as whole aligned words: a process that
// dies between two stores leaves each word either old or new.
std::uint32_t load(std::byte* base, std::uint32_t off) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + off))
        .load(std::memory_order_relaxed);
}
void store(std::byte* base, std::uint32_t off, std::uint32_t v) {
    std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + off))
        .store(v, std::memory_order_relaxed);
}

bool sane(std::uint32_t off, std::uint32_t size) {
    return size >= kMinBlock && size % 8 == 0 && size <= kHeapBytes - off;
}

// Maps the heap in this process; called with g_mutex held.
std::byte* map_locked() {
    if (auto* b = g_base.load(std::memory_order_acquire)) return b;
    int shmid = shmget(kHeapShmKey, kHeapBytes, IPC_CREAT | 0666);
    if (shmid == -1) return nullptr;
    int semid = mfpsys::port::sysvLockOpen(kHeapSemKey);
    if (semid == -1) return nullptr;
    void* addr = attach(shmid);
    if (addr == reinterpret_cast<void*>(-1)) return nullptr;
    g_semid = semid;
    auto* b = static_cast<std::byte*>(addr);
    g_base.store(b, std::memory_order_release);
    return b;
}

std::byte* mapped_base() {
    if (auto* b = g_base.load(std::memory_order_acquire)) return b;
    std::lock_guard lk(g_mutex);
    return map_locked();
}

void initialise(std::byte* base) {
    HeapHeader* h = header(base);
    h->heap_bytes = kHeapBytes;
    h->used_blocks = 0;
    h->used_bytes = 0;
    h->repairs = 0;
    h->broken = 0;
    store(base, kArenaStart, kHeapBytes - kArenaStart);
    store(base, kArenaStart + 4, 0);
    h->magic = kMagic;
}

// Joins the free blocks that follow the free block at off (size bytes) into
// it, each join one whole-word store; returns the block's size afterwards.
std::uint32_t mergeFreeRun(std::byte* base, std::uint32_t off, std::uint32_t size) {
    for (std::uint32_t next = off + size; next < kHeapBytes; next = off + size) {
        std::uint32_t nw = load(base, next);
        std::uint32_t nsize = nw & kSizeMask;
        if ((nw & kUsed) || !sane(next, nsize)) break;
        size += nsize;
        store(base, off, size);
    }
    return size;
}

// Merges runs of free blocks and recomputes the counters from the chain.
void repair(std::byte* base) {
    HeapHeader* h = header(base);
    std::uint32_t blocks = 0, bytes = 0;
    std::uint32_t off = kArenaStart;
    while (off < kHeapBytes) {
        std::uint32_t w = load(base, off);
        std::uint32_t size = w & kSizeMask;
        if (!sane(off, size)) {
            h->broken = 1;
            return;
        }
        if (w & kUsed) {
            ++blocks;
            bytes += size;
        } else {
            size = mergeFreeRun(base, off, size);
        }
        off += size;
    }
    h->used_blocks = blocks;
    h->used_bytes = bytes;
    h->repairs += 1;
}

// The process mutex and the system-wide semaphore, in that order.
class HeapLock {
public:
    HeapLock() : lk_(g_mutex) {
        base_ = map_locked();
        if (!base_) return;
        HeapHeader* h = header(base_);
        sem_.emplace(g_semid, h->owner_pid, self_pid());
        if (!sem_->held()) {
            base_ = nullptr;
            return;
        }
        if (h->magic != kMagic || h->heap_bytes != kHeapBytes) {
            // Fresh segment, or an initialiser that died before finishing:
            // no block can have been handed out yet.
            initialise(base_);
        } else if (sem_->ownerDied()) {
            repair(base_);
        }
        if (h->broken) {
            sem_->release();
            base_ = nullptr;
        }
    }
    HeapLock(const HeapLock&) = delete;
    HeapLock& operator=(const HeapLock&) = delete;
    std::byte* base() const { return base_; }

private:
    std::lock_guard<std::mutex> lk_;
    std::optional<mfpsys::port::SysvLock> sem_;
    std::byte* base_ = nullptr;
};

void* allocate(std::size_t n) {
    if (n > kHeapBytes) return nullptr;
    std::uint32_t need = (static_cast<std::uint32_t>(n) + kBlockHeader + 7) & kSizeMask;
    if (need < kMinBlock) need = kMinBlock;
    HeapLock lock;
    std::byte* base = lock.base();
    if (!base) return nullptr;
    HeapHeader* h = header(base);
    std::uint32_t off = kArenaStart;
    while (off < kHeapBytes) {
        std::uint32_t w = load(base, off);
        std::uint32_t size = w & kSizeMask;
        if (!sane(off, size)) return nullptr;
        if (!(w & kUsed)) {
            // Free neighbours are merged when an allocation walks over them,
            // never at release.
            size = mergeFreeRun(base, off, size);
            if (size >= need) {
                std::uint32_t take = size;
                if (size - need >= kMinBlock) {
                    // The remainder's header is unreachable until the block's
                    // own header shrinks, so either order of death is safe.
                    store(base, off + need, size - need);
                    take = need;
                }
                store(base, off + 4, self_pid());
                store(base, off, take | kUsed);
                h->used_blocks += 1;
                h->used_bytes += take;
                return base + off + kBlockHeader;
            }
        }
        off += size;
    }
    return nullptr;
}

int release_block(void* block) {
    if (!block) return -1;
    std::byte* base = mapped_base();
    if (!base) return -1;
    auto p = reinterpret_cast<std::uintptr_t>(block);
    auto b = reinterpret_cast<std::uintptr_t>(base);
    if (p < b + kArenaStart + kBlockHeader || p >= b + kHeapBytes || (p - b) % 8 != 0) return -1;
    const auto target = static_cast<std::uint32_t>(p - b) - kBlockHeader;
    HeapLock lock;
    if (!lock.base()) return -1;
    HeapHeader* h = header(base);
    // Only a block start in use is accepted: an interior address, a free
    // block or a second release of the same block changes nothing.
    std::uint32_t off = kArenaStart;
    while (off < target) {
        std::uint32_t size = load(base, off) & kSizeMask;
        if (!sane(off, size)) return -1;
        off += size;
    }
    if (off != target) return -1;
    std::uint32_t w = load(base, off);
    if (!(w & kUsed)) return -1;
    std::uint32_t size = w & kSizeMask;
    store(base, off, size);
    h->used_blocks -= 1;
    h->used_bytes -= size;
    return 0;
}

}  // namespace

extern "C" void* tarnixSubAllocMem(size_t size) { return allocate(size); }

extern "C" int tarnixOrgFreeMemPart(int /*partition*/, void* block) { return release_block(block); }

namespace mfpheap {

Ref heap_ref(const void* block) noexcept {
    std::byte* base = g_base.load(std::memory_order_acquire);
    if (!base || !block) return kNoRef;
    auto p = reinterpret_cast<std::uintptr_t>(block);
    auto b = reinterpret_cast<std::uintptr_t>(base);
    if (p < b + kArenaStart + kBlockHeader || p >= b + kHeapBytes) return kNoRef;
    return static_cast<Ref>(p - b);
}

void* heap_ptr(Ref ref) noexcept {
    if (ref < kArenaStart + kBlockHeader || ref >= kHeapBytes) return nullptr;
    std::byte* base = mapped_base();
    return base ? base + ref : nullptr;
}

HeapCheck heap_check() noexcept {
    HeapCheck c;
    HeapLock lock;
    std::byte* base = lock.base();
    if (!base) return c;
    c.mapped = true;
    c.capacity = kHeapBytes - kArenaStart;
    std::uint32_t off = kArenaStart, run = 0;
    bool intact = true;
    while (off < kHeapBytes) {
        std::uint32_t w = load(base, off);
        std::uint32_t size = w & kSizeMask;
        if (!sane(off, size)) {
            intact = false;
            break;
        }
        if (w & kUsed) {
            ++c.used_blocks;
            c.used_bytes += size;
            run = 0;
        } else {
            c.free_bytes += size;
            run += size;
            if (run - kBlockHeader > c.largest_free) c.largest_free = run - kBlockHeader;
        }
        off += size;
    }
    const HeapHeader* h = header(base);
    c.repairs = h->repairs;
    c.consistent = intact && off == kHeapBytes && c.used_blocks == h->used_blocks &&
                   c.used_bytes == h->used_bytes && c.used_bytes + c.free_bytes == c.capacity;
    return c;
}

}  // namespace mfpheap
