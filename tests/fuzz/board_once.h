// One simulated board for the life of a fuzzing process, in a fresh IPC
// namespace so that no System V object of the machine is touched.
#pragma once
#include <sched.h>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include "sim/board.h"

namespace fuzz {
inline void require(bool ok) { if (!ok) std::abort(); }
inline mfpsim::Board& board() {
    static std::optional<mfpsim::Board> b;
    static std::string dir;
    if (b) return *b;
    char tmpl[] = "/tmp/mfpsys-fuzz-XXXXXX";
    require((::unshare(CLONE_NEWIPC) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWIPC) == 0) && ::mkdtemp(tmpl));
    b.emplace(mfpsim::Board::create(dir = tmpl));
    b->select();
    std::atexit([] { std::filesystem::remove_all(dir); });
    return *b;
}
}  // namespace fuzz
