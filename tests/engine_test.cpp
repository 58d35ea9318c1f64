// The transaction engine against the stand-in daemon over real queues: the
// failure paths, the limits and the lock.
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "engine_ops.h"
#include "fake_daemon.h"

namespace {

// A child that dies with this program, so that a hung child never keeps the
// test runner waiting on its output after the watchdog ended the program.
pid_t fork_bound() {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0 && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)) _exit(1);
    return pid;
}

class Engine : public testing::Test {
protected:
    FakeDaemon daemon;
};

// The other encodings and reply kinds are in the reviewed transcript; its
// raw integers would not show a value cut short.
TEST_F(Engine, RawIntegerSendsAllFourBytes) {
    daemon.script(Reply::int32(-123456));
    EXPECT_EQ(test_raw_int(0x01020304), -123456);
    const Request r = daemon.last();
    EXPECT_EQ(std::vector<unsigned char>(r.mtext.begin(), r.mtext.begin() + 5),
              (std::vector<unsigned char>{4, 3, 2, 1, 0}));
}

// The camera's formatted rows all fail with 0; another failure value is kept.
TEST_F(Engine, FormattedRowFailsWithItsFailureValue) {
    SendFailure fails;
    EXPECT_EQ(test_format_m1(5), -1);
}

TEST_F(Engine, FormattingErrorRefusesTheRequest) {
    // A wide character that the C locale cannot encode makes snprintf fail.
    char probe[8];
    if (snprintf(probe, sizeof probe, "%lc", 0x4E2D) >= 0) GTEST_SKIP() << "C library encodes it";
    EXPECT_EQ(test_format_any("%lc", 0x4E2D), 0);
    EXPECT_EQ(daemon.request_count(), 0u);
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(Engine, InterruptedReceiveFailsAndItsLateReplyIsNotTakenByTheNextCaller) {
    daemon.script(Reply::none());
    interrupt_after_ms(50);
    EXPECT_EQ(test_bytes1_byte(1), -1);
    EXPECT_EQ(daemon.lock_value(), 1);
    daemon.send(Reply::bytes({77}));  // the answer, late
    daemon.script(Reply::bytes({5}));
    EXPECT_EQ(test_bytes1_byte(2), 5);
    EXPECT_EQ(daemon.replies_waiting(), 0u);
}

// A caller whose receive fails takes back its request if the daemon has not
// read it: a set reported as failed is never applied later.
TEST(EngineStoppedDaemon, InterruptedReceiveTakesItsUnreadRequestBack) {
    FakeDaemon daemon(false);
    interrupt_after_ms(50);
    EXPECT_EQ(test_bytes3_ack(7, 8, 9), 0);
    EXPECT_EQ(daemon.requests_waiting(), 0u);
    EXPECT_EQ(daemon.lock_value(), 1);
    daemon.resume();
    daemon.script(Reply::bytes({5}));
    EXPECT_EQ(test_bytes1_byte(1), 5);
    ASSERT_EQ(daemon.request_count(), 1u);
    EXPECT_EQ(daemon.last().command, 481);
}

// A killed caller cannot take its request back; the next caller discards it
// before it sends, so the daemon answers that caller's request alone.
TEST(EngineStoppedDaemon, KilledCallersUnreadRequestIsDiscardedByTheNextCaller) {
    FakeDaemon daemon(false);
    const pid_t child = fork_bound();
    if (child == 0) {
        test_raw_int(0x1111);
        _exit(0);
    }
    for (int i = 0; i < kPatienceMs && daemon.requests_waiting() == 0; ++i) usleep(1000);
    ASSERT_EQ(daemon.requests_waiting(), 1u);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(daemon.lock_value(), 1);
    // The daemon comes back once this caller's request is on the queue.
    std::thread resume([&daemon] {
        struct msqid_ds ds;
        for (int i = 0; i < kPatienceMs; ++i) {
            if (msgctl(daemon.control_queue(), IPC_STAT, &ds) == 0 && ds.msg_lspid == getpid()) break;
            usleep(1000);
        }
        daemon.resume();
    });
    EXPECT_EQ(test_raw_int(0x2222), 0x2222);
    resume.join();
    EXPECT_EQ(daemon.request_count(), 1u);
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(Engine, ExtraAndOversizedRepliesAreDiscardedBeforeTheNextSend) {
    Reply twice = Reply::bytes({1});
    twice.kind = Reply::Twice;
    daemon.script(twice);
    EXPECT_EQ(test_bytes1_byte(0), 1);
    ASSERT_TRUE(daemon.wait_for_replies_waiting(1));  // the second answer
    daemon.script(Reply::bytes({2}));
    EXPECT_EQ(test_bytes1_byte(0), 2);

    daemon.script(Reply::oversized());  // too large for the receive: E2BIG
    EXPECT_EQ(test_bytes1_byte(0), -1);
    EXPECT_EQ(daemon.replies_waiting(), 1u);
    daemon.script(Reply::bytes({3}));
    EXPECT_EQ(test_bytes1_byte(0), 3);
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(Engine, CallerKilledWhileWaitingForItsReplyLeavesTheLockFree) {
    daemon.script(Reply::none());
    pid_t child = fork_bound();
    if (child == 0) {
        test_none_ack();
        _exit(0);
    }
    ASSERT_TRUE(daemon.wait_for_requests(1));
    EXPECT_EQ(daemon.lock_value(), 0);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(daemon.lock_value(), 1);
    daemon.script(Reply::bytes({4}));
    EXPECT_EQ(test_bytes1_byte(0), 4);
}

TEST_F(Engine, ConcurrentCallersEachGetTheirOwnAnswer) {
    constexpr int kProcs = 4, kCalls = 2000;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork_bound();
        if (pid == 0) {
            int wrong = 0;
            for (int i = 0; i < kCalls; ++i) {
                const int payload = (p + 1) << 20 | i;  // echoed back by the daemon
                if (test_raw_int(payload) != payload) ++wrong;
            }
            _exit(wrong ? 1 : 0);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(daemon.request_count(), static_cast<size_t>(kProcs * kCalls));
    EXPECT_EQ(daemon.lock_value(), 1);
}

// ---- the exported primitives ----

TEST_F(Engine, SecondHolderBlocksUntilPostAndExitGivesTheLockBack) {
    const int id = SemAPIInit();
    SemAPIGet(id);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = fork_bound();
    if (child == 0) {
        SemAPIGet(SemAPIInit());
        char c = 'g';
        (void)!write(pipefd[1], &c, 1);
        _exit(0);  // exits holding the lock: the kernel undoes it
    }
    usleep(100 * 1000);
    EXPECT_EQ(daemon.lock_value(), 0);
    struct timeval none = {0, 0};
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(pipefd[0], &fds);
    EXPECT_EQ(select(pipefd[0] + 1, &fds, nullptr, nullptr, &none), 0);  // still waiting
    SemAPIPost(id);
    char c;
    EXPECT_EQ(read(pipefd[0], &c, 1), 1);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(daemon.lock_value(), 1);
}

}  // namespace
