// The harness itself: a test that cannot see another test's System V objects,
// and children whose failures reach the parent (else multi-process tests
// would pass vacuously).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>

#include "harness/proc.h"

using namespace mfpsys::test;

static void freshNamespace() {
    EXPECT_EQ(shmget(777, 0, 0), -1);  // the other test made it
    const int id = shmget(777, 64, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    EXPECT_CHILD_OK(run_restarted([] { return shmget(777, 0, 0) == -1 ? 0 : 1; }));
    EXPECT_CHILD_OK(run_child([id] { return shmget(777, 0, 0) == id ? 0 : 1; }));
}
TEST(Harness, EachTestAndRestartSeesAFreshIpcNamespace) { freshNamespace(); }
TEST(Harness, EachTestAndRestartSeesAFreshIpcNamespaceToo) { freshNamespace(); }

TEST(Harness, ChildFailuresAndSignalsReachTheParent) {
    const Outcome a = run_child([] {
        CHILD_CHECK(1 + 1 == 3);
        return 0;
    });
    EXPECT_TRUE(a.exited);
    EXPECT_EQ(a.code, 1) << "a failed check's status";
    EXPECT_FALSE(a.ok());
    const Outcome b = run_child([] {
        raise(SIGKILL);
        return 0;
    });
    EXPECT_FALSE(b.exited);
    EXPECT_EQ(b.signal, SIGKILL);
    EXPECT_FALSE(b.ok()) << "a killed child is no success";
}
