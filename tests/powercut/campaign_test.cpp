// Power cut at every program and erase step of every way the flash changes (append, transfer, the scan's
// and the dead writer's repairs, erase-all, the address rewrite), in each tear mode, then a restart: each
// block reads its acknowledged or its cut image, the next write and restart succeed, no bit rises. Then a
// second cut in the recovery: every step with MFPSYS_CAMPAIGN=full (all tears on ppc), a few otherwise.
// Each writing operation's process is also killed alone at each step, holding its lock, the system living on.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>

#include <algorithm>
#include <cstring>

#include "harness/board.h"
#include "mfpsys/env.h"
#include "rel.h"

using mfpsim::CutAt, mfpsim::Tear;
using namespace rel;

namespace {

enum class Op { Write, EraseAll, Powerup, Mac, Killed };
struct W { int block, round; };
// setup: writes acknowledged before the operation; prep: a write cut untorn at prepAt/prepK before it (Killed: its process alone).
struct Scenario { const char* name; std::vector<W> setup; std::optional<W> prep; CutAt prepAt; uint64_t prepK; Op op; W write; };
const std::vector<Scenario> kScenarios = {
    {"first_write", {}, {}, CutAt::Program, 0, Op::Write, {1, 1}},
    {"append_sector6", {{0, 1}, {1, 1}, {2, 1}, {3, 1}}, {}, CutAt::Program, 0, Op::Write, {3, 2}},
    {"transfer_64k", {{0, 1}, {1, 1}, {2, 1}, {3, 1}}, {}, CutAt::Program, 0, Op::Write, {0, 2}},
    {"transfer_ring4", {{3, 1}, {3, 2}, {0, 1}}, {}, CutAt::Program, 0, Op::Write, {3, 3}},
    // The scan erases the new sector of a transfer cut inside its record, and the old sector of one cut at
    // the old sector's erase request; after a killed writer of either, the ring's next writer repairs it.
    {"scan_partial_transfer", {{0, 1}, {1, 1}, {3, 1}}, W{0, 2}, CutAt::Program, 6, Op::Powerup, {}},
    {"scan_old_sector", {{0, 1}, {1, 1}, {3, 1}}, W{0, 2}, CutAt::Erase, 1, Op::Powerup, {}},
    {"killed_mid_transfer", {{0, 1}, {1, 1}, {3, 1}}, W{0, 2}, CutAt::Program, 6, Op::Killed, {0, 3}},
    {"killed_at_old_erase", {{0, 1}, {1, 1}, {3, 1}}, W{0, 2}, CutAt::Erase, 1, Op::Killed, {0, 3}},
    {"erase_all", {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {0, 2}, {3, 2}}, {}, CutAt::Program, 0, Op::EraseAll, {}},
    {"mac_rewrite", {}, {}, CutAt::Program, 0, Op::Mac, {}},
};
constexpr const char *kMacOld = "00:11:22:33:44:55", *kMacNew = "66:77:88:99:aa:bb", *kMacNext = "02:03:04:05:06:07";
struct Cut { CutAt at; uint64_t k; Tear tear; uint64_t salt; std::string name; };
using Steps = std::array<uint64_t, 2>;  // program, erase
// Cut i of a run of these steps (its programs, then its erases), its tear salted from base.
Cut nthCut(const Steps& st, uint64_t i, Tear tear, uint64_t base) {
    const CutAt at = i < st[0] ? CutAt::Program : CutAt::Erase;
    const uint64_t k = i < st[0] ? i + 1 : i - st[0] + 1;
    const std::string name = (i < st[0] ? "program:" : "erase:") + std::to_string(k) + ':' + mfpsim::tear_name(tear);
    return {at, k, tear, mix(base ^ (k << 8) ^ (uint64_t(at) << 4) ^ uint64_t(tear)) | 1, name};
}

const uint64_t salt = std::getenv("MFPSYS_SALT") ? std::strtoull(std::getenv("MFPSYS_SALT"), nullptr, 0) : 1;  // moves the tears
const std::string replay = std::getenv("MFPSYS_REPLAY") ? std::getenv("MFPSYS_REPLAY") : "";  // one cut, by the id a failure printed

class Campaign : public mfpsys::test::BoardTest, public ::testing::WithParamInterface<int> {
protected:
    mfpsys::test::Shared<char> msg{256};
    mfpsys::test::Shared<int> begun{1};  // the recovery's next writes begun when a second cut stopped it
    std::vector<uint8_t> prepared;        // the flash once prepared: every later cut starts from a copy
    const Scenario& sc() const { return kScenarios[size_t(GetParam())]; }
    int fail(const char* what, int b) {
        std::snprintf(msg.get(), 256, what, b);
        return 1;
    }

    bool prepare() {
        board().disarm();
        board().power_on();
        *begun = 0;
        msg[0] = 0;
        if (!prepared.empty()) {
            board().set_flash(0, prepared);
            return true;
        }
        auto setup = restart([&] {
            if (sc().op == Op::Mac) return env_mac_write(kMacOld) == 0 ? 0 : 1;
            for (const W& w : sc().setup) CHILD_CHECK(writeImage(w.block, w.round) == 0);
            return 0;
        });
        EXPECT_CHILD_OK(setup) << "setup";
        if (setup.ok() && (!sc().prep || sc().op == Op::Killed || cutPrep(true))) prepared = board().flash(0, mfpsim::kFlashSize);
        else if (setup.ok()) ADD_FAILURE() << "the earlier cut did not fire";
        return !prepared.empty();
    }
    // The earlier write, cut untorn: in a restarted system, or its process alone (Killed).
    bool cutPrep(bool restarted) {
        board().arm_power_cut(sc().prepAt, sc().prepK, Tear::None, 77);
        auto write = [&] { return writeImage(sc().prep->block, sc().prep->round); };
        const int signal = (restarted ? restart(write) : mfpsys::test::run_child(write)).signal;
        board().disarm();
        board().power_on();
        return signal == SIGKILL;
    }
    // The operation in a restarted system, cut at c when given; the counters count it alone.
    mfpsys::test::Outcome runOp(const Cut* c) {
        return restart([&] {
            if (sc().op == Op::Killed) CHILD_CHECK(cutPrep(false));
            board().reset_counters();
            if (c) board().arm_power_cut(c->at, c->k, c->tear, c->salt);
            return op();
        });
    }
    int op() {
        switch (sc().op) {
            case Op::Write: case Op::Killed: return writeImage(sc().write.block, sc().write.round) == 0 ? 0 : 1;
            case Op::EraseAll: return nvEraseAll() == 0 ? 0 : 1;
            case Op::Powerup:
                for (int b = 0; b < kBlocks; ++b) readBlock(b);
                return 0;
            case Op::Mac: return env_mac_write(kMacNew) == 0 ? 0 : 1;
        }
        return 1;
    }
    // The operation's process alone killed at c, holding its lock, while the system lives on: the lock comes
    // back and this system's next process recovers (a lock the dead kept makes its next writes fail).
    int killedHolder(const Cut& c) {
        board().arm_power_cut(c.at, c.k, c.tear, c.salt);
        const int signal = mfpsys::test::run_child([&] { return op(); }).signal;
        board().disarm();
        board().power_on();
        if (signal != SIGKILL) return fail("the kill did not fire (signal %d)", signal);
        if (lockValue(kFirstUseSem) > 0 || lockValue(kEnvSem) > 0) return fail("a lock the dead process held is taken (%d)", 0);
        return recover(c.tear != Tear::None);
    }
    // Each block reads its acknowledged or its cut image (erase-all may leave sectors 0-5 without one; of a cut
    // recovery, the next writes it finished are acknowledged, the one it was in is cut); the address reads old,
    // new (next, after a second cut) or blank (or, torn, a sector the read reports damaged). Then the next writes.
    int recover(bool torn) {
        const int before = std::exchange(*begun, 0);
        if (char* m = sc().op == Op::Mac ? env_mac_read() : nullptr; sc().op == Op::Mac) {
            if (!(m == nullptr || macIs(m, kMacOld) || macIs(m, kMacNew) || (before && macIs(m, kMacNext)) || (m == ENV_MAC_READ_FAILED && torn)))
                return fail("mac: neither old, new nor blank (%d)", 0);
            *begun = 1;
            return env_mac_write(kMacNext) == 0 ? 0 : fail("mac: the next write fails (%d)", 0);
        }
        std::vector<std::vector<uint8_t>> may[kBlocks];  // the images a block may read: acknowledged, then cut
        bool kept[kBlocks] = {};                         // an image was acknowledged: the block never reads none
        auto add = [&](int b, int r, bool acked) {
            if (acked) may[b].clear();
            may[b].push_back(padded(b, image(b, r)));
            kept[b] |= acked;
        };
        for (const W& w : sc().setup) add(w.block, w.round, true);
        if (sc().prep) add(sc().prep->block, sc().prep->round, false);
        if (sc().op == Op::Write || sc().op == Op::Killed) add(sc().write.block, sc().write.round, false);
        for (int b = 0; b < before; ++b) add(b, 90 + b, b + 1 < before);
        for (int b = 0; b < kBlocks; ++b) {
            const auto got = readBlock(b);
            if (!got && kept[b] && !(sc().op == Op::EraseAll && b < 3 && b + 1 >= before))
                return fail("block %d: the acknowledged image is gone", b);
            if (got && std::find(may[b].begin(), may[b].end(), *got) == may[b].end())
                return fail("block %d: reads bytes no write acknowledged or attempted", b);
        }
        for (int b = 0; b < kBlocks; ++b) if (*begun = b + 1; writeImage(b, 90 + b) != 0) return fail("block %d: the next write fails", b);
        return 0;
    }
    int afterRestart() {
        if (sc().op == Op::Mac) return macIs(env_mac_read(), kMacNext) ? 0 : fail("mac: the next address is lost (%d)", 0);
        for (int b = 0; b < kBlocks; ++b)
            if (readBlock(b) != padded(b, image(b, 90 + b))) return fail("block %d: the next write is lost at restart", b);
        return 0;
    }
    // What went wrong in a run a cut (what) should stop, or (what null) one that should succeed.
    std::string wrong(const mfpsys::test::Outcome& o, const char* what = nullptr) {
        board().disarm();
        if (!what) return o.ok() ? "" : msg.get() + (" (" + o.describe() + ")");
        if (o.signal != SIGKILL) return std::string(what) + " did not fire: " + o.describe() + ' ' + msg.get();
        return board().power_lost() ? "" : std::string(what) + " killed the process but left the power on";
    }
    // The cut c, and c2 when given at that step of the recovery that follows; then the checks. Gives the recovery's steps.
    // holder: c kills the operation's process alone, and the recovery runs in the same system.
    Steps runCut(const Cut& c, const std::string& id, const Cut* c2 = nullptr, bool holder = false) {
        std::string why = !prepare() ? "could not prepare" : holder ? wrong(restart([&] { return killedHolder(c); })) : wrong(runOp(&c), "the cut");
        if (why.empty() && c2) {
            board().arm_power_cut(c2->at, c2->k, c2->tear, c2->salt);
            why = wrong(restart([&] { return recover(c.tear != Tear::None); }), "the second cut");
        }
        const auto c0 = board().counters();
        if (why.empty() && !holder) why = wrong(restart([&] { return recover(c.tear != Tear::None || (c2 && c2->tear != Tear::None)); }));
        const auto c1 = board().counters();
        if (why.empty()) why = wrong(restart([&] { return afterRestart(); }));
        if (why.empty() && board().counters().violations != 0) why = "a write asked to raise a 0 bit to 1";
        if (!why.empty())
            ADD_FAILURE() << "cut " << id << ": " << why << "\n  replay: MFPSYS_SALT=" << salt << " MFPSYS_REPLAY=" << id << ' '
                          << program_invocation_name;
        return {c1.writes - c0.writes, c1.erase_requests - c0.erase_requests};
    }
};

TEST_P(Campaign, EveryCutPoint) {
    ASSERT_TRUE(prepare());
    ASSERT_CHILD_OK(runOp(nullptr)) << "the operation fails without a cut";
    const Steps steps = {board().counters().writes, board().counters().erase_requests};
    ASSERT_GT(steps[0] + steps[1], 0u);
    const bool full = std::getenv("MFPSYS_CAMPAIGN") && !std::strcmp(std::getenv("MFPSYS_CAMPAIGN"), "full") && replay.empty();
    std::vector<Tear> tears = {Tear::None, Tear::Prefix, Tear::Random};
#if defined(__powerpc__)
    if (!full && replay.empty()) tears = {Tear::Prefix};  // qemu is slow: one mode by default
#endif
    uint64_t h = salt, n = 0, seconds = 0, cuts = tears.size() * (steps[0] + steps[1]);
    // An operation that writes holding its lock: also its process alone killed at each step (prefix tear).
    const bool holder = sc().op == Op::Write || sc().op == Op::EraseAll || sc().op == Op::Mac;
    for (const char* p = sc().name; *p; ++p) h = mix(h ^ uint8_t(*p));
    for (Tear tear : tears)
        for (uint64_t i = 0; i < steps[0] + steps[1]; ++i, ++n) {
            const Cut c = nthCut(steps, i, tear, h);
            const std::string id = sc().name + (':' + c.name), killed = sc().name + (":killed:" + c.name);
            if (holder && tear == Tear::Prefix && (replay.empty() || killed == replay)) runCut(c, killed, nullptr, true);
            if (!replay.empty() && id != replay && !replay.starts_with(id + '+')) continue;
            const Steps rec = runCut(c, id);
            // Then each step of the recovery (a tear from the salt); in CI three drawn, each at an erase (a repair) if any.
            const bool sample = !full && replay.empty() && (n == mix(h + 1) % cuts || n == mix(h + 2) % cuts || n == mix(h + 3) % cuts);
            const uint64_t pick = mix(h ^ n), drawn = rec[1] ? rec[0] + pick % rec[1] : pick % (rec[0] | 1);
            for (uint64_t j = 0; j < rec[0] + rec[1]; ++j) {
                const Cut c2 = nthCut(rec, j, tears[mix(c.salt ^ j) % tears.size()], c.salt);
                const std::string id2 = id + '+' + c2.name;
                if (!full && !(sample && j == drawn) && id2 != replay) continue;
                if (sample) std::printf("second cut %s\n", id2.c_str());
                runCut(c, id2, &c2);
                ++seconds;
            }
        }
    std::printf("%s: %d program and %d erase steps, %d second cuts\n", sc().name, int(steps[0]), int(steps[1]), int(seconds));
}

INSTANTIATE_TEST_SUITE_P(, Campaign, ::testing::Range(0, int(kScenarios.size())),
                         [](const auto& info) { return std::string(kScenarios[size_t(info.param)].name); });

}  // namespace
