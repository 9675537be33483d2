// The registry's lookups against a peer doing the same job (a named object in
// a Boost.Interprocess managed segment) and against a plain hash lookup, with
// 1, 64 and 256 keys registered. Every lookup goes round the registered keys
// in turn, so a figure is the average over all positions of a key.
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <boost/interprocess/managed_shared_memory.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "mfpsys/registry.h"

namespace bip = boost::interprocess;

namespace {

constexpr int kFirstKey = 30000;
constexpr int kSegmentSize = 64;
const std::size_t kKeyCounts[] = {1, 64, 256};

// Keys registered by this process so far (the counts only grow).
std::vector<int>& registered() {
    static std::vector<int> keys;
    return keys;
}

const std::vector<int>& registerKeys(std::size_t n) {
    auto& keys = registered();
    while (keys.size() < n) {
        int key = kFirstKey + static_cast<int>(keys.size());
        if (KUSharedMemAttach(key, kSegmentSize) != kSegmentSize || !KUSharedMemRetrieveMemory(key)) std::abort();
        keys.push_back(key);
    }
    return keys;
}

void libAttach(benchmark::State& st, std::size_t n) {
    const std::vector<int> keys(registerKeys(n).begin(), registerKeys(n).begin() + static_cast<long>(n));
    std::size_t i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(KUSharedMemAttach(keys[i], kSegmentSize));
        if (++i == n) i = 0;
    }
}

void libRetrieve(benchmark::State& st, std::size_t n) {
    const std::vector<int> keys(registerKeys(n).begin(), registerKeys(n).begin() + static_cast<long>(n));
    std::size_t i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(KUSharedMemRetrieveMemory(keys[i]));
        if (++i == n) i = 0;
    }
}

// The peer: a managed segment holding one named object per key.
struct Peer {
    std::string name = std::string("mfpbench-").append(std::to_string(getpid()));
    bip::managed_shared_memory seg{bip::create_only, name.c_str(), 1 << 20};
    std::vector<std::string> names;
    ~Peer() { bip::shared_memory_object::remove(name.c_str()); }
};

Peer& peer(std::size_t n) {
    static std::unique_ptr<Peer> p = std::make_unique<Peer>();
    while (p->names.size() < n) {
        std::string name = std::to_string(kFirstKey + p->names.size());
        p->names.push_back(name.insert(0, 1, 'k'));
        p->seg.construct<unsigned char>(p->names.back().c_str())[kSegmentSize](0);
    }
    return *p;
}

void peerFind(benchmark::State& st, std::size_t n) {
    Peer& p = peer(n);
    std::size_t i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(p.seg.find<unsigned char>(p.names[i].c_str()).first);
        if (++i == n) i = 0;
    }
}

void hashFind(benchmark::State& st, std::size_t n) {
    std::unordered_map<std::int32_t, void*> map;
    std::vector<int> keys;
    for (std::size_t k = 0; k < n; ++k) {
        keys.push_back(kFirstKey + static_cast<int>(k));
        map.emplace(keys.back(), &map);
    }
    std::size_t i = 0;
    for (auto _ : st) {
        auto it = map.find(keys[i]);
        benchmark::DoNotOptimize(it->second);
        if (++i == n) i = 0;
    }
}

void registerAll() {
    for (std::size_t n : kKeyCounts) {
        const std::string keys = " (" + std::to_string(n) + (n == 1 ? " key)" : " keys)");
        benchmark::RegisterBenchmark(("KUSharedMemAttach, attached" + keys + "|lib").c_str(), libAttach, n);
        benchmark::RegisterBenchmark(("KUSharedMemAttach, attached" + keys + "|peer").c_str(), peerFind, n);
        benchmark::RegisterBenchmark(("KUSharedMemAttach, attached" + keys + "|hash").c_str(), hashFind, n);
        benchmark::RegisterBenchmark(("KUSharedMemRetrieveMemory" + keys + "|lib").c_str(), libRetrieve, n);
        benchmark::RegisterBenchmark(("KUSharedMemRetrieveMemory" + keys + "|peer").c_str(), peerFind, n);
        benchmark::RegisterBenchmark(("KUSharedMemRetrieveMemory" + keys + "|hash").c_str(), hashFind, n);
    }
}

const int kRegistered = (registerAll(), 0);

}  // namespace
