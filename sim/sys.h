// Direct calls to the C library, past the interposer. The device model and
// the interposer's pass-through both end here; nothing here calls back into
// the board.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace mfpsim::detail::sys {

// The C library's own definition of a symbol this library interposes (the
// next one in lookup order). A missing one aborts: nothing could pass through.
void* next_symbol(const char* name);

template <class F>
F next_fn(const char* name) {
    return reinterpret_cast<F>(next_symbol(name));
}

int open(const char* path, int flags, unsigned mode = 0);
int close(int fd);
int64_t lseek(int fd, int64_t off, int whence);
ssize_t read(int fd, void* buf, size_t n);
ssize_t write(int fd, const void* buf, size_t n);
void* mmap(void* addr, size_t len, int prot, int flags, int fd, int64_t off);
int munmap(void* addr, size_t len);
unsigned sleep(unsigned s);

// The whole of n bytes at off of a backing file, across short transfers and
// interruptions (pread and pwrite are never interposed).
bool read_all(int fd, void* buf, size_t n, int64_t off);
bool write_all(int fd, const void* buf, size_t n, int64_t off);

}  // namespace mfpsim::detail::sys

// In an interposed definition: `real` is the C library's function of the same name.
#define MFPSIM_REAL(name, type) static const auto real = ::mfpsim::detail::sys::next_fn<type>(#name)
