// The physical-memory device: read-only shared windows onto the download areas.
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "harness/board.h"
#include "tests/sim/device.h"

using namespace simtest;
using mfpsys::test::BoardTest;
using Bytes = std::vector<uint8_t>;

class PhysmemTest : public BoardTest {};

TEST_F(PhysmemTest, MapsTheAreasAtTheirPhysicalAddresses) {
    board().set_physmem(0x0EC00000, Bytes{0x4D, 0x45, 0x00, 0x03});
    board().set_physmem(0x0EC1F000, Bytes{0xAB});
    board().set_physmem(0x0EC1FFFF, Bytes{0xCD});
    int fd = open("/dev/mfp_devmem", O_RDONLY);
    ASSERT_GE(fd, 0);
    void* a0 = mmap(nullptr, 0x1F000, PROT_READ, MAP_SHARED, fd, 0x0EC00000);
    void* a1 = mmap(nullptr, 0x1000, PROT_READ, MAP_SHARED, fd, 0x0EC1F000);
    ASSERT_EQ(close(fd), 0);  // the mappings outlive the descriptor
    ASSERT_NE(a0, MAP_FAILED);
    ASSERT_NE(a1, MAP_FAILED);
    auto p0 = static_cast<const uint8_t*>(a0);
    auto p1 = static_cast<const uint8_t*>(a1);
    EXPECT_EQ(Bytes(p0, p0 + 5), (Bytes{0x4D, 0x45, 0x00, 0x03, 0x00}));
    EXPECT_EQ(p1[0], 0xAB);
    EXPECT_EQ(p1[0xFFF], 0xCD);
    // Memory, not a copy: a later change shows through the mapping.
    board().set_physmem(0x0EC00010, Bytes{0x77});
    EXPECT_EQ(p0[0x10], 0x77);
    EXPECT_EQ(munmap(a0, 0x1F000), 0);
    EXPECT_EQ(munmap(a1, 0x1000), 0);
    mfpsim::Counters c = board().counters();
    EXPECT_EQ(c.maps, 2u);
    EXPECT_EQ(c.unmaps, 2u);
    EXPECT_EQ(c.open_fds, 0u);
}

TEST_F(PhysmemTest, RefusesWritableMapsOfAReadOnlyDescriptorAndForeignAddresses) {
    DevFd fd("/dev/mfp_devmem", O_RDONLY);
    ASSERT_GE(fd.get(), 0);
    errno = 0;
    EXPECT_EQ(mmap(nullptr, 0x1000, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0x0EC00000), MAP_FAILED);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(mmap(nullptr, 0x1000, PROT_READ, MAP_SHARED, fd.get(), 0x0EBFF000), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mmap(nullptr, 0x2000, PROT_READ, MAP_SHARED, fd.get(), 0x0EC1F000), MAP_FAILED)
        << "a window running past the download areas";
    // The flash device cannot be mapped.
    DevFd flash("/dev/mfp_flashrom");
    EXPECT_EQ(mmap(nullptr, 0x1000, PROT_READ, MAP_SHARED, flash.get(), 0), MAP_FAILED);
}
