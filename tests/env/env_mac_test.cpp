// The Ethernet address in the boot environment on a simulated board: the bytes a rewrite leaves (erase first,
// inverted big-endian checksum word, default entries, others kept), one judgement of a stored image for the
// read, the rewrite and flash inspect, length limits, nibble order, device failures.
#include <gtest/gtest.h>

#include <sys/sem.h>
#include <unistd.h>
#include <cstdio>
#include <numeric>

#include "harness/board.h"
#include "mfpsys/env.h"
#include "tests/sim/sim.h"

using Bytes = std::vector<unsigned char>;
using Entries = std::vector<std::string>;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr std::uint32_t kSector = 0x7A000, kWord = 0x7A200;
std::uint32_t sum_of(const Bytes& a) { return ~std::accumulate(a.begin(), a.end(), 0u); }
std::string read_text(char* r = env_mac_read()) { return r == ENV_MAC_READ_FAILED ? "<failed>" : r ? r : "<blank>"; }
std::pair<int, std::string> write_text(const std::string& text) {  // the result and what it printed
    CaptureStdout();
    const int r = env_mac_write(text.c_str());
    return {r, GetCapturedStdout()};
}

class EnvMac : public mfpsys::test::BoardTest {
protected:
    void store(Bytes area, std::uint32_t word) {  // the word goes to flash big-endian
        area.insert(area.begin(), {uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word)});
        board().set_flash(kWord, area);
    }
    static Bytes list(const Entries& entries) {  // an entry area: the entries, the list's end, 0xFF
        Bytes a;
        for (const auto& e : entries) a.insert(a.end(), e.c_str(), e.c_str() + e.size() + 1);
        a.push_back(0);
        a.resize(7676, 0xFF);
        return a;
    }
    void store(const Entries& entries) {
        const Bytes a = list(entries);
        store(a, sum_of(a));
    }
    Bytes area() { return board().flash(kWord + 4, 7676); }
    std::string read_of(const Entries& e) {
        store(e);
        return read_printed();
    }
    std::string read_printed() {  // the text read, then what was printed
        CaptureStdout();
        const std::string text = read_text();
        return text + GetCapturedStdout();
    }
    Entries stored() {  // the list up to its end; checks the word and that 0xFF follows at once
        const Bytes a = area(), w = board().flash(kWord, 4);
        EXPECT_EQ(uint32_t(w[0]) << 24 | w[1] << 16 | w[2] << 8 | w[3], sum_of(a));
        Entries out;
        std::size_t i = 0;  // checked below: 0xFF right after the list's end
        for (; a[i] != 0; i += out.back().size() + 1) out.emplace_back((const char*)&a[i]);
        EXPECT_EQ(a[i + 1], 0xFF);
        return out;
    }
};

TEST_F(EnvMac, WriteOverBlankSectorErasesThenStoresTheDefaultWithTheAddressLast) {
    board().set_flash(kSector, Bytes(512, 0x00));
    board().set_journal(true);  // the boot loader's part
    EXPECT_EQ(write_text("00:1a:2b:3c:4d:5e"), std::make_pair(0, std::string("checksum error : checksum "
                                                                              "ffe221fb:ffffffff, len 0\n")));
    std::vector<std::size_t> sizes;  // the default entries in their order, then the new one
    for (const auto& e : stored()) sizes.push_back(e.size() + 1);
    EXPECT_EQ(sizes, (decltype(sizes){176, 18, 12, 14, 13, 21, 18, 22, 17, 20, 83, 95, 77, 46, 87, 88, 92, 91, 19,
                                      13, 14, 14, 26}));
    EXPECT_EQ(board().flash(kWord, 4), (Bytes{0xFF, 0xE4, 0xE5, 0x77}));
    EXPECT_EQ(board().flash(kSector, 512), Bytes(512, 0xFF));  // erased and never written back
    EXPECT_EQ(board().journal(),
              (decltype(board().journal()){{'r', kWord, 7680}, {'e', kSector, 8192}, {'w', kWord, 7680}}));
    EXPECT_EQ(board().virtual_seconds(), 2u) << "the two seconds between erase and write";
}

TEST_F(EnvMac, RewriteKeepsOtherEntriesAndOneAddressLast) {
    store(Entries{"a=1", "ethaddr=11:11:11:11:11:11", "b=2", "ETHADDR=3", "ethaddr2=4", "ethaddr=22", "c=3"});
    EXPECT_EQ(read_text(), "11:11:11:11:11:11");  // the first address entry
    EXPECT_EQ(write_text("aa:bb:cc:dd:ee:ff"), std::make_pair(0, std::string()));
    EXPECT_EQ(stored(), (Entries{"a=1", "b=2", "ETHADDR=3", "ethaddr2=4", "c=3", "ethaddr=aa:bb:cc:dd:ee:ff"}));
}

// Blank; no stored environment (wrong word, no data end within 2001 bytes even under a valid word): the
// rewrite starts from the defaults; a valid word over a list that cannot be walked: both refuse it and the
// flash stays as it was. Each address stands before the damage, where a walk that stops at it would take it.
TEST_F(EnvMac, ReadRewriteAndInspectorJudgeEveryImageAlike) {
    Entries full(100, std::string(19, 'q'));  // with the address, no 0xFF within 2001 bytes
    full.insert(full.begin(), "ethaddr=0123456789");
    const Bytes no_end = list(full), at_2000 = list(Entries(full.begin(), full.end() - 1)), wrong = list({"ethaddr=5"});
    Bytes open = list({"ethaddr=1"});  // then short entries up to the area's end, a 0xFF in one of them
    for (std::size_t i = 10; i < open.size(); ++i) open[i] = i == 12 ? 0xFF : i % 10 == 9 ? 0 : 'a';
    const std::string too_long = "env data is too long\n";
    const struct { Bytes area; std::uint32_t off; std::string read, state; char write; int len; } rows[] = {
        {Bytes(7676, 0xFF), 1, "<blank>", "blank", 'r', 0}, {wrong, 1, "<failed>", "invalid", 'r', 11},
        {no_end, 0, "<failed>", "invalid", 'r', -1}, {at_2000, 0, "0123456789", "valid", 'k', 0},
        {open, 0, "1", "invalid", 'x', 0},  // the read's walk meets the address before the damage
        {list({"ethaddr=00", std::string(500, 'k')}), 0, "00", "invalid", 'x', 0},
        {list({std::string(500, 'k'), "ethaddr=00"}), 0, "<failed>" + too_long, "invalid", 'x', 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.read + r.state + r.write);
        store(r.area, sum_of(r.area) + r.off);
        const Bytes before = board().flash(kSector, 8192);
        EXPECT_EQ(read_printed(), r.read);
        const auto insp = simtest::run_program(MFPCTL, {"flash", "inspect", "--board", board_dir()});
        EXPECT_NE(insp.out.find("boot environment (0x7a000): " + r.state + ","), std::string::npos);
        char msg[64];  // what a rebuild prints
        std::snprintf(msg, sizeof msg, "checksum error : checksum %x:%x, len %d\n", sum_of(r.area),
                      sum_of(r.area) + r.off, r.len);
        const std::string printed = r.write == 'r' ? msg : r.write == 'x' ? too_long : "";
        EXPECT_EQ(write_text("0a"), std::make_pair(r.write == 'x' ? -1 : 0, printed));
        if (r.write == 'x') EXPECT_EQ(board().flash(kSector, 8192), before);
        else EXPECT_EQ(stored().front().substr(0, 9) + std::to_string(stored().size()) + stored().back(),
                       (r.write == 'r' ? "bootargs=23" : "qqqqqqqqq100") + std::string("ethaddr=0a"));
    }
}

TEST_F(EnvMac, ValuesBeyondTheLengthLimitsAreRefused) {
    EXPECT_EQ(read_of({"ethaddr=" + std::string(30, 'w')}), "<failed>") << "30 characters do not fit the read's buffer";
    EXPECT_EQ(read_of({"ethaddr=" + std::string(29, 'v')}), std::string(29, 'v')) << "29 do";
    EXPECT_EQ(write_text(std::string(20, '7')).first, 0);
    EXPECT_EQ(stored().back(), "ethaddr=" + std::string(20, '7')) << "20 characters fit a write";
}

TEST_F(EnvMac, SixBytesKeepTheirNibbleOrderInEitherCase) {
    const Bytes b = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, short_value = {0x12, 0x34, 0, 0, 0, 0};
    Bytes got(6, 1);
    EXPECT_EQ(env_mac_read_n(got.data()), 0);
    EXPECT_EQ(got, Bytes(6, 0xFF)) << "blank: six 0xFF bytes";
    EXPECT_EQ(env_mac_write_n(b.data()), 0);
    EXPECT_EQ(stored().back(), "ethaddr=00:1a:2b:3c:4d:5e");
    for (const char* s : {"00:1a:2b:3c:4d:5e", "00:1A:2B:3C:4D:5E", "00-1a-2B-3c-4D-5e", "12:34", "a=1"}) {
        store(Entries{(s[1] == '=' ? "" : "ethaddr=") + std::string(s)});
        EXPECT_EQ(env_mac_read_n(got.data()), s[1] == '=' ? -1 : 0) << s;
        EXPECT_EQ(got, s[0] == '0' ? b : short_value) << s;  // 0 past a short value's end; untouched on failure
    }
}

TEST_F(EnvMac, DeviceFailuresPrintTheirMessageAndLeaveTheSectorAsDocumented) {
    ASSERT_NE(semget(0x4D504501, 1, IPC_CREAT | 0600), -1);  // a lock the user below may not take
    EXPECT_CHILD_OK(mfpsys::test::run_child([] {
        if (setuid(65534) != 0) return 2;  // the capture file must be this user's
        CaptureStdout();
        CHILD_CHECK(env_mac_write("aa") == -1);
        CHILD_CHECK(read_text() == "<failed>");
        CHILD_CHECK(GetCapturedStdout() == "nvram lock error\nnvram lock error\n");
        return 0;
    }));
    store(Entries{"keep=1", "ethaddr=00:00:00:00:00:01"});
    const Bytes original = board().flash(kSector, 8192);
    using enum mfpsim::Fault;
    const struct { mfpsim::Fault fault; int nth; const char* message; } rows[] = {  // the last three follow the erase
        {Open, 1, "open"}, {Lseek, 1, "read"}, {ReadFail, 1, "read"}, {ReadShort, 1, "read"}, {Lseek, 2, "seek"},
        {EraseFail, 1, "ioctl"}, {Open, 3, "open"}, {WriteFail, 1, "write"}, {WriteShort, 1, "write"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(mfpsim::fault_name(r.fault) + std::to_string(r.nth));
        board().set_flash(kSector, original);
        board().reset_counters();
        board().arm_fault(r.fault, uint64_t(r.nth));
        EXPECT_EQ(write_text("aa:aa:aa:aa:aa:aa"), std::make_pair(-1, "nvram " + std::string(r.message) + " error\n"));
        EXPECT_EQ(board().counters().open_fds, 0u) << "nothing left open";
        EXPECT_EQ(&r == rows ? board().counters().opens : 0u, 0u) << "a failed open";
        EXPECT_TRUE(r.fault == WriteShort ||  // a torn write is no state to check
                    board().flash(kSector, 8192) == (&r - rows < 6 ? original : Bytes(8192, 0xFF)));
    }
    board().arm_fault(ReadFail, 1);
    EXPECT_EQ(read_of({"a=1"}), "<failed>nvram read error\n");
}
