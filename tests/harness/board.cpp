#include "harness/board.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace mfpsys::test {

TempBoard::TempBoard() {
    const char* tmp = std::getenv("TMPDIR");
    dir_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/mfpsim-board-XXXXXX";
    if (mkdtemp(dir_.data()) == nullptr) throw std::runtime_error("cannot make a board directory");
    board_.emplace(mfpsim::Board::create(dir_));
    board_->select();
}

TempBoard::~TempBoard() {
    unsetenv(mfpsim::kBoardEnv);
    board_.reset();
    // By name: a 32-bit readdir may fail on a host with 64-bit directory offsets.
    for (const char* f : {"flash.img", "physmem.img", "state"}) unlink((dir_ + "/" + f).c_str());
    rmdir(dir_.c_str());
}

Outcome BoardTest::restart(std::function<int()> fn) {
    board().power_on();
    return run_restarted(std::move(fn));
}

}  // namespace mfpsys::test
