// GoogleTest fixture: every test on a fresh simulated board of its own.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "harness/proc.h"
#include "sim/board.h"

namespace mfpsys::test {

// A fresh board in a temporary directory, selected for this process and its
// children (MFPSIM_BOARD), removed at the end of the test.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    mfpsim::Board& board() { return *board_; }
    const std::string& board_dir() const { return dir_; }

    // A restart after a power cut (or without one): power comes back and fn
    // runs in a child in a fresh IPC namespace, as on a newly started system.
    Outcome restart(std::function<int()> fn);

private:
    std::string dir_;
    std::optional<mfpsim::Board> board_;
};

// Removes a board directory and the board's files in it.
void remove_board_dir(const std::string& dir);

}  // namespace mfpsys::test
