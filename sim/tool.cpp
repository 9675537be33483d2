// mfpsim: create, run, damage and inspect simulated boards.
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/board.h"

namespace {

using Args = std::vector<std::string>;

struct Command {
    const char* usage;
    const char* help;
    std::function<int(const Args&)> run;
};

[[noreturn]] void fail(const std::string& msg) { throw std::runtime_error(msg); }

std::string absolute(const std::string& dir) {
    char* p = ::realpath(dir.c_str(), nullptr);
    if (!p) fail(dir + ": " + std::strerror(errno));
    std::string r = p;
    std::free(p);
    return r;
}

uint64_t number(const std::string& s, const char* what) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (s.empty() || *end || errno || s[0] == '-') fail(std::string("bad ") + what + ": " + s);
    return v;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Splits "--opt value" pairs from positional arguments.
struct Parsed {
    std::map<std::string, std::string> opts;
    Args pos;
};
Parsed parse(const Args& a, const std::vector<std::string>& valued, const std::vector<std::string>& flags) {
    Parsed p;
    for (size_t i = 0; i < a.size(); ++i) {
        const std::string& s = a[i];
        if (s.starts_with("--")) {
            bool v = std::find(valued.begin(), valued.end(), s) != valued.end();
            bool f = std::find(flags.begin(), flags.end(), s) != flags.end();
            if (!v && !f) fail("unknown option " + s);
            if (v && i + 1 >= a.size()) fail(s + " needs a value");
            p.opts[s] = v ? a[++i] : "1";
        } else {
            p.pos.push_back(s);
        }
    }
    return p;
}

int cmd_new(const Args& a) {
    Parsed p = parse(a, {"--area0", "--area1", "--flash", "--erase-polls", "--erase-seconds"}, {"--real-time"});
    if (p.pos.size() != 1) fail("new needs one board directory");
    mfpsim::Board b = mfpsim::Board::create(p.pos[0]);
    if (p.opts.count("--flash")) {
        auto img = read_file(p.opts["--flash"]);
        if (img.size() != mfpsim::kFlashSize) fail("a flash image has 524288 bytes");
        b.set_flash(0, img);
    }
    const struct { const char* opt; uint32_t addr, len; } areas[] = {
        {"--area0", mfpsim::kPhysBase, 0x1F000}, {"--area1", mfpsim::kPhysBase + 0x1F000, 0x1000}};
    for (const auto& ar : areas) {
        if (!p.opts.count(ar.opt)) continue;
        auto bytes = read_file(p.opts[ar.opt]);
        if (bytes.size() > ar.len) fail(std::string(ar.opt) + ": more bytes than the area holds");
        b.set_physmem(ar.addr, bytes);
    }
    if (p.opts.count("--erase-polls")) b.set_erase_status_polls(uint32_t(number(p.opts["--erase-polls"], "count")));
    if (p.opts.count("--erase-seconds")) b.set_erase_seconds(uint32_t(number(p.opts["--erase-seconds"], "seconds")));
    b.set_real_time(p.opts.count("--real-time") != 0);
    return 0;
}

int cmd_boot(const Args& a) {
    auto sep = std::find(a.begin(), a.end(), std::string("--"));
    if (sep == a.end() || sep + 1 == a.end()) fail("boot needs -- and a command");
    Parsed p = parse(Args(a.begin(), sep), {}, {"--real-time", "--no-preload"});
    if (p.pos.size() != 1) fail("boot needs one board directory");
    std::string dir = absolute(p.pos[0]);
    mfpsim::Board b = mfpsim::Board::open(dir);
    b.power_on();
    b.set_real_time(p.opts.count("--real-time") != 0);
    // A freshly started system: no System V object of an earlier run survives.
    if (::unshare(CLONE_NEWIPC) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0)
        fail(std::string("cannot start a new IPC namespace: ") + std::strerror(errno));
    std::string preload = mfpsim::preload_list();
    ::setenv(mfpsim::kBoardEnv, dir.c_str(), 1);
    ::setenv("MFPSIM_PRELOAD", preload.c_str(), 1);
    if (!p.opts.count("--no-preload")) {
        const char* old = std::getenv("LD_PRELOAD");
        std::string v = old && *old ? preload + ":" + old : preload;
        ::setenv("LD_PRELOAD", v.c_str(), 1);
    }
    std::vector<char*> argv;
    for (auto it = sep + 1; it != a.end(); ++it) argv.push_back(const_cast<char*>(it->c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "mfpsim: cannot run %s: %s\n", argv[0], std::strerror(errno));
    return 127;
}

int cmd_cut(const Args& a) {
    Parsed p = parse(a, {"--write", "--erase", "--tear", "--salt"}, {});
    if (p.pos.size() != 1) fail("cut needs one board directory");
    bool w = p.opts.count("--write"), e = p.opts.count("--erase");
    if (w == e) fail("cut needs either --write K or --erase K");
    mfpsim::Tear tear = mfpsim::Tear::Prefix;
    if (p.opts.count("--tear")) {
        const std::string& t = p.opts["--tear"];
        if (t == "none") tear = mfpsim::Tear::None;
        else if (t == "prefix") tear = mfpsim::Tear::Prefix;
        else if (t == "random") tear = mfpsim::Tear::Random;
        else fail("tear is none, prefix or random");
    }
    uint64_t k = number(p.opts[w ? "--write" : "--erase"], "count");
    uint64_t salt = p.opts.count("--salt") ? number(p.opts["--salt"], "salt") : 0;
    mfpsim::Board::open(p.pos[0]).arm_power_cut(w ? mfpsim::CutAt::Program : mfpsim::CutAt::Erase, k, tear, salt);
    return 0;
}

int cmd_fault(const Args& a) {
    Parsed p = parse(a, {}, {});
    if (p.pos.size() != 3 && p.pos.size() != 4) fail("fault needs a board directory, a fault and a call number");
    for (int i = 0; i < mfpsim::kFaultKinds; ++i) {
        auto f = mfpsim::Fault(i);
        if (p.pos[1] == mfpsim::fault_name(f)) {
            const uint64_t bytes = p.pos.size() == 4 ? number(p.pos[3], "byte count") : 0;
            if (p.pos.size() == 4 && (bytes == 0 || bytes > UINT32_MAX)) fail("a byte count is from 1 to 4294967295");
            mfpsim::Board::open(p.pos[0]).arm_fault(f, number(p.pos[2], "call number"), uint32_t(bytes));
            return 0;
        }
    }
    fail("unknown fault " + p.pos[1]);
}

int cmd_stat(const Args& a) {
    Parsed p = parse(a, {}, {"--journal"});
    if (p.pos.size() != 1) fail("stat needs one board directory");
    mfpsim::Board b = mfpsim::Board::open(p.pos[0]);
    mfpsim::Counters c = b.counters();
    std::printf("power %s\n", b.power_lost() ? "lost" : "on");
    std::printf("virtual_seconds %" PRIu64 "\n", b.virtual_seconds());
    const std::pair<const char*, uint64_t> rows[] = {
        {"opens", c.opens}, {"closes", c.closes}, {"open_fds", c.open_fds}, {"reads", c.reads},
        {"read_bytes", c.read_bytes}, {"writes", c.writes}, {"write_bytes", c.write_bytes},
        {"programmed_bytes", c.programmed_bytes}, {"erase_requests", c.erase_requests},
        {"status_requests", c.status_requests}, {"violations", c.violations},
        {"erasing_writes", c.erasing_writes}, {"seeks", c.seeks}, {"maps", c.maps}, {"unmaps", c.unmaps},
        {"faults_fired", c.faults_fired}, {"power_cuts", c.power_cuts}};
    for (const auto& [name, v] : rows) std::printf("%s %" PRIu64 "\n", name, v);
    std::printf("erases");
    for (uint64_t e : c.erases) std::printf(" %" PRIu64, e);
    std::printf("\n");
    mfpsim::CutReport r = b.last_cut();
    if (r.fired)
        std::printf("last_cut %s 0x%05x+%u tear %s done %u salt %" PRIu64 "\n",
                    r.at == mfpsim::CutAt::Program ? "write" : "erase", unsigned(r.offset), unsigned(r.length),
                    mfpsim::tear_name(r.tear), unsigned(r.done), r.salt);
    if (p.opts.count("--journal"))
        for (const auto& j : b.journal())
            std::printf("%c 0x%05x %u\n", j.kind, unsigned(j.offset), unsigned(j.length));
    return 0;
}

int cmd_export(const Args& a) {
    Parsed p = parse(a, {}, {});
    if (p.pos.size() != 2) fail("export needs a board directory and a file");
    auto img = mfpsim::Board::open(p.pos[0]).flash(0, mfpsim::kFlashSize);
    std::ofstream out(p.pos[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(img.data()), std::streamsize(img.size()));
    if (!out.flush()) fail("cannot write " + p.pos[1]);
    return 0;
}

int cmd_import(const Args& a) {
    Parsed p = parse(a, {}, {});
    if (p.pos.size() != 2) fail("import needs a board directory and a file");
    mfpsim::Board b = mfpsim::Board::open(p.pos[0]);
    auto img = read_file(p.pos[1]);
    if (img.size() != mfpsim::kFlashSize) fail("a flash image has 524288 bytes");
    b.set_flash(0, img);
    return 0;
}

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> c = {
        {"new", {"new BOARD [--flash IMAGE] [--area0 FILE] [--area1 FILE] [--erase-polls N] [--erase-seconds S] [--real-time]",
                 "Creates a board directory (or resets one): flash all 0xFF or IMAGE (524288 bytes),\n"
                 "download areas zero or the contents of FILE (area 0 at 0x0EC00000, at most 126976\n"
                 "bytes; area 1 at 0x0EC1F000, at most 4096 bytes). An erase is over after N busy\n"
                 "status answers and S virtual seconds (both 0 by default).\n",
                 cmd_new}},
        {"boot", {"boot [--real-time] [--no-preload] BOARD -- COMMAND [ARG...]",
                  "Starts the board afresh (power on, a new IPC namespace) and runs COMMAND on it\n"
                  "with MFPSIM_BOARD set and the interposer in LD_PRELOAD. MFPSIM_PRELOAD holds the\n"
                  "preload list for commands that pass it on themselves, e.g. to an emulator:\n"
                  "  mfpsim boot --no-preload B -- qemu-ppc -L SYSROOT -E LD_PRELOAD=PPC_LIBMFPSIM prog\n"
                  "sleep() advances the virtual clock and returns at once unless --real-time.\n",
                  cmd_boot}},
        {"cut", {"cut BOARD (--write K | --erase K) [--tear none|prefix|random] [--salt N]",
                 "Arms a power cut at the K-th flash write call or K-th accepted erase from now.\n"
                 "The interrupted write programs nothing, a prefix, or a random subset of its bit\n"
                 "changes (default prefix); the interrupted erase likewise. Salt 0 or none picks one.\n",
                 cmd_cut}},
        {"fault", {"fault BOARD KIND NTH [BYTES]",
                   "Makes the NTH matching call from now fail. KIND: open, lseek, read-fail,\n"
                   "read-short, write-fail, write-short, erase-fail, erase-never-ends, mmap.\n"
                   "A short read returns half the bytes asked for, or at most BYTES if given\n"
                   "(read-short only).\n",
                   cmd_fault}},
        {"stat", {"stat BOARD [--journal]", "Shows power, virtual clock, counters, the last cut, and the journal.\n", cmd_stat}},
        {"export", {"export BOARD FILE", "Copies the flash image out to FILE.\n", cmd_export}},
        {"import", {"import BOARD FILE", "Copies FILE (524288 bytes) in as the flash image.\n", cmd_import}},
    };
    return c;
}

void usage(FILE* f) {
    std::fprintf(f, "usage: mfpsim COMMAND ...   (mfpsim COMMAND --help for more)\n");
    for (const auto& [name, c] : commands()) std::fprintf(f, "  mfpsim %s\n", c.usage);
}

}  // namespace

int main(int argc, char** argv) {
    Args a(argv + 1, argv + argc);
    if (a.empty() || a[0] == "--help" || a[0] == "-h") {
        usage(a.empty() ? stderr : stdout);
        return a.empty() ? 2 : 0;
    }
    auto it = commands().find(a[0]);
    if (it == commands().end()) {
        std::fprintf(stderr, "mfpsim: unknown command %s\n", a[0].c_str());
        usage(stderr);
        return 2;
    }
    Args rest(a.begin() + 1, a.end());
    auto stop = std::find(rest.begin(), rest.end(), std::string("--"));
    if (std::find(rest.begin(), stop, std::string("--help")) != stop) {
        std::printf("usage: mfpsim %s\n\n%s", it->second.usage, it->second.help);
        return 0;
    }
    try {
        return it->second.run(rest);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mfpsim %s: %s\n", a[0].c_str(), e.what());
        return 1;
    }
}
