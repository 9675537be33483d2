#include "harness/proc.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#ifdef MFPSYS_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace mfpsys::test {

bool new_ipc_namespace() {
    // Unprivileged, a user namespace grants the right to make an IPC one.
    return unshare(CLONE_NEWIPC) == 0 || unshare(CLONE_NEWUSER | CLONE_NEWIPC) == 0;
}

namespace {
std::vector<std::string>& sharingSuites() {
    static std::vector<std::string> names;
    return names;
}
}  // namespace

bool one_namespace_for(const char* suite) {
    sharingSuites().emplace_back(suite);
    return true;
}

bool shares_namespace(const char* suite) {
    return std::find(sharingSuites().begin(), sharingSuites().end(), suite) != sharingSuites().end();
}

std::string Outcome::describe() const {
    if (exited) return "child exited with status " + std::to_string(code);
    if (signal) return "child killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    return "child not run";
}

Child::Child(std::function<int()> fn) {
    std::fflush(nullptr);
    if ((pid_ = fork()) != 0) return;
    int rc = 99;
    try {
        rc = fn();
    } catch (...) {
        std::fprintf(stderr, "child: uncaught exception\n");
    }
    std::fflush(nullptr);
#ifdef MFPSYS_COVERAGE
    __gcov_dump();  // most library work runs in children: their counters count too
#endif
    _exit(rc);
}

Child::Child(Child&& o) noexcept : pid_(std::exchange(o.pid_, -1)) {}

Child& Child::operator=(Child&& o) noexcept {
    std::swap(pid_, o.pid_);  // o ends the child this one had
    return *this;
}

Child::~Child() {
    kill(SIGKILL);
    wait();
}

Outcome Child::wait() {
    int st = 0;
    pid_t r = -1;
    if (pid_ > 0)
        while ((r = waitpid(pid_, &st, 0)) < 0 && errno == EINTR) {}
    pid_ = -1;
    Outcome o;
    if (r < 0) return o;
    if ((o.exited = WIFEXITED(st))) o.code = WEXITSTATUS(st);
    else if (WIFSIGNALED(st)) o.signal = WTERMSIG(st);
    return o;
}

void Child::kill(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

Outcome run_child(std::function<int()> fn) { return Child(std::move(fn)).wait(); }

Outcome run_restarted(std::function<int()> fn) {
    return run_child([&fn] {
        if (new_ipc_namespace()) return fn();
        std::fprintf(stderr, "cannot enter a new IPC namespace: %s\n", std::strerror(errno));
        return 98;
    });
}

std::vector<Outcome> run_together(int n, const std::function<int(int)>& fn) {
    Arrivals ready, go;
    std::vector<Child> kids;
    for (int i = 0; i < n; ++i)
        kids.emplace_back([&, i] {
            ready.arrive();
            go.await();
            return fn(i);
        });
    ready.await(n);
    go.arrive(n);
    std::vector<Outcome> out;
    for (auto& k : kids) out.push_back(k.wait());
    return out;
}

Arrivals::Arrivals() {
    if (pipe2(fd_, O_CLOEXEC) != 0) std::abort();
}

Arrivals::~Arrivals() {
    close(fd_[0]);
    close(fd_[1]);
}

void Arrivals::arrive(int n) {
    for (char c = 't'; n > 0; --n)
        while (write(fd_[1], &c, 1) < 0 && errno == EINTR) {}
}

void Arrivals::await(int n) {
    for (char c; n > 0; --n)
        while (read(fd_[0], &c, 1) < 0 && errno == EINTR) {}
}

Child hold_sem_lock(int semid) {
    Arrivals holding;
    Child holder([&] {
        sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
        const int rc = semop(semid, take, 2);
        holding.arrive();  // the caller sees a failure as a lock not held
        while (rc == 0) pause();
        return 1;
    });
    holding.await();
    return holder;
}

void* shared_alloc(std::size_t bytes) {
    void* p = mmap(nullptr, bytes ? bytes : 1, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    return p;
}

void shared_free(void* p, std::size_t bytes) { munmap(p, bytes ? bytes : 1); }

}  // namespace mfpsys::test
