// mfpctl as an engineer uses it: a separate program on the board, its output,
// its exit status and its JSON, and flash inspect against what the library
// really loads after a restart.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness/board.h"
#include "harness/proc.h"
#include "mfpsys/nv.h"
#include "sim/board.h"
#include "tests/sim/program.h"

using namespace mfpsys::test;

namespace {

class Mfpctl : public BoardTest {
protected:
    simtest::Result run(const std::vector<std::string>& args) {
        std::string preload = mfpsim::preload_list() + (shared_rings_ ? ":" SHARED_RING_TABLES : "");
        return simtest::run_program(simtest::target_command(MFPCTL, args, {{"LD_PRELOAD", preload}}));
    }
    bool shared_rings_ = false;  // mfpctl runs with tables whose rings hold several blocks
    std::string tmp(const std::string& name) { return board_dir() + "/" + name; }
    void put(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string get(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    // A JSON document checked by an independent parser: python prints the
    // value of each expression, one per line (Debian's interpreter: a version
    // manager's shim costs seconds per start).
    std::vector<std::string> json(const std::string& doc, const std::string& exprs) {
        put(tmp("doc.json"), doc);
        auto r = simtest::run_program({"/usr/bin/python3", "-c",
            "import json,sys\nd=json.load(open(sys.argv[1]))\nfor e in sys.argv[2].split(';'): print(eval(e))",
            tmp("doc.json"), exprs});
        EXPECT_TRUE(r.outcome.ok()) << "not valid JSON: " << doc;
        std::vector<std::string> out;
        std::istringstream in(r.out);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    // A restart between steps: this process never calls the library itself,
    // so a fresh IPC namespace is a freshly started system for what follows.
    void restart() {
        board().power_on();
        ASSERT_TRUE(new_ipc_namespace());
    }
};

std::string pattern(size_t n, unsigned salt) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 31 + salt * 7 + (i >> 8)) & 0xFF);
    return s;
}

TEST_F(Mfpctl, BadUsageExitsTwoAndTouchesNothing) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frob"},
        {"nv"},
        {"nv", "read"},
        {"nv", "read", "0xZZ"},
        {"nv", "write"},
        {"nv", "status", "extra"},
        {"mac", "set"},
        {"mac", "set", "00:1a:2b:3c:4d"},
        {"mac", "set", "00:1a:2b:3c:4d:zz"},
        {"mac", "set", "00:1a:2b:3c:4d:5e:6f"},
        {"dwl", "show", "2"},
        {"dwl", "show"},
        {"shm", "list", "x"},
        {"flash", "inspect"},
        {"nv", "read", "0x0000", "--bogus"},
    };
    for (const auto& a : bad) {
        auto r = run(a);
        std::string cmd;
        for (auto& w : a) cmd += w + " ";
        EXPECT_TRUE(r.outcome.exited && r.outcome.code == 2) << cmd << ": " << r.outcome.describe();
    }
    auto c = board().counters();
    EXPECT_EQ(c.writes, 0u);
    EXPECT_EQ(c.erase_requests, 0u);
    for (const char* fam : {"nv", "mac", "shm", "dwl", "flash"}) {
        auto r = run({fam, "--help"});
        EXPECT_TRUE(r.outcome.ok()) << fam;
        EXPECT_NE(r.out.find("usage:"), std::string::npos) << fam;
    }
}

TEST_F(Mfpctl, NvWriteStatusAndReadAcrossARestart) {
    std::string data = pattern(3000, 1);
    put(tmp("in"), data);
    auto w = run({"nv", "write", "0x0400", tmp("in")});
    ASSERT_TRUE(w.outcome.ok()) << w.outcome.describe();
    EXPECT_NE(w.out.find("3000 bytes written (success)"), std::string::npos) << w.out;

    auto st = run({"nv", "status", "--json"});
    ASSERT_TRUE(st.outcome.ok());
    auto v = json(st.out, "d['powered_up'];d['write_lock'];len(d['sectors']);d['blocks'][1]['current_sector'];"
                          "d['blocks'][1]['data_offset'];d['sectors'][2]['write_offset'];d['sectors'][2]['used_entries']");
    ASSERT_EQ(v.size(), 7u);
    EXPECT_EQ(v[0], "True");
    EXPECT_EQ(v[1], "free");
    EXPECT_EQ(v[2], "8");
    EXPECT_EQ(v[3], "2");
    EXPECT_EQ(v[4], "256");
    EXPECT_EQ(v[5], std::to_string(256 + 0xFF00));
    EXPECT_EQ(v[6], "1");

    EXPECT_EQ(run({"nv", "write", "0x0c00", tmp("in")}).outcome.code, 1);  // no such block
    put(tmp("big"), std::string(0x7F01, 'x'));
    EXPECT_EQ(run({"nv", "write", "0x1000", tmp("big")}).outcome.code, 1);  // above the capacity

    restart();
    auto r = run({"nv", "read", "0x0400", "--length", "3000", "-o", tmp("out")});
    ASSERT_TRUE(r.outcome.ok()) << r.outcome.describe();
    EXPECT_EQ(get(tmp("out")), data);
    // A power-up image is handed out once.
    EXPECT_EQ(run({"nv", "read", "0x0400", "-o", tmp("out2")}).outcome.code, 1);
    // A block never written has no image to hand out.
    EXPECT_EQ(run({"nv", "read", "0x0800"}).outcome.code, 1);
}

TEST_F(Mfpctl, MacSetAndGet) {
    auto blank = run({"mac", "get", "--json"});
    ASSERT_TRUE(blank.outcome.ok());
    EXPECT_EQ(json(blank.out, "d['blank'];d['ethaddr']"), (std::vector<std::string>{"True", "None"}));
    // Over a blank environment the library's line stays, and the tool says
    // what it means; over a valid one the set is silent.
    const std::string rebuilt = "no valid boot environment was stored (blank or damaged): it was rebuilt from the "
                                "default environment, with the new address\n";
    auto s = run({"mac", "set", "00:1A:2b:3c:4d:5d"});
    ASSERT_TRUE(s.outcome.ok());
    EXPECT_EQ(s.out, "checksum error : checksum ffe221fb:ffffffff, len 0\n" + rebuilt);
    s = run({"mac", "set", "00:1A:2b:3c:4d:5E"});
    ASSERT_TRUE(s.outcome.ok());
    EXPECT_EQ(s.out, "");
    auto g = run({"mac", "get"});
    ASSERT_TRUE(g.outcome.ok());
    EXPECT_EQ(g.out, "00:1a:2b:3c:4d:5e\n");
    EXPECT_EQ(json(run({"mac", "get", "--json"}).out, "d['ethaddr']"), std::vector<std::string>{"00:1a:2b:3c:4d:5e"});
    // A damaged environment is a failure, not an address, and is rebuilt by a set.
    std::vector<uint8_t> junk(16, 0x41);
    board().set_flash(0x7A204, junk);
    EXPECT_EQ(run({"mac", "get"}).outcome.code, 1);
    s = run({"mac", "set", "00:1a:2b:3c:4d:5e"});
    ASSERT_TRUE(s.outcome.ok());
    EXPECT_TRUE(s.out.starts_with("checksum error : ") && s.out.ends_with("len 1077\n" + rebuilt)) << s.out;
}

TEST_F(Mfpctl, RegistryAndKeysShowWhatClientsHold) {
    auto c = simtest::run_program(simtest::target_command(MFPDEMO_CLIENT, {"2"}, {{"LD_PRELOAD", mfpsim::preload_list()}}));
    ASSERT_TRUE(c.outcome.ok());
    auto k = run({"shm", "keys", "--json"});
    ASSERT_TRUE(k.outcome.ok());
    EXPECT_EQ(json(k.out, "d['in_use'];d['keys']"), (std::vector<std::string>{"2", "[21000, 21001]"}));
    auto l = run({"shm", "list", "--json"});
    ASSERT_TRUE(l.outcome.ok());
    EXPECT_EQ(json(l.out, "sorted((e['key'],e['size']) for e in d['entries'])"),
              std::vector<std::string>{"[(20992, 31), (21000, 4096), (21001, 4096)]"});
}

TEST_F(Mfpctl, DownloadAreaHeader) {
    std::vector<uint8_t> head = {0x4D, 0x45, 0x00, 0x03, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 'h', 'i'};
    board().set_physmem(0x0EC00000, head);
    auto ok = run({"dwl", "show", "0", "--json"});
    ASSERT_TRUE(ok.outcome.ok()) << ok.outcome.describe();
    EXPECT_EQ(json(ok.out, "d['accepted'];d['info'];d['data'][:2]"),
              (std::vector<std::string>{"True", "[1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12]", "[104, 105]"}));
    head[8] = 2;  // info byte 0 above 1: refused
    board().set_physmem(0x0EC00000, head);
    auto refused = run({"dwl", "show", "0", "--json"});
    EXPECT_EQ(refused.outcome.code, 1);
    EXPECT_EQ(json(refused.out, "d['accepted'];d['magic_ok']"), (std::vector<std::string>{"False", "True"}));
}

// What flash inspect says a power-up loads must be what the library loads:
// after cuts at each program step of a sector transfer and of an append in
// sector 6, including records cut short, also with a ring of two blocks
// (the move copies the other block) and a ring of four sectors.
TEST_F(Mfpctl, FlashInspectAgreesWithThePowerUpScan) {
    struct Case {
        bool shared_rings;
        std::vector<const char*> before;  // acknowledged writes before the cut one
        const char* addr;                  // the write that is cut
        std::vector<int> check;            // blocks read back
    };
    const Case cases[] = {{false, {"0x0000"}, "0x0000", {0x0000}},
                          {false, {"0x1000"}, "0x1000", {0x1000}},
                          {true, {"0x0400", "0x0000", "0x0000"}, "0x0000", {0x0000, 0x0400}},
                          {true, {"0x0800", "0x0800"}, "0x0800", {0x0800}}};
    const std::vector<uint8_t> erased(0x80000, 0xFF);
    int checked = 0;
    for (const auto& cs : cases) {
        shared_rings_ = cs.shared_rings;
        for (uint64_t k = 1; k <= 10; ++k) {
            SCOPED_TRACE(std::string(cs.addr) + (cs.shared_rings ? " (shared rings)" : "") + ", cut at write " +
                         std::to_string(k));
            board().set_flash(0, erased);
            restart();
            for (size_t i = 0; i < cs.before.size(); ++i) {
                put(tmp("in"), pattern(1000 + 10 * i, unsigned(i)));
                ASSERT_TRUE(run({"nv", "write", cs.before[i], tmp("in")}).outcome.ok());
            }
            put(tmp("in"), pattern(2000, 99));
            board().arm_power_cut(mfpsim::CutAt::Program, k, mfpsim::Tear::Prefix, 5);
            auto w = run({"nv", "write", cs.addr, tmp("in")});
            board().disarm();
            if (!board().power_lost()) continue;  // the write ended before k
            EXPECT_FALSE(w.outcome.ok());
            restart();

            auto insp = run({"flash", "inspect", "--board", board_dir(), "--json"});
            ASSERT_TRUE(insp.outcome.ok());
            auto v = json(insp.out, "'\\n'.join('%d %s %s' % (b['address'], b['loaded_from'], b.get('data_offset')) "
                                    "for b in d['blocks'])");
            std::map<int, std::pair<int, uint32_t>> expect;  // address -> (sector, offset) or (-1, 0)
            for (auto& line : v) {
                int a;
                char from[16], ofs[16];
                ASSERT_EQ(std::sscanf(line.c_str(), "%d %15s %15s", &a, from, ofs), 3) << line;
                expect[a] = std::string(from) == "None" ? std::make_pair(-1, 0u)
                                                        : std::make_pair(std::atoi(from), uint32_t(std::atoi(ofs)));
            }
            ASSERT_EQ(expect.size(), 4u);
            for (auto& [addr, where] : expect) {
                if (std::find(cs.check.begin(), cs.check.end(), addr) == cs.check.end()) continue;
                char a[16];
                std::snprintf(a, sizeof a, "0x%04x", addr);
                auto r = run({"nv", "read", a, "-o", tmp("out")});
                if (where.first < 0) {
                    EXPECT_EQ(r.outcome.code, 1) << a << " has no intact copy, yet it read";
                    continue;
                }
                ASSERT_TRUE(r.outcome.ok()) << a << " should load from sector " << where.first;
                std::string got = get(tmp("out"));
                auto on_flash = board().flash(_nvRealSec[where.first].flashOfst + where.second, uint32_t(got.size()));
                EXPECT_EQ(got, std::string(on_flash.begin(), on_flash.end())) << a;
            }
            EXPECT_EQ(board().counters().violations, 0u);
            ++checked;
        }
    }
    EXPECT_GE(checked, 24);
}

}  // namespace
