// Download-area windows on a simulated board: each area's physical range
// mapped read-only, header checks, area bounds, and the range unmapped again
// (only by its own start).
#include <gtest/gtest.h>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>
#include "harness/board.h"
#include "mfpsys/dwl.h"
using Bytes = std::vector<unsigned char>;
namespace {
struct Mapping { std::uintptr_t start, end; std::string perms; };  // of /proc/self/maps, covering p
std::optional<Mapping> mapping_at(const void* p) {
    std::ifstream f("/proc/self/maps");
    std::string range, perms, rest;
    while (f >> range >> perms && std::getline(f, rest)) {
        const auto lo = std::uintptr_t(std::stoull(range, nullptr, 16));
        const auto hi = std::uintptr_t(std::stoull(range.substr(range.find('-') + 1), nullptr, 16));
        if (lo <= reinterpret_cast<std::uintptr_t>(p) && reinterpret_cast<std::uintptr_t>(p) < hi) return Mapping{lo, hi, perms};
    }
    return std::nullopt;
}
// An area: magic, a word not examined, info bytes info0, 0x11.., then data 0, 1, 2...
Bytes area(std::size_t len, unsigned char info0, Bytes magic = {0x4D, 0x45, 0x00, 0x03}) {
    Bytes a = magic;
    a.insert(a.end(), {0xAA, 0xBB, 0xCC, 0xDD, info0});
    while (a.size() < len) a.push_back(static_cast<unsigned char>(a.size() < 20 ? 0x10 + a.size() - 8 : a.size() - 20));
    return a;
}
}  // namespace

class Dwl : public mfpsys::test::BoardTest {};

// A wrong magic (the byte-swapped one, or one differing in its last byte), info byte 0 above 1 or a device failure
// leaves no window; there is no area 2. The info bytes are untouched on a wrong magic, copied once the magic matched.
TEST_F(Dwl, RefusedHeadersAndAreasLeaveNoWindow) {
    unsigned char info[12];
    for (auto [magic, info0] :
         {std::pair{Bytes{0x03, 0x00, 0x45, 0x4D}, 0}, {Bytes{0x4D, 0x45, 0x00, 0x04}, 0}, {Bytes{0x4D, 0x45, 0x00, 0x03}, 2}}) {
        const Bytes a = area(0x1000, static_cast<unsigned char>(info0), magic);
        board().set_physmem(0x0EC1F000, a);
        std::memset(info, 0xEE, sizeof info);
        EXPECT_EQ(mmNORConnect(1, info), nullptr) << int(magic[3]) << " " << info0;
        EXPECT_EQ(Bytes(info, info + 12), info0 == 2 ? Bytes(a.begin() + 8, a.begin() + 20) : Bytes(12, 0xEE)) << int(magic[3]) << " " << info0;
        EXPECT_EQ(board().counters().maps, board().counters().unmaps) << "a refused header's window is unmapped";
    }
    board().reset_counters();
    EXPECT_EQ(vfsDWL_GetArea(2), nullptr);
    EXPECT_EQ(board().counters().opens, 0u) << "area 2 is refused before the device is opened";
    for (auto f : {mfpsim::Fault::Open, mfpsim::Fault::Mmap}) {  // the device refuses: nothing left open
        board().arm_fault(f, 1);
        EXPECT_EQ(mmNORConnect(0, info), nullptr) << mfpsim::fault_name(f);
        EXPECT_EQ(board().counters().open_fds, 0u) << mfpsim::fault_name(f);
    }
}

// Only a window's own start under its own area releases it: another area's
// number (area 0's length would reach past an area-1 window into whatever the
// caller has behind it), an address inside a window, no area, a second release
// are refused and unmap nothing. A forked child releases the windows it inherited.
TEST_F(Dwl, OnlyAWindowsStartUnderItsAreaReleasesIt) {
    board().set_physmem(0x0EC00000, area(0x1F000, 0));
    board().set_physmem(0x0EC1F000, area(0x1000, 1));
    void* const w1 = vfsDWL_GetArea(1);
    ASSERT_NE(w1, nullptr);
    EXPECT_EQ(static_cast<const unsigned char*>(w1)[8], 1) << "area 1's window over its own range";
    EXPECT_EQ(vfsDWL_FreeArea(0, w1), -1) << "area 0's length from an area-1 window";
    EXPECT_TRUE(mapping_at(w1)) << "a refused release unmapped the window";
    unsigned char info[12];
    auto* d0 = static_cast<unsigned char*>(mmNORConnect(mmNORConvKey(0), info));
    ASSERT_NE(d0, nullptr);
    const Bytes header = area(20, 0);
    EXPECT_EQ(Bytes(info, info + 12), Bytes(header.begin() + 8, header.end())) << "area 0's info bytes";
    EXPECT_EQ(mapping_at(d0)->start, reinterpret_cast<std::uintptr_t>(d0 - 20)) << "the data 20 bytes into the window";
    EXPECT_EQ(mapping_at(d0)->perms.substr(0, 4), "r--s") << "shared with the physical memory, never writable";
    for (auto [area, addr] : {std::pair{1, d0 - 20}, {0, d0 - 20 + 0x1000}, {2, d0 - 20}}) {  // the window still mapped end to end
        EXPECT_EQ(vfsDWL_FreeArea(area, addr), -1) << area;
        EXPECT_TRUE(mapping_at(d0)) << area;
        EXPECT_TRUE(mapping_at(d0 + 0x1F000 - 21)) << area;
    }
    EXPECT_EQ(mmNORDisconnect(0, d0), 0);
    EXPECT_FALSE(mapping_at(d0)) << "disconnect unmapped the window";
    EXPECT_EQ(mmNORDisconnect(0, d0), -1) << "a second release";
    EXPECT_TRUE(mfpsys::test::run_child([&] { return vfsDWL_FreeArea(1, w1); }).ok()) << "a child releases what it inherited";
    EXPECT_TRUE(mapping_at(w1)) << "the child's release left the parent's window";
    EXPECT_EQ(vfsDWL_FreeArea(1, w1), 0);
    EXPECT_EQ(vfsDWL_FreeArea(1, w1), -1) << "a second release";
}
