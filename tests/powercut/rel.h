// Recognisable block images, the block layout, raw views of the system objects the reliability tests compare.
#pragma once

#include <sys/sem.h>
#include <sys/shm.h>

#include <cstring>
#include <optional>
#include <vector>

#include "harness/proc.h"
#include "mfpsys/env.h"
#include "mfpsys/nv.h"
#include "mfpsys/registry.h"

namespace rel {

inline constexpr int kBlocks = 4;
inline constexpr int32_t kAddr[kBlocks] = {0x0000, 0x0400, 0x0800, 0x1000};
inline constexpr uint32_t kCap[kBlocks] = {0xFF00, 0xFF00, 0xFF00, 0x7F00};
inline constexpr key_t kKeySem = 0x4D504D01, kFirstUseSem = 0x4D504E01, kEnvSem = 0x4D504501, kHeapKey = 0x4D504801;

inline uint64_t mix(uint64_t x) {  // a salt from a number
    x = (x ^ (x >> 33)) * 0xFF51AFD7ED558CCDull;
    return x ^ (x >> 33);
}
// Image of block b in round r: its length varies with the round and every byte
// depends on block, round and position, so no two images share a prefix.
inline std::vector<uint8_t> image(int b, int r) {
    std::vector<uint8_t> v(96 + size_t((r * 53) % 400));
    for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(b * 67 + r * 29 + i * 13 + (i >> 7) + 1);
    return v;
}
inline std::vector<uint8_t> padded(int b, std::vector<uint8_t> v) {  // a whole block
    v.resize(_nvVrtlSec[b].capacity, 0xFF);
    return v;
}
inline int writeImage(int b, int r) {
    auto v = image(b, r);
    return nvWriteRetry(kAddr[b], uint32_t(v.size()), v.data());
}
inline int writeOnce(int b, int r) {  // one attempt: a lock still held by the dead is a failure
    auto v = image(b, r);
    return nvWrite(kAddr[b], uint32_t(v.size()), v.data()) == 0 ? 0 : 1;
}
inline bool macIs(const char* m, const char* text) { return m && m != ENV_MAC_READ_FAILED && !std::strcmp(m, text); }
inline std::optional<std::vector<uint8_t>> readBlock(int b) {
    std::vector<uint8_t> got(_nvVrtlSec[b].capacity);  // the tables in force
    return nvRead(kAddr[b], uint32_t(got.size()), got.data()) == 0 ? std::optional(got) : std::nullopt;
}
inline int lockValue(key_t key) {  // 0 free, 1 held, -1 never made
    int id = ::semget(key, 1, 0);
    return id < 0 ? -1 : ::semctl(id, 0, GETVAL, semun{});
}
inline std::vector<uint8_t> segmentBytes(key_t key) {  // empty when there is none
    shmid_ds ds{};
    int id = ::shmget(key, 0, 0);
    void* p = id < 0 || ::shmctl(id, IPC_STAT, &ds) != 0 ? nullptr : ::shmat(id, nullptr, SHM_RDONLY);
    if (p == nullptr || p == reinterpret_cast<void*>(-1)) return {};
    std::vector<uint8_t> v(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + ds.shm_segsz);
    ::shmdt(p);
    return v;
}
// Registry entries of key in the raw table (with cmd: those whose segment takes cmd).
inline int entries(int key, int cmd = -1) {
    auto t = segmentBytes(KU_SHARED_MEM_TABLE_KEY);
    int n = 0;
    if (shmid_ds ds{}; t.size() >= sizeof(KUSharedMemTable))
        for (const auto& e : reinterpret_cast<const KUSharedMemTable*>(t.data())->entry)
            n += e.key == key && (cmd < 0 || ::shmctl(e.shmid, cmd, &ds) == 0);
    return n;
}

}  // namespace rel
