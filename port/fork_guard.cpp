#include "port/fork_guard.h"

#include <pthread.h>

#include <atomic>

namespace mfpsys::port {

namespace {

constexpr int kRanks = static_cast<int>(LockRank::count);
std::atomic<std::mutex*> g_guarded[kRanks] = {};

void takeAll() {
    for (auto& m : g_guarded)
        if (std::mutex* p = m.load(std::memory_order_acquire)) p->lock();
}

// In the child the forking thread is the one that took them: it gives them back.
void releaseAll() {
    for (int i = kRanks; i-- > 0;)
        if (std::mutex* p = g_guarded[i].load(std::memory_order_acquire)) p->unlock();
}

}  // namespace

bool guardAcrossFork(std::mutex& m, LockRank rank) noexcept {
    static const bool registered = pthread_atfork(takeAll, releaseAll, releaseAll) == 0;
    g_guarded[static_cast<int>(rank)].store(&m, std::memory_order_release);
    return registered;
}

}  // namespace mfpsys::port
