// Device calls made the way a client makes them, for the simulator's tests.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace simtest {

inline const char kW[] = "w";

// A descriptor of one device, closed at the end of the scope.
class DevFd {
public:
    explicit DevFd(const char* path, int flags = O_RDWR) : fd_(::open(path, flags)) {}
    ~DevFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    DevFd(const DevFd&) = delete;
    DevFd& operator=(const DevFd&) = delete;
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }

private:
    int fd_;
};

inline long dev_ioctl(int fd, int op) { return ::ioctl(fd, reinterpret_cast<unsigned long>(kW), op); }

// One step on the flash, as the library does it: open, position, act, close.
inline ssize_t flash_write(uint32_t off, const std::vector<uint8_t>& bytes) {
    DevFd fd("/dev/mfp_flashrom");
    if (fd.get() < 0 || ::lseek(fd.get(), off, SEEK_SET) != off_t(off)) return -2;
    return ::write(fd.get(), bytes.data(), bytes.size());
}
inline std::vector<uint8_t> flash_read(uint32_t off, uint32_t len) {
    DevFd fd("/dev/mfp_flashrom");
    std::vector<uint8_t> v(len);
    if (fd.get() < 0 || ::lseek(fd.get(), off, SEEK_SET) != off_t(off)) return {};
    ssize_t r = ::read(fd.get(), v.data(), len);
    v.resize(r < 0 ? 0 : size_t(r));
    return v;
}
inline long flash_ioctl(uint32_t off, int op) {
    DevFd fd("/dev/mfp_flashrom");
    if (fd.get() < 0 || ::lseek(fd.get(), off, SEEK_SET) != off_t(off)) return -2;
    return dev_ioctl(fd.get(), op);
}
inline long flash_erase(uint32_t off) { return flash_ioctl(off, 10); }
inline long flash_status(uint32_t off) { return flash_ioctl(off, 15); }

}  // namespace simtest
