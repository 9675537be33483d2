// Shared pieces of the benchmark executables.
#pragma once

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <vector>

#ifdef MFPBENCH_BOARD
#include "sim/board.h"
#endif

namespace mfpbench {

#ifdef MFPBENCH_BOARD
// This process's simulated board, selected before any benchmark runs.
mfpsim::Board& board();
#endif

// Processes that repeat one job until told to stop, so that a measurement in
// the parent sees the contention of several clients.
class Contenders {
public:
    Contenders(int n, const std::function<void()>& job) {
        void* p = mmap(nullptr, sizeof(std::atomic<int>) * 2, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) std::abort();
        stop_ = new (p) std::atomic<int>[2]{};
        for (int i = 0; i < n; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                stop_[1].fetch_add(1);
                while (stop_[0].load(std::memory_order_relaxed) == 0) job();
                _exit(0);
            }
            if (pid < 0) std::abort();
            pids_.push_back(pid);
        }
        // Measure only once every contender is at work.
        while (stop_[1].load() < n) usleep(100);
    }
    ~Contenders() {
        stop_[0].store(1);
        for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
        munmap(stop_, sizeof(std::atomic<int>) * 2);
    }
    Contenders(const Contenders&) = delete;
    Contenders& operator=(const Contenders&) = delete;

private:
    std::atomic<int>* stop_;
    std::vector<pid_t> pids_;
};

}  // namespace mfpbench
