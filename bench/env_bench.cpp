// env_mac_read of a stored address against the floor of reading the boot
// environment's 8 KiB sector once (one open, one lseek, one read, one close).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/common.h"
#include "mfpsys/env.h"

namespace {

constexpr off_t kSector = 0x7A000;
constexpr std::size_t kSectorSize = 0x2000;

void libRead(benchmark::State& st) {
    // A default environment with the address entry last, as a rewrite leaves it.
    static const bool stored = env_mac_write("00:11:22:33:44:55") == 0;
    if (!stored) std::abort();
    for (auto _ : st) {
        char* text = env_mac_read();
        if (text == nullptr || text == ENV_MAC_READ_FAILED || std::strcmp(text, "00:11:22:33:44:55") != 0) std::abort();
    }
}

void floorRead(benchmark::State& st) {
    std::vector<unsigned char> buf(kSectorSize);
    for (auto _ : st) {
        int fd = ::open("/dev/mfp_flashrom", O_RDWR);
        bool ok = fd >= 0 && ::lseek(fd, kSector, SEEK_SET) == kSector &&
                  ::read(fd, buf.data(), buf.size()) == static_cast<ssize_t>(buf.size());
        if (fd >= 0) ::close(fd);
        if (!ok) std::abort();
        benchmark::DoNotOptimize(buf.data());
    }
}

const int kRegistered = [] {
    benchmark::RegisterBenchmark("env_mac_read|lib", libRead);
    benchmark::RegisterBenchmark("env_mac_read|floor", floorRead);
    return 0;
}();

}  // namespace
