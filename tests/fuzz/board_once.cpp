#include "board_once.h"

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace fuzz {

namespace {

std::string g_dir;

void removeBoard() {
    if (g_dir.empty()) return;
    for (const char* f : {"/flash.img", "/physmem.img", "/state"}) ::unlink((g_dir + f).c_str());
    ::rmdir(g_dir.c_str());
}

}  // namespace

mfpsim::Board& board() {
    static std::optional<mfpsim::Board> b;
    if (!b) {
        if (::unshare(CLONE_NEWIPC) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
            std::perror("fuzz: cannot enter a new IPC namespace");
            std::abort();
        }
        char tmpl[] = "/tmp/mfpsys-fuzz-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) std::abort();
        g_dir = tmpl;
        b.emplace(mfpsim::Board::create(g_dir));
        b->select();
        std::atexit(removeBoard);
    }
    return *b;
}

}  // namespace fuzz
