#include "harness/board.h"

#include <unistd.h>

#include <cstdlib>

namespace mfpsys::test {

void BoardTest::SetUp() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/mfpsim-board-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr) << "cannot make a board directory";
    dir_ = dir;
    board_.emplace(mfpsim::Board::create(dir_));
    board_->select();
}

void BoardTest::TearDown() {
    unsetenv(mfpsim::kBoardEnv);
    board_.reset();
    if (!dir_.empty()) remove_board_dir(dir_);
}

Outcome BoardTest::restart(std::function<int()> fn) {
    board_->power_on();
    return run_restarted(std::move(fn));
}

void remove_board_dir(const std::string& dir) {
    // By name: a 32-bit readdir may fail on a host with 64-bit directory offsets.
    for (const char* f : {"flash.img", "physmem.img", "state"}) unlink((dir + "/" + f).c_str());
    rmdir(dir.c_str());
}

}  // namespace mfpsys::test
