// Dynamic keys: one mmMakeSharedMemoryKey + mmDeleteSharedMemoryKey pair, from
// one process and with seven more processes doing the same at the same time.
// The floor does the same job with nothing but what it needs: a System V
// semaphore taken with SEM_UNDO around a first-free-bit search in shared
// memory, once to draw a key and once to give it back.
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdlib>

#include "bench/common.h"
#include "mfpsys/mm.h"

namespace {

void libPair() {
    int key = 0;
    if (mmMakeSharedMemoryKey(&key) != 0 || mmDeleteSharedMemoryKey(key) != 0) std::abort();
}

struct Floor {
    int sem = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    unsigned char* bits = static_cast<unsigned char*>(
        mmap(nullptr, 32, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));

    void lock() {
        sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
        while (semop(sem, take, 2) == -1 && errno == EINTR) {}
    }
    void unlock() {
        sembuf give = {0, -1, SEM_UNDO};
        while (semop(sem, &give, 1) == -1 && errno == EINTR) {}
    }
    void pair() {
        lock();
        int i = 0;
        while (i < 247 && (bits[i / 8] & (1u << (i % 8)))) ++i;
        if (i == 247) std::abort();
        bits[i / 8] = static_cast<unsigned char>(bits[i / 8] | (1u << (i % 8)));
        unlock();
        benchmark::DoNotOptimize(i);
        lock();
        bits[i / 8] = static_cast<unsigned char>(bits[i / 8] & ~(1u << (i % 8)));
        unlock();
    }
};

Floor& floorState() {
    static Floor f;
    if (f.sem == -1 || f.bits == MAP_FAILED) std::abort();
    return f;
}

void lib(benchmark::State& st, int processes) {
    if (mmInit() != 0) std::abort();
    mfpbench::Contenders others(processes - 1, libPair);
    for (auto _ : st) libPair();
}

void floorPairs(benchmark::State& st, int processes) {
    Floor& f = floorState();
    mfpbench::Contenders others(processes - 1, [&f] { f.pair(); });
    for (auto _ : st) f.pair();
}

const int kRegistered = [] {
    benchmark::RegisterBenchmark("mmMake+mmDeleteSharedMemoryKey, 1 process|lib", lib, 1);
    benchmark::RegisterBenchmark("mmMake+mmDeleteSharedMemoryKey, 1 process|floor", floorPairs, 1);
    benchmark::RegisterBenchmark("mmMake+mmDeleteSharedMemoryKey, 8 processes|lib", lib, 8);
    benchmark::RegisterBenchmark("mmMake+mmDeleteSharedMemoryKey, 8 processes|floor", floorPairs, 8);
    return 0;
}();

}  // namespace
