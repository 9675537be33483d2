// The entry area's checksum, data length and entry walk, and the default
// environment, checked against values fixed by the boot loader's format.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "env/env_internal.h"
#include "mfpsys/env.h"

using mfpsys::env::EntryWalker;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes area_with_ff_at(std::size_t ff, std::size_t size = mfpsys::env::kAreaSize) {
    Bytes a(size, 'x');
    if (ff < size) a[ff] = 0xFF;
    return a;
}

std::int32_t checksum(const Bytes& b) {
    return static_cast<std::int32_t>(env_checksum(b.data(), static_cast<std::int32_t>(b.size())));
}

}  // namespace

TEST(EnvChecksum, ComplementOfUnsignedByteSum) {
    EXPECT_EQ(env_checksum(nullptr, 0), 0xFFFFFFFFu);
    Bytes erased(7676, 0xFF);
    EXPECT_EQ(static_cast<std::uint32_t>(checksum(erased)), 0xFFE221FBu);
    // Bytes from 0x80 up count as 128..255, never as negative values.
    const Bytes high = {0x80, 0xFE, 0x01};
    EXPECT_EQ(static_cast<std::uint32_t>(checksum(high)), ~std::uint32_t{0x80 + 0xFE + 0x01});
}

TEST(EnvDataLen, BlankAndLimits) {
    // Blank whatever follows the first byte.
    Bytes blank(7676, 'x');
    blank[0] = 0xFF;
    EXPECT_EQ(env_data_len(blank.data()), 0);
    EXPECT_EQ(env_data_len(area_with_ff_at(1).data()), 1);
    EXPECT_EQ(env_data_len(area_with_ff_at(2000).data()), 2000);
    EXPECT_EQ(env_data_len(area_with_ff_at(2001).data()), -1);
    // Only the first 2001 bytes are looked at: a buffer of exactly that size
    // without 0xFF must not be read past (the sanitizer build checks).
    EXPECT_EQ(env_data_len(area_with_ff_at(5000, 2001).data()), -1);
}

TEST(EnvEntryLen, SizesAndLimits) {
    const Bytes empty = {0};
    EXPECT_EQ(env_entry_len(empty.data()), 1);
    const Bytes one = {'a', 0};
    EXPECT_EQ(env_entry_len(one.data()), 2);
    std::string s499(499, 'k');
    EXPECT_EQ(env_entry_len(reinterpret_cast<const unsigned char*>(s499.c_str())), 500);
    std::string s500(500, 'k');
    EXPECT_EQ(env_entry_len(reinterpret_cast<const unsigned char*>(s500.c_str())), -1);
    // At most 501 bytes are read.
    Bytes no_nul(501, 'k');
    EXPECT_EQ(env_entry_len(no_nul.data()), -1);
    // Bounded by the end of the area: an entry cut off there is reported as
    // such, and nothing past the given bytes is read.
    Bytes cut = {'a', 'b', 'c'};
    EXPECT_EQ(env_entry_len_within(cut.data(), cut.size()), 0);
    EXPECT_EQ(env_entry_len_within(cut.data(), 0), 0);
}

TEST(EnvTable, DefaultEnvironmentBytes) {
    Bytes a(mfpsys::env::kAreaSize, 0xFF);
    std::memcpy(a.data(), env_table, sizeof(env_table));
    ASSERT_EQ(sizeof(env_table), 1078u);
    EXPECT_EQ(static_cast<std::uint32_t>(checksum(a)), 0xFFE4E4FCu);
    EXPECT_EQ(env_data_len(a.data()), 1078);
    EXPECT_EQ(env_table[1076], 0);  // the empty entry
    EXPECT_EQ(env_table[1077], 0);  // and the one further NUL

    // 23 entries of these sizes, in this order, then the empty entry.
    const std::vector<std::size_t> sizes = {176, 18, 12, 14, 13, 26, 21, 18, 22, 17, 20, 83,
                                            95,  77, 46, 87, 88, 92, 91, 19, 13, 14, 14};
    std::vector<std::string> texts;
    EntryWalker w(a.data());
    while (w.next() == EntryWalker::Step::Entry) {
        texts.emplace_back(reinterpret_cast<const char*>(w.text()));
        EXPECT_EQ(w.size(), texts.back().size() + 1);
    }
    ASSERT_EQ(texts.size(), sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(texts[i].size() + 1, sizes[i]) << i;
    EXPECT_EQ(texts[5], "ethaddr=ff:ff:ff:ff:ff:ff");
    EXPECT_EQ(texts[0].rfind("bootargs=bootargs root=/dev/nfs ", 0), 0u);
    EXPECT_EQ(texts[17].rfind("updatekernel= tftpboot ", 0), 0u);
    EXPECT_EQ(texts[22], "stderr=serial");
}

