// Read-only windows onto the two download areas of physical memory.
#include "mfpsys/dwl.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

constexpr char kDevice[] = "/dev/mfp_devmem";

struct Area {
    off_t phys;
    std::size_t length;
};
constexpr std::array<Area, 2> kAreas{{{0x0EC00000, 0x1F000}, {0x0EC1F000, 0x1000}}};
static_assert(kAreas[0].phys + static_cast<off_t>(kAreas[0].length) == kAreas[1].phys);

// Header: magic, a word not examined, 12 info bytes, then the data.
constexpr unsigned char kMagic[4] = {0x4D, 0x45, 0x00, 0x03};
constexpr std::size_t kInfoOffset = 8;
constexpr std::size_t kInfoSize = 12;
constexpr std::size_t kHeaderSize = 20;

std::optional<Area> area_of(std::int32_t area) {
    if (area < 0 || area >= static_cast<std::int32_t>(kAreas.size())) return std::nullopt;
    return kAreas[static_cast<std::size_t>(area)];
}

// The windows this process holds. A release is taken only at a window's own
// start under its own area: munmap would as readily unmap whatever the caller
// has mapped behind a window or in place of a released one. A slot is one
// word, the page-aligned start with the area in bit 0, 0 when free; slots are
// claimed and cleared by compare-and-swap, so no lock exists for a fork to
// copy held, and a child keeps the records of the windows it inherits.
constexpr std::size_t kMaxWindows = 64;
using Window = std::uintptr_t;
static_assert(std::atomic<Window>::is_always_lock_free);
std::array<std::atomic<Window>, kMaxWindows> g_windows{};

Window window(const void* start, std::int32_t area) {
    return reinterpret_cast<Window>(start) | static_cast<Window>(area);
}

bool swap_slot(Window from, Window to) {
    for (auto& slot : g_windows) {
        Window held = from;
        if (slot.compare_exchange_strong(held, to)) return true;
    }
    return false;
}
bool remember(Window w) { return swap_slot(0, w); }
// Of two racing releases of one window, one takes its record.
bool forget(Window w) { return swap_slot(w, 0); }

}  // namespace

std::int32_t mmNORConvKey(std::int32_t key) {
    return key == 0 || key == 1 ? key : -1;
}

void* vfsDWL_GetArea(std::int32_t area) {
    const auto a = area_of(area);
    if (!a) return nullptr;
    const int fd = ::open(kDevice, O_RDONLY);
    if (fd == -1) return nullptr;
    void* p = ::mmap(nullptr, a->length, PROT_READ, MAP_SHARED, fd, a->phys);
    // The mapping outlives the descriptor; none is kept open.
    ::close(fd);
    if (p == MAP_FAILED) return nullptr;
    // A window without a record could never be released.
    if (!remember(window(p, area))) {
        ::munmap(p, a->length);
        return nullptr;
    }
    return p;
}

std::int32_t vfsDWL_FreeArea(std::int32_t area, void* addr) {
    const auto a = area_of(area);
    if (!a || addr == nullptr || (reinterpret_cast<Window>(addr) & 1) != 0) return -1;
    if (!forget(window(addr, area))) return -1;
    if (::munmap(addr, a->length) == 0) return 0;
    remember(window(addr, area));  // still mapped, so still releasable
    return -1;
}

void* mmNORConnect(std::int32_t key, unsigned char* info) {
    if (info == nullptr) return nullptr;
    const std::int32_t area = mmNORConvKey(key);
    auto* start = static_cast<const unsigned char*>(vfsDWL_GetArea(area));
    if (start == nullptr) return nullptr;
    // Compared byte by byte: the magic is big-endian on every host.
    if (std::memcmp(start, kMagic, sizeof(kMagic)) != 0) {
        vfsDWL_FreeArea(area, const_cast<unsigned char*>(start));
        return nullptr;
    }
    std::memcpy(info, start + kInfoOffset, kInfoSize);
    if (info[0] > 1) {
        vfsDWL_FreeArea(area, const_cast<unsigned char*>(start));
        return nullptr;
    }
    return const_cast<unsigned char*>(start + kHeaderSize);
}

std::int32_t mmNORDisconnect(std::int32_t key, void* data) {
    if (data == nullptr) return -1;
    return vfsDWL_FreeArea(mmNORConvKey(key), static_cast<unsigned char*>(data) - kHeaderSize);
}
