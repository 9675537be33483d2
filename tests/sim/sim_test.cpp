// The board every other test trusts: NOR rules, erase timing, power cuts tearing the asked step in each mode
// (replayed by salt), sharing and restarts. Armed faults, physical memory, preloaded clients and the tool's
// cut and boot are held to their job by those that use them (each fault's reported step, the download
// windows, mfpctl's tests, the demo).
#include <signal.h>

#include "harness/board.h"
#include "tests/sim/sim.h"

using namespace simtest;
using namespace mfpsim;
using mfpsys::test::run_child;

class Sim : public mfpsys::test::BoardTest {};

TEST_F(Sim, ProgrammingOnlyClearsBitsFromAnyProcessAndEraseSetsExactlyOneSectorOnceNoLongerBusy) {
    for (auto& o : mfpsys::test::run_together(2, [](int i) {  // each clears its own bits: a lost update shows
             for (uint32_t b = 0; b < 100; ++b) CHILD_CHECK(flash_write(0x100 + b, {uint8_t(~(0x11u << i))}) == 1);
             return 0;
         }))
        EXPECT_CHILD_OK(o);
    board().reset_counters();
    ASSERT_EQ(flash_write(0x100, {0x3C, 0xFF, 0xAA}), 3);  // asks to raise bits: stored AND new, a violation
    EXPECT_EQ(flash_read(0xFF, 4), (Bytes{0xFF, 0x0C, 0xCC, 0x88}));
    EXPECT_EQ(board().counters().violations, 1u) << "raising a bit is a violation";
    EXPECT_EQ(flash_write(kFlashSize - 1, {0, 0}), 1) << "cut at the end";
    Bytes want(kFlashSize, 0x00);
    board().set_flash(0, want);
    board().set_erase_status_polls(2);
    board().set_erase_seconds(1);
    for (int i = 0; i < kSectorCount; ++i) {
        const Sector s = sector(i), next = sector((i + 1) % kSectorCount);
        ASSERT_EQ(flash_erase(s.start + 0x100), -1) << "erase off a sector start";
        ASSERT_EQ(flash_erase(s.start), 0);
        for (int poll = 0; poll < 3; ++poll) {  // busy for its polls and its second, its own sector only; no writes
            ASSERT_EQ(flash_erase(s.start, 's'), -1) << "busy";
            ASSERT_EQ(flash_erase(next.start, 's'), 0) << "the next sector is not erasing";
            ASSERT_EQ(flash_write(s.start, {0}), -1) << "a write into an erasing sector";
        }
        ASSERT_TRUE(board().flash(0, kFlashSize) == want) << "erase took effect early";
        sleep(1);
        ASSERT_EQ(flash_erase(s.start, 's'), 0);
        std::fill_n(want.begin() + s.start, s.size, uint8_t(0xFF));
        ASSERT_TRUE(board().flash(0, kFlashSize) == want) << "erase of sector " << i << " spilled or fell short";
    }
    EXPECT_EQ(board().counters().erases[11], 1u) << "one erase each";
    EXPECT_EQ(board().virtual_seconds(), 12u) << "a second each";
}

TEST_F(Sim, PowerCutTearsTheAskedWriteOrEraseInEachModeAndReplaysBySalt) {
    // Three writes, each followed by an erase of a sector holding a ramp; one step of them is cut.
    const std::pair<uint32_t, Bytes> writes[] = {{0x1000, Bytes(40, 0x5A)}, {0x1010, Bytes(16, 0x0F)},
                                                 {0x100FE, {0, 0x81}}};
    Bytes ramp(0x6000), first[2];
    for (uint32_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i * 13);
    for (CutAt at : {CutAt::Program, CutAt::Erase})
    for (Tear tear : {Tear::None, Tear::Prefix, Tear::Random, Tear::Random}) for (uint32_t k = 1; k <= 3; ++k) {
        SCOPED_TRACE(std::string(tear_name(tear)) + (at == CutAt::Erase ? " erase " : " write ") + std::to_string(k));
        board().power_on();
        board().set_flash(0, Bytes(kFlashSize, 0xFF));
        board().set_flash(0x78000, ramp);
        board().arm_power_cut(at, k, tear, 4 + k);
        EXPECT_EQ(run_child([&] {
            for (int i = 0; i < 3; ++i) {
                flash_write(writes[i].first, writes[i].second);
                flash_erase(0x78000 + 0x2000 * uint32_t(i));
            }
            return 0; }).signal, SIGKILL);
        EXPECT_EQ(run_child([] { return open(kDevmemPath, O_RDONLY); }).signal, SIGKILL) << "a call on a dead board";
        Bytes before(kFlashSize, 0xFF), after;  // the steps replayed on a model
        std::copy(ramp.begin(), ramp.end(), before.begin() + 0x78000);
        for (uint32_t i = 0; i < k; ++i) {
            after = before;
            for (size_t j = 0; j < writes[i].second.size(); ++j) after[writes[i].first + j] &= writes[i].second[j];
            if (i + 1 < k || at == CutAt::Erase) before = after;
            if (i + 1 < k) std::fill_n(before.begin() + sector(8 + i).start, 0x2000, 0xFF);
        }
        if (at == CutAt::Erase) std::fill_n(after.begin() + sector(7 + k).start, 0x2000, 0xFF);
        const CutReport rep = board().last_cut();
        const uint32_t off = at == CutAt::Erase ? sector(7 + k).start : writes[k - 1].first;
        EXPECT_TRUE(rep.fired);
        EXPECT_EQ(rep.offset, off) << "the cut step's place";
        EXPECT_EQ(rep.salt, 4 + k) << "the salt asked for";
        const Bytes got = board().flash(0, kFlashSize);
        size_t took = 0, missed = 0;
        for (uint32_t i = 0; i < kFlashSize; ++i) {  // a tear changes some of the step's bits, never others
            took += got[i] != before[i], missed += got[i] != after[i];
            ASSERT_TRUE(tear == Tear::Random ? ((got[i] ^ before[i]) & ~(before[i] ^ after[i])) == 0
                        : got[i] == (tear == Tear::Prefix && i - off < rep.done ? after[i] : before[i])) << i;
        }
        if (tear == Tear::Random && k == 1) {  // neither all nor nothing, and the same again for the same salt
            EXPECT_TRUE(took) << "no bit of the step took";
            EXPECT_TRUE(missed) << "the whole step took";
            EXPECT_TRUE(first[at == CutAt::Erase].empty() || first[at == CutAt::Erase] == got) << "the same salt tore differently";
            first[at == CutAt::Erase] = got;
        }
    }
    board().power_on();
    board().set_erase_status_polls(5);
    board().set_flash(0x20000, Bytes(0x10000, 0x00));
    board().arm_power_cut(CutAt::Program, 1, Tear::None, 3);  // an erase still running is torn too, never finished
    EXPECT_EQ(run_child([] {
                  flash_erase(0x20000);
                  return int(flash_write(0x100, {0}));
              }).signal,
              SIGKILL);
    EXPECT_FALSE(board().erasing(2));
    EXPECT_TRUE(board().flash(0x20000, 0x10000) == Bytes(0x10000, 0x00)) << "a torn erase finished";
    EXPECT_CHILD_OK(restart([] { return flash_write(0x20000, {0x00}) == 1 ? 0 : 1; }));  // power back, still no erase
}
