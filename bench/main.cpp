// Every benchmark process starts in an IPC namespace of its own, so that no
// System V object of another process disturbs it or is disturbed by it, and on
// a simulated board of its own, removed at the end.
#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench/common.h"

#ifdef MFPBENCH_BOARD
namespace mfpbench {
namespace {
std::optional<mfpsim::Board> g_board;
std::string g_dir;

void removeBoardDir() {
    if (g_dir.empty()) return;
    if (DIR* d = opendir(g_dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") unlink((g_dir + "/" + name).c_str());
        }
        closedir(d);
    }
    rmdir(g_dir.c_str());
}
}  // namespace

mfpsim::Board& board() { return *g_board; }
}  // namespace mfpbench
#endif

int main(int argc, char** argv) {
    if (unshare(CLONE_NEWIPC) != 0) {
        std::fprintf(stderr, "unshare(CLONE_NEWIPC): %s (run as root)\n", std::strerror(errno));
        return 1;
    }
#ifdef MFPBENCH_BOARD
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/mfpbench-board-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        std::fprintf(stderr, "cannot make a board directory: %s\n", std::strerror(errno));
        return 1;
    }
    mfpbench::g_dir = buf.data();
    mfpbench::g_board.emplace(mfpsim::Board::create(mfpbench::g_dir));
    mfpbench::g_board->select();
#endif
    benchmark::Initialize(&argc, argv);
    int rc = benchmark::ReportUnrecognizedArguments(argc, argv) ? 1 : 0;
    if (rc == 0) benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
#ifdef MFPBENCH_BOARD
    mfpbench::g_board.reset();
    mfpbench::removeBoardDir();
#endif
    return rc;
}
