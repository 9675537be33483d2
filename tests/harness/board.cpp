#include "harness/board.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace mfpsys::test {

void BoardTest::SetUp() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/mfpsim-board-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr) << "cannot make a board directory";
    dir_ = buf.data();
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
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") unlink((dir + "/" + name).c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

}  // namespace mfpsys::test
