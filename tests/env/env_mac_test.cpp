// The Ethernet address in the boot environment on a simulated board: the bytes a rewrite leaves (erase first,
// inverted big-endian checksum word, default entries, others kept), length limits, nibble order, device failures.
#include <gtest/gtest.h>

#include <sys/sem.h>
#include <unistd.h>
#include <cstdio>
#include <numeric>

#include "harness/board.h"
#include "mfpsys/env.h"

using Bytes = std::vector<unsigned char>;
using Entries = std::vector<std::string>;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr std::uint32_t kSector = 0x7A000, kWord = 0x7A200;
std::uint32_t sum_of(const Bytes& a) { return ~std::accumulate(a.begin(), a.end(), 0u); }
std::string read_text(char* r = env_mac_read()) { return r == ENV_MAC_READ_FAILED ? "<failed>" : r ? r : "<blank>"; }
std::pair<int, std::string> write_text(const std::string& text) {  // the result and what it printed
    return CaptureStdout(), std::pair<int, std::string>{env_mac_write(text.c_str()), GetCapturedStdout()};
}

class EnvMac : public mfpsys::test::BoardTest {
protected:
    void store(Bytes area, std::uint32_t word) {  // the word goes to flash big-endian
        area.insert(area.begin(), {uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word)});
        board().set_flash(kWord, area);
    }
    void store(const Entries& entries) {
        Bytes a;
        for (const auto& e : entries) a.insert(a.end(), e.c_str(), e.c_str() + e.size() + 1);
        a.resize(a.size() + 1, 0), a.resize(7676, 0xFF), store(a, sum_of(a));
    }
    Bytes area() { return board().flash(kWord + 4, 7676); }
    std::string read_of(const Entries& e) {  // the text read, then what was printed
        store(e), CaptureStdout();
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
    board().set_flash(kSector, Bytes(512, 0x00)), board().set_journal(true);  // the boot loader's part
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
    EXPECT_EQ(board().counters().open_fds + board().counters().violations + board().virtual_seconds(), 2u);
    EXPECT_EQ(read_text(), "00:1a:2b:3c:4d:5e");
}

TEST_F(EnvMac, RewriteKeepsOtherEntriesAndOneAddressLastOrRebuildsADamagedList) {
    store(Entries{"a=1", "ethaddr=11:11:11:11:11:11", "b=2", "ETHADDR=3", "ethaddr2=4", "ethaddr=22", "c=3"});
    EXPECT_EQ(read_text(), "11:11:11:11:11:11");  // the first address entry
    EXPECT_EQ(write_text("aa:bb:cc:dd:ee:ff"), std::make_pair(0, std::string()));
    EXPECT_EQ(stored(), (Entries{"a=1", "b=2", "ETHADDR=3", "ethaddr2=4", "c=3", "ethaddr=aa:bb:cc:dd:ee:ff"}));
    char msg[64];
    std::snprintf(msg, sizeof msg, "checksum error : checksum %x:deadbeef, len 60\n", sum_of(area()));
    store(area(), 0xDEADBEEFu);
    EXPECT_EQ(write_text("01"), std::make_pair(0, std::string(msg)));
    EXPECT_EQ(stored()[0].substr(0, 9) + std::to_string(stored().size()), "bootargs=23");
    Bytes open(7676);  // a valid word and short entries, but no empty entry before the area's end
    for (std::size_t i = 0; i < open.size(); ++i) open[i] = i == 2 ? 0xFF : (i + 1) % 10 ? 'a' : 0;
    store(open, sum_of(open));
    EXPECT_EQ(read_text(), "<failed>");
    EXPECT_EQ(write_text("02").first + stored().size(), 23u);
}

TEST_F(EnvMac, ListsBeyondTheLengthLimitsAreRefusedByReadAndWrite) {
    store(Entries{"ethaddr=00:11"}), store(area(), sum_of(area()) + 1);
    EXPECT_EQ(read_text(), "<failed>");
    store(Bytes(7676, 0xFF), 0x12345678u);
    EXPECT_EQ(read_text(), "<blank>");
    Entries full(100, std::string(19, 'q'));  // 2000 bytes of entries, so no 0xFF within 2001 bytes
    full.push_back("ethaddr=0123456789");
    const std::pair<Entries, std::string> rows[] = {{{"a=1", "ETHADDR=00:11:22", "ethaddr2=4"}, ""}, {full, ""},
        {{"ethaddr=" + std::string(30, 'w')}, ""}, {{std::string(500, 'k'), "ethaddr=00"}, "env data is too long\n"}};
    for (const auto& [entries, printed] : rows) EXPECT_EQ(read_of(entries), "<failed>" + printed) << entries[0];
    full.erase(full.begin());  // the first 0xFF now lies at 2000
    EXPECT_EQ(read_of(full), "0123456789");
    EXPECT_EQ(read_of({std::string(499, 'k'), "ethaddr=", "ethaddr=1"}), "");
    EXPECT_EQ(read_of({std::string(499, 'k'), "ethaddr=" + std::string(29, 'v')}), std::string(29, 'v'));
    // A write that would break a limit is refused before the erase.
    Entries near_full(99, std::string(19, 'q'));  // 1988 bytes: a 17-character address ends past 2000
    near_full.push_back("r=12345");
    for (const Entries& e : {Entries{"a=1", std::string(500, 'k')}, near_full}) {
        store(e);
        const Bytes before = board().flash(kSector, 8192);
        EXPECT_EQ(write_text("00:11:22:33:44:55"), std::make_pair(-1, std::string("env data is too long\n")));
        EXPECT_EQ(board().flash(kSector, 8192), before);
    }
    EXPECT_EQ(write_text("1").first + stored().size(), 101u);  // "ethaddr=1" still ends the data at 1999
    store(Entries{"a=1"});
    EXPECT_EQ(env_mac_write(std::string(21, 'a').c_str()), -1);  // does not fit mac
    EXPECT_EQ(write_text(std::string(20, '7')).first + stored().back().size(), 28u);
}

TEST_F(EnvMac, SixBytesKeepTheirNibbleOrderInEitherCase) {
    const Bytes b = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, short_value = {0x12, 0x34, 0, 0, 0, 0};
    Bytes got(6, 1);
    EXPECT_EQ(env_mac_read_n(got.data()) + got[0] + got[5], 0x1FE);  // blank: six 0xFF bytes
    EXPECT_TRUE(env_mac_write_n(b.data()) == 0 && stored().back() == "ethaddr=00:1a:2b:3c:4d:5e");
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
        const bool refused = (CaptureStdout(), env_mac_write("aa")) == -1 && read_text() == "<failed>";
        return refused && GetCapturedStdout() == "nvram lock error\nnvram lock error\n" ? 0 : 1;
    }));
    store(Entries{"keep=1", "ethaddr=00:00:00:00:00:01"});
    const Bytes original = board().flash(kSector, 8192);
    using enum mfpsim::Fault;
    const struct { mfpsim::Fault fault; int nth; const char* message; } rows[] = {  // the last three follow the erase
        {Open, 1, "open"}, {Lseek, 1, "read"}, {ReadFail, 1, "read"}, {ReadShort, 1, "read"}, {Lseek, 2, "seek"},
        {EraseFail, 1, "ioctl"}, {Open, 3, "open"}, {WriteFail, 1, "write"}, {WriteShort, 1, "write"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(mfpsim::fault_name(r.fault) + std::to_string(r.nth));
        board().set_flash(kSector, original), board().reset_counters(), board().arm_fault(r.fault, uint64_t(r.nth));
        EXPECT_EQ(write_text("aa:aa:aa:aa:aa:aa"), std::make_pair(-1, "nvram " + std::string(r.message) + " error\n"));
        EXPECT_EQ(board().counters().open_fds + (&r == rows ? board().counters().opens : 0), 0u);
        EXPECT_TRUE(r.fault == WriteShort ||  // a torn write is no state to check
                    board().flash(kSector, 8192) == (&r - rows < 6 ? original : Bytes(8192, 0xFF)));
    }
    board().arm_fault(ReadFail, 1);
    EXPECT_EQ(read_of({"a=1"}), "<failed>nvram read error\n");
}
