// Direct calls to the C library.
#include "sim/libc_widths.h"

#include "sim/sys.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace mfpsim::detail::sys {

namespace {

// The whole of n bytes through pread64 or pwrite64.
template <class Byte, class Io>
bool transfer_all(Io io, int fd, Byte* c, size_t n, int64_t off) {
    while (n > 0) {
        ssize_t r = io(fd, c, n, off);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        c += r;
        n -= size_t(r);
        off += r;
    }
    return true;
}

}  // namespace

void* next_symbol(const char* name) {
    void* p = ::dlsym(RTLD_NEXT, name);
    if (!p) {
        std::fprintf(stderr, "mfpsim: %s not found in the C library\n", name);
        std::abort();
    }
    return p;
}

int open(const char* path, int flags, unsigned mode) {
    MFPSIM_REAL(open64, int (*)(const char*, int, ...));
    return real(path, flags, mode);
}
int close(int fd) {
    MFPSIM_REAL(close, int (*)(int));
    return real(fd);
}
int64_t lseek(int fd, int64_t off, int whence) {
    MFPSIM_REAL(lseek64, off64_t (*)(int, off64_t, int));
    return real(fd, off, whence);
}
ssize_t read(int fd, void* buf, size_t n) {
    MFPSIM_REAL(read, ssize_t (*)(int, void*, size_t));
    return real(fd, buf, n);
}
ssize_t write(int fd, const void* buf, size_t n) {
    MFPSIM_REAL(write, ssize_t (*)(int, const void*, size_t));
    return real(fd, buf, n);
}
void* mmap(void* addr, size_t len, int prot, int flags, int fd, int64_t off) {
    MFPSIM_REAL(mmap64, void* (*)(void*, size_t, int, int, int, off64_t));
    return real(addr, len, prot, flags, fd, off);
}
int munmap(void* addr, size_t len) {
    MFPSIM_REAL(munmap, int (*)(void*, size_t));
    return real(addr, len);
}
unsigned sleep(unsigned s) {
    MFPSIM_REAL(sleep, unsigned (*)(unsigned));
    return real(s);
}

bool read_all(int fd, void* buf, size_t n, int64_t off) {
    return transfer_all(::pread64, fd, static_cast<uint8_t*>(buf), n, off);
}
bool write_all(int fd, const void* buf, size_t n, int64_t off) {
    return transfer_all(::pwrite64, fd, static_cast<const uint8_t*>(buf), n, off);
}

}  // namespace mfpsim::detail::sys
