// Every test program enters a private IPC namespace before any test runs, so
// its queues and semaphores (keys 1682 to 1689) are its own and the host's
// objects are never touched. Without the privilege to do that, every test is
// skipped with the reason, and the program exits with 77, the suites' skip
// status (googletest alone would report the cases as passed).
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>

#include <gtest/gtest.h>

#include "watchdog.h"

namespace {
std::string isolation_error;

class PrivateIpc : public testing::Environment {
public:
    void SetUp() override {
        if (!isolation_error.empty()) GTEST_SKIP() << isolation_error;
    }
};
// Each test under the watchdog.
class Bounded : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& test) override { watchdog(test.name()); }
    void OnTestEnd(const testing::TestInfo&) override { watchdog(nullptr); }
};
}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (unshare(CLONE_NEWIPC) != 0) {
        const int error = errno;
        isolation_error = std::string("cannot enter a private IPC namespace (") + strerror(error) + ")" +
                          (error == EPERM ? "; run as root or with CAP_SYS_ADMIN" : "");
        fprintf(stderr, "skipping all tests: %s\n", isolation_error.c_str());
    }
    testing::AddGlobalTestEnvironment(new PrivateIpc);
    testing::UnitTest::GetInstance()->listeners().Append(new Bounded);
    const int status = RUN_ALL_TESTS();
    return isolation_error.empty() ? status : 77;
}
