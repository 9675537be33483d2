// GoogleTest fixture: every test on a fresh simulated board of its own, in a
// temporary directory, selected for this process and its children.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "harness/proc.h"
#include "sim/board.h"

namespace mfpsys::test {

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    mfpsim::Board& board() { return *board_; }
    const std::string& board_dir() const { return dir_; }
    // Power comes back and fn runs as a newly started system (run_restarted).
    Outcome restart(std::function<int()> fn);
private:
    std::string dir_;
    std::optional<mfpsim::Board> board_;
};

void remove_board_dir(const std::string& dir);

}  // namespace mfpsys::test
