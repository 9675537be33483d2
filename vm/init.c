// The virtual board's first process. There is no shell in the guest: this
// mounts what a program expects, creates the download-area device, runs the
// one program the host asked for (argument vector in /etc/mfpvm/argv, NUL
// separated) as root in /tmp, and powers the machine off.
//
// The host reads two serial lines: ttyS1 carries the program's standard
// output, ttyS0 (the console) its standard error between the "start" and
// "exit" markers. Markers begin with "<<mfpvm>>" so the host finds them even
// after a line the program left unfinished.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static int open_raw(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY);
    struct termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        // Bytes pass unchanged: no newline translation, no echo.
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

static void say(int fd, const char* text) {
    size_t n = strlen(text);
    while (n > 0) {
        ssize_t k = write(fd, text, n);
        if (k <= 0) return;
        text += k;
        n -= (size_t)k;
    }
}

static unsigned counter(const char* name) {
    char path[96], buf[24] = {0};
    snprintf(path, sizeof path, "/sys/module/mfp_flash/parameters/%s", name);
    int fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    return n > 0 ? (unsigned)strtoul(buf, NULL, 10) : 0;
}

// The argument vector the host wrote, or NULL.
static char** read_argv(void) {
    static char buf[65536];
    static char* argv[1024];
    int fd = open("/etc/mfpvm/argv", O_RDONLY);
    if (fd < 0) return NULL;
    size_t len = 0;
    ssize_t k;
    while (len < sizeof buf - 1 && (k = read(fd, buf + len, sizeof buf - 1 - len)) > 0) len += (size_t)k;
    close(fd);
    size_t argc = 0;
    for (size_t i = 0; i < len && argc + 1 < sizeof argv / sizeof *argv; i += strlen(buf + i) + 1)
        argv[argc++] = buf + i;
    argv[argc] = NULL;
    return argc > 0 ? argv : NULL;
}

static void power_off(void) {
    sync();
    reboot(RB_POWER_OFF);
    // Without the power-off line, a reboot also ends the machine (-no-reboot).
    reboot(RB_AUTOBOOT);
    for (;;) pause();
}

int main(void) {
    mount("proc", "/proc", "proc", 0, NULL);
    mount("sysfs", "/sys", "sysfs", 0, NULL);
    mount("devtmpfs", "/dev", "devtmpfs", 0, NULL);
    // The download areas: the kernel's physical-memory device under the
    // board's name.
    mknod("/dev/mfp_devmem", S_IFCHR | 0600, makedev(1, 1));

    int err = open_raw("/dev/ttyS0");
    int out = open_raw("/dev/ttyS1");
    if (err < 0 || out < 0) power_off();
    // From here on only a power cut's marker may interleave with the
    // program's standard error.
    int fd = open("/proc/sys/kernel/printk", O_WRONLY);
    if (fd >= 0) {
        say(fd, "1");
        close(fd);
    }

    char** argv = read_argv();
    say(err, "<<mfpvm>> start\n");
    int status = 127;
    pid_t child = argv ? fork() : -1;
    if (child == 0) {
        dup2(out, 1);
        dup2(err, 2);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        if (in > 2) close(in);
        close(out);
        close(err);
        if (chdir("/tmp") != 0) _exit(127);
        setenv("PATH", "/usr/bin:/bin", 1);
        setenv("HOME", "/tmp", 1);
        execvp(argv[0], argv);
        fprintf(stderr, "mfpvm: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    if (child > 0) {
        int ws = 127 << 8;
        while (waitpid(child, &ws, 0) < 0 && errno == EINTR) {
        }
        status = WIFEXITED(ws) ? WEXITSTATUS(ws) : WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : 127;
    }
    tcdrain(out);
    char line[128];
    snprintf(line, sizeof line, "<<mfpvm>> exit %d programs %u erases %u\n", status, counter("programs"),
             counter("erases"));
    say(err, line);
    tcdrain(err);
    power_off();
}
