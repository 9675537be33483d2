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

// A new board in a temporary directory, selected while it lives; the directory goes with it.
class TempBoard {
public:
    TempBoard();
    ~TempBoard();
    TempBoard(const TempBoard&) = delete;
    TempBoard& operator=(const TempBoard&) = delete;
    mfpsim::Board& board() { return *board_; }
    const std::string& dir() const { return dir_; }
private:
    std::string dir_;
    std::optional<mfpsim::Board> board_;
};

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override { temp_.emplace(); }
    void TearDown() override { temp_.reset(); }
    mfpsim::Board& board() { return temp_->board(); }
    const std::string& board_dir() const { return temp_->dir(); }
    // Power comes back and fn runs as a newly started system (run_restarted).
    Outcome restart(std::function<int()> fn);
private:
    std::optional<TempBoard> temp_;
};

}  // namespace mfpsys::test
