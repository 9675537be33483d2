// Power cut at every program and erase step of every way the flash changes
// (append, transfer, the scan's repairs, erase-all, the address rewrite), in
// each tear mode, then a restart: each block reads its acknowledged or its cut
// image and nothing else, the next writes and restart succeed, no bit rises.
// MFPSYS_REPLAY=<id> reruns one failed cut; MFPSYS_CAMPAIGN=full adds every
// tear mode on ppc and a second cut inside the recovery; MFPSYS_SALT moves the tears.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "harness/board.h"
#include "mfpsys/env.h"
#include "rel.h"

using mfpsim::CutAt;
using mfpsim::Tear;
using namespace rel;

namespace {

enum class Op { Write, EraseAll, Powerup, Mac };
struct W { int block, round; };
struct Scenario {
    const char* name;
    std::vector<W> setup;   // acknowledged before the operation
    std::optional<W> prep;  // a write cut (untorn) at prepAt/prepK before the operation
    CutAt prepAt;
    uint64_t prepK;
    Op op;
    W write;
};

const std::vector<Scenario> kScenarios = {
    {"first_write", {}, {}, CutAt::Program, 0, Op::Write, {1, 1}},
    {"append_sector6", {{0, 1}, {1, 1}, {2, 1}, {3, 1}}, {}, CutAt::Program, 0, Op::Write, {3, 2}},
    {"transfer_64k", {{0, 1}, {1, 1}, {2, 1}, {3, 1}}, {}, CutAt::Program, 0, Op::Write, {0, 2}},
    {"transfer_ring4", {{3, 1}, {3, 2}, {0, 1}}, {}, CutAt::Program, 0, Op::Write, {3, 3}},
    // The scan erases the new sector of a transfer cut inside its record...
    {"scan_partial_transfer", {{0, 1}, {1, 1}, {3, 1}}, W{0, 2}, CutAt::Program, 6, Op::Powerup, {}},
    // ...and the old sector of one cut at the old sector's erase request.
    {"scan_old_sector", {{0, 1}, {1, 1}, {3, 1}}, W{0, 2}, CutAt::Erase, 1, Op::Powerup, {}},
    {"erase_all", {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {0, 2}, {3, 2}}, {}, CutAt::Program, 0, Op::EraseAll, {}},
    {"mac_rewrite", {}, {}, CutAt::Program, 0, Op::Mac, {}},
};
constexpr const char* kMacOld = "00:11:22:33:44:55";
constexpr const char* kMacNew = "66:77:88:99:aa:bb";
constexpr const char* kMacNext = "02:03:04:05:06:07";

struct Cut { CutAt at; uint64_t k; Tear tear; uint64_t salt; };
const char* atName(CutAt a) { return a == CutAt::Program ? "program" : "erase"; }
bool full() { const char* v = std::getenv("MFPSYS_CAMPAIGN"); return v && std::strcmp(v, "full") == 0; }

// The slice run by default: every mode natively, the prefix tear under qemu.
std::vector<Tear> tearModes() {
#if defined(__powerpc__)
    if (!full()) return {Tear::Prefix};
#endif
    return {Tear::None, Tear::Prefix, Tear::Random};
}

std::string replayId(const char* name, const Cut& c, const std::optional<Cut>& c2) {
    std::ostringstream o;
    o << name << ':' << atName(c.at) << ':' << c.k << ':' << mfpsim::tear_name(c.tear) << ':' << c.salt;
    if (c2) o << ':' << atName(c2->at) << ':' << c2->k;
    return o.str();
}

struct Report { uint64_t writes = 0, erases = 0; char msg[256] = {}; };
int fail(Report* rep, const char* what, int b) { std::snprintf(rep->msg, sizeof rep->msg, what, b); return 1; }

class Campaign : public mfpsys::test::BoardTest, public ::testing::WithParamInterface<int> {
protected:
    const Scenario& sc() const { return kScenarios[size_t(GetParam())]; }

    bool prepare() {
        board().disarm();
        board().power_on();
        board().set_flash(0, std::vector<uint8_t>(mfpsim::kFlashSize, 0xFF));
        board().reset_counters();
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
        EXPECT_EQ(prep.signal, SIGKILL) << "the earlier cut did not fire";
        return prep.signal == SIGKILL;
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
    // sectors 0-5 without one), then takes the next write.
    int checkNv(Report* rep) {
        const Scenario& s = sc();
        auto c0 = board().counters();
        std::optional<std::vector<uint8_t>> got[kBlocks], acked[kBlocks], cut[kBlocks];
        for (int b = 0; b < kBlocks; ++b) got[b] = readBlock(b);
        auto c1 = board().counters();
        *rep = Report{c1.writes - c0.writes, c1.erase_requests - c0.erase_requests, {}};
        for (const W& w : s.setup) acked[w.block] = padded(w.block, image(w.block, w.round));
        if (s.prep) cut[s.prep->block] = padded(s.prep->block, image(s.prep->block, s.prep->round));
        if (s.op == Op::Write) cut[s.write.block] = padded(s.write.block, image(s.write.block, s.write.round));
        for (int b = 0; b < kBlocks; ++b) {
            if (!got[b] && acked[b] && !(s.op == Op::EraseAll && b < 3))
                return fail(rep, "block %d: the acknowledged image is gone", b);
            if (got[b] && got[b] != acked[b] && got[b] != cut[b])
                return fail(rep, "block %d: reads bytes no write acknowledged or attempted", b);
        }
        for (int b = 0; b < kBlocks; ++b)
            if (writeImage(b, 90 + b) != 0) return fail(rep, "block %d: the next write fails", b);
        return 0;
    }

    // Old, new, or blank (the window between erase and write); a torn erase
    // or program may leave a sector the read reports damaged.
    int checkMac(Tear tear, Report* rep) {
        char* m = env_mac_read();
        bool known = m == nullptr || (m == ENV_MAC_READ_FAILED ? tear != Tear::None
                                                               : !std::strcmp(m, kMacOld) || !std::strcmp(m, kMacNew));
        if (!known) return fail(rep, "mac: neither old, new nor blank (%d)", 0);
        return env_mac_write(kMacNext) == 0 ? 0 : fail(rep, "mac: the next write fails (%d)", 0);
    }

    int checkAfter(Report* rep) {
        if (sc().op == Op::Mac) {
            char* m = env_mac_read();
            bool ok = m && m != ENV_MAC_READ_FAILED && !std::strcmp(m, kMacNext);
            return ok ? 0 : fail(rep, "mac: the next address does not read back (%d)", 0);
        }
        for (int b = 0; b < kBlocks; ++b)
            if (readBlock(b) != padded(b, image(b, 90 + b))) return fail(rep, "block %d: the next write is lost at restart", b);
        return 0;
    }

    // One cut (and maybe a second inside the recovery); returns the recovery's steps.
    Report runCut(const Cut& c, const std::optional<Cut>& c2) {
        mfpsys::test::Shared<Report> rep;
        std::string why;
        if (!prepare()) why = "could not prepare";
        const uint64_t before = board().counters().violations;
        auto step = [&](const std::optional<Cut>& cut, const std::function<int()>& fn) {
            if (!why.empty()) return;
            if (cut) board().arm_power_cut(cut->at, cut->k, cut->tear, cut->salt);
            auto o = cut ? runOp() : restart(fn);
            board().disarm();
            if (cut ? !(o.signal == SIGKILL && board().power_lost()) : !o.ok())
                why = std::string(cut ? "the cut did not fire: " : "") + rep->msg + " (" + o.describe() + ")";
        };
        step(c, {});
        if (c2 && sc().op != Op::Mac && why.empty()) {
            board().arm_power_cut(c2->at, c2->k, c2->tear, c2->salt);
            auto again = restart([&] { return checkNv(rep.get()); });
            board().disarm();
            if (again.signal != SIGKILL) why = "the second cut did not fire: " + again.describe();
        }
        step({}, [&] { return sc().op == Op::Mac ? checkMac(c.tear, rep.get()) : checkNv(rep.get()); });
        Report steps = *rep;
        step({}, [&] { return checkAfter(rep.get()); });
        if (why.empty() && board().counters().violations != before) why = "a write asked to raise a 0 bit to 1";
        if (!why.empty()) {
            char exe[4096] = {};
            ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
            ADD_FAILURE() << "cut " << replayId(sc().name, c, c2) << ": " << why << "\n  replay: MFPSYS_REPLAY='"
                          << replayId(sc().name, c, c2) << "' " << (n > 0 ? exe : "powercut_campaign_test");
        }
        return steps;
    }
};

TEST_P(Campaign, EveryCutPoint) {
    const Scenario& s = sc();
    if (const char* r = std::getenv("MFPSYS_REPLAY"); r && *r) {  // name:at:k:tear:salt[:at2:k2]
        std::vector<std::string> f;
        std::stringstream in(r);
        for (std::string part; std::getline(in, part, ':');) f.push_back(part);
        ASSERT_TRUE(f.size() == 5 || f.size() == 7) << "cannot parse MFPSYS_REPLAY=" << r;
        if (f[0] != s.name) GTEST_SKIP() << "replaying " << r;
        auto at = [](const std::string& a) { return a == "erase" ? CutAt::Erase : CutAt::Program; };
        Tear tear = Tear::None;
        for (Tear t : {Tear::None, Tear::Prefix, Tear::Random})
            if (f[3] == mfpsim::tear_name(t)) tear = t;
        Cut c{at(f[1]), std::stoull(f[2]), tear, std::stoull(f[4], nullptr, 0)};
        std::optional<Cut> c2;
        if (f.size() == 7) c2 = Cut{at(f[5]), std::stoull(f[6]), tear, mix(c.salt)};
        runCut(c, c2);
        return;
    }
    ASSERT_TRUE(prepare());
    auto c0 = board().counters();
    ASSERT_CHILD_OK(runOp()) << "the operation fails without a cut";
    auto c1 = board().counters();
    const uint64_t steps[2] = {c1.writes - c0.writes, c1.erase_requests - c0.erase_requests};
    ASSERT_GT(steps[0] + steps[1], 0u);
    std::printf("%s: %llu program and %llu erase steps\n", s.name, (unsigned long long)steps[0], (unsigned long long)steps[1]);
    const char* saltEnv = std::getenv("MFPSYS_SALT");
    const uint64_t salt = saltEnv && *saltEnv ? std::strtoull(saltEnv, nullptr, 0) : 1;
    for (Tear tear : tearModes())
        for (CutAt at : {CutAt::Program, CutAt::Erase})
            for (uint64_t k = 1; k <= steps[at == CutAt::Erase]; ++k) {
                uint64_t h = 1469598103934665603ull;
                for (const char* p = s.name; *p; ++p) h = (h ^ uint8_t(*p)) * 1099511628211ull;
                const Cut c{at, k, tear, mix(salt ^ h ^ (k << 8) ^ (uint64_t(at) << 4) ^ uint64_t(tear)) | 1};
                Report rec = runCut(c, std::nullopt);
                if (!full()) continue;
                for (CutAt at2 : {CutAt::Program, CutAt::Erase})
                    for (uint64_t k2 = 1; k2 <= (at2 == CutAt::Program ? rec.writes : rec.erases); ++k2)
                        runCut(c, Cut{at2, k2, tear, mix(c.salt)});
            }
}

INSTANTIATE_TEST_SUITE_P(, Campaign, ::testing::Range(0, int(kScenarios.size())),
                         [](const auto& info) { return std::string(kScenarios[size_t(info.param)].name); });

}  // namespace
