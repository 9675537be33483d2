// Power cut at every program and erase step of every way the flash changes (append, transfer,
// the scan's repairs, erase-all, the address rewrite), in each tear mode, then a restart: each block
// reads its acknowledged or its cut image and nothing else, the next write and restart succeed, no
// bit rises. A failure prints the command replaying its cut; MFPSYS_CAMPAIGN=full: all tears on ppc.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>

#include <cstring>

#include "harness/board.h"
#include "mfpsys/env.h"
#include "rel.h"

using mfpsim::CutAt, mfpsim::Tear;
using namespace rel;

namespace {

enum class Op { Write, EraseAll, Powerup, Mac };
struct W { int block, round; };
// setup: writes acknowledged before the operation; prep: a write cut untorn at prepAt/prepK before it.
struct Scenario { const char* name; std::vector<W> setup; std::optional<W> prep; CutAt prepAt; uint64_t prepK; Op op; W write; };
const std::vector<Scenario> kScenarios = {
    {"first_write", {}, {}, CutAt::Program, 0, Op::Write, {1, 1}},
    {"append_sector6", {{0, 1}, {1, 1}, {2, 1}, {3, 1}}, {}, CutAt::Program, 0, Op::Write, {3, 2}},
    {"transfer_64k", {{0, 1}, {1, 1}, {2, 1}, {3, 1}}, {}, CutAt::Program, 0, Op::Write, {0, 2}},
    {"transfer_ring4", {{3, 1}, {3, 2}, {0, 1}}, {}, CutAt::Program, 0, Op::Write, {3, 3}},
    // The scan erases the new sector of a transfer cut inside its record, and
    // the old sector of one cut at the old sector's erase request.
    {"scan_partial_transfer", {{0, 1}, {1, 1}, {3, 1}}, W{0, 2}, CutAt::Program, 6, Op::Powerup, {}},
    {"scan_old_sector", {{0, 1}, {1, 1}, {3, 1}}, W{0, 2}, CutAt::Erase, 1, Op::Powerup, {}},
    {"erase_all", {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {0, 2}, {3, 2}}, {}, CutAt::Program, 0, Op::EraseAll, {}},
    {"mac_rewrite", {}, {}, CutAt::Program, 0, Op::Mac, {}},
};
constexpr const char *kMacOld = "00:11:22:33:44:55", *kMacNew = "66:77:88:99:aa:bb", *kMacNext = "02:03:04:05:06:07";
struct Cut { CutAt at; uint64_t k; Tear tear; uint64_t salt; };

const uint64_t salt = std::getenv("MFPSYS_SALT") ? std::strtoull(std::getenv("MFPSYS_SALT"), nullptr, 0) : 1;  // moves the tears
int fail(char* msg, const char* what, int b) { std::snprintf(msg, 256, what, b); return 1; }
bool macIs(const char* m, const char* text) { return m && m != ENV_MAC_READ_FAILED && !std::strcmp(m, text); }

class Campaign : public mfpsys::test::BoardTest, public ::testing::WithParamInterface<int> {
protected:
    const Scenario& sc() const { return kScenarios[size_t(GetParam())]; }

    bool prepare() {
        board().disarm(), board().power_on(), board().reset_counters();
        board().set_flash(0, std::vector<uint8_t>(mfpsim::kFlashSize, 0xFF));
        auto setup = restart([&] {
            if (sc().op == Op::Mac) return env_mac_write(kMacOld) == 0 ? 0 : 1;
            for (const W& w : sc().setup) CHILD_CHECK(writeImage(w.block, w.round) == 0);
            return 0;
        });
        EXPECT_CHILD_OK(setup) << "setup";
        if (!setup.ok() || !sc().prep) return setup.ok();
        board().arm_power_cut(sc().prepAt, sc().prepK, Tear::None, 77);
        auto prep = restart([&] { return writeImage(sc().prep->block, sc().prep->round); });
        board().disarm();
        return prep.signal == SIGKILL || (ADD_FAILURE() << "the earlier cut did not fire", false);
    }
    mfpsys::test::Outcome runOp() {
        return restart([&] {
            switch (sc().op) {
                case Op::Write: return writeImage(sc().write.block, sc().write.round) == 0 ? 0 : 1;
                case Op::EraseAll: return nvEraseAll() == 0 ? 0 : 1;
                case Op::Powerup: for (int b = 0; b < kBlocks; ++b) readBlock(b); return 0;
                case Op::Mac: return env_mac_write(kMacNew) == 0 ? 0 : 1;
            }
            return 1;
        });
    }
    // Each block reads its acknowledged or its cut image (erase-all may leave
    // sectors 0-5 without one); the address reads old, new or blank (a torn
    // step may leave a sector the read reports damaged). Then the next write.
    int recover(Tear tear, char* msg) {
        const Scenario& s = sc();
        if (char* m = s.op == Op::Mac ? env_mac_read() : nullptr; s.op == Op::Mac) {
            if (!(m == nullptr || macIs(m, kMacOld) || macIs(m, kMacNew) || (m == ENV_MAC_READ_FAILED && tear != Tear::None)))
                return fail(msg, "mac: neither old, new nor blank (%d)", 0);
            return env_mac_write(kMacNext) == 0 ? 0 : fail(msg, "mac: the next write fails (%d)", 0);
        }
        std::optional<std::vector<uint8_t>> acked[kBlocks], cut[kBlocks];
        for (const W& w : s.setup) acked[w.block] = padded(w.block, image(w.block, w.round));
        if (s.prep) cut[s.prep->block] = padded(s.prep->block, image(s.prep->block, s.prep->round));
        if (s.op == Op::Write) cut[s.write.block] = padded(s.write.block, image(s.write.block, s.write.round));
        for (int b = 0; b < kBlocks; ++b) {
            if (auto got = readBlock(b); !got && acked[b] && !(s.op == Op::EraseAll && b < 3)) return fail(msg, "block %d: the acknowledged image is gone", b);
            else if (got && got != acked[b] && got != cut[b]) return fail(msg, "block %d: reads bytes no write acknowledged or attempted", b);
        }
        for (int b = 0; b < kBlocks; ++b)
            if (writeImage(b, 90 + b) != 0) return fail(msg, "block %d: the next write fails", b);
        return 0;
    }
    int afterRestart(char* msg) {
        if (sc().op == Op::Mac) return macIs(env_mac_read(), kMacNext) ? 0 : fail(msg, "mac: the next address is lost (%d)", 0);
        for (int b = 0; b < kBlocks; ++b)
            if (readBlock(b) != padded(b, image(b, 90 + b))) return fail(msg, "block %d: the next write is lost at restart", b);
        return 0;
    }
    void runCut(const Cut& c, const std::string& id) {
        mfpsys::test::Shared<char> msg(256);
        std::string why = prepare() ? "" : "could not prepare";
        const uint64_t before = board().counters().violations;
        if (why.empty()) {
            board().arm_power_cut(c.at, c.k, c.tear, c.salt);
            auto o = runOp();
            board().disarm();
            if (!(o.signal == SIGKILL && board().power_lost())) why = "the cut did not fire: " + o.describe();
        }
        for (bool first : {true, false}) {
            auto o = why.empty() ? restart([&] { return first ? recover(c.tear, msg.get()) : afterRestart(msg.get()); })
                                 : mfpsys::test::Outcome{true, 0, 0};
            if (!o.ok()) why = std::string(msg.get()) + " (" + o.describe() + ")";
        }
        if (why.empty() && board().counters().violations != before) why = "a write asked to raise a 0 bit to 1";
        if (!why.empty())
            ADD_FAILURE() << "cut " << id << ": " << why << "\n  replay: MFPSYS_SALT=" << salt << " MFPSYS_REPLAY=" << id << ' ' << program_invocation_name;
    }
};

TEST_P(Campaign, EveryCutPoint) {
    const Scenario& s = sc();
    ASSERT_TRUE(prepare());
    auto c0 = board().counters();
    ASSERT_CHILD_OK(runOp()) << "the operation fails without a cut";
    auto c1 = board().counters();
    const uint64_t steps[2] = {c1.writes - c0.writes, c1.erase_requests - c0.erase_requests};
    ASSERT_GT(steps[0] + steps[1], 0u);
    std::printf("%s: %d program and %d erase steps\n", s.name, int(steps[0]), int(steps[1]));
    const char* replay = std::getenv("MFPSYS_REPLAY");  // one cut, by the id a failure printed
    std::vector<Tear> tears = {Tear::None, Tear::Prefix, Tear::Random};
#if defined(__powerpc__)
    const char* mode = std::getenv("MFPSYS_CAMPAIGN");
    if (!(mode && !std::strcmp(mode, "full")) && !replay) tears = {Tear::Prefix};  // qemu is slow: one mode by default
#endif
    uint64_t h = salt;
    for (const char* p = s.name; *p; ++p) h = mix(h ^ uint8_t(*p));
    for (Tear tear : tears)
        for (CutAt at : {CutAt::Program, CutAt::Erase})
            for (uint64_t k = 1; k <= steps[at == CutAt::Erase]; ++k) {
                std::string id = std::string(s.name) + ':' + (at == CutAt::Erase ? "erase:" : "program:") + std::to_string(k) + ':' +
                                 mfpsim::tear_name(tear);
                if (!replay || id == replay) runCut({at, k, tear, mix(h ^ (k << 8) ^ (uint64_t(at) << 4) ^ uint64_t(tear)) | 1}, id);
            }
}

INSTANTIATE_TEST_SUITE_P(, Campaign, ::testing::Range(0, int(kScenarios.size())),
                         [](const auto& info) { return std::string(kScenarios[size_t(info.param)].name); });

}  // namespace
