// Processes that work side by side until told to stop, some of them killed
// at random moments: the frame of the kill and concurrency tests.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "images.h"

namespace rel {

// Seconds a bounded run lasts: the CI slice by default, longer in the full
// campaign (MFPSYS_CAMPAIGN=full) or as MFPSYS_STORM_SECONDS says.
inline double stormSeconds(double ci) {
    if (const char* v = std::getenv("MFPSYS_STORM_SECONDS"); v != nullptr && *v) return std::atof(v);
    if (const char* v = std::getenv("MFPSYS_CAMPAIGN"); v != nullptr && std::string(v) == "full") return ci * 10;
    return ci;
}

inline uint64_t stormSalt() {
    if (const char* v = std::getenv("MFPSYS_SALT"); v != nullptr && *v) return std::strtoull(v, nullptr, 0);
    return uint64_t(::time(nullptr));
}

inline double nowSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

inline void sleepMicros(uint64_t us) {
    timespec ts{time_t(us / 1000000), long(us % 1000000) * 1000};
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

// The shared stop flag workers poll.
struct StopFlag {
    std::atomic<int> stop{0};
};

inline pid_t spawn(const std::function<int()>& fn) {
    std::fflush(nullptr);
    pid_t p = ::fork();
    if (p == 0) ::_exit(fn());
    return p;
}

// Runs n workers (worker(i) loops until the flag is set) for `seconds`;
// with kill set, SIGKILLs a worker chosen by the generator started from the salt after a
// random pause of up to maxPauseUs and starts it again. Returns the number of
// kills; failed is set when a worker ended with a non-zero status on its own.
inline uint64_t runStorm(int n, double seconds, bool kill, uint64_t salt, uint64_t maxPauseUs, StopFlag* flag,
                         const std::function<int(int)>& worker, int* failed) {
    std::vector<pid_t> pids(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) pids[size_t(i)] = spawn([&, i] { return worker(i); });
    uint64_t kills = 0, state = salt;
    *failed = 0;
    const double end = nowSeconds() + seconds;
    while (nowSeconds() < end) {
        state = mix(state);
        sleepMicros(1 + state % maxPauseUs);
        if (!kill) continue;
        state = mix(state);
        int i = int(state % uint64_t(n));
        ::kill(pids[size_t(i)], SIGKILL);
        int status = 0;
        ::waitpid(pids[size_t(i)], &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) != 0) ++*failed;
        ++kills;
        pids[size_t(i)] = spawn([&, i] { return worker(i); });
    }
    flag->stop.store(1);
    for (pid_t p : pids) {
        int status = 0;
        ::waitpid(p, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++*failed;
    }
    flag->stop.store(0);
    return kills;
}

}  // namespace rel
