// Each system call of a transaction made to fail in turn, with the errors the
// kernel really gives. This program defines semget, semop, msgget, msgsnd and
// msgrcv itself, so the library's calls land here and no kernel object is
// used; it still runs in a private IPC namespace in case one got through.
#include <errno.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "engine_ops.h"

namespace {

constexpr int kLockId = 100, kControlId = 200, kResponseId = 201;

struct FakeKernel {
    int lock = 1;
    int waits = 0, posts = 0, sends = 0;
    int taken_back = 0;  // receives from the control queue after a send
    std::string fail_step;  // "semget", "wait", "msgget-control", ...
    int fail_errno = 0;
    unsigned char reply[MSG_TEXT_SIZE] = {};

    bool fails(const char* step) {
        if (fail_step != step) return false;
        errno = fail_errno;
        return true;
    }
} kernel;

}  // namespace

extern "C" int semget(key_t key, int, int) noexcept {
    if (kernel.fails("semget")) return -1;
    return key == SEM_API_KEY ? kLockId : kLockId + 1;
}

extern "C" int semop(int id, struct sembuf* ops, size_t n) noexcept {
    if (id != kLockId || n != 1) {
        errno = EINVAL;
        return -1;
    }
    const bool wait = ops[0].sem_op < 0;
    if (kernel.fails(wait ? "wait" : "post")) return -1;
    (wait ? kernel.waits : kernel.posts)++;
    kernel.lock += ops[0].sem_op;
    return 0;
}

extern "C" int msgget(key_t key, int) noexcept {
    if (kernel.fails(key == MSG_CONTROL_KEY ? "msgget-control" : "msgget-response")) return -1;
    return key == MSG_CONTROL_KEY ? kControlId : kResponseId;
}

extern "C" int msgsnd(int id, const void*, size_t size, int) {
    if (id != kControlId || size != MSG_SIZE) {
        errno = EINVAL;
        return -1;
    }
    if (kernel.fails("msgsnd")) return -1;
    ++kernel.sends;
    return 0;
}

extern "C" ssize_t msgrcv(int id, void* msg, size_t size, long type, int flags) {
    if (id == kControlId && type == MSG_TYPE_REQUEST && (flags & IPC_NOWAIT)) {
        kernel.taken_back += kernel.sends;  // the daemon has read every request
        errno = ENOMSG;
        return -1;
    }
    if (id != kResponseId) {
        errno = EINVAL;
        return -1;
    }
    if (flags & IPC_NOWAIT) {  // nothing stale waiting
        errno = ENOMSG;
        return -1;
    }
    if (kernel.fails("msgrcv")) return -1;
    auto* m = static_cast<MSGBUF*>(msg);
    m->mtype = MSG_TYPE_REPLY;
    m->Command = 0;
    memcpy(m->mtext, kernel.reply, sizeof m->mtext);
    return static_cast<ssize_t>(size);
}

namespace {

struct KindCase {
    const char* name;
    std::function<int()> call;
    int failure;
};

std::vector<KindCase> kinds() {
    static char out[2018];
    static const unsigned char rec[48] = {};
    return {
        {"ack", [] { return test_none_ack(); }, 0},
        {"ack 1/-1", [] { return test_chan_block_ack_m1(1, rec); }, -1},
        {"ack 0/-1", [] { return test_chan_dec_ack0(1, 2); }, -1},
        {"byte", [] { return test_bytes1_byte(1); }, -1},
        {"signed byte", [] { return test_bytes2_sbyte(1, 2); }, -1},
        {"int", [] { return test_raw_int(1); }, -1},
        {"decimal", [] { return test_dec_decimal(1); }, -1},
        {"text", [] { return test_str_text("a", out); }, -1},
        {"text 1", [] { return test_copy_text1("a", out); }, -1},
        {"block", [] { return test_block_block(rec, out); }, -1},
        {"format", [] { return test_format_ack(1, 2, 3); }, 0},
        {"worked example", [] { return API_Video_GetFrequency(1); }, -1},
    };
}

struct StepCase {
    const char* step;
    std::vector<int> errnos;
    bool lock_taken;  // whether the wait succeeded before the failure
};

const StepCase kSteps[] = {
    {"semget", {EACCES, EINVAL}, false},
    {"wait", {EINTR, EIDRM, EINVAL, EACCES}, false},
    {"msgget-control", {EACCES, EIDRM}, true},
    {"msgget-response", {EACCES, EIDRM}, true},
    {"msgsnd", {EINTR, EIDRM, EINVAL, EACCES}, true},
    {"msgrcv", {EINTR, EIDRM, EINVAL, E2BIG}, true},
};

TEST(FaultInjection, EveryFailingStepGivesTheFailureValueAndBalancesTheLock) {
    for (const StepCase& step : kSteps) {
        for (int err : step.errnos) {
            for (const KindCase& k : kinds()) {
                SCOPED_TRACE(std::string(step.step) + " " + strerror(err) + " " + k.name);
                kernel = FakeKernel{};
                kernel.fail_step = step.step;
                kernel.fail_errno = err;
                EXPECT_EQ(k.call(), k.failure);
                EXPECT_EQ(kernel.waits, step.lock_taken ? 1 : 0);
                EXPECT_EQ(kernel.posts, kernel.waits);
                EXPECT_EQ(kernel.lock, 1);
                const bool received = std::string(step.step) == "msgrcv";
                EXPECT_EQ(kernel.sends, received ? 1 : 0);
                EXPECT_EQ(kernel.taken_back, received ? 1 : 0);  // its request, once
            }
        }
    }
}

TEST(FaultInjection, EveryKindSucceedsOnceWithOneWaitAndOnePost) {
    for (const KindCase& k : kinds()) {
        SCOPED_TRACE(k.name);
        kernel = FakeKernel{};
        kernel.reply[0] = '7';
        EXPECT_NE(k.call(), k.failure);
        EXPECT_EQ(kernel.waits, 1);
        EXPECT_EQ(kernel.posts, 1);
        EXPECT_EQ(kernel.sends, 1);
        EXPECT_EQ(kernel.taken_back, 0);
    }
}

TEST(FaultInjection, RefusedPostStillReturnsTheAnswerAndIsTriedOnce) {
    kernel = FakeKernel{};
    kernel.fail_step = "post";
    kernel.fail_errno = EINVAL;
    kernel.reply[0] = 9;
    EXPECT_EQ(test_bytes1_byte(1), 9);
    EXPECT_EQ(kernel.waits, 1);
    EXPECT_EQ(kernel.posts, 0);  // refused by the kernel, not repeated
}

TEST(FaultInjection, LocalRefusalTakesNoLock) {
    kernel = FakeKernel{};
    char out[32];
    const std::string too_long(2018, 'x');
    EXPECT_EQ(test_copy_text1(too_long.c_str(), out), -1);
    EXPECT_EQ(test_str_text(nullptr, out), -1);
    EXPECT_EQ(kernel.waits + kernel.posts + kernel.sends, 0);
}

}  // namespace
