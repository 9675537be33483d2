// Test harness: every test case runs in a fresh IPC namespace (main.cpp), so
// tests start with no System V object and run in parallel (a table of calls
// that must change nothing may share one per suite: one_namespace_for). A process's
// library state is copied by fork: tests that play several processes or a
// restart do the library work in children and keep the parent clean.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <new>
#include <string>
#include <vector>

// semctl's fourth argument: always this union, never a bare int (the 32-bit
// PowerPC ABI passes a union to a variadic function by reference).
union semun {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

namespace mfpsys::test {

// A new IPC namespace (with a user namespace where a plain one is refused).
bool new_ipc_namespace();
// Registers suite (at static initialisation) as one whose cases share one
// fresh IPC namespace, made as the suite starts: a table of calls that each
// leave the system they were given unchanged, checked after every case.
bool one_namespace_for(const char* suite);
bool shares_namespace(const char* suite);

struct Outcome {
    bool exited = false;  // through exit/_exit, with status code
    int code = -1;
    int signal = 0;       // the terminating signal otherwise
    bool ok() const { return exited && code == 0; }
    std::string describe() const;
};

// A forked child whose exit status is fn's result; killed and reaped if
// still running when destroyed.
class Child {
public:
    Child() = default;
    explicit Child(std::function<int()> fn);
    Child(Child&& o) noexcept;
    Child& operator=(Child&& o) noexcept;
    ~Child();
    pid_t pid() const { return pid_; }
    Outcome wait();
    void kill(int sig);
private:
    pid_t pid_ = -1;
};

Outcome run_child(std::function<int()> fn);
// In a child that first enters a fresh IPC namespace: the board as a newly
// started system sees it.
Outcome run_restarted(std::function<int()> fn);
// n children run fn(i), all starting at one instant, so that their calls race.
std::vector<Outcome> run_together(int n, const std::function<int(int)>& fn);

// Tokens through a pipe across fork: await(n) blocks until n have arrived
// (children arrive for the parent, or the parent for n waiting children).
class Arrivals {
public:
    Arrivals();
    ~Arrivals();
    Arrivals(const Arrivals&) = delete;
    Arrivals& operator=(const Arrivals&) = delete;
    void arrive(int n = 1);
    void await(int n = 1);
private:
    int fd_[2] = {-1, -1};
};

// A child holding a System V lock the way the library takes its locks
// (wait for 0, then +1 with SEM_UNDO) until killed; returns once it holds it.
Child hold_sem_lock(int semid);

// Anonymous shared memory that survives fork, for children's results.
void* shared_alloc(std::size_t bytes);
void shared_free(void* p, std::size_t bytes);

template <class T>
class Shared {
public:
    explicit Shared(std::size_t n = 1) : p_(static_cast<T*>(shared_alloc(sizeof(T) * n))), n_(n) {
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
#define CHILD_CHECK(cond)                                                                        \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            std::fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                                            \
        }                                                                                        \
    } while (0)
#define EXPECT_CHILD_OK(outcome) EXPECT_TRUE((outcome).ok()) << (outcome).describe()
#define ASSERT_CHILD_OK(outcome) ASSERT_TRUE((outcome).ok()) << (outcome).describe()
