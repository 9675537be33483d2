// The interposer: C library calls on "/dev/mfp_flashrom" and
// "/dev/mfp_devmem" reach the board named by MFPSIM_BOARD; every other call
// goes straight to the C library.
//
// Each spelling a client can import is defined here explicitly.
#include "sim/libc_widths.h"

#include <fcntl.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "sim/state.h"
#include "sim/sys.h"

#define MFPSIM_EXPORT extern "C" __attribute__((visibility("default")))

using mfpsim::detail::BoardFiles;
namespace model = mfpsim::detail::model;
namespace sys = mfpsim::detail::sys;

namespace {

using OpenFn = int (*)(const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using OpenatFn = int (*)(int, const char*, int, ...);
using Openat2Fn = int (*)(int, const char*, int);
using IoctlFn = int (*)(int, unsigned long, ...);

enum class Dev { None, Flash, Devmem };

Dev device_of(const char* path) {
    if (!path) return Dev::None;
    if (std::strcmp(path, mfpsim::kFlashPath) == 0) return Dev::Flash;
    if (std::strcmp(path, mfpsim::kDevmemPath) == 0) return Dev::Devmem;
    return Dev::None;
}

struct SimFd {
    Dev dev = Dev::None;
    int accmode = O_RDONLY;
    std::shared_ptr<BoardFiles> board;
};

// The interposer's tables. Never destroyed: calls made while the process
// exits (from other libraries' destructors) still find them.
struct Tables {
    std::mutex table_mutex;
    std::map<int, SimFd> fds;
    std::map<uintptr_t, std::shared_ptr<BoardFiles>> maps;
    std::mutex current_mutex;
    std::shared_ptr<BoardFiles> current;
    std::string warned;
};
Tables& tables() {
    static Tables* t = new Tables;
    return *t;
}
std::atomic<int> g_nfds{0};
std::atomic<int> g_nmaps{0};

// The board selected by the environment now (it is read at every open, so a
// process may switch boards with setenv).
std::shared_ptr<BoardFiles> current_board(bool& selected) {
    const char* dir = std::getenv(mfpsim::kBoardEnv);
    selected = dir && *dir;
    std::lock_guard g(tables().current_mutex);
    if (!selected) {
        tables().current.reset();
        return nullptr;
    }
    if (tables().current && tables().current->dir() == dir) return tables().current;
    tables().current = BoardFiles::attach(dir);
    if (!tables().current && tables().warned != dir) {
        tables().warned = dir;
        std::fprintf(stderr, "mfpsim: %s=%s is not a board\n", mfpsim::kBoardEnv, dir);
    }
    return tables().current;
}

bool find_fd(int fd, SimFd& out) {
    if (g_nfds.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard g(tables().table_mutex);
    auto it = tables().fds.find(fd);
    if (it == tables().fds.end()) return false;
    out = it->second;
    return true;
}

// Opens a device on the current board. handled=false: not ours, pass through.
int sim_open(const char* path, int flags, bool& handled) {
    handled = false;
    Dev dev = device_of(path);
    if (dev == Dev::None) return -1;
    bool selected = false;
    auto b = current_board(selected);
    if (!selected) return -1;
    handled = true;
    if (!b) {
        errno = ENODEV;
        return -1;
    }
    int acc = flags & O_ACCMODE;
    if (acc != O_RDONLY && acc != O_WRONLY && acc != O_RDWR) {
        errno = EINVAL;
        return -1;
    }
    if (model::device_open(*b) < 0) return -1;
    // A real descriptor of the backing file: its number never collides with
    // another, and it keeps the file position for us.
    std::string backing = dev == Dev::Flash ? b->flash_path() : b->physmem_path();
    int fd = sys::open(backing.c_str(), acc | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        model::device_close(*b);
        errno = e;
        return -1;
    }
    std::lock_guard g(tables().table_mutex);
    tables().fds[fd] = SimFd{dev, acc, std::move(b)};
    g_nfds.store(int(tables().fds.size()), std::memory_order_release);
    return fd;
}

int64_t sim_lseek(const SimFd& s, int fd, int64_t off, int whence) {
    if (model::device_lseek(*s.board) < 0) return -1;
    return sys::lseek(fd, off, whence);
}

uint32_t position(int fd) {
    int64_t p = sys::lseek(fd, 0, SEEK_CUR);
    return p < 0 || p > int64_t(mfpsim::kFlashSize) ? mfpsim::kFlashSize : uint32_t(p);
}

// A read or write on a device descriptor: the physical-memory device acts on
// its backing file; the flash goes through the model from the position,
// which then moves past what was transferred.
template <class Buf, class OnFile, class OnFlash>
ssize_t sim_transfer(const SimFd& s, int fd, Buf buf, size_t n, int refused_mode, OnFile on_file,
                     OnFlash on_flash) {
    if (s.dev == Dev::Devmem) {
        model::power_touch(*s.board);
        return on_file(fd, buf, n);
    }
    if (s.accmode == refused_mode) {
        model::power_touch(*s.board);
        errno = EBADF;
        return -1;
    }
    uint32_t pos = position(fd);
    ssize_t r = on_flash(*s.board, pos, buf, n);
    if (r > 0) sys::lseek(fd, int64_t(pos) + r, SEEK_SET);
    return r;
}

ssize_t sim_read(const SimFd& s, int fd, void* buf, size_t n) {
    return sim_transfer(s, fd, buf, n, O_WRONLY, sys::read, model::flash_read);
}

ssize_t sim_write(const SimFd& s, int fd, const void* buf, size_t n) {
    return sim_transfer(s, fd, buf, n, O_RDONLY, sys::write, model::flash_write);
}

int sim_ioctl(const SimFd& s, int fd, void* arg) {
    if (s.dev != Dev::Flash) {
        model::power_touch(*s.board);
        errno = ENOTTY;
        return -1;
    }
    // The request word is not interpreted; the third argument, an int passed
    // through the variadic list, selects the operation.
    int op = int(uint32_t(reinterpret_cast<uintptr_t>(arg)));
    if (op == 10) return model::flash_erase(*s.board, position(fd));
    if (op == 15) return model::flash_status(*s.board, position(fd));
    model::power_touch(*s.board);
    errno = EINVAL;
    return -1;
}

void* sim_mmap(const SimFd& s, void* addr, size_t len, int prot, int flags, int fd, int64_t off) {
    if (s.dev != Dev::Devmem) {
        model::power_touch(*s.board);
        errno = ENODEV;
        return MAP_FAILED;
    }
    if (off < 0 || model::devmem_check_map(*s.board, uint64_t(off), len) < 0) {
        if (off < 0) errno = EINVAL;
        return MAP_FAILED;
    }
    void* p = sys::mmap(addr, len, prot, flags, fd, off);
    if (p != MAP_FAILED) {
        std::lock_guard g(tables().table_mutex);
        tables().maps[reinterpret_cast<uintptr_t>(p)] = s.board;
        g_nmaps.store(int(tables().maps.size()), std::memory_order_release);
    }
    return p;
}

unsigned mode_arg(int flags, va_list ap) {
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) return va_arg(ap, unsigned);
    return 0;
}

}  // namespace

// ---- open --------------------------------------------------------------

// Every open spelling: a device path opens on the board, anything else goes
// to the C library's own definition with the caller's arguments.
#define OPEN_OR_PASS(name, type, ...)                     \
    bool handled;                                         \
    int fd = sim_open(path, flags, handled);              \
    if (handled) return fd;                               \
    MFPSIM_REAL(name, type);                              \
    return real(__VA_ARGS__)

#define MODE_ARG                                          \
    va_list ap;                                           \
    va_start(ap, flags);                                  \
    unsigned mode = mode_arg(flags, ap);                  \
    va_end(ap)

MFPSIM_EXPORT int open(const char* path, int flags, ...) {
    MODE_ARG;
    OPEN_OR_PASS(open, OpenFn, path, flags, mode);
}
MFPSIM_EXPORT int open64(const char* path, int flags, ...) {
    MODE_ARG;
    OPEN_OR_PASS(open64, OpenFn, path, flags, mode);
}
MFPSIM_EXPORT int __open_2(const char* path, int flags) { OPEN_OR_PASS(__open_2, Open2Fn, path, flags); }
MFPSIM_EXPORT int __open64_2(const char* path, int flags) { OPEN_OR_PASS(__open64_2, Open2Fn, path, flags); }

// The device paths are absolute, so the directory descriptor never matters.
MFPSIM_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    MODE_ARG;
    OPEN_OR_PASS(openat, OpenatFn, dirfd, path, flags, mode);
}
MFPSIM_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    MODE_ARG;
    OPEN_OR_PASS(openat64, OpenatFn, dirfd, path, flags, mode);
}
MFPSIM_EXPORT int __openat_2(int dirfd, const char* path, int flags) {
    OPEN_OR_PASS(__openat_2, Openat2Fn, dirfd, path, flags);
}
MFPSIM_EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
    OPEN_OR_PASS(__openat64_2, Openat2Fn, dirfd, path, flags);
}

// ---- position, transfer, control ---------------------------------------

MFPSIM_EXPORT off_t lseek(int fd, off_t off, int whence) {
    SimFd s;
    if (!find_fd(fd, s)) {
        MFPSIM_REAL(lseek, off_t (*)(int, off_t, int));
        return real(fd, off, whence);
    }
    int64_t r = sim_lseek(s, fd, off, whence);
    if (r > INT64_C(0x7FFFFFFF) && sizeof(off_t) == 4) {
        errno = EOVERFLOW;
        return -1;
    }
    return off_t(r);
}

MFPSIM_EXPORT off64_t lseek64(int fd, off64_t off, int whence) {
    SimFd s;
    if (!find_fd(fd, s)) {
        return sys::lseek(fd, off, whence);
    }
    return sim_lseek(s, fd, off, whence);
}

MFPSIM_EXPORT ssize_t read(int fd, void* buf, size_t n) {
    SimFd s;
    if (find_fd(fd, s)) return sim_read(s, fd, buf, n);
    return sys::read(fd, buf, n);
}

MFPSIM_EXPORT ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen) {
    SimFd s;
    if (n <= buflen && find_fd(fd, s)) return sim_read(s, fd, buf, n);
    MFPSIM_REAL(__read_chk, ssize_t (*)(int, void*, size_t, size_t));
    return real(fd, buf, n, buflen);  // also reports an overflowing request
}

MFPSIM_EXPORT ssize_t write(int fd, const void* buf, size_t n) {
    SimFd s;
    if (find_fd(fd, s)) return sim_write(s, fd, buf, n);
    return sys::write(fd, buf, n);
}

// Both ioctl spellings: the third argument goes to the board or, with the
// request, to the C library's own definition.
#define IOCTL_OR_PASS(name)                               \
    va_list ap;                                           \
    va_start(ap, request);                                \
    void* arg = va_arg(ap, void*);                        \
    va_end(ap);                                           \
    SimFd s;                                              \
    if (find_fd(fd, s)) return sim_ioctl(s, fd, arg);     \
    MFPSIM_REAL(name, IoctlFn);                           \
    return real(fd, request, arg)

MFPSIM_EXPORT int ioctl(int fd, unsigned long request, ...) { IOCTL_OR_PASS(ioctl); }

#if defined(__GLIBC__) && __WORDSIZE == 32 && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
// What ioctl becomes in a 32-bit client built with 64-bit time.
MFPSIM_EXPORT int __ioctl_time64(int fd, unsigned long request, ...) { IOCTL_OR_PASS(__ioctl_time64); }
#endif

MFPSIM_EXPORT int close(int fd) {
    SimFd s;
    if (find_fd(fd, s)) {
        model::device_close(*s.board);
        {
            std::lock_guard g(tables().table_mutex);
            tables().fds.erase(fd);
            g_nfds.store(int(tables().fds.size()), std::memory_order_release);
        }
        return sys::close(fd);
    }
    return sys::close(fd);
}

// ---- mappings -------------------------------------------------------------

MFPSIM_EXPORT void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
    SimFd s;
    if (find_fd(fd, s)) return sim_mmap(s, addr, len, prot, flags, fd, off);
    MFPSIM_REAL(mmap, void* (*)(void*, size_t, int, int, int, off_t));
    return real(addr, len, prot, flags, fd, off);
}

MFPSIM_EXPORT void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off64_t off) {
    SimFd s;
    if (find_fd(fd, s)) return sim_mmap(s, addr, len, prot, flags, fd, off);
    return sys::mmap(addr, len, prot, flags, fd, off);
}

MFPSIM_EXPORT int munmap(void* addr, size_t len) {
    if (g_nmaps.load(std::memory_order_acquire) != 0) {
        std::shared_ptr<BoardFiles> b;
        {
            std::lock_guard g(tables().table_mutex);
            auto it = tables().maps.find(reinterpret_cast<uintptr_t>(addr));
            if (it != tables().maps.end()) {
                b = std::move(it->second);
                tables().maps.erase(it);
                g_nmaps.store(int(tables().maps.size()), std::memory_order_release);
            }
        }
        if (b) model::devmem_unmapped(*b);
    }
    return sys::munmap(addr, len);
}

// ---- time -------------------------------------------------------------------

MFPSIM_EXPORT unsigned sleep(unsigned seconds) {
    bool selected = false;
    auto b = current_board(selected);
    if (b) return model::sleep(*b, seconds);
    return sys::sleep(seconds);
}
