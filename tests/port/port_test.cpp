// The port layer: the lock a dead holder gives back, and where a flash step
// stopped. (The big-endian codec is held to hand-written bytes by the NV
// store's exact sector images.)
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <unistd.h>
#include <atomic>
#include <vector>
#include "harness/board.h"
#include "port/flash_device.h"
#include "port/sysv_lock.h"
using namespace mfpsys::port;
using Bytes = std::vector<std::uint8_t>;
// Taken with SEM_UNDO: a holder that ends without releasing gives the lock
// back, and the owner word it left names it to the next holder.
TEST(PortLock, AnEndedHolderGivesTheLockBackAndIsNamed) {
    const int id = sysvLockOpen(0x4D50FF01);
    mfpsys::test::Shared<std::uint32_t> owner;
    const auto ended = mfpsys::test::run_child([&]() -> int {
        SysvLock l(id, *owner, 7);
        _exit(l.held() ? 9 : 1);  // ends holding it, never releasing
    });
    EXPECT_EQ(ended.code, 9);
    ASSERT_EQ(semctl(id, 0, GETVAL, semun{}), 0);
    SysvLock l(id, *owner, 8);
    EXPECT_TRUE(l.held());
    EXPECT_TRUE(l.ownerDied()) << "the ended holder is named";
    EXPECT_EQ(*owner, 8u) << "the owner word names the new holder";
    EXPECT_EQ(semctl(id, 0, GETVAL, semun{}), 1) << "taken";
    l.release();
    EXPECT_EQ(*owner, 0u) << "released: no owner";
    EXPECT_EQ(semctl(id, 0, GETVAL, semun{}), 0) << "released: free";
}

// The next transfers fail with EINTR before moving a byte, as an interruptible driver's may.
static std::atomic<int> g_interrupts{0};
template <class Fn, class... A> static ssize_t transfer(const char* name, A... a) {
    return g_interrupts > 0 && (--g_interrupts, (errno = EINTR) != 0) ? -1 : reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name))(a...);
}
extern "C" ssize_t read(int fd, void* b, size_t n) { return transfer<ssize_t (*)(int, void*, size_t)>("read", fd, b, n); }
extern "C" ssize_t write(int fd, const void* b, size_t n) { return transfer<ssize_t (*)(int, const void*, size_t)>("write", fd, b, n); }

// Each fault is reported at the step where it happened, never as success; an
// interrupted transfer is asked again.
class PortFlash : public mfpsys::test::BoardTest {};
TEST_F(PortFlash, AFailedStepIsReportedWhereItStopped) {
    using enum mfpsim::Fault;
    struct Row { mfpsim::Fault fault; int step; FlashFail fail; ssize_t value; };
    for (auto [fault, step, fail, value] : {Row{Open, 0, FlashFail::Open, -1}, {Lseek, 0, FlashFail::Seek, -1}, {ReadFail, 0, FlashFail::Step, -1},
             {ReadShort, 0, FlashFail::None, 2}, {WriteFail, 1, FlashFail::Step, -1}, {EraseFail, 2, FlashFail::Step, -1}}) {
        board().arm_fault(fault, 1);
        Bytes b(4);
        const FlashResult r = step == 0 ? flashRead(0x100, &b[0], 4) : step == 1 ? flashWrite(0x100, &b[0], 4) : flashRequest(0x100, kFlashErase);
        EXPECT_EQ(r.fail, fail) << mfpsim::fault_name(fault);
        EXPECT_EQ(r.value, value) << mfpsim::fault_name(fault);
        EXPECT_EQ(board().counters().open_fds, 0u) << mfpsim::fault_name(fault) << ": descriptor left open";
    }
    Bytes data = {0x12, 0x34, 0x56, 0x78}, got(4);
    EXPECT_TRUE((g_interrupts = 2, flashWrite(0x200, data.data(), 4).whole(4)));
    EXPECT_TRUE((g_interrupts = 2, flashRead(0x200, got.data(), 4).whole(4)));
    EXPECT_EQ(got, data) << "read back after interrupts";
}

