// The guest side of the virtual-board suites, run by tests/vm/*.sh in the machine, where nothing is preloaded
// and the library talks to the kernel's drivers. It prints what it found and exits 0 only when every check
// holds; the host scripts judge across boots.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <set>

#include "mfpsys/mfpsys.h"
#include "powercut/rel.h"

using namespace rel;
using mfpsys::test::Outcome, mfpsys::test::run_child;

namespace {

int failures = 0;
bool check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    failures += !ok;
    return ok;
}

// ---- nv: reads and writes of blocks and of the address, one boot's share of a check across boots.
// rB=LIST  block B reads one of LIST (rounds of rel::image, '-' none)   wB=R  nvWriteRetry of image(B, R)
// m=LIST   the address reads one of LIST (a text, '-' blank, '!' the read fails)   M=TEXT  env_mac_write
bool listHas(const std::string& list, const std::function<bool(const std::string&)>& is) {
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');) if (is(item)) return true;
    return false;
}
int nvOps(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        const std::string op = argv[i], val = op.substr(std::min(op.find('=') + 1, op.size()));
        const int b = op.size() < 4 || op[2] != '=' ? -1 : op[1] - '0';
        bool ok = false;
        if (op[0] == 'r' && b >= 0 && b < kBlocks) {
            auto got = readBlock(b);
            ok = listHas(val, [&](const std::string& r) { return r == "-" ? !got : got && *got == padded(b, image(b, std::stoi(r))); });
        } else if (op[0] == 'w' && b >= 0 && b < kBlocks) {
            ok = writeImage(b, std::stoi(val)) == 0;
        } else if (op.rfind("m=", 0) == 0) {
            char* m = env_mac_read();
            ok = listHas(val, [&](const std::string& t) {
                return t == "-" ? !m : t == "!" ? m == ENV_MAC_READ_FAILED : macIs(m, t.c_str());
            });
        } else if (op.rfind("M=", 0) == 0) {
            ok = env_mac_write(val.c_str()) == 0;
        } else {
            std::printf("bad op %s\n", argv[i]);
            return 2;
        }
        if (!check(ok, argv[i])) return 1;
    }
    return 0;
}

// ---- procs: N processes released at one instant on the registry, the key allocator and resize.
int procs(int n) {
    constexpr int kCommon = 30001, kSize = 64, kNewSize = 256;
    mfpsys::test::Shared<int> keys(2 * size_t(n));  // each process's key and the key it moved to
    const auto outcomes = mfpsys::test::run_together(n, [&](int i) {
        if (KUSharedMemAttach(kCommon, 4096) != 4096 || mmMakeSharedMemoryKey(&keys[2 * size_t(i)]) != 0) return 1;
        int k = keys[2 * size_t(i)];
        auto* common = static_cast<uint8_t*>(KUSharedMemRetrieveMemory(kCommon));
        auto* p = mmSharedMemAttach(k, kSize) == kSize ? static_cast<uint8_t*>(mmSharedMemRetrieveMemory(k)) : nullptr;
        if (common == nullptr || p == nullptr) return 1;
        common[i] = uint8_t(i + 1);
        for (int j = 0; j < kSize; ++j) p[j] = uint8_t(k + j);
        return (keys[2 * size_t(i) + 1] = mmSharedMemReAttach(k, kNewSize)) != 0 ? 0 : 1;
    });
    bool done = true, marks = true, moved = true, oldGone = true;
    for (const Outcome& o : outcomes) done &= o.ok();
    const bool distinct = std::set<int>(keys.get(), keys.get() + 2 * n).size() == size_t(2 * n);
    auto common = segmentBytes(kCommon);
    for (int i = 0; i < n; ++i) {
        marks &= common.size() == 4096 && common[size_t(i)] == i + 1;
        auto seg = segmentBytes(keys[2 * i + 1]);
        moved &= seg.size() == kNewSize && entries(keys[2 * i + 1]) == 1 && seg[kSize] == 0 && seg[kNewSize - 1] == 0;
        for (int j = 0; moved && j < kSize; ++j) moved &= seg[size_t(j)] == uint8_t(keys[2 * i] + j);
        oldGone &= segmentBytes(keys[2 * i]).empty() && entries(keys[2 * i]) == 0;
    }
    check(done, "every process attached, drew a key and resized");
    check(entries(kCommon, IPC_STAT) == 1, "one registry entry for the key all attached at once");
    check(marks, "one segment holds every process's update");
    check(distinct, "no dynamic key handed out twice");
    check(moved, "each resized segment keeps its bytes under one new entry, zero beyond");
    check(oldGone, "each old segment and entry removed");
    return failures != 0;
}

// ---- dwl: the windows over memory the host filled: area 0 a valid header, info
// bytes 1 to 12 and data byte i = i * 7 + 3, area 1 the same under the wrong magic 4D 45 00 04.
int dwl() {
    auto pattern = [](const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (p[i] != uint8_t(i * 7 + 3)) return false;
        return true;
    };
    unsigned char want[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, info[12];
    std::memset(info, 0xEE, sizeof info);
    auto* d = static_cast<const uint8_t*>(mmNORConnect(0, info));
    if (check(d != nullptr, "area 0 connects")) {
        check(std::memcmp(info, want, 12) == 0, "area 0 hands out its 12 info bytes");
        check(pattern(d, 0x1F000 - 20), "area 0 shows the host's data to its last byte");
        const Outcome writer = run_child([&] {
            *const_cast<uint8_t*>(d) = 0;
            return 0;
        });
        check(writer.signal == SIGSEGV, "area 0 is read-only");
        check(mmNORDisconnect(0, const_cast<uint8_t*>(d)) == 0, "area 0 disconnects");
    }
    std::memset(info, 0xEE, sizeof info);
    check(mmNORConnect(1, info) == nullptr, "area 1 with a wrong magic is refused");
    check(info[0] == 0xEE && info[11] == 0xEE, "the refused area leaves the info bytes untouched");
    auto* a = static_cast<const uint8_t*>(vfsDWL_GetArea(1));
    check(a && a[0] == 0x4D && a[3] == 0x04 && pattern(a + 20, 0x1000 - 20), "area 1's raw window shows the host's bytes");
    check(a && vfsDWL_FreeArea(1, const_cast<uint8_t*>(a)) == 0, "area 1 unmaps");
    return failures != 0;
}

// ---- same: two files hold the same bytes (there is no cmp in the guest).
std::string slurp(const char* path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}
int same(const char* a, const char* b) {
    const bool ok = slurp(a) == slurp(b) && !slurp(a).empty();
    std::printf("%s %s %s\n", a, ok ? "is the same as" : "DIFFERS from", b);
    return !ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "nv") return nvOps(argc - 2, argv + 2);
    if (cmd == "procs" && argc == 3) return procs(std::atoi(argv[2]));
    if (cmd == "dwl") return dwl();
    if (cmd == "same" && argc == 4) return same(argv[2], argv[3]);
    std::fprintf(stderr, "usage: mfpvm nv OP... | procs N | dwl | same FILE FILE\n");
    return 2;
}
