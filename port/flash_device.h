// The flash device, one step at a time: a step opens the device read-write,
// positions it from the start, makes one transfer or request and closes it
// again, so no descriptor stays open between steps. A transfer that a signal
// interrupted (EINTR) is asked again: only the device's own failure is one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace mfpsys::port {

inline constexpr char kFlashDevice[] = "/dev/mfp_flashrom";

// Requests, chosen by the third ioctl argument: start erasing the sector at
// the position, or ask its erase status (-1 while busy, 0 once done).
inline constexpr int kFlashErase = 10;
inline constexpr int kFlashEraseStatus = 15;

// Where a step stopped: the open, the positioning, or the transfer or
// request itself (which then returned -1).
enum class FlashFail { None, Open, Seek, Step };

struct FlashResult {
    FlashFail fail = FlashFail::None;
    // Bytes transferred (possibly fewer than asked), or the request's answer;
    // -1 when fail is not None.
    ssize_t value = -1;
    bool ok() const noexcept { return fail == FlashFail::None; }
    // The whole transfer of n bytes took place.
    bool whole(std::size_t n) const noexcept { return ok() && static_cast<std::size_t>(value) == n; }
};

FlashResult flashRead(std::uint32_t offset, void* buffer, std::size_t length) noexcept;
FlashResult flashWrite(std::uint32_t offset, const void* buffer, std::size_t length) noexcept;
// One request (kFlashErase, kFlashEraseStatus) for the sector at offset.
FlashResult flashRequest(std::uint32_t offset, int request) noexcept;

}  // namespace mfpsys::port
