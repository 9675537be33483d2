// What the reliability tests write and how they read it back: recognisable
// block images, the default block layout, and a reader of every block.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "mfpsys/nv.h"

namespace rel {

inline constexpr int kBlocks = 4;
inline constexpr int32_t kAddr[kBlocks] = {0x0000, 0x0400, 0x0800, 0x1000};
inline constexpr uint32_t kCap[kBlocks] = {0xFF00, 0xFF00, 0xFF00, 0x7F00};

// Image of block b in round r: its length varies with the round, every byte
// depends on block, round and position, so no two images share a prefix.
inline std::vector<uint8_t> image(int b, int r) {
    std::vector<uint8_t> v(96 + size_t((r * 53) % 400));
    for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(b * 67 + r * 29 + i * 13 + (i >> 7) + 1);
    return v;
}

// A block reads back its whole capacity: the image, then 0xFF.
inline std::vector<uint8_t> padded(int b, const std::vector<uint8_t>& img) {
    std::vector<uint8_t> v(img);
    v.resize(kCap[b], 0xFF);
    return v;
}

// Reads block b at full capacity; nullopt when the store has no image.
inline std::optional<std::vector<uint8_t>> readBlock(int b) {
    std::vector<uint8_t> got(kCap[b]);
    if (nvRead(kAddr[b], kCap[b], got.data()) != 0) return std::nullopt;
    return got;
}

// splitmix64: one generator for salts and random points on every target.
inline uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline uint64_t hashName(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (char c : s) h = (h ^ uint8_t(c)) * 1099511628211ull;
    return h;
}

// A raw copy of a System V segment by key (empty when there is none), read
// without going through the library.
inline std::vector<uint8_t> segmentBytes(key_t key) {
    int id = ::shmget(key, 0, 0);
    if (id < 0) return {};
    shmid_ds ds{};
    if (::shmctl(id, IPC_STAT, &ds) != 0) return {};
    void* p = ::shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) return {};
    std::vector<uint8_t> v(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + ds.shm_segsz);
    ::shmdt(p);
    return v;
}

}  // namespace rel
