// A program that does not define BufferEncode: the library still loads, and
// the snapshot asks the daemon but copies nothing and returns 0.
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "fake_daemon.h"

TEST(SnapshotWithoutBufferEncode, AsksTheDaemonCopiesNothing) {
    FakeDaemon daemon;
    std::vector<unsigned char> out(64, 0x11);
    testing::internal::CaptureStdout();
    EXPECT_EQ(API_Video_SetJPGSnapShot(3, out.data()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(daemon.request_count(), 1u);
    EXPECT_EQ(daemon.last().command, 17);
    EXPECT_EQ(daemon.last().mtext[0], 3);
    EXPECT_EQ(out, std::vector<unsigned char>(64, 0x11));
    EXPECT_EQ(daemon.lock_value(), 1);
}
