// Reading and rewriting the Ethernet address on a simulated board: the bytes
// left on flash, the device steps, device faults, power loss and several
// processes at once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "harness/board.h"
#include "harness/proc.h"
#include "mfpsys/env.h"

using mfpsim::CutAt;
using mfpsim::Fault;
using mfpsim::Tear;
using namespace mfpsys::test;
using Bytes = std::vector<unsigned char>;
using Entries = std::vector<std::string>;

namespace {

constexpr std::uint32_t kSector = 0x7A000;
constexpr std::uint32_t kWord = 0x7A200;
constexpr std::size_t kArea = 7676;

std::uint32_t sum_of(const Bytes& area) {
    std::uint32_t s = 0;
    for (unsigned char b : area) s += b;
    return ~s;
}

// An entry area holding these entries, the empty entry and 0xFF fill.
Bytes area_of(const Entries& entries) {
    Bytes a;
    for (const auto& e : entries) {
        a.insert(a.end(), e.begin(), e.end());
        a.push_back(0);
    }
    a.push_back(0);
    a.resize(kArea, 0xFF);
    return a;
}

Entries entries_in(const unsigned char* p, std::size_t n) {
    Entries out;
    std::size_t i = 0;
    while (i < n && p[i] != 0) {
        std::string s(reinterpret_cast<const char*>(p + i), strnlen(reinterpret_cast<const char*>(p + i), n - i));
        i += s.size() + 1;
        out.push_back(s);
    }
    return out;
}

Entries default_entries() { return entries_in(env_table, sizeof(env_table)); }

Entries without_address(Entries e) {
    std::erase_if(e, [](const std::string& s) { return s.rfind("ethaddr=", 0) == 0; });
    return e;
}

std::size_t data_len(const Bytes& area) {
    std::size_t i = 0;
    while (i < area.size() && area[i] != 0xFF) ++i;
    return i;
}

class EnvMac : public BoardTest {
protected:
    // Stores an area with the given checksum word (its own checksum if none).
    void store(const Bytes& area, std::optional<std::uint32_t> word = std::nullopt) {
        const std::uint32_t w = word ? *word : sum_of(area);
        Bytes img = {static_cast<unsigned char>(w >> 24), static_cast<unsigned char>(w >> 16),
                     static_cast<unsigned char>(w >> 8), static_cast<unsigned char>(w)};
        img.insert(img.end(), area.begin(), area.end());
        board().set_flash(kWord, img);
    }
    void store(const Entries& e) { store(area_of(e)); }

    std::uint32_t stored_word() {
        auto w = board().flash(kWord, 4);
        return std::uint32_t{w[0]} << 24 | std::uint32_t{w[1]} << 16 | std::uint32_t{w[2]} << 8 | w[3];
    }
    Bytes stored_area() { return board().flash(kWord + 4, kArea); }
    Entries stored_entries() {
        auto a = stored_area();
        return entries_in(a.data(), a.size());
    }
    // The sector is what this library and the boot loader accept.
    void expect_valid_sector() {
        auto a = stored_area();
        EXPECT_EQ(stored_word(), sum_of(a));
        const std::size_t n = data_len(a);
        EXPECT_GT(n, 0u);
        EXPECT_LE(n, 2000u);
        auto e = entries_in(a.data(), a.size());
        std::size_t used = 1;
        for (auto& s : e) used += s.size() + 1;
        EXPECT_EQ(used, n);
    }
    bool sector_erased() {
        auto s = board().flash(kSector, 8192);
        return std::all_of(s.begin(), s.end(), [](unsigned char b) { return b == 0xFF; });
    }
};

std::string read_text() {
    char* r = env_mac_read();
    if (r == ENV_MAC_READ_FAILED) return "<failed>";
    if (r == nullptr) return "<blank>";
    return r;
}

}  // namespace

TEST_F(EnvMac, WriteOverBlankSectorStoresDefaultWithNewAddressLast) {
    // Bytes around the sector and the boot loader's first 512 bytes.
    const Bytes fence(16, 0x5A);
    board().set_flash(kSector - 16, fence);
    board().set_flash(kSector + 8192, fence);
    board().set_flash(kSector, Bytes(512, 0x00));
    board().set_journal(true);
    board().reset_counters();

    testing::internal::CaptureStdout();
    EXPECT_EQ(env_mac_write("00:1a:2b:3c:4d:5e"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "checksum error : checksum ffe221fb:ffffffff, len 0\n");

    Entries want = without_address(default_entries());
    ASSERT_EQ(want.size(), 22u);
    want.push_back("ethaddr=00:1a:2b:3c:4d:5e");
    EXPECT_EQ(stored_entries(), want);
    EXPECT_EQ(data_len(stored_area()), 1077u);
    expect_valid_sector();
    // The erase wiped the first 512 bytes and nothing wrote them back; the
    // neighbours were not touched.
    EXPECT_EQ(board().flash(kSector, 512), Bytes(512, 0xFF));
    EXPECT_EQ(board().flash(kSector - 16, 16), fence);
    EXPECT_EQ(board().flash(kSector + 8192, 16), fence);

    // Device steps: read at 0x7A200, erase at 0x7A000, two seconds, write at
    // 0x7A200; three opens, all closed; no status request.
    auto j = board().journal();
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[0].kind, 'r');
    EXPECT_EQ(j[0].offset, kWord);
    EXPECT_EQ(j[0].length, 7680u);
    EXPECT_EQ(j[1].kind, 'e');
    EXPECT_EQ(j[1].offset, kSector);
    EXPECT_EQ(j[2].kind, 'w');
    EXPECT_EQ(j[2].offset, kWord);
    EXPECT_EQ(j[2].length, 7680u);
    auto c = board().counters();
    EXPECT_EQ(c.opens, 3u);
    EXPECT_EQ(c.closes, 3u);
    EXPECT_EQ(c.open_fds, 0u);
    EXPECT_EQ(c.status_requests, 0u);
    EXPECT_EQ(c.violations, 0u);
    EXPECT_EQ(board().virtual_seconds(), 2u);

    // Another process reads it back.
    EXPECT_CHILD_OK(run_child([] {
        CHILD_CHECK(read_text() == "00:1a:2b:3c:4d:5e");
        unsigned char b[6];
        CHILD_CHECK(env_mac_read_n(b) == 0);
        const unsigned char want[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
        CHILD_CHECK(std::memcmp(b, want, 6) == 0);
        return 0;
    }));
}

TEST_F(EnvMac, RewriteKeepsOtherEntriesAndLeavesOneAddressLast) {
    store(Entries{"a=1", "ethaddr=11:11:11:11:11:11", "b=2", "ETHADDR=33:33:33:33:33:33",
                  "ethaddr2=44:44:44:44:44:44", "ethaddr=22:22:22:22:22:22", "c=3"});
    // The first address entry is the one read; look-alikes are passed over.
    EXPECT_EQ(read_text(), "11:11:11:11:11:11");

    testing::internal::CaptureStdout();
    EXPECT_EQ(env_mac_write("aa:bb:cc:dd:ee:ff"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // accepted, no rebuild
    EXPECT_EQ(stored_entries(),
              (Entries{"a=1", "b=2", "ETHADDR=33:33:33:33:33:33", "ethaddr2=44:44:44:44:44:44", "c=3",
                       "ethaddr=aa:bb:cc:dd:ee:ff"}));
    expect_valid_sector();
    EXPECT_EQ(read_text(), "aa:bb:cc:dd:ee:ff");
}

TEST_F(EnvMac, ReadPassesOverLookalikesAndReturnsEmptyValue) {
    store(Entries{"ETHADDR=33:33:33:33:33:33", "ethaddr2=44:44:44:44:44:44", "ethaddr=", "x=y"});
    char* r = env_mac_read();
    ASSERT_NE(r, ENV_MAC_READ_FAILED);
    ASSERT_EQ(r, mac);
    EXPECT_STREQ(r, "");
}

TEST_F(EnvMac, ReadResultsForBlankDamagedAndMissing) {
    unsigned char b[6] = {1, 2, 3, 4, 5, 6};
    const Bytes untouched(b, b + 6);
    // Blank: null, and six 0xFF bytes.
    EXPECT_EQ(env_mac_read(), nullptr);
    EXPECT_EQ(env_mac_read_n(b), 0);
    EXPECT_EQ(Bytes(b, b + 6), Bytes(6, 0xFF));

    // Blank whatever the checksum word holds.
    store(Bytes(kArea, 0xFF), 0x12345678u);
    EXPECT_EQ(env_mac_read(), nullptr);

    std::memcpy(b, untouched.data(), 6);
    auto failed = [&](const char* what) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(env_mac_read(), ENV_MAC_READ_FAILED) << what;
        EXPECT_EQ(env_mac_read_n(b), -1) << what;
        EXPECT_EQ(Bytes(b, b + 6), untouched) << what;
        return testing::internal::GetCapturedStdout();
    };
    // Checksum mismatch.
    const Bytes good = area_of({"ethaddr=00:11:22:33:44:55"});
    store(good, sum_of(good) + 1);
    EXPECT_EQ(failed("checksum"), "");
    // No address entry.
    store(Entries{"a=1", "ETHADDR=00:11:22:33:44:55"});
    EXPECT_EQ(failed("no entry"), "");
    // No 0xFF among the first 2001 bytes.
    Entries big(100, std::string(19, 'q'));  // 2000 bytes, then 26 more
    big.push_back("ethaddr=00:11:22:33:44:55");
    store(big);
    EXPECT_EQ(failed("too much data"), "");
    // An entry of 500 characters before the address entry.
    store(Entries{std::string(500, 'k'), "ethaddr=00:11:22:33:44:55"});
    EXPECT_EQ(failed("long entry"), "env data is too long\nenv data is too long\n");
}

TEST_F(EnvMac, ListWithoutTerminatorIsInvalidAndNeverReadPast) {
    // Entries right up to the end of the area, no empty entry, a valid
    // checksum and an 0xFF early on (inside an entry) so that the data
    // length test passes: only the walk can tell.
    Bytes a;
    std::string first = "x=";
    first.push_back(static_cast<char>(0xFF));
    a.insert(a.end(), first.begin(), first.end());
    a.push_back(0);
    while (a.size() + 10 <= kArea) {
        const std::string e = "abcd=1234";
        a.insert(a.end(), e.begin(), e.end());
        a.push_back(0);
    }
    while (a.size() < kArea) a.push_back('z');  // a text cut off by the end
    store(a);
    EXPECT_EQ(env_mac_read(), ENV_MAC_READ_FAILED);

    // A rewrite treats it as damaged and starts from the default.
    testing::internal::CaptureStdout();
    EXPECT_EQ(env_mac_write("01:02:03:04:05:06"), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("checksum error : checksum ", 0), 0u) << out;
    EXPECT_NE(out.find(", len 2\n"), std::string::npos) << out;
    Entries want = without_address(default_entries());
    want.push_back("ethaddr=01:02:03:04:05:06");
    EXPECT_EQ(stored_entries(), want);
}

TEST_F(EnvMac, DamagedEnvironmentIsReplacedByDefaultOnWrite) {
    const Bytes area = area_of({"custom=1", "ethaddr=00:11:22:33:44:55"});
    store(area, 0xDEADBEEFu);
    testing::internal::CaptureStdout();
    EXPECT_EQ(env_mac_write("00:11:22:33:44:66"), 0);
    char want_msg[96];
    std::snprintf(want_msg, sizeof want_msg, "checksum error : checksum %x:deadbeef, len %zu\n",
                  sum_of(area), data_len(area));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), want_msg);
    Entries want = without_address(default_entries());
    want.push_back("ethaddr=00:11:22:33:44:66");
    EXPECT_EQ(stored_entries(), want);  // "custom=1" is gone
    expect_valid_sector();
}

TEST_F(EnvMac, WriteRefusesWhatWouldNotFitWithoutTouchingFlash) {
    // A 500-character entry stops the rewrite before the erase.
    store(Entries{"a=1", std::string(500, 'k')});
    const Bytes before = board().flash(kSector, 8192);
    testing::internal::CaptureStdout();
    EXPECT_EQ(env_mac_write("00:11:22:33:44:55"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "env data is too long\n");
    EXPECT_EQ(board().counters().erase_requests, 0u);
    EXPECT_EQ(board().flash(kSector, 8192), before);

    // 1990 bytes in use: the new entry would put the end of the data past
    // 2000 bytes, which the boot loader and the read reject.
    Entries near_full(99, std::string(19, 'q'));  // 1980 bytes
    near_full.push_back("r=12345");               // 1988, and the empty entry
    store(near_full);
    ASSERT_EQ(data_len(stored_area()), 1989u);
    const Bytes before2 = board().flash(kSector, 8192);
    testing::internal::CaptureStdout();
    EXPECT_EQ(env_mac_write("00:11:22:33:44:55"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "env data is too long\n");
    EXPECT_EQ(board().flash(kSector, 8192), before2);
    // A shorter text still fits: "ethaddr=1" and its NUL end the data at 1999.
    EXPECT_EQ(env_mac_write("1"), 0);
    EXPECT_EQ(data_len(stored_area()), 1999u);
    EXPECT_EQ(read_text(), "1");
}

TEST_F(EnvMac, TextAndValueLimitsAndNullPointers) {
    store(Entries{"a=1"});
    board().reset_counters();
    const Bytes before = board().flash(kSector, 8192);
    EXPECT_EQ(env_mac_write(std::string(21, 'a').c_str()), -1);
    EXPECT_EQ(env_mac_write(nullptr), -1);
    EXPECT_EQ(env_mac_write_n(nullptr), -1);
    EXPECT_EQ(env_mac_read_n(nullptr), -1);
    EXPECT_EQ(board().counters().opens, 0u);  // refused before any device call
    EXPECT_EQ(board().flash(kSector, 8192), before);

    // 20 characters fill mac exactly with the list's end.
    const std::string t20(20, '7');
    EXPECT_EQ(env_mac_write(t20.c_str()), 0);
    EXPECT_EQ(read_text(), t20);

    // A stored value of 29 characters is handed out, 30 are refused.
    store(Entries{"ethaddr=" + std::string(29, 'v')});
    EXPECT_EQ(read_text(), std::string(29, 'v'));
    store(Entries{"ethaddr=" + std::string(30, 'w')});
    EXPECT_EQ(read_text(), "<failed>");
}

TEST_F(EnvMac, SixBytesRoundTripAndParseEitherCase) {
    const unsigned char b[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    testing::internal::CaptureStdout();
    EXPECT_EQ(env_mac_write_n(b), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(stored_entries().back(), "ethaddr=00:1a:2b:3c:4d:5e");
    unsigned char got[6] = {};
    EXPECT_EQ(env_mac_read_n(got), 0);
    EXPECT_EQ(Bytes(got, got + 6), Bytes(b, b + 6));

    const unsigned char hi[6] = {0xFF, 0xA0, 0x0B, 0xC9, 0xDE, 0xF1};
    for (const char* stored : {"ff:a0:0b:c9:de:f1", "FF:A0:0B:C9:DE:F1", "Ff-a0-0B-c9-De-f1"}) {
        store(Entries{std::string("ethaddr=") + stored});
        EXPECT_EQ(env_mac_read_n(got), 0) << stored;
        EXPECT_EQ(Bytes(got, got + 6), Bytes(hi, hi + 6)) << stored;
    }

    // A short value: positions past its end count as 0, not as whatever an
    // earlier, longer value left in mac.
    store(Entries{"ethaddr=12:34"});
    EXPECT_EQ(env_mac_read_n(got), 0);
    EXPECT_EQ(Bytes(got, got + 6), (Bytes{0x12, 0x34, 0, 0, 0, 0}));
}

namespace {

struct FaultRow {
    const char* what;
    Fault fault;
    std::uint64_t nth;
    const char* message;
    bool erased;  // the failure came after the erase request
};

}  // namespace

TEST_F(EnvMac, DeviceFaultsOnTheWritePathLeaveTheSectorAsDocumented) {
    const Entries old = {"keep=1", "ethaddr=00:00:00:00:00:01"};
    store(old);
    const Bytes original = board().flash(kSector, 8192);
    const FaultRow rows[] = {
        {"first open", Fault::Open, 1, "nvram open error\n", false},
        {"seek before the read", Fault::Lseek, 1, "nvram read error\n", false},
        {"read", Fault::ReadFail, 1, "nvram read error\n", false},
        {"open for the erase", Fault::Open, 2, "nvram open error\n", false},
        {"seek to the sector start", Fault::Lseek, 2, "nvram seek error\n", false},
        {"erase request", Fault::EraseFail, 1, "nvram ioctl error\n", false},
        {"open for the write", Fault::Open, 3, "nvram open error\n", true},
        {"seek before the write", Fault::Lseek, 3, "nvram seek error\n", true},
        {"write", Fault::WriteFail, 1, "nvram write error\n", true},
        {"short write", Fault::WriteShort, 1, "nvram write error\n", true},
    };
    for (const FaultRow& r : rows) {
        SCOPED_TRACE(r.what);
        board().set_flash(kSector, original);
        board().disarm();
        board().reset_counters();
        board().arm_fault(r.fault, r.nth);
        testing::internal::CaptureStdout();
        EXPECT_EQ(env_mac_write("aa:aa:aa:aa:aa:aa"), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.message);
        const auto c = board().counters();
        EXPECT_EQ(c.faults_fired, 1u);
        EXPECT_EQ(c.open_fds, 0u);
        EXPECT_EQ(c.erase_requests, r.erased || r.fault == Fault::EraseFail ? 1u : 0u);
        if (r.fault == Fault::Open && r.nth == 1) {
            // Nothing after a failed open (the simulator counts only
            // opens that succeed).
            EXPECT_EQ(c.opens, 0u);
            EXPECT_EQ(c.seeks + c.reads + c.writes, 0u);
        }
        if (!r.erased) {
            EXPECT_EQ(board().flash(kSector, 8192), original);
            EXPECT_EQ(read_text(), "00:00:00:00:00:01");
        } else if (r.fault != Fault::WriteShort) {
            // Erased and not written: blank until the next rewrite, which
            // starts from the default environment.
            EXPECT_TRUE(sector_erased());
            EXPECT_EQ(env_mac_read(), nullptr);
            unsigned char b[6] = {};
            EXPECT_EQ(env_mac_read_n(b), 0);
            EXPECT_EQ(Bytes(b, b + 6), Bytes(6, 0xFF));
            testing::internal::CaptureStdout();
            EXPECT_EQ(env_mac_write("bb:bb:bb:bb:bb:bb"), 0);
            EXPECT_EQ(testing::internal::GetCapturedStdout(),
                      "checksum error : checksum ffe221fb:ffffffff, len 0\n");
            Entries want = without_address(default_entries());
            want.push_back("ethaddr=bb:bb:bb:bb:bb:bb");
            EXPECT_EQ(stored_entries(), want);
        }
    }
}

TEST_F(EnvMac, DeviceFaultsOnTheReadPath) {
    store(Entries{"ethaddr=00:00:00:00:00:01"});
    const std::pair<Fault, const char*> rows[] = {
        {Fault::Open, "nvram open error\n"},
        {Fault::Lseek, "nvram read error\n"},
        {Fault::ReadFail, "nvram read error\n"},
    };
    for (auto [fault, message] : rows) {
        SCOPED_TRACE(mfpsim::fault_name(fault));
        board().reset_counters();
        board().arm_fault(fault, 1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(env_mac_read(), ENV_MAC_READ_FAILED);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), message);
        EXPECT_EQ(board().counters().open_fds, 0u);
        if (fault == Fault::Open) {
            EXPECT_EQ(board().counters().seeks, 0u);
        }
    }
    EXPECT_EQ(read_text(), "00:00:00:00:00:01");
}

TEST_F(EnvMac, EraseSlowerThanTheWaitIsAWriteFailure) {
    store(Entries{"ethaddr=00:00:00:00:00:01"});
    board().set_erase_seconds(5);
    testing::internal::CaptureStdout();
    EXPECT_EQ(env_mac_write("aa:aa:aa:aa:aa:aa"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "nvram write error\n");
    EXPECT_EQ(board().counters().programmed_bytes, 0u);
}

TEST_F(EnvMac, PowerCutBetweenEraseAndWriteLeavesABlankSector) {
    store(Entries{"keep=1", "ethaddr=00:00:00:00:00:01"});
    board().arm_power_cut(CutAt::Program, 1, Tear::None, 1);
    auto o = run_child([] {
        env_mac_write("aa:aa:aa:aa:aa:aa");
        return 0;
    });
    ASSERT_FALSE(o.exited) << o.describe();
    EXPECT_EQ(o.signal, SIGKILL);
    ASSERT_TRUE(board().power_lost());
    EXPECT_TRUE(sector_erased());

    // The dead writer held the system-wide lock; the kernel gave it back.
    const int sem = semget(0x4D504501, 1, 0);
    ASSERT_NE(sem, -1);
    EXPECT_EQ(semctl(sem, 0, GETVAL), 0);

    EXPECT_CHILD_OK(restart([] {
        CHILD_CHECK(env_mac_read() == nullptr);
        unsigned char b[6] = {};
        CHILD_CHECK(env_mac_read_n(b) == 0);
        CHILD_CHECK(Bytes(b, b + 6) == Bytes(6, 0xFF));
        CHILD_CHECK(env_mac_write("bb:bb:bb:bb:bb:bb") == 0);
        CHILD_CHECK(read_text() == "bb:bb:bb:bb:bb:bb");
        return 0;
    }));
    Entries want = without_address(default_entries());
    want.push_back("ethaddr=bb:bb:bb:bb:bb:bb");
    EXPECT_EQ(stored_entries(), want);  // rebuilt: "keep=1" did not survive
    expect_valid_sector();
}

TEST_F(EnvMac, PowerCutDuringTheEraseIsRepairedByTheNextWrite) {
    store(Entries{"keep=1", "ethaddr=00:00:00:00:00:01"});
    board().arm_power_cut(CutAt::Erase, 1, Tear::Random, 42);
    auto o = run_child([] {
        env_mac_write("aa:aa:aa:aa:aa:aa");
        return 0;
    });
    ASSERT_FALSE(o.exited) << o.describe();
    EXPECT_CHILD_OK(restart([] {
        // Torn: not a valid address either way.
        char* r = env_mac_read();
        CHILD_CHECK(r == nullptr || r == ENV_MAC_READ_FAILED);
        CHILD_CHECK(env_mac_write("cc:cc:cc:cc:cc:cc") == 0);
        CHILD_CHECK(read_text() == "cc:cc:cc:cc:cc:cc");
        return 0;
    }));
    expect_valid_sector();
}

TEST_F(EnvMac, ConcurrentRewritesRunOneAfterTheOther) {
    store(Entries{"keep=1", "ethaddr=00:00:00:00:00:01"});
    board().set_journal(true);
    constexpr int n = 4;
    static const char* const addrs[n] = {"11:11:11:11:11:11", "22:22:22:22:22:22",
                                         "33:33:33:33:33:33", "44:44:44:44:44:44"};
    Gate gate;
    Arrivals ready;
    std::vector<Child> kids;
    for (int i = 0; i < n; ++i)
        kids.emplace_back([&, i] {
            ready.arrive();
            gate.wait();
            const int r = env_mac_write(addrs[i]);
            std::fflush(stdout);
            return r == 0 ? 0 : 1;
        });
    ready.await(n);
    gate.open(n);
    for (auto& k : kids) EXPECT_CHILD_OK(k.wait());

    // Every rewrite read, erased and wrote with no other step in between.
    auto j = board().journal();
    ASSERT_EQ(j.size(), 3u * n);
    for (std::size_t i = 0; i < j.size(); i += 3) {
        EXPECT_EQ(j[i].kind, 'r') << i;
        EXPECT_EQ(j[i + 1].kind, 'e') << i;
        EXPECT_EQ(j[i + 2].kind, 'w') << i;
    }
    EXPECT_EQ(board().counters().violations, 0u);
    expect_valid_sector();
    Entries e = stored_entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0], "keep=1");
    EXPECT_TRUE(std::find_if(std::begin(addrs), std::end(addrs), [&](const char* a) {
                    return e[1] == std::string("ethaddr=") + a;
                }) != std::end(addrs))
        << e[1];
}

TEST_F(EnvMac, ReadsNeverSeeARewriteHalfDone) {
    store(Entries{"ethaddr=00:00:00:00:00:01"});
    Gate gate;
    Arrivals ready;
    std::vector<Child> kids;
    kids.emplace_back([&] {
        ready.arrive();
        gate.wait();
        for (int k = 0; k < 5; ++k)
            if (env_mac_write(k % 2 ? "00:00:00:00:00:01" : "00:00:00:00:00:02") != 0) return 1;
        std::fflush(stdout);
        return 0;
    });
    for (int r = 0; r < 2; ++r)
        kids.emplace_back([&] {
            ready.arrive();
            gate.wait();
            for (int k = 0; k < 20; ++k) {
                const std::string t = read_text();
                CHILD_CHECK(t == "00:00:00:00:00:01" || t == "00:00:00:00:00:02");
            }
            return 0;
        });
    ready.await(3);
    gate.open(3);
    for (auto& k : kids) EXPECT_CHILD_OK(k.wait());
}
