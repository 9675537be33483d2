// One board, several processes; calls that are not the board's pass through.
#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "harness/board.h"
#include "sim/state.h"
#include "tests/sim/device.h"

using namespace simtest;
using mfpsys::test::BoardTest;
using mfpsys::test::Outcome;
using Bytes = std::vector<uint8_t>;

// The checked and offset-width spellings a client build may import.
extern "C" {
int __open_2(const char*, int);
int __open64_2(const char*, int);
int __openat_2(int, const char*, int);
int __openat64_2(int, const char*, int);
ssize_t __read_chk(int, void*, size_t, size_t);
int open64(const char*, int, ...);
int openat64(int, const char*, int, ...);
off64_t lseek64(int, off64_t, int);
void* mmap64(void*, size_t, int, int, int, off64_t);
}

class ShareTest : public BoardTest {};

TEST_F(ShareTest, TwoProcessesProgrammingTheSameBytesLoseNothing) {
    // Each clears its own bit in every byte: a lost read-modify-write shows.
    const uint32_t kBytes = 300;
    auto outcomes = mfpsys::test::run_children(2, [&](int i) {
        for (uint32_t b = 0; b < kBytes; ++b)
            CHILD_CHECK(flash_write(0x3000 + b, {uint8_t(~(1u << i))}) == 1);
        return 0;
    });
    for (auto& o : outcomes) EXPECT_CHILD_OK(o);
    EXPECT_EQ(board().flash(0x3000, kBytes), Bytes(kBytes, 0xFC));
    mfpsim::Counters c = board().counters();
    EXPECT_EQ(c.writes, 2 * kBytes);
    EXPECT_EQ(c.opens, 2 * kBytes);
    EXPECT_EQ(c.open_fds, 0u);
}

TEST_F(ShareTest, VirtualClockAndEraseTimersAreTheBoards) {
    board().set_erase_seconds(3);
    EXPECT_CHILD_OK(mfpsys::test::run_child([] {
        CHILD_CHECK(flash_erase(0x10000) == 0);
        CHILD_CHECK(sleep(2) == 0);
        return 0;
    }));
    // Another process (a restarted system, even) sees the same clock and erase.
    EXPECT_CHILD_OK(restart([] {
        CHILD_CHECK(flash_status(0x10000) == -1);
        CHILD_CHECK(sleep(1) == 0);
        CHILD_CHECK(flash_status(0x10000) == 0);
        return 0;
    }));
    EXPECT_EQ(board().virtual_seconds(), 3u);
    EXPECT_EQ(board().counters().erases[1], 1u);

    // Real time: the sleep happens and is still counted.
    board().set_real_time(true);
    EXPECT_EQ(sleep(1), 0u);
    EXPECT_EQ(board().virtual_seconds(), 4u);
}

TEST_F(ShareTest, BoardIsChosenAtOpenTime) {
    char tmpl[] = "/tmp/mfpsim-other-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string other_dir = tmpl;
    {
        mfpsim::Board other = mfpsim::Board::create(other_dir);
        DevFd first("/dev/mfp_flashrom");
        other.select();
        EXPECT_EQ(flash_write(0x20, {0x00}), 1);
        // A descriptor stays with the board it was opened on.
        ASSERT_EQ(lseek(first.get(), 0x21, SEEK_SET), 0x21);
        uint8_t z = 0;
        ASSERT_EQ(write(first.get(), &z, 1), 1);
        board().select();
        EXPECT_EQ(other.flash(0x20, 2), (Bytes{0x00, 0xFF}));
        EXPECT_EQ(board().flash(0x20, 2), (Bytes{0xFF, 0x00}));
    }
    mfpsys::test::remove_board_dir(other_dir);
}

TEST_F(ShareTest, OtherFilesPassThroughEverySpelling) {
    char path[] = "/tmp/mfpsim-plain-XXXXXX";
    int made = mkstemp(path);
    ASSERT_GE(made, 0);
    const char text[] = "plain file";
    ASSERT_EQ(write(made, text, sizeof text), ssize_t(sizeof text));
    ASSERT_EQ(close(made), 0);

    auto check = [&](int fd, const char* how) {
        SCOPED_TRACE(how);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        char buf[sizeof text] = {};
        EXPECT_EQ(lseek(fd, 6, SEEK_SET), 6);
        EXPECT_EQ(lseek64(fd, 0, SEEK_CUR), 6);
        EXPECT_EQ(read(fd, buf, 4), 4);
        EXPECT_EQ(std::string(buf, 4), "file");
        EXPECT_EQ(lseek64(fd, 0, SEEK_SET), 0);
        EXPECT_EQ(__read_chk(fd, buf, 5, sizeof buf), 5);
        EXPECT_EQ(std::string(buf, 5), "plain");
        int avail = -1;
        EXPECT_EQ(ioctl(fd, FIONREAD, &avail), 0);
        struct stat st{};
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(avail, int(st.st_size) - 5);
        void* m = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
        void* m64 = mmap64(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
        ASSERT_NE(m, MAP_FAILED);
        ASSERT_NE(m64, MAP_FAILED);
        EXPECT_EQ(std::memcmp(m, text, sizeof text), 0);
        EXPECT_EQ(std::memcmp(m64, text, sizeof text), 0);
        EXPECT_EQ(munmap(m, 4096), 0);
        EXPECT_EQ(munmap(m64, 4096), 0);
        EXPECT_EQ(close(fd), 0);
    };
    // With a board selected and without one: the board never sees these.
    for (bool selected : {true, false}) {
        if (!selected) unsetenv(mfpsim::kBoardEnv);
        check(open(path, O_RDONLY), "open");
        check(open64(path, O_RDONLY), "open64");
        check(__open_2(path, O_RDONLY), "__open_2");
        check(__open64_2(path, O_RDONLY), "__open64_2");
        check(openat(AT_FDCWD, path, O_RDONLY), "openat");
        check(openat64(AT_FDCWD, path, O_RDONLY), "openat64");
        check(__openat_2(AT_FDCWD, path, O_RDONLY), "__openat_2");
        check(__openat64_2(AT_FDCWD, path, O_RDONLY), "__openat64_2");
        int w = open(path, O_WRONLY | O_APPEND);
        ASSERT_GE(w, 0);
        EXPECT_EQ(write(w, "x", 1), 1);
        EXPECT_EQ(close(w), 0);
    }
    mfpsim::Counters c = board().counters();
    EXPECT_EQ(c.opens + c.reads + c.writes + c.seeks + c.maps, 0u);

    // No board: the device paths are left to the system, which has no such device.
    errno = 0;
    EXPECT_EQ(open("/dev/mfp_flashrom", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(__open_2("/dev/mfp_devmem", O_RDONLY), -1);
    unlink(path);

    // A board variable naming no board refuses the devices rather than guess.
    setenv(mfpsim::kBoardEnv, "/nonexistent/board", 1);
    errno = 0;
    EXPECT_EQ(open("/dev/mfp_flashrom", O_RDWR), -1);
    EXPECT_EQ(errno, ENODEV);
}

namespace {
int count_fds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}
}  // namespace

TEST_F(ShareTest, DeviceCallsLeaveNoDescriptorBehind) {
    flash_write(0, {0x00});  // the board's own files are opened once per process
    int before = count_fds();
    for (int i = 0; i < 20; ++i) {
        flash_write(0x100 + i, {0x00});
        flash_read(0, 16);
        flash_erase(0x70000);
        flash_status(0x70000);
        DevFd mem("/dev/mfp_devmem", O_RDONLY);
        void* m = mmap(nullptr, 0x1000, PROT_READ, MAP_SHARED, mem.get(), 0x0EC00000);
        ASSERT_NE(m, MAP_FAILED);
        munmap(m, 0x1000);
    }
    EXPECT_EQ(count_fds(), before);
    EXPECT_EQ(board().counters().open_fds, 0u);
    // Simulated descriptors are real ones: numbers never collide.
    DevFd a("/dev/mfp_flashrom");
    int plain = open("/dev/null", O_RDONLY);
    EXPECT_NE(a.get(), plain);
    close(plain);
    EXPECT_EQ(lseek(a.get(), 0x10, SEEK_SET), 0x10) << "closing another descriptor touched the device";
}

TEST_F(ShareTest, StateFileReadsTheSameOnBothTargets) {
    // A native tool inspects boards that cross-built programs ran on: the
    // shared state is little-endian whatever the processor.
    board().reset_counters();
    for (int i = 0; i < 3; ++i) flash_write(0x10 + i, {0x00});
    board().set_erase_status_polls(0x01020304);
    int fd = open((board_dir() + "/state").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    uint8_t raw[8];
    ASSERT_EQ(pread(fd, raw, 8, offsetof(mfpsim::detail::State, counters) + 8 * mfpsim::detail::kWrites), 8);
    EXPECT_EQ(Bytes(raw, raw + 8), (Bytes{3, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(pread(fd, raw, 4, offsetof(mfpsim::detail::State, erase_polls)), 4);
    EXPECT_EQ(Bytes(raw, raw + 4), (Bytes{4, 3, 2, 1}));
    close(fd);
}
