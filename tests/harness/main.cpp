// Test main: every test case starts in a fresh IPC namespace (or every suite
// registered with one_namespace_for).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "harness/proc.h"

namespace {
struct FreshNamespace : ::testing::EmptyTestEventListener {
    void OnTestSuiteStart(const ::testing::TestSuite& suite) override {
        if (mfpsys::test::shares_namespace(suite.name())) enter();
    }
    void OnTestStart(const ::testing::TestInfo& test) override {
        if (!mfpsys::test::shares_namespace(test.test_suite_name())) enter();
    }
    static void enter() {
        if (mfpsys::test::new_ipc_namespace()) return;
        std::fprintf(stderr, "cannot enter a new IPC namespace: %s\n", std::strerror(errno));
        std::fflush(stderr);
        _exit(97);
    }
};
}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshNamespace);
    return RUN_ALL_TESTS();
}
