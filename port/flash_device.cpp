#include "port/flash_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace mfpsys::port {

namespace {

// The driver's request word is always the address of this string; the
// operation is the third argument.
const char kRequestWord[] = "w";

template <class Step>
FlashResult onDevice(std::uint32_t offset, Step step) {
    const int fd = ::open(kFlashDevice, O_RDWR);
    if (fd == -1) return {FlashFail::Open};
    FlashResult r{FlashFail::Seek};
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset)) {
        r.value = step(fd);
        r.fail = r.value == -1 ? FlashFail::Step : FlashFail::None;
    }
    ::close(fd);
    return r;
}

// A driver may let a signal interrupt a transfer before it moved a byte:
// that is no device failure, and the transfer is asked again.
template <class Transfer>
ssize_t untilNotInterrupted(Transfer transfer) {
    ssize_t n;
    while ((n = transfer()) == -1 && errno == EINTR) {}
    return n;
}

}  // namespace

FlashResult flashRead(std::uint32_t offset, void* buffer, std::size_t length) noexcept {
    return onDevice(offset, [&](int fd) { return untilNotInterrupted([&] { return ::read(fd, buffer, length); }); });
}

FlashResult flashWrite(std::uint32_t offset, const void* buffer, std::size_t length) noexcept {
    return onDevice(offset, [&](int fd) { return untilNotInterrupted([&] { return ::write(fd, buffer, length); }); });
}

FlashResult flashRequest(std::uint32_t offset, int request) noexcept {
    return onDevice(offset, [&](int fd) {
        return static_cast<ssize_t>(::ioctl(fd, reinterpret_cast<unsigned long>(kRequestWord), request));
    });
}

}  // namespace mfpsys::port
