// Download-area windows on a simulated board: what is mapped, what is
// refused, and that nothing is left behind after a failure.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "harness/board.h"
#include "harness/proc.h"
#include "mfpsys/dwl.h"

using namespace mfpsys::test;
using Bytes = std::vector<unsigned char>;

namespace {

constexpr std::uint32_t kArea0 = 0x0EC00000;
constexpr std::uint32_t kArea1 = 0x0EC1F000;
constexpr std::size_t kLen0 = 0x1F000;
constexpr std::size_t kLen1 = 0x1000;

struct Mapping {
    std::uintptr_t start, end;
    std::string perms, path;
};

std::vector<Mapping> mappings() {
    std::vector<Mapping> out;
    std::ifstream f("/proc/self/maps");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string range, perms, offset, dev, inode, path;
        in >> range >> perms >> offset >> dev >> inode >> path;
        const auto dash = range.find('-');
        auto hex = [](const std::string& t) {
            return static_cast<std::uintptr_t>(std::stoull(t, nullptr, 16));
        };
        out.push_back({hex(range.substr(0, dash)), hex(range.substr(dash + 1)), perms, path});
    }
    return out;
}

// The mapping that covers p, if any.
std::optional<Mapping> mapping_at(const void* p) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    for (auto& m : mappings())
        if (m.start <= a && a < m.end) return m;
    return std::nullopt;
}
bool mapped(const void* p) { return mapping_at(p).has_value(); }

// The mappings of the board's physical memory: the windows this process holds.
std::size_t windows() {
    std::size_t n = 0;
    for (auto& m : mappings())
        if (m.path.ends_with("/physmem.img")) ++n;
    return n;
}

const Bytes kMagic = {0x4D, 0x45, 0x00, 0x03};

class DwlWindow : public BoardTest {
protected:
    // An area with a header (a word not examined, info bytes info0, 0x11,
    // 0x12, ...) and data bytes 0, 1, 2, ... behind it.
    void fill(std::uint32_t phys, std::size_t len, unsigned char info0, Bytes magic = kMagic) {
        Bytes a = magic;
        a.insert(a.end(), {0xAA, 0xBB, 0xCC, 0xDD, info0});
        while (a.size() < 20) a.push_back(static_cast<unsigned char>(0x10 + a.size() - 8));
        while (a.size() < len) a.push_back(static_cast<unsigned char>(a.size() - 20));
        board().set_physmem(phys, a);
    }
    std::uint64_t open_fds() { return board().counters().open_fds; }
};

}  // namespace

TEST_F(DwlWindow, ValidHeaderIsAcceptedAndDataShown) {
    struct Case {
        std::int32_t key;
        std::uint32_t phys;
        std::size_t len;
        unsigned char info0;
    };
    for (const Case c : {Case{0, kArea0, kLen0, 0}, Case{1, kArea1, kLen1, 1}}) {
        fill(c.phys, c.len, c.info0);
        const auto before = windows();
        unsigned char info[12] = {};
        auto* data = static_cast<unsigned char*>(mmNORConnect(c.key, info));
        ASSERT_NE(data, nullptr) << c.key;
        EXPECT_EQ(windows(), before + 1);
        EXPECT_EQ(info[0], c.info0);
        for (int i = 1; i < 12; ++i) EXPECT_EQ(info[i], 0x10 + i);
        // The data pointer is the area start + 20, showing the area's bytes.
        const auto m = mapping_at(data - 20);
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->start, reinterpret_cast<std::uintptr_t>(data - 20));
        EXPECT_EQ(m->end - m->start, c.len);
        EXPECT_EQ(m->perms.substr(0, 3), "r--");
        EXPECT_EQ(m->perms[3], 's');
        EXPECT_EQ(std::memcmp(data - 20, kMagic.data(), 4), 0);
        EXPECT_EQ(data[0], 0);
        EXPECT_EQ(data[200], 200);
        EXPECT_EQ(data[c.len - 21], static_cast<unsigned char>(c.len - 21));
        EXPECT_EQ(open_fds(), 0u);

        // A second connection is a mapping of its own, released separately.
        unsigned char info2[12];
        auto* other = static_cast<unsigned char*>(mmNORConnect(c.key, info2));
        ASSERT_NE(other, nullptr);
        EXPECT_NE(other, data);
        EXPECT_EQ(windows(), before + 2);
        EXPECT_EQ(mmNORDisconnect(c.key, data), 0);
        EXPECT_EQ(windows(), before + 1);
        EXPECT_FALSE(mapped(data - 20));
        EXPECT_EQ(other[100], 100);
        EXPECT_EQ(mmNORDisconnect(c.key, other), 0);
        EXPECT_EQ(windows(), before);
        EXPECT_FALSE(mapped(other - 20));
    }
}

TEST_F(DwlWindow, RefusedHeadersLeaveNoWindow) {
    // Info byte 0 above 1: refused, with the 12 bytes already copied.
    fill(kArea0, kLen0, 2);
    unsigned char info[12];
    std::memset(info, 0xEE, sizeof info);
    auto before = windows();
    EXPECT_EQ(mmNORConnect(0, info), nullptr);
    EXPECT_EQ(info[0], 2);
    EXPECT_EQ(info[11], 0x10 + 11);
    EXPECT_EQ(windows(), before);
    EXPECT_EQ(open_fds(), 0u);

    // A wrong magic, the byte-swapped one included: the buffer is untouched.
    for (const Bytes& magic : {Bytes{0x03, 0x00, 0x45, 0x4D}, Bytes{0x4D, 0x45, 0x00, 0x04}}) {
        fill(kArea1, kLen1, 0, magic);
        std::memset(info, 0xEE, sizeof info);
        EXPECT_EQ(mmNORConnect(1, info), nullptr);
        EXPECT_EQ(Bytes(info, info + 12), Bytes(12, 0xEE));
        EXPECT_EQ(windows(), before);
        EXPECT_EQ(open_fds(), 0u);
    }
}

TEST_F(DwlWindow, BadKeysAreasAndNullPointersTouchNothing) {
    fill(kArea0, kLen0, 0);
    board().reset_counters();
    unsigned char info[12];
    std::memset(info, 0xEE, sizeof info);
    EXPECT_EQ(mmNORConnect(2, info), nullptr);
    EXPECT_EQ(mmNORConnect(-1, info), nullptr);
    EXPECT_EQ(vfsDWL_GetArea(2), nullptr);
    EXPECT_EQ(vfsDWL_GetArea(-1), nullptr);
    // A null info buffer: no mapping made, no descriptor opened.
    const auto before = windows();
    EXPECT_EQ(mmNORConnect(0, nullptr), nullptr);
    EXPECT_EQ(windows(), before);
    EXPECT_EQ(board().counters().opens, 0u);
    EXPECT_EQ(Bytes(info, info + 12), Bytes(12, 0xEE));

    // Releasing with a bad area or a null address unmaps nothing.
    void* area = vfsDWL_GetArea(0);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(vfsDWL_FreeArea(2, area), -1);
    EXPECT_EQ(vfsDWL_FreeArea(0, nullptr), -1);
    EXPECT_EQ(mmNORDisconnect(0, nullptr), -1);
    EXPECT_EQ(mmNORDisconnect(7, static_cast<unsigned char*>(area) + 20), -1);
    ASSERT_TRUE(mapping_at(area).has_value());
    EXPECT_EQ(mapping_at(area)->end - mapping_at(area)->start, kLen0);
    EXPECT_EQ(vfsDWL_FreeArea(0, area), 0);
    EXPECT_FALSE(mapped(area));
}

TEST_F(DwlWindow, WindowIsReadOnlyAndSharesPhysicalMemory) {
    fill(kArea1, kLen1, 0);
    unsigned char info[12];
    auto* data = static_cast<unsigned char*>(mmNORConnect(1, info));
    ASSERT_NE(data, nullptr);

    // A change to the physical memory is seen through the open window.
    board().set_physmem(kArea1 + 20 + 50, Bytes{0xC0, 0xFF, 0xEE});
    EXPECT_EQ(data[50], 0xC0);
    EXPECT_EQ(data[51], 0xFF);
    EXPECT_EQ(data[52], 0xEE);

    // Writing through the data pointer faults. The child restores the
    // default action so that a sanitizer's handler does not turn the fault
    // into an ordinary exit.
    auto o = run_child([data] {
        signal(SIGSEGV, SIG_DFL);
        *static_cast<volatile unsigned char*>(data) = 1;
        return 0;
    });
    EXPECT_FALSE(o.exited);
    EXPECT_EQ(o.signal, SIGSEGV);
    EXPECT_EQ(mmNORDisconnect(1, data), 0);
}

TEST_F(DwlWindow, DeviceFailuresLeaveNoWindowAndNoDescriptor) {
    fill(kArea0, kLen0, 0);
    const auto before = windows();
    for (mfpsim::Fault f : {mfpsim::Fault::Open, mfpsim::Fault::Mmap}) {
        SCOPED_TRACE(mfpsim::fault_name(f));
        board().arm_fault(f, 1);
        EXPECT_EQ(vfsDWL_GetArea(0), nullptr);
        board().arm_fault(f, 1);
        unsigned char info[12];
        std::memset(info, 0xEE, sizeof info);
        EXPECT_EQ(mmNORConnect(0, info), nullptr);
        EXPECT_EQ(Bytes(info, info + 12), Bytes(12, 0xEE));
        EXPECT_EQ(windows(), before);
        EXPECT_EQ(open_fds(), 0u);
    }
}
