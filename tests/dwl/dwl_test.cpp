// Download-area windows on a simulated board: each area's physical range
// mapped read-only, header checks, area bounds, and the range unmapped again.
#include <gtest/gtest.h>
#include <cstdint>
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
        const auto lo = std::uintptr_t(std::stoull(range, nullptr, 16)), hi = std::uintptr_t(std::stoull(range.substr(range.find('-') + 1), nullptr, 16));
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
// Keys 0 and 1 name the two areas, each mapped read-only over its own
// physical range with the data 20 bytes in; disconnecting unmaps that range.
TEST_F(Dwl, EachKeyMapsItsAreaReadOnlyAndDisconnectUnmapsIt) {
    for (auto [key, phys, len] : {std::tuple{0, 0x0EC00000u, 0x1F000u}, {1, 0x0EC1F000u, 0x1000u}}) {
        const Bytes a = area(len, static_cast<unsigned char>(key));
        board().set_physmem(phys, a);
        unsigned char info[12] = {};
        auto* data = static_cast<unsigned char*>(mmNORConnect(mmNORConvKey(key), info));
        ASSERT_NE(data, nullptr) << key;
        const auto m = mapping_at(data);
        ASSERT_TRUE(m);
        EXPECT_EQ(Bytes(info, info + 12), Bytes(a.begin() + 8, a.begin() + 20));
        EXPECT_EQ((std::vector<std::uintptr_t>{m->start, m->end - m->start, data[0], data[len - 21]}),
                  (std::vector<std::uintptr_t>{reinterpret_cast<std::uintptr_t>(data - 20), len, 0, (len - 21) & 0xFF}));
        EXPECT_EQ(m->perms.substr(0, 4), "r--s");  // shared with the physical memory, never writable
        EXPECT_EQ(mmNORDisconnect(key, data), 0);
        EXPECT_TRUE(!mapping_at(data - 20) && board().counters().open_fds == 0);
    }
}

// A wrong magic (the byte-swapped one, or one differing in its last byte),
// info byte 0 above 1 or a device failure leaves no window; there is no area 2.
TEST_F(Dwl, RefusedHeadersAndAreasLeaveNoWindow) {
    unsigned char info[12];
    for (auto [magic, info0] : {std::pair{Bytes{0x03, 0x00, 0x45, 0x4D}, 0}, {Bytes{0x4D, 0x45, 0x00, 0x04}, 0}, {Bytes{0x4D, 0x45, 0x00, 0x03}, 2}}) {
        board().set_physmem(0x0EC1F000, area(0x1000, static_cast<unsigned char>(info0), magic));
        EXPECT_EQ(mmNORConnect(1, info), nullptr) << int(magic[3]) << " " << info0;
        EXPECT_EQ(board().counters().maps, board().counters().unmaps);
    }
    board().reset_counters();
    EXPECT_TRUE(vfsDWL_GetArea(2) == nullptr && board().counters().opens == 0);  // not even looked for
    void* a = vfsDWL_GetArea(0);
    EXPECT_TRUE(vfsDWL_FreeArea(2, a) == -1 && mapping_at(a) && vfsDWL_FreeArea(0, a) == 0);
    for (auto f : {mfpsim::Fault::Open, mfpsim::Fault::Mmap}) {  // the device refuses: nothing left open
        board().arm_fault(f, 1);
        EXPECT_TRUE(mmNORConnect(0, info) == nullptr && board().counters().open_fds == 0) << mfpsim::fault_name(f);
    }
}
