// Registry clients as separate processes, and the system-wide table seen from
// the test process itself (which never calls the library there).
#pragma once
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>

#include "harness/peer.h"
#include "mfpsys/registry.h"

namespace mfpsys::test {

// Poke and peek use an address retrieve gave earlier: it outlives the handing out.
class RegistryPeer : public Peer {
    enum { kAttach = 1, kRetrieve, kRemove, kPoke, kPeek };
    static std::int64_t op(int code, std::int64_t a, std::int64_t b) {
        auto* p = reinterpret_cast<unsigned char*>(static_cast<std::intptr_t>(a));
        const int k = static_cast<int>(a);
        switch (code) {
        case kAttach: return KUSharedMemAttach(k, static_cast<int>(b));
        case kRetrieve: return reinterpret_cast<std::intptr_t>(KUSharedMemRetrieveMemory(k));
        case kRemove: return KUSharedMemRemove(k);
        case kPoke:
            p[b & 0xFFFF] = static_cast<unsigned char>(b >> 16);
            return 0;
        default: return p[b];
        }
    }
public:
    RegistryPeer() : Peer(op) {}
    int attach(int key, int size) { return static_cast<int>(call(kAttach, key, size)); }
    std::int64_t retrieve(int key) { return call(kRetrieve, key); }
    int remove(int key) { return static_cast<int>(call(kRemove, key)); }
    void poke(std::int64_t addr, int off, unsigned char v) { call(kPoke, addr, off | v << 16); }
    int peek(std::int64_t addr, int off) { return static_cast<int>(call(kPeek, addr, off)); }
};

// The table as another process sees it; exists() false when there is none.
class TableView {
public:
    explicit TableView(key_t key = KU_SHARED_MEM_TABLE_KEY) : id_(shmget(key, 0, 0)) {
        void* a = id_ == -1 ? reinterpret_cast<void*>(-1) : shmat(id_, nullptr, 0);
        if (a != reinterpret_cast<void*>(-1)) t_ = static_cast<KUSharedMemTable*>(a);
    }
    ~TableView() { if (t_) shmdt(t_); }
    TableView(const TableView&) = delete;
    bool exists() const { return t_ != nullptr; }
    KUSharedMemTable* operator->() const { return t_; }
    int id() const { return id_; }
    int count(int key) const {
        int n = 0;
        for (auto& e : t_->entry) n += e.key == key;
        return n;
    }
    int slot(int key) const {  // first slot of the key, -1 if none
        for (int i = 0; i < KU_SHARED_MEM_SLOTS; ++i) if (t_->entry[i].key == key) return i;
        return -1;
    }
    KUSharedMemEntry* find(int key) const { return slot(key) < 0 ? nullptr : &t_->entry[slot(key)]; }
private:
    int id_;
    KUSharedMemTable* t_ = nullptr;
};

inline bool segmentExists(int shmid, shmid_ds* ds = nullptr) {
    shmid_ds own{};
    return shmctl(shmid, IPC_STAT, ds ? ds : &own) == 0;
}
inline shmid_ds segmentStat(int shmid) {
    shmid_ds ds{};
    segmentExists(shmid, &ds);
    return ds;
}
inline std::int64_t segmentSize(int shmid) { return static_cast<std::int64_t>(segmentStat(shmid).shm_segsz); }
inline std::int64_t segmentUsers(int shmid) { return static_cast<std::int64_t>(segmentStat(shmid).shm_nattch); }

}  // namespace mfpsys::test
