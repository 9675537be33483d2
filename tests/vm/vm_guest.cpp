// The guest side of the virtual-board suites: one program, run by
// tests/vm/*.sh inside the virtual machine, where nothing is preloaded and
// the library talks to the kernel's drivers. It prints what it found and
// exits 0 only when every check holds; the host scripts judge across boots.
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "mfpsys/mfpsys.h"
#include "powercut/rel.h"

using namespace rel;

namespace {

int failures = 0;
bool check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    failures += !ok;
    return ok;
}
template <class T> T* shared(size_t n) {  // survives fork, for children's results
    void* p = ::mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return static_cast<T*>(std::memset(p, 0, n * sizeof(T)));
}
pid_t spawn(const std::function<int()>& fn) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(fn());
    return pid;
}
int reap(pid_t pid) {  // exit status, or 128 + signal
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}
double now() { timespec t{}; ::clock_gettime(CLOCK_MONOTONIC, &t); return double(t.tv_sec) + t.tv_nsec / 1e9; }

// ---- nv: reads and writes of blocks and of the address, one boot's share of a check across boots.
// rB=LIST  block B reads one of LIST (rounds of rel::image, '-' none)   wB=R  nvWriteRetry of image(B, R)
// m=LIST   the address reads one of LIST (a text, '-' blank, '!' the read fails)   M=TEXT  env_mac_write
bool listHas(std::string list, const std::function<bool(const std::string&)>& is) {
    for (size_t p = 0; p <= list.size();) {
        size_t q = std::min(list.find(',', p), list.size());
        if (is(list.substr(p, q - p))) return true;
        p = q + 1;
    }
    return false;
}
int nvOps(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        std::string op = argv[i], val = op.substr(std::min(op.find('=') + 1, op.size()));
        int b = op[0] == 'r' || op[0] == 'w' ? op[1] - '0' : 0;
        bool ok = false;
        if ((op[0] == 'r' || op[0] == 'w') && (op.size() < 4 || b < 0 || b >= kBlocks || op[2] != '=')) return std::printf("bad op %s\n", argv[i]), 2;
        if (op[0] == 'r') {
            auto got = readBlock(b);
            ok = listHas(val, [&](const std::string& r) { return r == "-" ? !got : got && *got == padded(b, image(b, std::stoi(r))); });
        } else if (op[0] == 'w') {
            ok = writeImage(b, std::stoi(val)) == 0;
        } else if (op.rfind("m=", 0) == 0) {
            char* m = env_mac_read();
            ok = listHas(val, [&](const std::string& t) {
                return t == "-" ? m == nullptr : t == "!" ? m == ENV_MAC_READ_FAILED : m && m != ENV_MAC_READ_FAILED && t == m;
            });
        } else if (op.rfind("M=", 0) == 0) {
            ok = env_mac_write(val.c_str()) == 0;
        } else {
            return std::printf("bad op %s\n", argv[i]), 2;
        }
        if (!check(ok, argv[i])) return 1;
    }
    return 0;
}

// ---- procs: N processes released at one instant on the registry, the key allocator and resize.
int procs(int n) {
    constexpr int kCommon = 30001, kSize = 64, kNewSize = 256;
    int* keys = shared<int>(2 * size_t(n));
    int gate[2];
    if (::pipe(gate) != 0) return 1;
    std::vector<pid_t> kids;
    for (int i = 0; i < n; ++i)
        kids.push_back(spawn([&, i] {
            char c;
            ::close(gate[1]);
            if (::read(gate[0], &c, 1) != 0) return 1;  // released when the parent closes its end
            if (KUSharedMemAttach(kCommon, 4096) != 4096) return 2;
            auto* common = static_cast<uint8_t*>(KUSharedMemRetrieveMemory(kCommon));
            int k = 0;
            if (common == nullptr || mmMakeSharedMemoryKey(&k) != 0 || mmSharedMemAttach(k, kSize) != kSize) return 3;
            common[i] = uint8_t(i + 1);
            auto* p = static_cast<uint8_t*>(mmSharedMemRetrieveMemory(k));
            if (p == nullptr) return 4;
            for (int j = 0; j < kSize; ++j) p[j] = uint8_t(k + j);
            keys[2 * i] = k;
            keys[2 * i + 1] = mmSharedMemReAttach(k, kNewSize);
            return keys[2 * i + 1] != 0 ? 0 : 5;
        }));
    ::close(gate[0]);
    ::close(gate[1]);
    bool allOk = true;
    for (pid_t p : kids) allOk &= reap(p) == 0;
    check(allOk, "every process attached, drew a key and resized");
    auto table = segmentBytes(KU_SHARED_MEM_TABLE_KEY);
    if (!check(table.size() >= sizeof(KUSharedMemTable), "the registry table exists")) return 1;
    const auto* t = reinterpret_cast<const KUSharedMemTable*>(table.data());
    auto entries = [&](int key) { int c = 0; for (const auto& e : t->entry) c += e.key == key; return c; };
    auto common = segmentBytes(kCommon);
    bool everyMark = common.size() == 4096;
    for (int i = 0; everyMark && i < n; ++i) everyMark = common[size_t(i)] == i + 1;
    check(entries(kCommon) == 1, "one registry entry for the key all attached at once");
    check(everyMark, "one segment holds every process's update");
    bool distinct = true, moved = true, oldGone = true;
    for (int i = 0; i < 2 * n; ++i)
        for (int j = 0; j < i; ++j) distinct &= keys[i] != keys[j];
    for (int i = 0; i < n; ++i) {
        auto seg = segmentBytes(keys[2 * i + 1]);
        moved &= seg.size() == kNewSize && entries(keys[2 * i + 1]) == 1 && seg[kSize] == 0 && seg[kNewSize - 1] == 0;
        for (int j = 0; moved && j < kSize; ++j) moved &= seg[size_t(j)] == uint8_t(keys[2 * i] + j);
        oldGone &= segmentBytes(keys[2 * i]).empty() && entries(keys[2 * i]) == 0;
    }
    check(distinct, "no dynamic key handed out twice");
    check(moved, "each resized segment keeps its bytes under one new entry, zero beyond");
    check(oldGone, "each old segment and entry removed");
    return failures != 0;
}

// ---- kill: a process stopped while it holds a lock, then killed; the rest carry on.
// Stopping first makes sure the holder dies holding it, not just after.
bool killHolding(pid_t victim, const std::function<bool()>& held) {
    for (double end = now() + 30; now() < end;) {
        if (!held()) { ::sched_yield(); continue; }
        ::kill(victim, SIGSTOP);
        int st = 0;
        ::waitpid(victim, &st, WUNTRACED);
        if (held()) return ::kill(victim, SIGKILL), reap(victim), true;
        ::kill(victim, SIGCONT);
    }
    ::kill(victim, SIGKILL), reap(victim);
    return false;
}
bool within(int seconds, const std::function<int()>& fn) {  // fn's work in a child that must finish in time
    pid_t p = spawn([&] { ::alarm(unsigned(seconds)); return fn(); });
    return reap(p) == 0;
}
int nvLockId() {
    auto st = segmentBytes(NV_SHARED_KEY);
    return st.size() < sizeof(NvSharedState) ? -1 : reinterpret_cast<const NvSharedState*>(st.data())->otherInfo[0];
}
int semValue(int id) { return id < 0 ? -1 : ::semctl(id, 0, GETVAL, semun{}); }

int killHolders() {
    // Registry semaphore (0 free, 1 held): a holder attaching and removing keys.
    pid_t v = spawn([]() -> int { for (int j = 0;; ++j) if (KUSharedMemAttach(31000 + j % 4, 128) == 128) KUSharedMemRemove(31000 + j % 4); });
    int regSem = -1;
    for (double end = now() + 10; regSem < 0 && now() < end;) regSem = ::semget(KU_SHARED_MEM_SEM_KEY, 1, 0);
    if (check(killHolding(v, [&] { return semValue(regSem) == 1; }), "registry: killed holding the semaphore")) {
        check(within(20, [] {
                  for (int k = 31000; k < 31004; ++k)
                      if (KUSharedMemAttach(k, 128) != 128 || KUSharedMemRetrieveMemory(k) == nullptr) return 1;
                  return 0;
              }), "registry: the next process attaches every key");
        auto table = segmentBytes(KU_SHARED_MEM_TABLE_KEY);
        const auto* t = reinterpret_cast<const KUSharedMemTable*>(table.data());
        bool one = true, live = true;
        for (int k = 31000; k < 31004; ++k) {
            int c = 0;
            for (const auto& e : t->entry) c += e.key == k;
            one &= c == 1;
        }
        shmid_ds ds{};
        for (const auto& e : t->entry) live &= e.key == 0 || e.shmid == 0 || ::shmctl(e.shmid, IPC_STAT, &ds) == 0;
        check(one, "registry: one entry per key after the repair");
        check(live, "registry: no entry names a removed segment");
        check(semValue(regSem) == 0, "registry: the semaphore is free");
    }
    // Key lock (0 free, 1 held): a holder drawing and giving back keys.
    v = spawn([]() -> int { for (int k = 0;;) if (mmMakeSharedMemoryKey(&k) == 0) mmDeleteSharedMemoryKey(k); });
    int keySem = -1;
    for (double end = now() + 10; keySem < 0 && now() < end;) keySem = ::semget(kKeySem, 1, 0);
    if (check(killHolding(v, [&] { return semValue(keySem) == 1; }), "keys: killed holding the key lock")) {
        check(within(20, [] {
                  int a = 0, b = 0;
                  return mmMakeSharedMemoryKey(&a) == 0 && mmMakeSharedMemoryKey(&b) == 0 && a != b ? 0 : 1;
              }), "keys: the next process draws two distinct keys");
        check(semValue(keySem) == 0, "keys: the lock is free");
    }
    // NV write lock (1 free, 0 held): a writer appending and moving block 3.
    if (!check(within(60, [] { return writeImage(0, 1) | writeImage(3, 1); }), "nv: blocks 0 and 3 written")) return 1;
    int nvSem = nvLockId();
    v = spawn([]() -> int { for (int r = 2;; r = r % 80 + 2) writeImage(3, r); });
    if (check(killHolding(v, [&] { return semValue(nvSem) == 0; }), "nv: killed holding the write lock")) {
        check(within(20, [] { auto img = image(3, 99); return nvWrite(kAddr[3], uint32_t(img.size()), img.data()); }),
              "nv: the next single write succeeds");
        check(semValue(nvSem) == 1, "nv: the write lock is free");
    }
    return failures != 0;
}

// ---- dwl: the windows over memory the host filled: area 0 a valid header and
// data byte i = i * 7 + 3, area 1 the same data under the wrong magic 4D 45 00 04.
int dwl() {
    auto pattern = [](const uint8_t* p, size_t n) { for (size_t i = 0; i < n; ++i) if (p[i] != uint8_t(i * 7 + 3)) return false; return true; };
    unsigned char info[12], want[12];
    for (int i = 0; i < 12; ++i) want[i] = uint8_t(i + 1);
    std::memset(info, 0xEE, sizeof info);
    auto* d = static_cast<const uint8_t*>(mmNORConnect(0, info));
    if (check(d != nullptr, "area 0 connects")) {
        check(std::memcmp(info, want, 12) == 0, "area 0 hands out its 12 info bytes");
        check(pattern(d, 0x1F000 - 20), "area 0 shows the host's data to its last byte");
        check(reap(spawn([&] { *const_cast<uint8_t*>(d) = 0; return 0; })) == 128 + SIGSEGV, "area 0 is read-only");
        check(mmNORDisconnect(0, const_cast<uint8_t*>(d)) == 0, "area 0 disconnects");
    }
    std::memset(info, 0xEE, sizeof info);
    check(mmNORConnect(1, info) == nullptr, "area 1 with a wrong magic is refused");
    check(info[0] == 0xEE && info[11] == 0xEE, "the refused area leaves the info bytes untouched");
    auto* a = static_cast<const uint8_t*>(vfsDWL_GetArea(1));
    if (check(a != nullptr, "area 1 maps as a raw window")) {
        check(a[0] == 0x4D && a[3] == 0x04 && pattern(a + 20, 0x1000 - 20), "area 1 shows the host's bytes");
        check(vfsDWL_FreeArea(1, const_cast<uint8_t*>(a)) == 0, "area 1 unmaps");
    }
    return failures != 0;
}

// ---- run: programs in turn in one boot (there is no shell in the guest).
// CMD ARGS [';' CMD ARGS]... waits for each; '&' after a command starts the
// next at once, and the following ';' waits for all started. Exit: the first failure's.
int run(int argc, char** argv) {
    std::vector<pid_t> running;
    int status = 0;
    auto waitAll = [&] { for (pid_t p : running) if (int s = reap(p); s && !status) status = s; running.clear(); };
    for (int i = 0; i < argc;) {
        int j = i;
        while (j < argc && std::strcmp(argv[j], ";") && std::strcmp(argv[j], "&")) ++j;
        bool background = j < argc && !std::strcmp(argv[j], "&");
        if (argv[j] != nullptr) argv[j] = nullptr;
        char** cmd = argv + i;
        std::fflush(stdout);
        running.push_back(spawn([cmd] { ::execvp(cmd[0], cmd); std::perror(cmd[0]); return 127; }));
        if (!background) waitAll();
        i = j + 1;
    }
    waitAll();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "nv") return nvOps(argc - 2, argv + 2);
    if (cmd == "procs" && argc == 3) return procs(std::atoi(argv[2]));
    if (cmd == "kill") return killHolders();
    if (cmd == "dwl") return dwl();
    if (cmd == "run" && argc > 2) return run(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: mfpvm nv OP... | procs N | kill | dwl | run CMD [ARGS] [;|& CMD [ARGS]]...\n");
    return 2;
}
