// The harness itself: isolation between tests and the process helpers that
// every multi-process test relies on.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>

#include "harness/proc.h"

using namespace mfpsys::test;

TEST(Harness, FreshNamespaceHidesEarlierSegments) {
    int id = shmget(777, 64, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    auto o = run_restarted([] { return shmget(777, 0, 0) == -1 ? 0 : 1; });
    EXPECT_CHILD_OK(o);
    // Still visible in the test's own namespace.
    EXPECT_EQ(shmget(777, 0, 0), id);
}

TEST(Harness, TestStartsWithNoSegmentOfAnotherTest) {
    // FreshNamespaceHidesEarlierSegments created key 777; ctest runs every
    // case in its own namespace, so it cannot be here.
    EXPECT_EQ(shmget(777, 0, 0), -1);
}

TEST(Harness, OutcomeReportsExitCodeAndSignal) {
    auto a = run_child([] { return 3; });
    EXPECT_TRUE(a.exited);
    EXPECT_EQ(a.code, 3);
    EXPECT_FALSE(a.ok());
    auto b = run_child([] { raise(SIGKILL); return 0; });
    EXPECT_FALSE(b.exited);
    EXPECT_EQ(b.signal, SIGKILL);
}

TEST(Harness, GateReleasesAllWaitersAndSharedMemoryCollectsResults) {
    Gate gate;
    Arrivals ready;
    Shared<std::atomic<int>> count;
    constexpr int n = 6;
    std::vector<Child> kids;
    for (int i = 0; i < n; ++i)
        kids.emplace_back([&] {
            ready.arrive();
            gate.wait();
            count->fetch_add(1);
            return 0;
        });
    ready.await(n);
    EXPECT_EQ(count->load(), 0);  // nobody passed the gate before it opened
    gate.open(n);
    for (auto& k : kids) EXPECT_CHILD_OK(k.wait());
    EXPECT_EQ(count->load(), n);
}

TEST(Harness, ChildCheckReportsFailure) {
    auto o = run_child([] {
        CHILD_CHECK(1 + 1 == 3);
        return 0;
    });
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.code, 1);
}
