// mfpctl as an operator runs it on a board: exit codes and messages byte for byte, the address and
// block round trips across a restart. (flash inspect shares the scan's format and planning code; the
// environment tests hold its verdict on every kind of stored environment.)
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "harness/board.h"
#include "tests/sim/sim.h"

using namespace simtest;

class Mfpctl : public mfpsys::test::BoardTest {
protected:
    Result run(std::vector<std::string> args) { return run_program(MFPCTL, std::move(args), {"LD_PRELOAD=" + mfpsim::preload_list()}); }
    std::string put(const std::string& name, const std::string& bytes) {
        const std::string path = board_dir() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string got() { return (std::stringstream() << std::ifstream(board_dir() + "/out").rdbuf()).str(); }
};

TEST_F(Mfpctl, CommandsGiveTheirExitCodeAndMessagesByteForByte) {
    std::string data(3000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 31 + 7 + (i >> 8));
    const std::string in = put("in", data), big = put("big", std::string(0x7F01, 'x'));
    const std::string rebuilt = "no valid boot environment was stored (blank or damaged): it was rebuilt from the "
                                "default environment, with the new address\n", usage = "usage: ";
    const struct { std::vector<std::string> args; int code; std::string out; } rows[] = {  // out: all, or a part
        {{"mac", "get"}, 0, "boot environment is blank (no address stored)\n"},
        {{"mac", "set", "00:1A:2b:3c:4d:5d"}, 0, "checksum error : checksum ffe221fb:ffffffff, len 0\n" + rebuilt},
        {{"mac", "set", "00:1a:2b:3c:4d:5e"}, 0, ""}, {{"mac", "get"}, 0, "00:1a:2b:3c:4d:5e\n"},
        {{"nv", "write", "0x0400", in}, 0, "block 0x0400: 3000 bytes written (success)\n"},
        {{"nv", "write", "0x0c00", in}, 1, "mfpctl: block 0x0c00 was not written: NV_E_PARAM (no block at this "
                                           "address, or data larger than the block)\n"},
        {{"nv", "write", "0x1000", big}, 1, "NV_E_PARAM"}, {{"nv", "read", "0x0800"}, 1, "was not read (nvRead: -1)"},
        {{}, 2, "mfpctl FAMILY COMMAND"}, {{"frob"}, 2, usage}, {{"nv"}, 2, usage}, {{"nv", "read"}, 2, usage},
        {{"nv", "read", "0xZZ"}, 2, usage}, {{"nv", "status", "x"}, 2, usage}, {{"nv", "read", "0", "--bog"}, 2, usage},
        {{"mac", "set"}, 2, usage}, {{"mac", "set", "0:1:2:3:4"}, 2, usage}, {{"mac", "set", "00:1a:2b:3c:4d:zz"}, 2, usage},
        {{"mac", "set", "0:1:2:3:4:5:6"}, 2, usage}, {{"dwl", "show"}, 2, usage}, {{"dwl", "show", "2"}, 2, usage},
        {{"shm", "list", "x"}, 2, usage}, {{"flash", "inspect"}, 2, usage}};
    for (const auto& r : rows) {
        const uint64_t writes = board().counters().writes;
        const Result res = run(r.args);
        const std::string cmd = testing::PrintToString(r.args);
        EXPECT_TRUE(res.outcome.exited) << cmd << res.outcome.describe();
        EXPECT_EQ(res.outcome.code, r.code) << cmd << ": exit status";
        EXPECT_TRUE(r.code ? res.out.find(r.out) != std::string::npos : res.out == r.out) << cmd << res.out;
        EXPECT_TRUE(r.code == 0 || board().counters().writes == writes) << cmd << "wrote";
    }
    board().power_on();  // this process holds no library state: a fresh IPC namespace is a freshly started system
    ASSERT_TRUE(mfpsys::test::new_ipc_namespace());
    EXPECT_EQ(run({"nv", "read", "0x0400", "--length", "3000", "-o", board_dir() + "/out"}).outcome.code, 0);
    EXPECT_EQ(got(), data);
    EXPECT_EQ(run({"nv", "read", "0x0400"}).outcome.code, 1) << "a power-up image is handed out once";
    EXPECT_EQ(run({"mac", "get"}).out, "00:1a:2b:3c:4d:5e\n");
}
