// The mfpsim tool: creating, running, damaging and inspecting boards.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>

#include <fstream>

#include "harness/board.h"
#include "tests/sim/program.h"

using namespace simtest;
using mfpsys::test::BoardTest;
using Bytes = std::vector<uint8_t>;

namespace {

Result tool(const std::vector<std::string>& args) { return run_program(target_command(MFPSIM_TOOL, args, {})); }

// `mfpsim boot BOARD -- client ARGS`: natively the tool preloads the
// interposer itself; a cross-built client goes through the emulator, which
// gets the preload list with -E instead.
Result boot(const std::string& dir, const std::vector<std::string>& client_args) {
    std::vector<std::string> args = {"boot"};
    if (!emulator().empty()) args.push_back("--no-preload");
    args.push_back(dir);
    args.push_back("--");
    std::vector<std::string> client =
        emulator().empty() ? std::vector<std::string>{MFPSIM_CLIENT_PLAIN}
                           : target_command(MFPSIM_CLIENT_PLAIN, {}, {{"LD_PRELOAD", mfpsim::preload_list()}});
    args.insert(args.end(), client.begin(), client.end());
    args.insert(args.end(), client_args.begin(), client_args.end());
    return tool(args);
}

std::string temp_path(const char* name) {
    return std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/mfpsim-" +
           std::to_string(getpid()) + "-" + name;
}

}  // namespace

class ToolTest : public BoardTest {};

TEST_F(ToolTest, NewWithAreasThenStat) {
    std::string dir = temp_path("new"), area = temp_path("area1");
    {
        std::ofstream(area, std::ios::binary) << "MEdata";
    }
    Result r = tool({"new", dir, "--area1", area, "--erase-polls", "2"});
    ASSERT_TRUE(r.outcome.ok()) << r.outcome.describe();
    {
        mfpsim::Board b = mfpsim::Board::open(dir);
        EXPECT_EQ(b.flash(0x7FFF0, 16), Bytes(16, 0xFF));
        EXPECT_EQ(b.physmem(0x0EC1F000, 7), (Bytes{'M', 'E', 'd', 'a', 't', 'a', 0}));
        EXPECT_EQ(b.physmem(0x0EC00000, 2), (Bytes{0, 0}));
    }
    Result s = tool({"stat", dir});
    ASSERT_TRUE(s.outcome.ok());
    EXPECT_NE(s.out.find("power on\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("writes 0\n"), std::string::npos) << s.out;

    // Refusals: an oversized area, a missing board, an unknown command.
    std::ofstream(area, std::ios::binary) << std::string(5000, 'x');
    EXPECT_FALSE(tool({"new", dir, "--area1", area}).outcome.ok());
    EXPECT_FALSE(tool({"stat", dir + "/nothing"}).outcome.ok());
    EXPECT_FALSE(tool({"frobnicate"}).outcome.ok());
    for (const char* c : {"new", "boot", "cut", "fault", "stat", "export", "import"}) {
        Result h = tool({c, "--help"});
        EXPECT_TRUE(h.outcome.ok()) << c;
        EXPECT_EQ(h.out.rfind(std::string("usage: mfpsim ") + c, 0), 0u) << h.out;
    }
    unlink(area.c_str());
    mfpsys::test::remove_board_dir(dir);
}

TEST_F(ToolTest, ExportImportRoundTrip) {
    Bytes pattern(mfpsim::kFlashSize);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 31 + (i >> 11));
    board().set_flash(0, pattern);
    std::string file = temp_path("image"), dir = temp_path("copy");
    ASSERT_TRUE(tool({"export", board_dir(), file}).outcome.ok());
    ASSERT_TRUE(tool({"new", dir}).outcome.ok());
    ASSERT_TRUE(tool({"import", dir, file}).outcome.ok());
    EXPECT_EQ(mfpsim::Board::open(dir).flash(0, mfpsim::kFlashSize), pattern);
    // A file of the wrong size is refused and leaves the flash alone.
    { std::ofstream(file, std::ios::binary | std::ios::trunc) << "short"; }
    EXPECT_FALSE(tool({"import", dir, file}).outcome.ok());
    EXPECT_EQ(mfpsim::Board::open(dir).flash(0, 16), Bytes(pattern.begin(), pattern.begin() + 16));
    unlink(file.c_str());
    mfpsys::test::remove_board_dir(dir);
}

// The booted command runs on the board (the fault below shows it) and in a
// fresh IPC namespace: no System V object of this system reaches it.
TEST_F(ToolTest, BootRunsACommandOnAFreshlyStartedBoard) {
    int id = semget(0x4D53494D, 1, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    EXPECT_TRUE(boot(board_dir(), {"ipc", "0x4D53494D"}).outcome.ok());
    EXPECT_FALSE(run_program(target_command(MFPSIM_CLIENT_PLAIN, {"ipc", "0x4D53494D"}, {})).outcome.ok())
        << "the check itself does not see the semaphore";
}

TEST_F(ToolTest, CutAndFaultArmedByTheToolFireInTheBootedCommand) {
    ASSERT_TRUE(tool({"cut", board_dir(), "--write", "2", "--tear", "none", "--salt", "11"}).outcome.ok());
    Result r = boot(board_dir(), {"device"});
    EXPECT_EQ(r.outcome.signal, SIGKILL) << r.outcome.describe();
    EXPECT_TRUE(board().power_lost());
    EXPECT_EQ(board().last_cut().salt, 11u);
    EXPECT_EQ(board().last_cut().offset, 0x7C000u);
    Result s = tool({"stat", board_dir()});
    EXPECT_NE(s.out.find("power lost\n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("last_cut write 0x7c000+1 tear none done 0 salt 11"), std::string::npos) << s.out;

    // Boot brings power back.
    ASSERT_TRUE(tool({"fault", board_dir(), "erase-fail", "1"}).outcome.ok());
    Result f = boot(board_dir(), {"device"});
    EXPECT_TRUE(f.outcome.exited);
    EXPECT_EQ(f.outcome.code, 12) << "the erase request should have failed";
    EXPECT_FALSE(board().power_lost());
    EXPECT_EQ(board().counters().faults_fired, 2u);
    EXPECT_FALSE(tool({"fault", board_dir(), "no-such-fault", "1"}).outcome.ok());
}
