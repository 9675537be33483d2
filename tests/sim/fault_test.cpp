// Device faults: each fires once, at the chosen matching call, and is counted.
#include <sys/mman.h>

#include <cerrno>
#include <functional>

#include "harness/board.h"
#include "tests/sim/device.h"

using namespace simtest;
using mfpsys::test::BoardTest;
using mfpsim::Fault;
using Bytes = std::vector<uint8_t>;

class FaultTest : public BoardTest {};

namespace {

// One matching call (number i from 1); true when it behaved normally.
// The failure it must show instead is checked by the caller's 'failed'.
struct Case {
    Fault fault;
    std::function<long(int)> call;          // returns the call's result
    std::function<bool(long)> normal;        // a normal result
    std::function<bool(long, int)> failed;   // the fault's result, with errno
};

}  // namespace

TEST_F(FaultTest, EachFaultFiresOnceAtTheChosenCall) {
    const int kNth = 3, kCalls = 5;
    std::vector<Case> cases = {
        {Fault::Open, [](int) { int fd = open("/dev/mfp_flashrom", O_RDWR); if (fd >= 0) close(fd); return long(fd); },
         [](long r) { return r >= 0; }, [](long r, int e) { return r == -1 && e == ENXIO; }},
        {Fault::Lseek, [](int i) { DevFd fd("/dev/mfp_flashrom"); return long(lseek(fd.get(), 0x100 * i, SEEK_SET)); },
         [](long r) { return r >= 0x100; }, [](long r, int e) { return r == -1 && e == EINVAL; }},
        {Fault::ReadFail, [](int) { return long(flash_read(0, 4).size()); },
         [](long r) { return r == 4; }, [](long r, int) { return r == 0; }},
        {Fault::ReadShort, [](int) { return long(flash_read(0, 4).size()); },
         [](long r) { return r == 4; }, [](long r, int) { return r == 2; }},
        {Fault::WriteFail, [](int i) { return long(flash_write(0x10 * i, {0x00, 0x00, 0x00, 0x00})); },
         [](long r) { return r == 4; }, [](long r, int e) { return r == -1 && e == EIO; }},
        {Fault::WriteShort, [](int i) { return long(flash_write(0x10 * i, {0x00, 0x00, 0x00, 0x00})); },
         [](long r) { return r == 4; }, [](long r, int) { return r == 2; }},
        {Fault::EraseFail, [](int) { flash_write(0x20000, {0x00}); return flash_erase(0x20000); },
         [](long r) { return r == 0; }, [](long r, int e) { return r == -1 && e == EIO; }},
        {Fault::Mmap, [](int) {
             DevFd fd("/dev/mfp_devmem", O_RDONLY);
             void* p = mmap(nullptr, 0x1000, PROT_READ, MAP_SHARED, fd.get(), 0x0EC1F000);
             if (p == MAP_FAILED) return -1L;
             munmap(p, 0x1000);
             return 0L;
         },
         [](long r) { return r == 0; }, [](long r, int e) { return r == -1 && e == EAGAIN; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(mfpsim::fault_name(c.fault));
        board().set_flash(0, Bytes(mfpsim::kFlashSize, 0xFF));
        board().reset_counters();
        board().arm_fault(c.fault, kNth);
        for (int i = 1; i <= kCalls; ++i) {
            errno = 0;
            long r = c.call(i);
            int e = errno;
            if (i == kNth) {
                EXPECT_TRUE(c.failed(r, e)) << "call " << i << " gave " << r << ", errno " << e;
            } else {
                EXPECT_TRUE(c.normal(r)) << "call " << i << " gave " << r << ", errno " << e;
            }
        }
        EXPECT_EQ(board().counters().faults_fired, 1u);
        EXPECT_EQ(board().counters().open_fds, 0u);
    }
}

TEST_F(FaultTest, FailedTransfersLeaveTheFlashAsTheyFoundIt) {
    board().arm_fault(Fault::WriteFail, 1);
    EXPECT_EQ(flash_write(0x40, {0x00, 0x00}), -1);
    EXPECT_EQ(board().flash(0x40, 2), (Bytes{0xFF, 0xFF}));

    board().arm_fault(Fault::WriteShort, 1);
    EXPECT_EQ(flash_write(0x40, {0x01, 0x02, 0x03, 0x04}), 2);
    EXPECT_EQ(board().flash(0x40, 4), (Bytes{0x01, 0x02, 0xFF, 0xFF}));

    // A short read of a given length returns the leading bytes.
    board().arm_fault(Fault::ReadShort, 1, 3);
    EXPECT_EQ(flash_read(0x40, 4), (Bytes{0x01, 0x02, 0xFF}));

    board().set_flash(0x20000, Bytes{0x00});
    board().arm_fault(Fault::EraseFail, 1);
    EXPECT_EQ(flash_erase(0x20000), -1);
    EXPECT_EQ(flash_status(0x20000), 0) << "a refused erase left the sector busy";
    EXPECT_EQ(board().flash(0x20000, 1), Bytes{0x00});
    EXPECT_EQ(board().counters().erases[2], 0u);
}

TEST_F(FaultTest, EraseThatNeverEndsStaysBusyAndKeepsItsBytes) {
    board().set_flash(0x7A000, Bytes{0x00});
    board().arm_fault(Fault::EraseNeverEnds, 2);
    ASSERT_EQ(flash_erase(0x7C000), 0);
    EXPECT_EQ(flash_status(0x7C000), 0);
    ASSERT_EQ(flash_erase(0x7A000), 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(flash_status(0x7A000), -1) << "round " << i;
        sleep(1);
    }
    EXPECT_EQ(board().flash(0x7A000, 1), Bytes{0x00});
    EXPECT_EQ(board().virtual_seconds(), 20u);
    // A new request for the sector starts a normal erase.
    ASSERT_EQ(flash_erase(0x7A000), 0);
    EXPECT_EQ(flash_status(0x7A000), 0);
    EXPECT_EQ(board().flash(0x7A000, 1), Bytes{0xFF});
    EXPECT_EQ(board().counters().faults_fired, 1u);
}

TEST_F(FaultTest, DisarmDropsWhatIsArmed) {
    board().arm_fault(Fault::WriteFail, 1);
    board().arm_power_cut(mfpsim::CutAt::Program, 1, mfpsim::Tear::None, 1);
    board().disarm();
    EXPECT_EQ(flash_write(0, {0x00}), 1);
    EXPECT_EQ(board().counters().faults_fired, 0u);
    EXPECT_FALSE(board().power_lost());
}
