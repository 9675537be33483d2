// Any program on a board through LD_PRELOAD, natively and under the emulator.
#include "harness/board.h"
#include "tests/sim/program.h"

using namespace simtest;
using mfpsys::test::BoardTest;
using Bytes = std::vector<uint8_t>;

class PreloadTest : public BoardTest {};

TEST_F(PreloadTest, UnlinkedClientRunsOnTheBoardOnlyWithTheInterposerPreloaded) {
    board().set_physmem(0x0EC1F000, Bytes{0x5C});
    board().set_flash(0x7C000, Bytes{0x00});
    for (const char* client : {MFPSIM_CLIENT_PLAIN, MFPSIM_CLIENT_WIDE}) {
        SCOPED_TRACE(client);
        board().set_flash(0x7A000, Bytes{0xFF, 0xFF});
        board().reset_counters();
        uint64_t t0 = board().virtual_seconds();

        // Without the interposer the device does not exist on this machine.
        Result bare = run_program(target_command(client, {"device"}, {}));
        EXPECT_TRUE(bare.outcome.exited);
        EXPECT_EQ(bare.outcome.code, 2) << bare.outcome.describe();
        EXPECT_EQ(board().counters().opens, 0u);

        Result r = run_program(target_command(client, {"device"}, {{"LD_PRELOAD", mfpsim::preload_list()}}));
        ASSERT_TRUE(r.outcome.ok()) << r.outcome.describe() << "\n" << r.out;
        EXPECT_NE(r.out.find("area byte 5c\nclient ok\n"), std::string::npos) << r.out;
        EXPECT_EQ(board().flash(0x7A000, 2), (Bytes{0x61, 0x62}));
        EXPECT_EQ(board().flash(0x7C000, 1), Bytes{0xFF});
        mfpsim::Counters c = board().counters();
        EXPECT_EQ(c.opens, 3u);
        EXPECT_EQ(c.open_fds, 0u);
        EXPECT_EQ(c.erases[10], 1u);
        EXPECT_EQ(c.maps, 1u);
        EXPECT_EQ(c.unmaps, 1u);
        EXPECT_EQ(board().virtual_seconds() - t0, 5u) << "sleep did not reach the virtual clock";
    }
}
