// Reading and rewriting the Ethernet address on a simulated board: the bytes
// left on flash, the device steps, device faults, power loss and several
// processes at once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "harness/board.h"
#include "harness/proc.h"
#include "harness/together.h"
#include "mfpsys/env.h"

using mfpsim::CutAt;
using mfpsim::Fault;
using mfpsim::Tear;
using namespace mfpsys::test;
using Bytes = std::vector<unsigned char>;
using Entries = std::vector<std::string>;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr std::uint32_t kSector = 0x7A000;
constexpr std::uint32_t kWord = 0x7A200;
constexpr std::size_t kArea = 7676;
const std::string kBlankMsg = "checksum error : checksum ffe221fb:ffffffff, len 0\n";

std::uint32_t sum_of(const Bytes& area) {
    std::uint32_t s = 0;
    for (unsigned char b : area) s += b;
    return ~s;
}

// An entry area holding these entries, the empty entry and 0xFF fill.
Bytes area_of(const Entries& entries) {
    Bytes a;
    for (const auto& e : entries) a.insert(a.end(), e.c_str(), e.c_str() + e.size() + 1);
    a.push_back(0);
    a.resize(kArea, 0xFF);
    return a;
}

Entries entries_in(const unsigned char* p, std::size_t n) {
    Entries out;
    for (std::size_t i = 0; i < n && p[i] != 0; i += out.back().size() + 1)
        out.emplace_back(reinterpret_cast<const char*>(p + i), strnlen(reinterpret_cast<const char*>(p + i), n - i));
    return out;
}

std::size_t data_len(const Bytes& area) {
    return static_cast<std::size_t>(std::find(area.begin(), area.end(), 0xFF) - area.begin());
}

// The default environment with this address entry in place of its own, last.
Entries rebuilt_with(const std::string& addr) {
    Entries e = entries_in(env_table, sizeof(env_table));
    std::erase_if(e, [](const std::string& s) { return s.rfind("ethaddr=", 0) == 0; });
    e.push_back("ethaddr=" + addr);
    return e;
}

std::string read_text() {
    char* r = env_mac_read();
    if (r == ENV_MAC_READ_FAILED) return "<failed>";
    return r == nullptr ? "<blank>" : r;
}

// A write's result and what it printed.
std::pair<int, std::string> write_text(const char* text) {
    CaptureStdout();
    const int r = env_mac_write(text);
    return {r, GetCapturedStdout()};
}

class EnvMac : public BoardTest {
protected:
    // Stores an area under the given checksum word (by default its own).
    void store(const Bytes& area, std::uint32_t word) {
        Bytes img = {static_cast<unsigned char>(word >> 24), static_cast<unsigned char>(word >> 16),
                     static_cast<unsigned char>(word >> 8), static_cast<unsigned char>(word)};
        img.insert(img.end(), area.begin(), area.end());
        board().set_flash(kWord, img);
    }
    void store(const Bytes& area) { store(area, sum_of(area)); }
    void store(const Entries& e) { store(area_of(e)); }

    Bytes sector() { return board().flash(kSector, 8192); }
    Bytes stored_area() { return board().flash(kWord + 4, kArea); }
    Entries stored_entries() {
        auto a = stored_area();
        return entries_in(a.data(), a.size());
    }
    // What the boot loader and the read accept: the checksum word matches
    // and the list ends just before the first 0xFF, within 2000 bytes.
    void expect_valid_sector() {
        auto w = board().flash(kWord, 4);
        auto a = stored_area();
        EXPECT_EQ(std::uint32_t{w[0]} << 24 | std::uint32_t{w[1]} << 16 | std::uint32_t{w[2]} << 8 | w[3],
                  sum_of(a));
        std::size_t used = 1;
        for (auto& s : entries_in(a.data(), a.size())) used += s.size() + 1;
        EXPECT_EQ(data_len(a), used);
        EXPECT_LE(used, 2000u);
    }
};

}  // namespace

TEST_F(EnvMac, WriteOverBlankSectorStoresDefaultWithNewAddressLast) {
    // Bytes around the sector and the boot loader's first 512 bytes.
    const Bytes fence(16, 0x5A);
    board().set_flash(kSector - 16, fence);
    board().set_flash(kSector + 8192, fence);
    board().set_flash(kSector, Bytes(512, 0x00));
    board().set_journal(true);

    EXPECT_EQ(write_text("00:1a:2b:3c:4d:5e"), std::make_pair(0, kBlankMsg));
    EXPECT_EQ(stored_entries(), rebuilt_with("00:1a:2b:3c:4d:5e"));
    EXPECT_EQ(stored_entries().size(), 23u);
    EXPECT_EQ(data_len(stored_area()), 1077u);
    expect_valid_sector();
    // The erase wiped the first 512 bytes and nothing wrote them back; the
    // neighbours were not touched.
    EXPECT_EQ(board().flash(kSector, 512), Bytes(512, 0xFF));
    EXPECT_EQ(board().flash(kSector - 16, 16), fence);
    EXPECT_EQ(board().flash(kSector + 8192, 16), fence);

    // Device steps: read at 0x7A200, erase at 0x7A000, two seconds, write at
    // 0x7A200; three opens, all closed; no status request.
    const std::vector<mfpsim::JournalEntry> steps = {
        {'r', kWord, 7680}, {'e', kSector, 8192}, {'w', kWord, 7680}};
    EXPECT_EQ(board().journal(), steps);
    auto c = board().counters();
    EXPECT_EQ(c.opens, 3u);
    EXPECT_EQ(c.closes, 3u);
    EXPECT_EQ(c.status_requests + c.violations, 0u);
    EXPECT_EQ(board().virtual_seconds(), 2u);

    // Another process reads it back.
    EXPECT_CHILD_OK(run_child([] {
        CHILD_CHECK(read_text() == "00:1a:2b:3c:4d:5e");
        return 0;
    }));
}

TEST_F(EnvMac, RewriteKeepsOtherEntriesAndLeavesOneAddressLast) {
    store(Entries{"a=1", "ethaddr=11:11:11:11:11:11", "b=2", "ETHADDR=33:33:33:33:33:33",
                  "ethaddr2=44:44:44:44:44:44", "ethaddr=22:22:22:22:22:22", "c=3"});
    // The first address entry is the one read.
    EXPECT_EQ(read_text(), "11:11:11:11:11:11");
    EXPECT_EQ(write_text("aa:bb:cc:dd:ee:ff"), std::make_pair(0, std::string()));
    EXPECT_EQ(stored_entries(), (Entries{"a=1", "b=2", "ETHADDR=33:33:33:33:33:33",
                                         "ethaddr2=44:44:44:44:44:44", "c=3", "ethaddr=aa:bb:cc:dd:ee:ff"}));
    expect_valid_sector();

    // Look-alikes are passed over; an empty value is an empty text.
    store(Entries{"ETHADDR=33:33:33:33:33:33", "ethaddr2=44:44:44:44:44:44", "ethaddr=", "x=y"});
    EXPECT_EQ(env_mac_read(), mac);
    EXPECT_STREQ(mac, "");
}

TEST_F(EnvMac, ReadResultsForBlankDamagedAndMissing) {
    unsigned char b[6] = {1, 2, 3, 4, 5, 6};
    const Bytes untouched(b, b + 6);
    // Blank, whatever the checksum word holds: null, and six 0xFF bytes.
    store(Bytes(kArea, 0xFF), 0x12345678u);
    EXPECT_EQ(env_mac_read(), nullptr);
    EXPECT_EQ(env_mac_read_n(b), 0);
    EXPECT_EQ(Bytes(b, b + 6), Bytes(6, 0xFF));

    std::memcpy(b, untouched.data(), 6);
    auto failed = [&](const char* what, const char* printed) {
        CaptureStdout();
        EXPECT_EQ(env_mac_read(), ENV_MAC_READ_FAILED) << what;
        EXPECT_EQ(env_mac_read_n(b), -1) << what;
        EXPECT_EQ(Bytes(b, b + 6), untouched) << what;
        EXPECT_EQ(GetCapturedStdout(), std::string(printed) + printed) << what;
    };
    const Bytes good = area_of({"ethaddr=00:11:22:33:44:55"});
    store(good, sum_of(good) + 1);
    failed("checksum mismatch", "");
    store(Entries{"a=1", "ETHADDR=00:11:22:33:44:55"});
    failed("no address entry", "");
    Entries big(100, std::string(19, 'q'));  // 2000 bytes, then the address
    big.push_back("ethaddr=00:11:22:33:44:55");
    store(big);
    failed("no 0xFF in the first 2001 bytes", "");
    store(Entries{std::string(500, 'k'), "ethaddr=00:11:22:33:44:55"});
    failed("500-character entry", "env data is too long\n");
}

TEST_F(EnvMac, DamagedEnvironmentIsReplacedByDefaultOnWrite) {
    const Bytes area = area_of({"custom=1", "ethaddr=00:11:22:33:44:55"});
    store(area, 0xDEADBEEFu);
    char msg[96];
    std::snprintf(msg, sizeof msg, "checksum error : checksum %x:deadbeef, len %zu\n", sum_of(area),
                  data_len(area));
    EXPECT_EQ(write_text("00:11:22:33:44:66"), std::make_pair(0, std::string(msg)));
    EXPECT_EQ(stored_entries(), rebuilt_with("00:11:22:33:44:66"));  // "custom=1" is gone
    expect_valid_sector();

    // A list that runs to the end of the area without its empty entry, with a
    // valid checksum and an early 0xFF (inside an entry) so that only the
    // walk can tell: the read refuses it, without reading past the area
    // (the sanitizer build checks), and a rewrite starts from the default.
    Bytes a = {'x', '=', 0xFF, 0};
    while (a.size() + 10 <= kArea) a.insert(a.end(), {'a', 'b', 'c', 'd', '=', '1', '2', '3', '4', 0});
    a.resize(kArea, 'z');  // a text cut off by the end of the area
    store(a);
    EXPECT_EQ(read_text(), "<failed>");
    std::snprintf(msg, sizeof msg, "checksum error : checksum %x:%x, len 2\n", sum_of(a), sum_of(a));
    EXPECT_EQ(write_text("01:02:03:04:05:06"), std::make_pair(0, std::string(msg)));
    EXPECT_EQ(stored_entries(), rebuilt_with("01:02:03:04:05:06"));
}

TEST_F(EnvMac, WriteRefusesWhatWouldNotFitWithoutTouchingFlash) {
    const std::pair<int, std::string> refused = {-1, "env data is too long\n"};
    // A 500-character entry stops the rewrite before the erase.
    store(Entries{"a=1", std::string(500, 'k')});
    Bytes before = sector();
    EXPECT_EQ(write_text("00:11:22:33:44:55"), refused);
    EXPECT_EQ(board().counters().erase_requests, 0u);
    EXPECT_EQ(sector(), before);

    // 1988 bytes of entries: the new entry would end the data past 2000
    // bytes, which the boot loader and the read reject.
    Entries near_full(99, std::string(19, 'q'));
    near_full.push_back("r=12345");
    store(near_full);
    before = sector();
    EXPECT_EQ(write_text("00:11:22:33:44:55"), refused);
    EXPECT_EQ(sector(), before);
    // A shorter text still fits: "ethaddr=1" and its NUL end the data at 1999.
    EXPECT_EQ(write_text("1").first, 0);
    EXPECT_EQ(data_len(stored_area()), 1999u);
    EXPECT_EQ(read_text(), "1");
}

TEST_F(EnvMac, TextAndValueLimitsAndNullPointers) {
    store(Entries{"a=1"});
    const Bytes before = sector();
    EXPECT_EQ(env_mac_write(std::string(21, 'a').c_str()), -1);
    EXPECT_EQ(env_mac_write("00:1a:\xff:3c"), -1);  // would end the data for the boot loader
    EXPECT_EQ(env_mac_write(nullptr), -1);
    EXPECT_EQ(env_mac_write_n(nullptr), -1);
    EXPECT_EQ(env_mac_read_n(nullptr), -1);
    EXPECT_EQ(board().counters().opens, 0u);  // refused before any device call
    EXPECT_EQ(sector(), before);

    // 20 characters fill mac exactly with the list's end.
    const std::string t20(20, '7');
    EXPECT_EQ(write_text(t20.c_str()).first, 0);
    EXPECT_EQ(read_text(), t20);
    // A stored value of 29 characters is handed out, 30 are refused.
    store(Entries{"ethaddr=" + std::string(29, 'v')});
    EXPECT_EQ(read_text(), std::string(29, 'v'));
    store(Entries{"ethaddr=" + std::string(30, 'w')});
    EXPECT_EQ(read_text(), "<failed>");
}

TEST_F(EnvMac, SixBytesRoundTripAndParseEitherCase) {
    const unsigned char b[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    CaptureStdout();
    EXPECT_EQ(env_mac_write_n(b), 0);
    GetCapturedStdout();
    EXPECT_EQ(stored_entries().back(), "ethaddr=00:1a:2b:3c:4d:5e");
    unsigned char got[6] = {};
    EXPECT_EQ(env_mac_read_n(got), 0);
    EXPECT_EQ(Bytes(got, got + 6), Bytes(b, b + 6));

    const Bytes hi = {0xFF, 0xA0, 0x0B, 0xC9, 0xDE, 0xF1};
    for (const char* stored : {"ff:a0:0b:c9:de:f1", "FF:A0:0B:C9:DE:F1", "Ff-a0-0B-c9-De-f1"}) {
        store(Entries{std::string("ethaddr=") + stored});
        EXPECT_EQ(env_mac_read_n(got), 0) << stored;
        EXPECT_EQ(Bytes(got, got + 6), hi) << stored;
    }
    // A short value: positions past its end count as 0, not as whatever an
    // earlier, longer value left in mac.
    store(Entries{"ethaddr=12:34"});
    EXPECT_EQ(env_mac_read_n(got), 0);
    EXPECT_EQ(Bytes(got, got + 6), (Bytes{0x12, 0x34, 0, 0, 0, 0}));
}

TEST_F(EnvMac, DeviceFaultsLeaveTheSectorAsDocumented) {
    // Longer than the 512 bytes of the short read below: the address lies beyond.
    store(Entries{"keep=" + std::string(490, 'k'), "ethaddr=00:00:00:00:00:01"});
    const Bytes original = sector();
    struct Row {
        Fault fault;
        std::uint64_t nth;
        const char* message;
        bool erased;  // the failure came after the erase request
    };
    const Row rows[] = {
        {Fault::Open, 1, "nvram open error\n", false},
        {Fault::Lseek, 1, "nvram read error\n", false},
        {Fault::ReadFail, 1, "nvram read error\n", false},
        {Fault::ReadShort, 1, "nvram read error\n", false},  // a partial image is no reason to rebuild
        {Fault::Open, 2, "nvram open error\n", false},
        {Fault::Lseek, 2, "nvram seek error\n", false},
        {Fault::EraseFail, 1, "nvram ioctl error\n", false},
        {Fault::Open, 3, "nvram open error\n", true},
        {Fault::Lseek, 3, "nvram seek error\n", true},
        {Fault::WriteFail, 1, "nvram write error\n", true},
        {Fault::WriteShort, 1, "nvram write error\n", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(mfpsim::fault_name(r.fault)) + " #" + std::to_string(r.nth));
        board().set_flash(kSector, original);
        board().reset_counters();
        board().arm_fault(r.fault, r.nth, r.fault == Fault::ReadShort ? 512 : 0);
        EXPECT_EQ(write_text("aa:aa:aa:aa:aa:aa"), std::make_pair(-1, std::string(r.message)));
        const auto c = board().counters();
        EXPECT_EQ(c.open_fds, 0u);
        EXPECT_EQ(c.erase_requests, r.erased || r.fault == Fault::EraseFail ? 1u : 0u);
        if (r.nth == 1 && r.fault == Fault::Open) {
            EXPECT_EQ(c.opens + c.seeks + c.reads, 0u);  // nothing after a failed open
        }
        if (!r.erased) {
            EXPECT_EQ(sector(), original);
            EXPECT_EQ(read_text(), "00:00:00:00:00:01");
        } else if (r.fault != Fault::WriteShort) {
            // Erased and not written: blank until the next rewrite, which
            // starts from the default environment.
            EXPECT_EQ(sector(), Bytes(8192, 0xFF));
            EXPECT_EQ(env_mac_read(), nullptr);
            EXPECT_EQ(write_text("bb:bb:bb:bb:bb:bb"), std::make_pair(0, kBlankMsg));
            EXPECT_EQ(stored_entries(), rebuilt_with("bb:bb:bb:bb:bb:bb"));
        }
    }
    // The read path's own rows. A short read there is no device failure: the
    // part not read fails the checksum.
    board().set_flash(kSector, original);
    for (auto [fault, message] : {std::pair{Fault::Open, "nvram open error\n"},
                                  std::pair{Fault::Lseek, "nvram read error\n"},
                                  std::pair{Fault::ReadFail, "nvram read error\n"},
                                  std::pair{Fault::ReadShort, ""}}) {
        SCOPED_TRACE(mfpsim::fault_name(fault));
        board().arm_fault(fault, 1, fault == Fault::ReadShort ? 512 : 0);
        CaptureStdout();
        EXPECT_EQ(env_mac_read(), ENV_MAC_READ_FAILED);
        EXPECT_EQ(GetCapturedStdout(), message);
        EXPECT_EQ(board().counters().open_fds, 0u);
    }
}

// A lock that cannot be had (here another owner's semaphore that an
// unprivileged process may not use) is reported, and no device call is made.
TEST_F(EnvMac, UnobtainableLockIsReported) {
    ASSERT_NE(semget(0x4D504501, 1, IPC_CREAT | 0600), -1);
    EXPECT_CHILD_OK(run_child([] {
        CHILD_CHECK(setuid(65534) == 0);
        unsigned char b[6] = {};
        CaptureStdout();
        const bool failed = env_mac_write("aa:aa:aa:aa:aa:aa") == -1 && env_mac_read() == ENV_MAC_READ_FAILED &&
                            env_mac_read_n(b) == -1;
        CHILD_CHECK(GetCapturedStdout() == "nvram lock error\nnvram lock error\nnvram lock error\n" && failed);
        return 0;
    }));
    EXPECT_EQ(board().counters().opens, 0u);
}

TEST_F(EnvMac, PowerCutBetweenEraseAndWriteLeavesABlankSector) {
    store(Entries{"keep=1", "ethaddr=00:00:00:00:00:01"});
    board().arm_power_cut(CutAt::Program, 1, Tear::None, 1);
    auto o = run_child([] { return env_mac_write("aa:aa:aa:aa:aa:aa"); });
    ASSERT_FALSE(o.exited) << o.describe();
    EXPECT_EQ(o.signal, SIGKILL);
    EXPECT_EQ(sector(), Bytes(8192, 0xFF));

    // The dead writer held the system-wide lock; the kernel gave it back.
    const int sem = semget(0x4D504501, 1, 0);
    ASSERT_NE(sem, -1);
    EXPECT_EQ(semctl(sem, 0, GETVAL), 0);

    EXPECT_CHILD_OK(restart([] {
        CHILD_CHECK(env_mac_read() == nullptr);
        unsigned char b[6] = {};
        CHILD_CHECK(env_mac_read_n(b) == 0 && Bytes(b, b + 6) == Bytes(6, 0xFF));
        CHILD_CHECK(env_mac_write("bb:bb:bb:bb:bb:bb") == 0);
        return 0;
    }));
    EXPECT_EQ(stored_entries(), rebuilt_with("bb:bb:bb:bb:bb:bb"));  // "keep=1" is gone
    expect_valid_sector();
}

TEST_F(EnvMac, ConcurrentRewritesRunOneAfterTheOther) {
    store(Entries{"keep=1", "ethaddr=00:00:00:00:00:01"});
    board().set_journal(true);
    constexpr int n = 4;
    const std::string addrs[n] = {"11:11:11:11:11:11", "22:22:22:22:22:22", "33:33:33:33:33:33",
                                  "44:44:44:44:44:44"};
    for (auto& o : run_together(n, [&](int i) { return env_mac_write(addrs[i].c_str()) == 0 ? 0 : 1; }))
        EXPECT_CHILD_OK(o);

    // Every rewrite read, erased and wrote with no other step in between.
    auto j = board().journal();
    ASSERT_EQ(j.size(), 3u * n);
    for (std::size_t i = 0; i < j.size(); ++i) EXPECT_EQ(j[i].kind, "rew"[i % 3]) << i;
    EXPECT_EQ(board().counters().violations, 0u);
    expect_valid_sector();
    Entries e = stored_entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0], "keep=1");
    EXPECT_NE(std::find(std::begin(addrs), std::end(addrs), e[1].substr(8)), std::end(addrs)) << e[1];
}

TEST_F(EnvMac, ReadsNeverSeeARewriteHalfDone) {
    store(Entries{"ethaddr=00:00:00:00:00:01"});
    // One writer flips the address back and forth; two readers watch.
    for (auto& o : run_together(3, [](int i) {
             for (int k = 0; k < 20; ++k) {
                 if (i == 0) {
                     if (k < 5) CHILD_CHECK(env_mac_write(k % 2 ? "00:00:00:00:00:01" : "00:00:00:00:00:02") == 0);
                     continue;
                 }
                 const std::string t = read_text();
                 CHILD_CHECK(t == "00:00:00:00:00:01" || t == "00:00:00:00:00:02");
             }
             return 0;
         }))
        EXPECT_CHILD_OK(o);
}
