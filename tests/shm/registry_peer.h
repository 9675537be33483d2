// Registry clients as separate processes, and a view of the system-wide table
// from the test process itself (which never calls the library there).
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>

#include "harness/peer.h"
#include "mfpsys/registry.h"

namespace mfpsys::test {

enum RegistryOp { kAttach = 1, kRetrieve, kDetach, kRemove, kInit, kPoke, kPeek };

// kPoke and kPeek act on a raw address that kRetrieve returned earlier, so a
// mapping stays reachable after the registry stops handing it out.
inline std::int64_t registryOp(int code, std::int64_t a, std::int64_t b) {
    switch (code) {
    case kAttach: return KUSharedMemAttach(static_cast<int>(a), static_cast<int>(b));
    case kRetrieve: return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(KUSharedMemRetrieveMemory(static_cast<int>(a))));
    case kDetach: return KUSharedMemDetach(static_cast<int>(a));
    case kRemove: return KUSharedMemRemove(static_cast<int>(a));
    case kInit: return KUSharedMemInit(static_cast<int>(a), static_cast<int>(b));
    case kPoke:
        reinterpret_cast<unsigned char*>(static_cast<std::intptr_t>(a))[b & 0xFFFFFFFF] =
            static_cast<unsigned char>(b >> 32);
        return 0;
    case kPeek: return reinterpret_cast<unsigned char*>(static_cast<std::intptr_t>(a))[b];
    default: return -99;
    }
}

inline std::int64_t pokeArg(std::int64_t offset, unsigned char value) {
    return (static_cast<std::int64_t>(value) << 32) | offset;
}

class RegistryPeer : public Peer {
public:
    RegistryPeer() : Peer(registryOp) {}
    int attach(int key, int size) { return static_cast<int>(call(kAttach, key, size)); }
    std::int64_t retrieve(int key) { return call(kRetrieve, key); }
    int detach(int key) { return static_cast<int>(call(kDetach, key)); }
    int remove(int key) { return static_cast<int>(call(kRemove, key)); }
    int init(int t, int s) { return static_cast<int>(call(kInit, t, s)); }
    void poke(std::int64_t addr, int off, unsigned char v) { call(kPoke, addr, pokeArg(off, v)); }
    int peek(std::int64_t addr, int off) { return static_cast<int>(call(kPeek, addr, off)); }
};

// The table as another process sees it; empty when it does not exist.
class TableView {
public:
    explicit TableView(key_t key = KU_SHARED_MEM_TABLE_KEY) {
        id_ = shmget(key, 0, 0);
        if (id_ == -1) return;
        void* a = shmat(id_, nullptr, 0);
        if (a != reinterpret_cast<void*>(-1)) t_ = static_cast<KUSharedMemTable*>(a);
    }
    ~TableView() {
        if (t_) shmdt(t_);
    }
    TableView(const TableView&) = delete;
    TableView& operator=(const TableView&) = delete;
    bool exists() const { return t_ != nullptr; }
    KUSharedMemTable* operator->() const { return t_; }
    int id() const { return id_; }
    int count(int key) const {
        int n = 0;
        for (auto& e : t_->entry) n += e.key == key;
        return n;
    }
    // First slot of the key, -1 if none.
    int slot(int key) const {
        for (int i = 0; i < KU_SHARED_MEM_SLOTS; ++i)
            if (t_->entry[i].key == key) return i;
        return -1;
    }
    KUSharedMemEntry* find(int key) const {
        int i = slot(key);
        return i < 0 ? nullptr : &t_->entry[i];
    }

private:
    int id_ = -1;
    KUSharedMemTable* t_ = nullptr;
};

inline bool segmentExists(int shmid) {
    shmid_ds ds{};
    return shmctl(shmid, IPC_STAT, &ds) == 0;
}

inline shmid_ds segmentStat(int shmid) {
    shmid_ds ds{};
    shmctl(shmid, IPC_STAT, &ds);
    return ds;
}

}  // namespace mfpsys::test
