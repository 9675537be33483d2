// Power cut at every program and erase step of each way the flash changes.
//
// Each scenario first runs uncut to count its steps; then, for every step k
// and every tear mode, the board loses power at step k, restarts, and every
// block must read back its last acknowledged image or the image whose write
// was cut -- never other bytes, never nothing where an image had been
// acknowledged -- with no bit raised from 0 to 1, and the next writes and
// restart must succeed. The full campaign also cuts again at every step of
// the first recovery.
//
// Environment:
//   MFPSYS_CAMPAIGN=full   every tear mode and double cuts (default: the
//                          slice run in CI, see tearModes())
//   MFPSYS_SALT=n          base salt of the tears (printed; default 1)
//   MFPSYS_REPLAY=id       runs only the cut named by a failure's id
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "harness/board.h"
#include "harness/proc.h"
#include "images.h"
#include "mfpsys/env.h"
#include "mfpsys/nv.h"

using mfpsim::CutAt;
using mfpsim::Tear;
using namespace rel;

namespace {

struct Write {
    int block;
    int round;
};

enum class Op { Write, EraseAll, Powerup, Mac };

struct Scenario {
    const char* name;
    std::vector<Write> setup;  // acknowledged before the operation
    // A previous write cut at a fixed step (the scan scenarios' starting point).
    std::optional<Write> prep;
    CutAt prepAt = CutAt::Program;
    uint64_t prepK = 0;
    Op op;
    Write write{0, 0};  // Op::Write
};

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> all = {
        {"first-write", {}, std::nullopt, CutAt::Program, 0, Op::Write, {1, 1}},
        {"append-sector6", {{0, 1}, {1, 1}, {2, 1}, {3, 1}}, std::nullopt, CutAt::Program, 0, Op::Write, {3, 2}},
        {"transfer-64k", {{0, 1}, {1, 1}, {2, 1}, {3, 1}}, std::nullopt, CutAt::Program, 0, Op::Write, {0, 2}},
        {"transfer-ring4", {{3, 1}, {3, 2}, {0, 1}}, std::nullopt, CutAt::Program, 0, Op::Write, {3, 3}},
        // A transfer cut after the new sector's header and part of its
        // record: the scan erases the new sector.
        {"scan-partial-transfer", {{0, 1}, {1, 1}, {3, 1}}, Write{0, 2}, CutAt::Program, 6, Op::Powerup, {}},
        // A transfer cut at the old sector's erase request: the scan erases
        // the old sector.
        {"scan-old-sector", {{0, 1}, {1, 1}, {3, 1}}, Write{0, 2}, CutAt::Erase, 1, Op::Powerup, {}},
        {"erase-all", {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {0, 2}, {3, 2}}, std::nullopt, CutAt::Program, 0,
         Op::EraseAll, {}},
        {"mac-rewrite", {}, std::nullopt, CutAt::Program, 0, Op::Mac, {}},
    };
    return all;
}

constexpr const char* kMacOld = "00:11:22:33:44:55";
constexpr const char* kMacNew = "66:77:88:99:aa:bb";
constexpr const char* kMacNext = "02:03:04:05:06:07";

struct Cut {
    CutAt at;
    uint64_t k;
    Tear tear;
    uint64_t salt;
};

const char* atName(CutAt a) { return a == CutAt::Program ? "program" : "erase"; }

std::string replayId(const Scenario& s, const Cut& c, const std::optional<Cut>& c2) {
    std::ostringstream o;
    o << s.name << ':' << atName(c.at) << ':' << c.k << ':' << mfpsim::tear_name(c.tear) << ':' << c.salt;
    if (c2) o << ':' << atName(c2->at) << ':' << c2->k;
    return o.str();
}

std::string selfExe() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string("powercut_campaign_test");
}

std::optional<Tear> tearByName(const std::string& n) {
    for (Tear t : {Tear::None, Tear::Prefix, Tear::Random})
        if (n == mfpsim::tear_name(t)) return t;
    return std::nullopt;
}

// A replay id split into its fields; nullopt when it does not parse.
struct Replay {
    std::string scenario;
    Cut cut;
    std::optional<Cut> second;
};

std::optional<Replay> parseReplay(const char* text) {
    std::vector<std::string> f;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');) f.push_back(part);
    if (f.size() != 5 && f.size() != 7) return std::nullopt;
    auto at = [](const std::string& a) { return a == "erase" ? CutAt::Erase : CutAt::Program; };
    auto tear = tearByName(f[3]);
    if (!tear) return std::nullopt;
    Replay r{f[0], {at(f[1]), std::stoull(f[2]), *tear, std::stoull(f[4], nullptr, 0)}, std::nullopt};
    if (f.size() == 7) r.second = Cut{at(f[5]), std::stoull(f[6]), *tear, rel::mix(r.cut.salt)};
    return r;
}

bool fullCampaign() {
    const char* v = std::getenv("MFPSYS_CAMPAIGN");
    return v != nullptr && std::strcmp(v, "full") == 0;
}

uint64_t baseSalt() {
    const char* v = std::getenv("MFPSYS_SALT");
    return v != nullptr && *v ? std::strtoull(v, nullptr, 0) : 1;
}

// The CI slice: every cut point in the prefix mode everywhere; natively the
// other two modes as well, which the emulated target leaves to the full run.
std::vector<Tear> tearModes() {
#if defined(__powerpc__)
    if (!fullCampaign()) return {Tear::Prefix};
#endif
    return {Tear::None, Tear::Prefix, Tear::Random};
}

// Campaign figures, summed over every scenario this process ran.
struct Figures {
    int scenarios = 0;
    uint64_t cutPoints = 0, restarts = 0, lost = 0, violations = 0, failures = 0;
};
Figures g_fig;

class Summary : public ::testing::Environment {
public:
    void TearDown() override {
        if (g_fig.scenarios == 0) return;
        std::printf("campaign: %d scenarios, %" PRIu64 " cut points, %" PRIu64 " restarts, %" PRIu64
                    " acknowledged images lost, %" PRIu64 " violations, %" PRIu64 " failed cuts (salt %" PRIu64
                    ", %s)\n",
                    g_fig.scenarios, g_fig.cutPoints, g_fig.restarts, g_fig.lost, g_fig.violations,
                    g_fig.failures, baseSalt(), fullCampaign() ? "full" : "ci slice");
        std::fflush(stdout);
    }
};
const auto* g_summary = ::testing::AddGlobalTestEnvironment(new Summary);

// What a child reports back.
struct Report {
    uint64_t recoveryWrites = 0, recoveryErases = 0;
    int lost = 0;
    char msg[512] = {};
};

int fail(Report* rep, const char* fmt, int b) {
    std::snprintf(rep->msg, sizeof rep->msg, fmt, b);
    return 1;
}

class Campaign : public mfpsys::test::BoardTest, public ::testing::WithParamInterface<int> {
protected:
    const Scenario& sc() const { return scenarios()[size_t(GetParam())]; }

    // What every block may read after the cut.
    struct Expect {
        std::optional<std::vector<uint8_t>> acked[kBlocks];
        std::optional<std::vector<uint8_t>> cut[kBlocks];
        bool mayVanish[kBlocks] = {};  // erase-all: no image is acceptable too
    };

    Expect expectation() const {
        Expect e;
        for (const Write& w : sc().setup) e.acked[w.block] = padded(w.block, image(w.block, w.round));
        if (sc().prep) e.cut[sc().prep->block] = padded(sc().prep->block, image(sc().prep->block, sc().prep->round));
        if (sc().op == Op::Write) e.cut[sc().write.block] = padded(sc().write.block, image(sc().write.block, sc().write.round));
        if (sc().op == Op::EraseAll)
            for (int b = 0; b < 3; ++b) e.mayVanish[b] = true;  // sectors 6 and 7 are not erase-all's
        return e;
    }

    void wipe() {
        board().disarm();
        board().power_on();
        board().set_flash(0, std::vector<uint8_t>(mfpsim::kFlashSize, 0xFF));
        board().reset_counters();
    }

    mfpsys::test::Outcome restarted(std::function<int()> fn) {
        ++g_fig.restarts;
        return restart(std::move(fn));
    }

    // Brings the board to the moment before the operation. Returns false
    // (with a test failure) when that could not be done.
    bool prepare() {
        wipe();
        const Scenario& s = sc();
        auto setup = restarted([&] {
            if (s.op == Op::Mac) return env_mac_write(kMacOld) == 0 ? 0 : 1;
            for (const Write& w : s.setup) {
                auto img = image(w.block, w.round);
                if (nvWriteRetry(kAddr[w.block], uint32_t(img.size()), img.data()) != 0) return 1;
            }
            return 0;
        });
        EXPECT_CHILD_OK(setup) << s.name << ": setup";
        if (!setup.ok()) return false;
        if (s.prep) {
            board().arm_power_cut(s.prepAt, s.prepK, Tear::None, 77);
            auto prep = restarted([&] {
                auto img = image(s.prep->block, s.prep->round);
                nvWriteRetry(kAddr[s.prep->block], uint32_t(img.size()), img.data());
                return 0;
            });
            board().disarm();
            EXPECT_TRUE(prep.signal == SIGKILL && board().power_lost()) << s.name << ": the earlier cut did not fire";
            if (prep.signal != SIGKILL) return false;
        }
        return true;
    }

    mfpsys::test::Outcome runOp() {
        const Scenario& s = sc();
        return restarted([&] {
            switch (s.op) {
                case Op::Write: {
                    auto img = image(s.write.block, s.write.round);
                    return nvWriteRetry(kAddr[s.write.block], uint32_t(img.size()), img.data()) == 0 ? 0 : 1;
                }
                case Op::EraseAll: return nvEraseAll() == 0 ? 0 : 1;
                case Op::Powerup:
                    for (int b = 0; b < kBlocks; ++b) readBlock(b);
                    return 0;
                case Op::Mac: return env_mac_write(kMacNew) == 0 ? 0 : 1;
            }
            return 1;
        });
    }

    // Program and erase steps of the operation, uncut.
    std::pair<uint64_t, uint64_t> countSteps() {
        if (!prepare()) return {0, 0};
        auto c0 = board().counters();
        auto op = runOp();
        auto c1 = board().counters();
        EXPECT_CHILD_OK(op) << sc().name << ": the operation fails without a cut";
        return {c1.writes - c0.writes, c1.erase_requests - c0.erase_requests};
    }

    // The recovery and the checks after the cut; in rep the recovery's steps.
    int checkNv(const Expect& e, Report* rep) {
        auto c0 = board().counters();
        std::optional<std::vector<uint8_t>> got[kBlocks];
        for (int b = 0; b < kBlocks; ++b) got[b] = readBlock(b);
        auto c1 = board().counters();
        rep->recoveryWrites = c1.writes - c0.writes;
        rep->recoveryErases = c1.erase_requests - c0.erase_requests;
        int bad = 0;
        for (int b = 0; b < kBlocks; ++b) {
            if (!got[b]) {
                if (e.acked[b] && !e.mayVanish[b]) {
                    ++rep->lost;
                    bad = fail(rep, "block %d: the acknowledged image is gone", b);
                }
            } else if (!(e.acked[b] && *got[b] == *e.acked[b]) && !(e.cut[b] && *got[b] == *e.cut[b])) {
                if (e.acked[b]) ++rep->lost;
                bad = fail(rep, "block %d: reads bytes that no write acknowledged or attempted", b);
            }
        }
        if (bad) return bad;
        for (int b = 0; b < kBlocks; ++b) {
            auto img = image(b, 90 + b);
            if (nvWriteRetry(kAddr[b], uint32_t(img.size()), img.data()) != 0)
                return fail(rep, "block %d: the next write fails", b);
        }
        return 0;
    }

    int checkMac(Tear tear, Report* rep) {
        char* m = env_mac_read();
        bool old = m != nullptr && m != ENV_MAC_READ_FAILED && std::strcmp(m, kMacOld) == 0;
        bool fresh = m != nullptr && m != ENV_MAC_READ_FAILED && std::strcmp(m, kMacNew) == 0;
        // A cut that tore the erase or the write itself leaves a sector the
        // read reports as damaged; anything else is the old, the new or the
        // blank environment (the window between erase and write).
        bool damaged = m == ENV_MAC_READ_FAILED && tear != Tear::None;
        if (!old && !fresh && m != nullptr && !damaged) return fail(rep, "mac: neither old, new nor blank (%d)", 0);
        if (env_mac_write(kMacNext) != 0) return fail(rep, "mac: the next write fails (%d)", 0);
        return 0;
    }

    // One cut (and optionally a second one during the recovery). Returns
    // the recovery's steps for the double cuts.
    std::pair<uint64_t, uint64_t> runCut(const Cut& c, const std::optional<Cut>& c2) {
        const Scenario& s = sc();
        const std::string id = replayId(s, c, c2);
        ++g_fig.cutPoints;
        Report* rep = static_cast<Report*>(mfpsys::test::shared_alloc(sizeof(Report)));
        new (rep) Report();
        std::pair<uint64_t, uint64_t> rec{0, 0};
        bool ok = prepare();
        const uint64_t before = board().counters().violations;
        std::string why;
        if (ok) {
            board().arm_power_cut(c.at, c.k, c.tear, c.salt);
            auto op = runOp();
            board().disarm();
            if (!(op.signal == SIGKILL && board().power_lost())) {
                ok = false;
                why = "the cut did not fire: " + op.describe();
            }
        }
        const Expect e = expectation();
        if (ok && c2 && s.op != Op::Mac) {
            // Power goes again while the first recovery runs.
            board().arm_power_cut(c2->at, c2->k, c2->tear, c2->salt);
            auto again = restarted([&] { return checkNv(e, rep); });
            board().disarm();
            if (again.signal != SIGKILL) {
                ok = false;
                why = "the second cut did not fire: " + again.describe() + " " + rep->msg;
            }
            *rep = Report();
        }
        if (ok) {
            auto check = restarted([&] { return s.op == Op::Mac ? checkMac(c.tear, rep) : checkNv(e, rep); });
            rec = {rep->recoveryWrites, rep->recoveryErases};
            if (!check.ok()) {
                ok = false;
                why = std::string(rep->msg[0] ? rep->msg : "") + " (" + check.describe() + ")";
            }
        }
        if (ok) {
            auto last = restarted([&] {
                if (s.op == Op::Mac) {
                    char* m = env_mac_read();
                    if (m == nullptr || m == ENV_MAC_READ_FAILED || std::strcmp(m, kMacNext) != 0)
                        return fail(rep, "mac: the next address does not read back (%d)", 0);
                    return 0;
                }
                for (int b = 0; b < kBlocks; ++b) {
                    auto got = readBlock(b);
                    if (!got || *got != padded(b, image(b, 90 + b)))
                        return fail(rep, "block %d: the next write does not read back after a restart", b);
                }
                return 0;
            });
            if (!last.ok()) {
                ok = false;
                why = std::string(rep->msg) + " (" + last.describe() + ")";
            }
        }
        const uint64_t violations = board().counters().violations - before;
        g_fig.lost += uint64_t(rep->lost);
        g_fig.violations += violations;
        if (ok && violations != 0) {
            ok = false;
            why = "a write asked to raise a 0 bit to 1";
        }
        if (!ok) {
            ++g_fig.failures;
            ADD_FAILURE() << "cut " << id << ": " << why << "\n  replay: MFPSYS_REPLAY='" << id << "' "
                          << selfExe();
        }
        rep->~Report();
        mfpsys::test::shared_free(rep, sizeof(Report));
        return rec;
    }
};

TEST_P(Campaign, EveryCutPoint) {
    const Scenario& s = sc();
    if (const char* r = std::getenv("MFPSYS_REPLAY"); r != nullptr && *r) {
        auto rp = parseReplay(r);
        ASSERT_TRUE(rp.has_value()) << "cannot parse MFPSYS_REPLAY=" << r;
        if (rp->scenario != s.name) GTEST_SKIP() << "replaying " << r;
        ++g_fig.scenarios;
        runCut(rp->cut, rp->second);
        return;
    }
    ++g_fig.scenarios;
    auto [writes, erases] = countSteps();
    ASSERT_GT(writes + erases, 0u) << s.name << ": nothing to cut";
    std::printf("%s: %" PRIu64 " program and %" PRIu64 " erase steps\n", s.name, writes, erases);
    const uint64_t salt = baseSalt();
    const bool doubles = fullCampaign();
    for (Tear tear : tearModes()) {
        for (CutAt at : {CutAt::Program, CutAt::Erase}) {
            const uint64_t n = at == CutAt::Program ? writes : erases;
            for (uint64_t k = 1; k <= n; ++k) {
                const uint64_t cutSalt =
                    rel::mix(salt ^ rel::hashName(s.name) ^ (k << 8) ^ (uint64_t(at) << 4) ^ uint64_t(tear)) | 1;
                const Cut c{at, k, tear, cutSalt};
                auto [rw, re] = runCut(c, std::nullopt);
                if (!doubles) continue;
                for (CutAt at2 : {CutAt::Program, CutAt::Erase})
                    for (uint64_t k2 = 1; k2 <= (at2 == CutAt::Program ? rw : re); ++k2)
                        runCut(c, Cut{at2, k2, tear, rel::mix(cutSalt)});
            }
        }
    }
    std::printf("%s: %" PRIu64 " cut points so far, %" PRIu64 " failed\n", s.name, g_fig.cutPoints, g_fig.failures);
}

std::string scenarioName(const ::testing::TestParamInfo<int>& info) {
    std::string n = scenarios()[size_t(info.param)].name;
    for (char& ch : n)
        if (ch == '-') ch = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Campaign, ::testing::Range(0, int(scenarios().size())), scenarioName);

}  // namespace
