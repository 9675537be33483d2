// Test main: every test case starts in a fresh IPC namespace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "harness/proc.h"

namespace {
struct FreshNamespace : ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
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
