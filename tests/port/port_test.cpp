// The port layer: where a flash step stopped. (The big-endian codec is held to
// hand-written bytes by the NV store's exact sector images; the lock a dead
// holder gives back and names, by the killed holders of every lock.)
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <atomic>
#include <vector>
#include "harness/board.h"
#include "port/flash_device.h"
using namespace mfpsys::port;
using Bytes = std::vector<std::uint8_t>;
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

