/* A client program that knows nothing of the simulator: it makes the board's
 * device calls directly. Loaded with the interposer by LD_PRELOAD, it runs on
 * the board named by MFPSIM_BOARD.
 *
 *   client device   write, read, erase and poll the flash, sleep, map memory
 *   client ipc KEY  exit 0 if no semaphore set KEY exists (a fresh system)
 *
 * Exit status: 0 on success, else the number of the step that failed. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <unistd.h>

static const char w[] = "w";

static int device(void) {
    /* Not a constant, so that a fortified build calls the checked open. */
    volatile int rdwr = O_RDWR;
    volatile size_t two = 2;
    unsigned char out[2] = {0x61, 0x62}, in[2] = {0, 0};
    int fd = open("/dev/mfp_flashrom", rdwr);
    if (fd < 0) return 2;
    if (lseek(fd, 0x7A000, SEEK_SET) != 0x7A000) return 3;
    if (write(fd, out, 2) != 2) return 4;
    if (lseek(fd, 0x7A000, SEEK_SET) != 0x7A000) return 5;
    if (read(fd, in, two) != 2 || memcmp(in, out, 2) != 0) return 6;
    if (close(fd) != 0) return 7;

    fd = openat(AT_FDCWD, "/dev/mfp_flashrom", rdwr);
    if (fd < 0) return 8;
    if (lseek(fd, 0x7C000, SEEK_SET) != 0x7C000) return 9;
    if (write(fd, out, 1) != 1) return 10;
    if (lseek(fd, 0x7C000, SEEK_SET) != 0x7C000) return 11;
    if (ioctl(fd, (unsigned long)w, 10) != 0) return 12;
    while (ioctl(fd, (unsigned long)w, 15) == -1) sleep(1);
    if (read(fd, in, 1) != 1 || in[0] != 0xFF) return 13;
    close(fd);

    if (sleep(5) != 0) return 14;

    fd = open("/dev/mfp_devmem", O_RDONLY);
    if (fd < 0) return 15;
    const unsigned char* m = mmap(NULL, 0x1000, PROT_READ, MAP_SHARED, fd, 0x0EC1F000);
    close(fd);
    if (m == MAP_FAILED) return 16;
    printf("area byte %02x\n", m[0]);
    if (munmap((void*)m, 0x1000) != 0) return 17;
    printf("client ok\n");
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "device") == 0) return device();
    if (argc >= 3 && strcmp(argv[1], "ipc") == 0) {
        int id = semget((key_t)strtol(argv[2], NULL, 0), 0, 0);
        return id == -1 && errno == ENOENT ? 0 : 1;
    }
    fprintf(stderr, "usage: client device | client ipc KEY\n");
    return 64;
}
