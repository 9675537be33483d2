// Test harness: IPC namespaces and cooperating processes.
//
// ctest runs every test case in a process of its own; the harness's main()
// moves that process into a fresh IPC namespace before the test starts, so
// each test begins with no System V object and tests run in parallel.
//
// A process's library state (registry set-up, mapped bitmap, NV pointers) is
// copied by fork. Tests that simulate several processes or a restart do the
// library work in children (spawn, run_restarted) and keep the parent clean.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace mfpsys::test {

// Moves the calling process into a new IPC namespace (falls back to a new
// user namespace too where a plain one is refused). Returns false on failure.
bool new_ipc_namespace();

// How a child ended.
struct Outcome {
    bool exited = false;   // ended through exit/_exit
    int code = -1;         // exit status when exited
    int signal = 0;        // terminating signal otherwise
    bool ok() const { return exited && code == 0; }
    std::string describe() const;
};

// A forked child running a function; its exit status is the function's result.
class Child {
public:
    Child() = default;
    explicit Child(std::function<int()> fn);
    Child(Child&& o) noexcept;
    Child& operator=(Child&& o) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();                        // kills and reaps a child not yet waited for
    pid_t pid() const { return pid_; }
    Outcome wait();                  // blocks until the child ends
    void kill(int sig);
private:
    pid_t pid_ = -1;
};

// Runs fn in a child, waits, returns how it ended.
Outcome run_child(std::function<int()> fn);

// Runs fn in a child that first enters a fresh IPC namespace: the same board
// seen by a newly started system (no System V object survives).
Outcome run_restarted(std::function<int()> fn);

// Starts n children running fn(i) and waits for all of them.
std::vector<Outcome> run_children(int n, const std::function<int(int)>& fn);

// Tokens passed across fork through a pipe: take(n) blocks until n have
// been given.
class Tokens {
public:
    Tokens();
    ~Tokens();
    Tokens(const Tokens&) = delete;
    Tokens& operator=(const Tokens&) = delete;
    void give(int n);
    void take(int n);
private:
    int fd_[2] = {-1, -1};
};

// A one-shot gate across fork: children wait() until the parent open()s it,
// so that several processes start a step at the same moment.
class Gate : Tokens {
public:
    void wait() { take(1); }                 // in a child: block until opened
    void open(int waiters) { give(waiters); }  // in the parent: release that many
};

// A counter of arrivals across fork: children arrive(), the parent
// await(n) blocks until n have arrived.
class Arrivals : Tokens {
public:
    void arrive() { give(1); }
    void await(int n) { take(n); }
};

// A child that takes a System V lock the way the project's cross-process
// locks are taken (wait for 0, then +1 with SEM_UNDO, in one call) and holds
// it until killed. Returns once the child holds it.
Child hold_sem_lock(int semid);

// Anonymous shared memory that survives fork: children report results into it.
void* shared_alloc(std::size_t bytes);
void shared_free(void* p, std::size_t bytes);

template <class T>
class Shared {
public:
    explicit Shared(std::size_t n = 1) : n_(n) {
        p_ = static_cast<T*>(shared_alloc(sizeof(T) * n));
        for (std::size_t i = 0; i < n; ++i) new (p_ + i) T();
    }
    ~Shared() { shared_free(p_, sizeof(T) * n_); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    T& operator[](std::size_t i) { return p_[i]; }
    T* operator->() { return p_; }
    T& operator*() { return *p_; }
    T* get() { return p_; }
private:
    T* p_;
    std::size_t n_;
};

}  // namespace mfpsys::test

// In a child: report a failed condition with its place and return 1.
#define CHILD_CHECK(cond)                                                   \
    do {                                                                    \
        if (!(cond)) {                                                      \
            std::fprintf(stderr, "%s:%d: child check failed: %s\n",         \
                         __FILE__, __LINE__, #cond);                        \
            return 1;                                                       \
        }                                                                   \
    } while (0)

// In the parent: assert that a child ended with status 0.
#define EXPECT_CHILD_OK(outcome) EXPECT_TRUE((outcome).ok()) << (outcome).describe()
#define ASSERT_CHILD_OK(outcome) ASSERT_TRUE((outcome).ok()) << (outcome).describe()
