/* A client that knows nothing of the simulator: it makes the board's device calls itself and reaches
 * a board only with the interposer preloaded. Exit status: 0, or the number of the step that failed. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

int main(void) {
    static const char w[] = "w";
    volatile int rdwr = O_RDWR; /* not a constant, so that a fortified build calls the checked open */
    volatile size_t two = 2;
    unsigned char out[2] = {0x61, 0x62}, in[2] = {0, 0};
    int fd = open("/dev/mfp_flashrom", rdwr);
    if (fd < 0) return 2;
    if (lseek(fd, 0x7A000, SEEK_SET) != 0x7A000 || write(fd, out, 2) != 2) return 3;
    if (lseek(fd, 0x7A000, SEEK_SET) != 0x7A000 || read(fd, in, two) != 2 || memcmp(in, out, 2) != 0) return 4;
    if (close(fd) != 0 || (fd = openat(AT_FDCWD, "/dev/mfp_flashrom", rdwr)) < 0) return 5;
    if (lseek(fd, 0x7C000, SEEK_SET) != 0x7C000 || write(fd, out, 1) != 1) return 6;
    if (lseek(fd, 0x7C000, SEEK_SET) != 0x7C000 || ioctl(fd, (unsigned long)w, 10) != 0) return 7;
    while (ioctl(fd, (unsigned long)w, 15) == -1) sleep(1);
    if (read(fd, in, 1) != 1 || in[0] != 0xFF || close(fd) != 0 || sleep(5) != 0) return 8;
    fd = open("/dev/mfp_devmem", O_RDONLY);
    const unsigned char* m = mmap(NULL, 0x1000, PROT_READ, MAP_SHARED, fd, 0x0EC1F000);
    if (close(fd) != 0 || m == MAP_FAILED) return 9;
    printf("area byte %02x\n", m[0]);
    return munmap((void*)m, 0x1000);
}
