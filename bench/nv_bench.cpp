// The NV store on this process's simulated board: a full-block write that
// appends (sector 6) and one that moves a 64 KiB ring, the power-up scan of a
// full and of a blank flash, a full-block read, and the flash wear per write.
//
// Floors, measured on the same device in the same run:
// - a write: one open, then for every field and data area the library wrote,
//   an lseek and a write of the same length and bytes (and the erase request
//   of a transfer), one close; the write sequence is taken from the board's
//   journal of a library write. The driver has no pwrite, so positioned
//   writes are lseek + write.
// - a scan: one open, one read of each NV sector, one close;
// - a read: one memcpy of the block.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "bench/common.h"
#include "heap/heap_ref.h"
#include "mfpsys/nv.h"
#include "port/tarnix.h"

namespace {

using Clock = std::chrono::steady_clock;
using mfpbench::board;

constexpr int32_t kRingBlock = 0x0000;  // ring of sectors 0 and 1, one copy each
constexpr uint32_t kRingCap = 0xFF00;
constexpr int32_t kSixBlock = 0x1000;  // sector 6 takes two copies, sector 7 one
constexpr uint32_t kSixCap = 0x7F00;
constexpr int32_t kBlocks[NV_VRTL_SEC_NUM] = {0x0000, 0x0400, 0x0800, 0x1000};
constexpr uint32_t kNvEnd = 0x78000;
const char kRequest[] = "w";

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "benchmark set-up failed: %s\n", what);
        std::abort();
    }
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Bytes that differ from the erased state everywhere, changing per write.
std::vector<uint8_t> pattern(uint32_t n, unsigned salt) {
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + salt) % 251);
    return v;
}

void write(int32_t block, uint32_t cap) {
    static unsigned salt = 0;
    auto data = pattern(cap, ++salt);
    check(nvWrite(block, cap, data.data()) == 0, "nvWrite");
}

// The first read powers the store up (scan of whatever the flash holds).
void poweredUp() {
    static const bool up = [] {
        std::vector<uint8_t> buf(kRingCap);
        nvRead(kRingBlock, 0, buf.data());
        return nvRealSec[0] != nullptr;
    }();
    check(up, "power-up");
}

NvSharedState* shared() { return reinterpret_cast<NvSharedState*>(nvRealSec[0]); }

// Runs the scan again; each run makes a fresh write lock, so the old one goes.
void rescan() {
    int old = shared()->otherInfo[0];
    check(nvPowerup() == 0, "nvPowerup");
    if (old > 0 && old != shared()->otherInfo[0]) semctl(old, 0, IPC_RMID);
}

// Device calls made inside the measured part, averaged per iteration and
// reported beside the time: they are where the time of a flash step goes.
class DeviceUse {
public:
    void start() { c0_ = board().counters(); }
    void stop() {
        auto c = board().counters();
        opens_ += double(c.opens - c0_.opens);
        reads_ += double(c.reads - c0_.reads);
        readBytes_ += double(c.read_bytes - c0_.read_bytes);
        writes_ += double(c.writes - c0_.writes);
        status_ += double(c.status_requests - c0_.status_requests);
        ++n_;
    }
    void report(benchmark::State& st) const {
        if (n_ == 0) return;
        st.counters["opens"] = opens_ / n_;
        st.counters["reads"] = reads_ / n_;
        st.counters["read_bytes"] = readBytes_ / n_;
        st.counters["writes"] = writes_ / n_;
        st.counters["status"] = status_ / n_;
    }
    // Runs step between start() and stop(); returns its wall time in seconds.
    template <class Step>
    double timed(Step step) {
        start();
        auto t0 = Clock::now();
        step();
        auto t1 = Clock::now();
        stop();
        return seconds(t0, t1);
    }

private:
    mfpsim::Counters c0_{};
    double opens_ = 0, reads_ = 0, readBytes_ = 0, writes_ = 0, status_ = 0;
    int n_ = 0;
};

void releaseCaches() {
    for (int32_t b : kBlocks) nvReadReq(b, 0, nullptr);
}

// ---- writes ------------------------------------------------------------

// One library write's device steps, replayable as the floor.
struct Replay {
    struct Step {
        char kind;
        uint32_t offset;
        std::vector<uint8_t> bytes;
    };
    std::vector<Step> steps;
    std::vector<int> sectors;
    std::vector<std::vector<uint8_t>> before, after;
};

Replay capture(const std::function<void()>& libWrite) {
    auto& b = board();
    std::vector<uint8_t> pre = b.flash(0, kNvEnd);
    b.set_journal(true);
    libWrite();
    std::vector<mfpsim::JournalEntry> j = b.journal();
    b.set_journal(false);
    std::vector<uint8_t> post = b.flash(0, kNvEnd);

    Replay r;
    std::set<int> sectors;
    for (std::size_t i = 0; i < j.size(); ++i) {
        const auto& e = j[i];
        if (e.kind != 'w' && e.kind != 'e') continue;
        const int sec = mfpsim::sector_index(e.offset);
        sectors.insert(sec);
        Replay::Step step{e.kind, e.offset, {}};
        if (e.kind == 'w') {
            step.bytes.assign(post.begin() + e.offset, post.begin() + e.offset + e.length);
            // A field written just before its sector was sent to erase (the
            // erase ID set to 0) is gone from the image afterwards.
            for (std::size_t k = i + 1; k < j.size(); ++k)
                if (j[k].kind == 'e' && mfpsim::sector_index(j[k].offset) == sec) std::fill(step.bytes.begin(), step.bytes.end(), 0);
        }
        r.steps.push_back(std::move(step));
    }
    for (int s : sectors) {
        const auto sc = mfpsim::sector(s);
        r.sectors.push_back(s);
        r.before.emplace_back(pre.begin() + sc.start, pre.begin() + sc.start + sc.size);
        r.after.emplace_back(post.begin() + sc.start, post.begin() + sc.start + sc.size);
    }
    return r;
}

void restore(const Replay& r, const std::vector<std::vector<uint8_t>>& images) {
    for (std::size_t i = 0; i < r.sectors.size(); ++i) board().set_flash(mfpsim::sector(r.sectors[i]).start, images[i]);
}

void replayFloor(benchmark::State& st, const Replay& r) {
    DeviceUse use;
    for (auto _ : st) {
        restore(r, r.before);
        use.start();
        auto t0 = Clock::now();
        int fd = ::open("/dev/mfp_flashrom", O_RDWR);
        bool ok = fd >= 0;
        for (const auto& s : r.steps) {
            ok = ok && ::lseek(fd, static_cast<off_t>(s.offset), SEEK_SET) == static_cast<off_t>(s.offset);
            if (s.kind == 'w')
                ok = ok && ::write(fd, s.bytes.data(), s.bytes.size()) == static_cast<ssize_t>(s.bytes.size());
            else
                ok = ok && ::ioctl(fd, reinterpret_cast<unsigned long>(kRequest), 10) == 0;
        }
        if (fd >= 0) ::close(fd);
        auto t1 = Clock::now();
        use.stop();
        check(ok, "floor write");
        st.SetIterationTime(seconds(t0, t1));
    }
    use.report(st);
    // The library's tables describe the flash as the library left it.
    restore(r, r.after);
}

// Ring 4 with exactly one copy in sector 6: the next write appends there.
bool appendNext() { return nvVrtlSec[3]->crntSec == 6 && nvRealSec[6]->usedEntries == 1; }

void toAppendState() {
    for (int i = 0; i < 4 && !appendNext(); ++i) write(kSixBlock, kSixCap);
    check(appendNext(), "ring of sectors 6 and 7 at one copy in sector 6");
}

void libAppend(benchmark::State& st) {
    poweredUp();
    DeviceUse use;
    for (auto _ : st) {
        toAppendState();
        auto data = pattern(kSixCap, 99);
        int rc = -1;
        st.SetIterationTime(use.timed([&] { rc = nvWrite(kSixBlock, kSixCap, data.data()); }));
        check(rc == 0 && nvRealSec[6]->usedEntries == 2, "append in sector 6");
    }
    use.report(st);
}

void floorAppend(benchmark::State& st) {
    poweredUp();
    toAppendState();
    Replay r = capture([] { write(kSixBlock, kSixCap); });
    check(nvRealSec[6]->usedEntries == 2, "captured an append");
    replayFloor(st, r);
}

void libTransfer(benchmark::State& st) {
    poweredUp();
    write(kRingBlock, kRingCap);  // the ring holds a copy: every write moves it
    DeviceUse use;
    for (auto _ : st) {
        const uint32_t from = nvVrtlSec[0]->crntSec;
        auto data = pattern(kRingCap, 7);
        int rc = -1;
        st.SetIterationTime(use.timed([&] { rc = nvWrite(kRingBlock, kRingCap, data.data()); }));
        check(rc == 0 && nvVrtlSec[0]->crntSec != from, "transfer in ring 1");
    }
    use.report(st);
}

void floorTransfer(benchmark::State& st) {
    poweredUp();
    write(kRingBlock, kRingCap);
    const uint32_t from = nvVrtlSec[0]->crntSec;
    Replay r = capture([] { write(kRingBlock, kRingCap); });
    check(nvVrtlSec[0]->crntSec != from, "captured a transfer");
    replayFloor(st, r);
}

// ---- power-up scan -----------------------------------------------------

void eraseNv() {
    std::vector<uint8_t> blank(kNvEnd, 0xFF);
    board().set_flash(0, blank);
}

void fillEveryRing() {
    for (int i = 0; i < NV_VRTL_SEC_NUM; ++i) write(kBlocks[i], nvVrtlSec[i]->capacity);
    write(kSixBlock, kSixCap);
}

void libScan(benchmark::State& st, bool full) {
    poweredUp();
    eraseNv();
    rescan();
    releaseCaches();
    if (full) fillEveryRing();
    DeviceUse use;
    for (auto _ : st) {
        use.start();
        auto t0 = Clock::now();
        rescan();
        auto t1 = Clock::now();
        use.stop();
        for (int b = 0; b < NV_VRTL_SEC_NUM; ++b)
            check((nvVrtlSec[b]->dataOfst != -1) == full, full ? "every block found" : "no block found");
        releaseCaches();
        st.SetIterationTime(seconds(t0, t1));
    }
    use.report(st);
}

void floorScan(benchmark::State& st) {
    std::vector<uint8_t> buf(0x10000);
    DeviceUse use;
    for (auto _ : st) {
        use.start();
        int fd = ::open("/dev/mfp_flashrom", O_RDWR);
        bool ok = fd >= 0;
        for (int s = 0; s < NV_REAL_SEC_NUM; ++s) {
            const auto sc = mfpsim::sector(s);
            ok = ok && ::lseek(fd, sc.start, SEEK_SET) == static_cast<off_t>(sc.start) &&
                 ::read(fd, buf.data(), sc.size) == static_cast<ssize_t>(sc.size);
        }
        if (fd >= 0) ::close(fd);
        use.stop();
        check(ok, "floor scan");
    }
    use.report(st);
}

// ---- read --------------------------------------------------------------

void libRead(benchmark::State& st) {
    poweredUp();
    const auto image = pattern(kRingCap, 5);
    std::vector<uint8_t> dest(kRingCap);
    for (auto _ : st) {
        // What the scan leaves: the block's image in a heap cache.
        void* cache = tarnixSubAllocMem(kRingCap);
        check(cache != nullptr, "cache");
        std::memcpy(cache, image.data(), kRingCap);
        nvVrtlSec[0]->cache = mfpheap::heap_ref(cache);
        auto t0 = Clock::now();
        int rc = nvRead(kRingBlock, kRingCap, dest.data());
        auto t1 = Clock::now();
        check(rc == 0 && dest[100] == image[100], "nvRead");
        st.SetIterationTime(seconds(t0, t1));
    }
}

void floorRead(benchmark::State& st) {
    const auto image = pattern(kRingCap, 5);
    std::vector<uint8_t> dest(kRingCap);
    for (auto _ : st) {
        std::memcpy(dest.data(), image.data(), kRingCap);
        benchmark::ClobberMemory();
    }
}

// ---- wear --------------------------------------------------------------

uint64_t nvErases(const mfpsim::Counters& c) {
    uint64_t n = 0;
    for (int s = 0; s < NV_REAL_SEC_NUM; ++s) n += c.erases[static_cast<std::size_t>(s)];
    return n;
}

// Per write of one block, over whole cycles of its ring (six writes cover
// both ring shapes).
void wear(benchmark::State& st, int vidx) {
    poweredUp();
    const uint32_t cap = nvVrtlSec[vidx]->capacity;
    constexpr int kWrites = 12;
    for (int i = 0; i < 3; ++i) write(kBlocks[vidx], cap);
    for (auto _ : st) {
        auto c0 = board().counters();
        for (int i = 0; i < kWrites; ++i) write(kBlocks[vidx], cap);
        auto c1 = board().counters();
        st.counters["data_bytes"] = cap;
        st.counters["written_bytes"] = double(c1.write_bytes - c0.write_bytes) / kWrites;
        st.counters["programmed_bytes"] = double(c1.programmed_bytes - c0.programmed_bytes) / kWrites;
        st.counters["erases"] = double(nvErases(c1) - nvErases(c0)) / kWrites;
    }
}

const int kRegistered = [] {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("power-up scan, blank flash|lib", libScan, false)->UseManualTime();
    RegisterBenchmark("power-up scan, blank flash|floor", floorScan);
    RegisterBenchmark("power-up scan, full flash|lib", libScan, true)->UseManualTime();
    RegisterBenchmark("power-up scan, full flash|floor", floorScan);
    RegisterBenchmark("nvRead, full block (0xFF00 bytes)|lib", libRead)->UseManualTime();
    RegisterBenchmark("nvRead, full block (0xFF00 bytes)|floor", floorRead);
    RegisterBenchmark("nvWrite, full block, append in sector 6|lib", libAppend)->UseManualTime();
    RegisterBenchmark("nvWrite, full block, append in sector 6|floor", floorAppend)->UseManualTime();
    RegisterBenchmark("nvWrite, full block, transfer in a 64 KiB ring|lib", libTransfer)->UseManualTime();
    RegisterBenchmark("nvWrite, full block, transfer in a 64 KiB ring|floor", floorTransfer)->UseManualTime();
    for (int b = 0; b < NV_VRTL_SEC_NUM; ++b) {
        char name[96];
        std::snprintf(name, sizeof name, "nvWrite block 0x%04X (capacity 0x%X)|wear", static_cast<unsigned>(kBlocks[b]),
                      b == 3 ? kSixCap : kRingCap);
        RegisterBenchmark(name, wear, b)->Iterations(1);
    }
    return 0;
}();

}  // namespace
