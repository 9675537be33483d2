// Power cuts: what an interrupted write or erase leaves, and the dead board
// until power comes back.
#include <signal.h>

#include <cerrno>

#include "harness/board.h"
#include "tests/sim/device.h"

using namespace simtest;
using mfpsys::test::BoardTest;
using mfpsys::test::Outcome;
using mfpsys::test::run_child;
using mfpsim::CutAt;
using mfpsim::Tear;
using Bytes = std::vector<uint8_t>;

namespace {

struct Step {
    uint32_t off;
    Bytes data;
};

// Overlapping writes, so that a wrong AND or a misplaced tear shows.
std::vector<Step> script() {
    Bytes ramp(40), mid(16, 0x0F), tail(3, 0x00);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(0xFF - 3 * i);
    return {{0x1000, ramp}, {0x1010, mid}, {0x7A000, {0x12, 0x34, 0x56, 0x78}}, {0x1020, tail}, {0x100FE, {0x00, 0xA5, 0x5A}}};
}

// The flash as the model says after the first n steps of the script.
Bytes model_after(size_t n) {
    Bytes f(mfpsim::kFlashSize, 0xFF);
    auto s = script();
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < s[i].data.size(); ++j) f[s[i].off + j] &= s[i].data[j];
    return f;
}

Outcome run_script() {
    return run_child([] {
        for (const Step& s : script()) CHILD_CHECK(flash_write(s.off, s.data) == ssize_t(s.data.size()));
        return 0;
    });
}

}  // namespace

class PowerCutTest : public BoardTest {};

TEST_F(PowerCutTest, CutAtEveryWriteOfAScriptInEveryTearMode) {
    const auto steps = script();
    for (Tear tear : {Tear::None, Tear::Prefix, Tear::Random}) {
        for (size_t k = 1; k <= steps.size(); ++k) {
            SCOPED_TRACE(std::string("tear ") + mfpsim::tear_name(tear) + ", cut at write " + std::to_string(k));
            board().set_flash(0, Bytes(mfpsim::kFlashSize, 0xFF));
            board().arm_power_cut(CutAt::Program, k, tear, 1000 + k);
            Outcome o = run_script();
            ASSERT_EQ(o.signal, SIGKILL) << o.describe();
            ASSERT_TRUE(board().power_lost());
            mfpsim::CutReport rep = board().last_cut();
            ASSERT_TRUE(rep.fired);
            EXPECT_EQ(rep.offset, steps[k - 1].off);
            EXPECT_EQ(rep.length, steps[k - 1].data.size());
            EXPECT_EQ(rep.salt, 1000 + k);

            Bytes before = model_after(k - 1), after = model_after(k), got = board().flash(0, mfpsim::kFlashSize);
            const Step& cut = steps[k - 1];
            for (uint32_t i = 0; i < mfpsim::kFlashSize; ++i) {
                bool inside = i >= cut.off && i < cut.off + cut.data.size();
                uint8_t want = before[i];
                if (inside && tear == Tear::Prefix && i - cut.off < rep.done) want = after[i];
                if (inside && tear == Tear::Random) {
                    // Any subset of the bits the write would clear, and no other change.
                    ASSERT_EQ(got[i] | before[i], before[i]) << "bit raised at " << i;
                    ASSERT_EQ(got[i] & after[i], after[i]) << "bit cleared that the write keeps at " << i;
                    continue;
                }
                ASSERT_EQ(got[i], want) << "flash offset 0x" << std::hex << i;
            }
            board().power_on();
        }
    }
}

TEST_F(PowerCutTest, SameSaltTearsTheSameWay) {
    Bytes results[2];
    for (Bytes& r : results) {
        board().set_flash(0, Bytes(mfpsim::kFlashSize, 0xFF));
        board().arm_power_cut(CutAt::Program, 1, Tear::Random, 77);
        ASSERT_EQ(run_script().signal, SIGKILL);
        r = board().flash(0x1000, 40);
        board().power_on();
    }
    EXPECT_EQ(results[0], results[1]);
    // A random tear of 40 bytes keeps some cleared bits and drops others.
    EXPECT_NE(results[0], Bytes(40, 0xFF));
    Bytes whole = model_after(1);
    EXPECT_NE(results[0], Bytes(whole.begin() + 0x1000, whole.begin() + 0x1028));
}

TEST_F(PowerCutTest, InterruptedEraseLeavesTheSectorPartlyErased) {
    const mfpsim::Sector s = mfpsim::sector(9);  // an 8 KiB sector
    Bytes old(s.size);
    for (uint32_t i = 0; i < s.size; ++i) old[i] = uint8_t(i * 13);
    for (Tear tear : {Tear::None, Tear::Prefix, Tear::Random}) {
        SCOPED_TRACE(mfpsim::tear_name(tear));
        board().set_flash(s.start - 1, Bytes{0x00});
        board().set_flash(s.start, Bytes(s.size, 0x00));
        board().set_flash(s.start + s.size, Bytes{0x00});
        board().arm_power_cut(CutAt::Erase, 2, tear, 5);
        Outcome o = run_child([&] {
            CHILD_CHECK(flash_erase(s.start) == 0);  // the first erase completes
            CHILD_CHECK(flash_write(s.start, old) == ssize_t(s.size));
            flash_erase(s.start);
            return 0;
        });
        ASSERT_EQ(o.signal, SIGKILL) << o.describe();
        mfpsim::CutReport rep = board().last_cut();
        EXPECT_EQ(rep.at, CutAt::Erase);
        EXPECT_EQ(rep.offset, s.start);
        Bytes got = board().flash(s.start, s.size);
        if (tear == Tear::None) {
            EXPECT_EQ(got, old);
        } else if (tear == Tear::Prefix) {
            ASSERT_LE(rep.done, s.size);
            Bytes want = old;
            std::fill_n(want.begin(), rep.done, uint8_t(0xFF));
            EXPECT_EQ(got, want);
        } else {
            // Some bits set, none cleared.
            size_t erased = 0;
            for (uint32_t i = 0; i < s.size; ++i) {
                ASSERT_EQ(got[i] & old[i], old[i]) << "an erase cleared a bit at " << i;
                erased += got[i] == 0xFF && old[i] != 0xFF;
            }
            EXPECT_GT(erased, 0u);
            EXPECT_NE(got, Bytes(s.size, 0xFF));
        }
        // Neighbours untouched.
        EXPECT_EQ(board().flash(s.start - 1, 1), Bytes{0x00});
        EXPECT_EQ(board().flash(s.start + s.size, 1), Bytes{0x00});
        board().power_on();
    }
}

TEST_F(PowerCutTest, EraseRunningAtTheCutIsTornToo) {
    const mfpsim::Sector s = mfpsim::sector(4);
    board().set_flash(s.start, Bytes(s.size, 0x00));
    board().set_erase_status_polls(5);
    ASSERT_EQ(flash_erase(s.start), 0);
    ASSERT_TRUE(board().erasing(4));
    board().arm_power_cut(CutAt::Program, 1, Tear::Prefix, 3);
    ASSERT_EQ(run_child([] { return int(flash_write(0x100, {0x00})); }).signal, SIGKILL);
    EXPECT_FALSE(board().erasing(4));
    Bytes got = board().flash(s.start, s.size);
    size_t p = 0;
    while (p < got.size() && got[p] == 0xFF) ++p;
    EXPECT_EQ(Bytes(got.begin() + long(p), got.end()), Bytes(s.size - p, 0x00)) << "not a prefix";
    EXPECT_EQ(board().counters().erases[4], 0u) << "an interrupted erase counted as done";
}

TEST_F(PowerCutTest, DeadBoardKillsEveryDeviceCallUntilPowerComesBack) {
    board().arm_power_cut(CutAt::Program, 2, Tear::None, 1);
    mfpsys::test::Shared<int> reached;
    // A process holding a descriptor from before the cut.
    int held = open("/dev/mfp_flashrom", O_RDWR);
    ASSERT_GE(held, 0);
    Outcome o = run_child([&] {
        flash_write(0x10, {0x00});
        flash_write(0x11, {0x00});
        *reached = 1;  // must not run: the cut kills at once
        return 0;
    });
    EXPECT_EQ(o.signal, SIGKILL);
    EXPECT_EQ(*reached, 0);
    EXPECT_EQ(board().flash(0x10, 2), (Bytes{0x00, 0xFF}));

    // Every kind of device call now kills its caller; nothing reaches the flash.
    EXPECT_EQ(run_child([] { return int(flash_read(0, 1).size()); }).signal, SIGKILL);
    EXPECT_EQ(run_child([&] {
                  uint8_t z = 0;
                  return int(write(held, &z, 1));
              }).signal, SIGKILL);
    EXPECT_EQ(run_child([&] { return int(lseek(held, 0, SEEK_SET)); }).signal, SIGKILL);
    EXPECT_EQ(run_child([&] { return close(held); }).signal, SIGKILL);
    EXPECT_EQ(run_child([] { return open("/dev/mfp_devmem", O_RDONLY); }).signal, SIGKILL);
    EXPECT_EQ(board().flash(0x10, 2), (Bytes{0x00, 0xFF}));
    EXPECT_EQ(board().counters().power_cuts, 1u);

    Outcome r = restart([] {
        CHILD_CHECK(flash_write(0x11, {0x00}) == 1);
        CHILD_CHECK(flash_read(0x10, 2) == (Bytes{0x00, 0x00}));
        return 0;
    });
    EXPECT_CHILD_OK(r);
    EXPECT_FALSE(board().power_lost());
    EXPECT_EQ(close(held), 0);
}
