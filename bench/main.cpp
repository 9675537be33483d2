// Every benchmark process starts in an IPC namespace of its own, so that no
// System V object of another process disturbs it or is disturbed by it.
#include <sched.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (unshare(CLONE_NEWIPC) != 0) {
        std::fprintf(stderr, "unshare(CLONE_NEWIPC): %s (run as root)\n", std::strerror(errno));
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
