// The flash device: NOR programming, erase geometry and status, bounds,
// access modes, counters and journal.
#include <cerrno>

#include "harness/board.h"
#include "tests/sim/device.h"

using namespace simtest;
using mfpsys::test::BoardTest;
using Bytes = std::vector<uint8_t>;

class FlashTest : public BoardTest {};

TEST_F(FlashTest, NewBoardIsErasedAndWritesOnlyClearBits) {
    EXPECT_EQ(board().flash(0, mfpsim::kFlashSize), Bytes(mfpsim::kFlashSize, 0xFF));
    ASSERT_EQ(flash_write(0x100, {0xF0, 0x0F, 0x55}), 3);
    EXPECT_EQ(flash_read(0x100, 3), (Bytes{0xF0, 0x0F, 0x55}));
    EXPECT_EQ(board().counters().violations, 0u);

    // 0x3C over 0xF0 asks to raise bits 2,3: stored AND, one violating call.
    ASSERT_EQ(flash_write(0x100, {0x3C, 0xFF, 0xAA}), 3);
    EXPECT_EQ(board().flash(0x100, 3), (Bytes{0x30, 0x0F, 0x00}));
    EXPECT_EQ(board().counters().violations, 1u);

    // Rewriting what is stored, or clearing more, is no violation.
    ASSERT_EQ(flash_write(0x100, {0x30, 0x0E, 0x00}), 3);
    EXPECT_EQ(board().counters().violations, 1u);
    EXPECT_EQ(board().flash(0xFF, 5), (Bytes{0xFF, 0x30, 0x0E, 0x00, 0xFF}));
}

TEST_F(FlashTest, ViolatingWriteCanBeMadeToFail) {
    ASSERT_EQ(flash_write(0x10, {0x00}), 1);
    board().set_fail_violations(true);
    errno = 0;
    EXPECT_EQ(flash_write(0x0F, {0x00, 0x01, 0x00}), -1);
    EXPECT_EQ(errno, EIO);
    // Nothing of the refused write reached the flash, not even its legal bytes.
    EXPECT_EQ(board().flash(0x0F, 3), (Bytes{0xFF, 0x00, 0xFF}));
    EXPECT_EQ(board().counters().violations, 1u);
}

TEST_F(FlashTest, EraseGeometryAcceptsExactlyTheSectorStarts) {
    for (int i = 0; i < mfpsim::kSectorCount; ++i) {
        mfpsim::Sector s = mfpsim::sector(i);
        // Program the first and last byte of this sector and its neighbours' edges.
        ASSERT_EQ(flash_write(s.start, {0x00}), 1);
        ASSERT_EQ(flash_write(s.start + s.size - 1, {0x00}), 1);
        bool below = s.start > 0, above = s.start + s.size < mfpsim::kFlashSize;
        if (below) {
            ASSERT_EQ(flash_write(s.start - 1, {0x00}), 1);
        }
        if (above) {
            ASSERT_EQ(flash_write(s.start + s.size, {0x00}), 1);
        }
        EXPECT_EQ(flash_erase(s.start + 0x1000), -1) << "erase off a sector start accepted in sector " << i;
        EXPECT_EQ(flash_erase(s.start + 1), -1);
        EXPECT_EQ(board().flash(s.start, 1), Bytes{0x00}) << "refused erase changed sector " << i;

        ASSERT_EQ(flash_erase(s.start), 0) << "sector " << i;
        EXPECT_EQ(flash_status(s.start), 0);
        EXPECT_EQ(board().flash(s.start, s.size), Bytes(s.size, 0xFF)) << "sector " << i;
        if (below) {
            EXPECT_EQ(board().flash(s.start - 1, 1), Bytes{0x00}) << "erase spilled below " << i;
        }
        if (above) {
            EXPECT_EQ(board().flash(s.start + s.size, 1), Bytes{0x00}) << "erase spilled above " << i;
        }
        EXPECT_EQ(board().counters().erases[size_t(i)], 1u);
    }
    // The boot environment's sector is one of the 8 KiB ones.
    EXPECT_EQ(mfpsim::sector(mfpsim::sector_index(0x7A000)).start, 0x7A000u);
    EXPECT_EQ(mfpsim::sector(mfpsim::sector_index(0x7A000)).size, 0x2000u);
    EXPECT_EQ(flash_erase(mfpsim::kFlashSize), -1);
}

TEST_F(FlashTest, StatusIsBusyForTheConfiguredPollsAndOldBytesStayUntilTheEnd) {
    board().set_erase_status_polls(3);
    ASSERT_EQ(flash_write(0x20000, {0x12, 0x34}), 2);
    ASSERT_EQ(flash_erase(0x20000), 0);
    EXPECT_TRUE(board().erasing(2));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(flash_read(0x20000, 2), (Bytes{0x12, 0x34})) << "erase took effect early";
        EXPECT_EQ(flash_status(0x30000), 0) << "another sector reported busy";
        EXPECT_EQ(flash_status(0x20000), -1) << "poll " << i;
    }
    EXPECT_EQ(flash_status(0x20000), 0);
    EXPECT_FALSE(board().erasing(2));
    EXPECT_EQ(flash_read(0x20000, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(flash_status(0x20000), 0);
    EXPECT_EQ(board().counters().status_requests, 8u);
}

TEST_F(FlashTest, EraseLastsTheConfiguredVirtualSeconds) {
    board().set_erase_seconds(2);
    ASSERT_EQ(flash_write(0x7A000, {0x00}), 1);
    ASSERT_EQ(flash_erase(0x7A000), 0);
    EXPECT_EQ(flash_status(0x7A000), -1);
    EXPECT_EQ(sleep(1), 0u);
    EXPECT_EQ(flash_status(0x7A000), -1);
    EXPECT_EQ(board().flash(0x7A000, 1), Bytes{0x00});
    EXPECT_EQ(sleep(1), 0u);
    EXPECT_EQ(flash_status(0x7A000), 0);
    EXPECT_EQ(board().flash(0x7A000, 1), Bytes{0xFF});
    EXPECT_EQ(board().virtual_seconds(), 2u);
}

TEST_F(FlashTest, WriteIntoAnErasingSectorIsRefused) {
    board().set_erase_status_polls(1);
    ASSERT_EQ(flash_erase(0x78000), 0);
    errno = 0;
    EXPECT_EQ(flash_write(0x79FFF, {0x00, 0x00}), -1) << "write reaching into the erasing sector";
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(flash_write(0x77FFF, {0x00}), 1);  // the sector below is free
    EXPECT_EQ(board().counters().erasing_writes, 1u);
    EXPECT_EQ(flash_status(0x78000), -1);
    EXPECT_EQ(flash_status(0x78000), 0);
    EXPECT_EQ(flash_write(0x78000, {0x00}), 1);
    EXPECT_EQ(board().flash(0x78000, 1), Bytes{0x00});
}

TEST_F(FlashTest, TransfersStopAtTheEndOfTheDevice) {
    EXPECT_EQ(flash_write(mfpsim::kFlashSize - 2, {0x01, 0x02, 0x03}), 2);
    EXPECT_EQ(board().flash(mfpsim::kFlashSize - 2, 2), (Bytes{0x01, 0x02}));
    EXPECT_EQ(flash_read(mfpsim::kFlashSize - 2, 8), (Bytes{0x01, 0x02}));
    EXPECT_EQ(flash_read(mfpsim::kFlashSize, 8), Bytes{});
    errno = 0;
    EXPECT_EQ(flash_write(mfpsim::kFlashSize, {0x00}), -1);
    EXPECT_EQ(errno, ENOSPC);
}

TEST_F(FlashTest, PositionAdvancesAndAccessModeIsEnforced) {
    {
        DevFd fd("/dev/mfp_flashrom");
        ASSERT_GE(fd.get(), 0);
        ASSERT_EQ(lseek(fd.get(), 0x400, SEEK_SET), 0x400);
        uint8_t a[2] = {0x11, 0x22}, b[2] = {0x33, 0x44};
        ASSERT_EQ(write(fd.get(), a, 2), 2);
        ASSERT_EQ(write(fd.get(), b, 2), 2);
        EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 0x404);
        EXPECT_EQ(lseek(fd.get(), -4, SEEK_CUR), 0x400);
        uint8_t r[4];
        ASSERT_EQ(read(fd.get(), r, 4), 4);
        EXPECT_EQ(Bytes(r, r + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    }
    {
        DevFd ro("/dev/mfp_flashrom", O_RDONLY);
        ASSERT_GE(ro.get(), 0);
        uint8_t z = 0;
        errno = 0;
        EXPECT_EQ(write(ro.get(), &z, 1), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(board().flash(0, 1), Bytes{0xFF});
    }
    {
        DevFd wo("/dev/mfp_flashrom", O_WRONLY);
        uint8_t z;
        errno = 0;
        EXPECT_EQ(read(wo.get(), &z, 1), -1);
        EXPECT_EQ(errno, EBADF);
    }
}

TEST_F(FlashTest, CountersAndJournalFollowTheCalls) {
    board().set_journal(true);
    ASSERT_EQ(flash_write(0x10, {0x00, 0xFF, 0x0F}), 3);
    ASSERT_EQ(flash_read(0x10, 4).size(), 4u);
    ASSERT_EQ(flash_erase(0x10000), 0);
    ASSERT_EQ(flash_status(0x10000), 0);
    EXPECT_EQ(flash_ioctl(0x10000, 11), -1);  // no such operation

    mfpsim::Counters c = board().counters();
    EXPECT_EQ(c.opens, 5u);
    EXPECT_EQ(c.closes, 5u);
    EXPECT_EQ(c.open_fds, 0u);
    EXPECT_EQ(c.writes, 1u);
    EXPECT_EQ(c.write_bytes, 3u);
    EXPECT_EQ(c.programmed_bytes, 2u);  // the 0xFF byte changed nothing
    EXPECT_EQ(c.reads, 1u);
    EXPECT_EQ(c.read_bytes, 4u);
    EXPECT_EQ(c.erase_requests, 1u);
    EXPECT_EQ(c.status_requests, 1u);
    EXPECT_EQ(c.erases[1], 1u);
    using E = mfpsim::JournalEntry;
    EXPECT_EQ(board().journal(),
              (std::vector<E>{{'w', 0x10, 3}, {'r', 0x10, 4}, {'e', 0x10000, 0x10000}, {'s', 0x10000, 0}}));

    board().reset_counters();
    EXPECT_EQ(board().counters().opens, 0u);
    EXPECT_TRUE(board().journal().empty());
}

TEST_F(FlashTest, OneProcessLeavingADescriptorOpenShowsInTheCounters) {
    int leaked = DevFd("/dev/mfp_flashrom").release();
    ASSERT_GE(leaked, 0);
    EXPECT_EQ(board().counters().open_fds, 1u);
    close(leaked);
    EXPECT_EQ(board().counters().open_fds, 0u);
}

namespace {
// The fixture's own life cycle, driven by hand.
struct FixtureProbe : BoardTest {
    void TestBody() override {}
    using BoardTest::board_dir;
    using BoardTest::SetUp;
    using BoardTest::TearDown;
};
}  // namespace

TEST(BoardFixture, GivesAFreshSelectedBoardAndRemovesIt) {
    EXPECT_CHILD_OK(mfpsys::test::run_child([] {
        std::string dir;
        {
            FixtureProbe p;
            p.SetUp();
            dir = p.board_dir();
            const char* env = getenv(mfpsim::kBoardEnv);
            CHILD_CHECK(env && dir == env);
            CHILD_CHECK(flash_write(0, {0x00}) == 1);
            CHILD_CHECK(access((dir + "/flash.img").c_str(), F_OK) == 0);
            p.TearDown();
        }
        CHILD_CHECK(access(dir.c_str(), F_OK) != 0);
        CHILD_CHECK(getenv(mfpsim::kBoardEnv) == nullptr);
        return 0;
    }));
}
