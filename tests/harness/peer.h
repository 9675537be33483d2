// A long-lived cooperating process that runs one step at a time on request,
// so a test can interleave the library calls of several processes while each
// keeps its own library state (attachments, mapped bitmap) between steps.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>

#include "harness/proc.h"

namespace mfpsys::test {

class Peer {
public:
    // op(code, a, b) runs in the child; its result comes back from call().
    using Op = std::function<std::int64_t(int, std::int64_t, std::int64_t)>;
    explicit Peer(Op op) {
        if (pipe(cmd_) != 0 || pipe(res_) != 0) std::abort();
        child_ = Child([&] {
            close(cmd_[1]);
            close(res_[0]);
            for (Msg m; readAll(cmd_[0], &m, sizeof m);) {
                std::int64_t r = op(m.code, m.a, m.b);
                std::fflush(nullptr);
                if (!writeAll(res_[1], &r, sizeof r)) break;
            }
            return 0;
        });
        close(cmd_[0]);
        close(res_[1]);
    }
    ~Peer() {
        close(cmd_[1]);  // the child sees the end of its input and exits
        close(res_[0]);
        child_.wait();
    }
    pid_t pid() const { return child_.pid(); }
    // One step in the child; aborts the test process if the child died.
    std::int64_t call(int code, std::int64_t a = 0, std::int64_t b = 0) {
        Msg m{code, a, b};
        std::int64_t r = 0;
        if (!writeAll(cmd_[1], &m, sizeof m) || !readAll(res_[0], &r, sizeof r)) std::abort();
        return r;
    }
private:
    struct Msg {
        int code;
        std::int64_t a, b;
    };
    static bool readAll(int fd, void* p, std::size_t n) { return read(fd, p, n) == ssize_t(n); }
    static bool writeAll(int fd, const void* p, std::size_t n) { return write(fd, p, n) == ssize_t(n); }
    int cmd_[2] = {-1, -1};
    int res_[2] = {-1, -1};
    Child child_;
};

}  // namespace mfpsys::test
