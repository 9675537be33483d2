// A long-lived cooperating process that runs one step at a time on request,
// so a test can interleave the library calls of several processes while each
// keeps its own library state (attachments, mapped bitmap) between steps.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>

namespace mfpsys::test {

class Peer {
public:
    // op(code, a, b) runs in the child; its result comes back from call().
    using Op = std::function<std::int64_t(int, std::int64_t, std::int64_t)>;

    explicit Peer(Op op) {
        if (pipe(cmd_) != 0 || pipe(res_) != 0) std::abort();
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(cmd_[1]);
            close(res_[0]);
            Msg m;
            while (readAll(cmd_[0], &m, sizeof m)) {
                std::int64_t r = op(m.code, m.a, m.b);
                std::fflush(nullptr);
                if (!writeAll(res_[1], &r, sizeof r)) break;
            }
            _exit(0);
        }
        close(cmd_[0]);
        close(res_[1]);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() {
        close(cmd_[1]);  // the child sees end of input and exits
        close(res_[0]);
        int st;
        while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {}
    }

    // Runs one step in the child and returns its result; aborts the test
    // process if the child has died.
    std::int64_t call(int code, std::int64_t a = 0, std::int64_t b = 0) {
        Msg m{code, a, b};
        std::int64_t r = 0;
        if (!writeAll(cmd_[1], &m, sizeof m) || !readAll(res_[0], &r, sizeof r)) {
            std::fprintf(stderr, "peer %d did not answer\n", static_cast<int>(pid_));
            std::abort();
        }
        return r;
    }
    // Sends a step without waiting for it (the child may block in it).
    void post(int code, std::int64_t a = 0, std::int64_t b = 0) {
        Msg m{code, a, b};
        if (!writeAll(cmd_[1], &m, sizeof m)) std::abort();
    }
    // Collects the result of a posted step.
    std::int64_t result() {
        std::int64_t r = 0;
        if (!readAll(res_[0], &r, sizeof r)) std::abort();
        return r;
    }
    pid_t pid() const { return pid_; }

private:
    struct Msg {
        int code;
        std::int64_t a, b;
    };
    // The whole of n bytes through a pipe, across short transfers and
    // interruptions; false once the other end has gone.
    template <class Byte, class Io>
    static bool all(Io io, int fd, Byte* c, std::size_t n) {
        while (n) {
            ssize_t r = io(fd, c, n);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            c += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }
    static bool readAll(int fd, void* p, std::size_t n) { return all(read, fd, static_cast<char*>(p), n); }
    static bool writeAll(int fd, const void* p, std::size_t n) {
        return all(write, fd, static_cast<const char*>(p), n);
    }
    int cmd_[2] = {-1, -1};
    int res_[2] = {-1, -1};
    pid_t pid_ = -1;
};

}  // namespace mfpsys::test
