// Every exported operation that talks to the control daemon, and the IPC
// primitives, driven in-process. This program defines semget, semop, msgget,
// msgsnd and msgrcv itself: the library's calls land in the fake kernel
// below, whose daemon answers each request as the fuzzer's bytes say (any
// length, any bytes, late, twice, not at all, or never reads it), with stale
// replies and requests waiting and any one step failing with a real errno.
//
// Checked beyond the sanitizers, for every operation on every path:
//   - the lock is waited for once per transaction and given back exactly
//     once, nothing is sent or received without it, and it never goes above 1;
//   - a stale reply waiting before the send is never taken as the answer, and
//     no stale request is left on the control queue at the send;
//   - a request the daemon never read is taken back when its caller gives up;
//   - a call with a null pointer is refused and sends nothing; when no answer
//     arrived, the result is the failure value and the caller's buffers are
//     as they were.
// What each operation sends and makes of its answers, and the documented
// size of each buffer, are the transcript's.
//
// Input: up to four operations, each: operation (2 bytes), fault plan, stale
// replies, the operation's arguments, then one reply plan per request sent.
#define FUZZ_TARGET "ops"

#include <errno.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>

#include <tuple>
#include <type_traits>

#include "api_arch.h"
#include "fuzz_support.h"

// The shared camera state record that the snapshot copies from.
static BUFFER_ENCODE_T fuzz_record;
extern "C" BUFFER_ENCODE_T* BufferEncode;
BUFFER_ENCODE_T* BufferEncode = nullptr;

namespace {

constexpr int kLockId = 100, kSnapshotId = 101, kMotionId = 102;
constexpr int kControlId = 200, kResponseId = 201, kEventId = 202;
constexpr int kMaxSent = 400, kQueueRoom = 128;

enum Step : uint8_t { kNoFault, kSemget, kWait, kMsggetControl, kMsggetResponse, kSend, kRecv, kPost, kSteps };
const int kErrnos[] = {EINTR, EIDRM, EINVAL, EACCES, E2BIG, ENOMSG, ENOMEM, EFAULT};

struct Message {
    size_t size;   // System V size, may exceed MSG_SIZE
    unsigned char payload[MSG_SIZE + 80];  // Command, mtext, padding
};

// The kernel's side of one run: semaphores, the response queue, the requests.
struct Kernel {
    Input* in = nullptr;
    // Fault plan of the current operation.
    Step fail_step = kNoFault;
    int fail_at = 0, fail_errno = 0;
    int counts[kSteps] = {};
    // Semaphore values: API lock, snapshot, motion handler.
    int sem[3] = {1, 1, 1};
    int waits = 0, post_attempts = 0;
    // Response queue, oldest first.
    Message queue[kQueueRoom];
    int head = 0, count = 0;
    size_t waiting_at_open = 0;  // replies waiting when the response queue was opened
    // Requests of the current operation, and answers received.
    int sends = 0, answers = 0;
    // The control queue: requests of earlier callers that gave up, oldest
    // first, and whether the current operation's last request is still unread.
    int stale_requests = 0;
    bool own_unread = false;
    // Answers that arrive only after their caller gave up.
    unsigned char late[4][MSG_TEXT_SIZE + 2];
    int lates = 0;

    void reset(Input* input) {
        in = input;
        sem[0] = sem[1] = sem[2] = 1;
        head = count = 0;
        stale_requests = 0;
    }

    bool fails(Step step) {
        if (step != fail_step || counts[step]++ != fail_at) return false;
        errno = fail_errno;
        return true;
    }
    Message& back() { return queue[(head + count) % kQueueRoom]; }
    void push(size_t size, const unsigned char* mtext, size_t n, unsigned char fill) {
        if (count == kQueueRoom) return;  // a full queue: the daemon would block; drop it
        Message& m = back();
        m.size = size;
        memset(m.payload, fill, sizeof m.payload);
        memset(m.payload, 0, 4);  // Command: never read
        memcpy(m.payload + 4, mtext, n);
        ++count;
    }
    void pop() { head = (head + 1) % kQueueRoom, --count; }

    // The daemon's answer to a request, as the fuzzer plans it.
    void answer() {
        const uint8_t plan = in->u8();
        const unsigned char fills[4] = {0, 'A', 0xFF, ' '};
        const unsigned char fill = fills[(plan >> 3) & 3];
        const size_t size = (plan & 4) ? in->u16() % 2100 : MSG_SIZE;
        unsigned char mtext[MSG_TEXT_SIZE + 2];
        memset(mtext, fill, sizeof mtext);
        in->bytes(mtext, in->length(sizeof mtext));
        switch (plan >> 6) {
        case 0: case 1: push(size, mtext, sizeof mtext, fill); break;
        case 2: push(size, mtext, sizeof mtext, fill), push(size, mtext, sizeof mtext, fill); break;
        default:  // no answer while the caller waits; maybe one after it gave up
            if ((plan & 0x20) && lates < 4) {
                memcpy(late[lates++], mtext, sizeof mtext);
            } else if (plan & 0x10) {
                own_unread = true;  // the daemon never reads it
            }
        }
    }

    void begin_op() {
        fail_step = kNoFault;
        memset(counts, 0, sizeof counts);
        waits = post_attempts = sends = answers = lates = 0;
        const uint8_t f = in->u8();
        const Step step = static_cast<Step>(f % 9 > 1 ? f % 9 - 1 : 0);
        if (step != kNoFault) {
            fail_step = step;
            fail_at = in->u8() & 0x7f;
            if (fail_at > 8 && step != kSend && step != kRecv) fail_at %= 2;
            fail_errno = kErrnos[in->u8() % (sizeof kErrnos / sizeof kErrnos[0])];
        }
        // Stale replies of earlier transactions, some larger than a record.
        const uint8_t s = in->u8();
        const int stale = s >= 176 ? s - 176 : 0;
        if (s >= 160 && s < 176) stale_requests += s - 160;
        const unsigned char marker[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0};
        for (int i = 0; i < stale; ++i)
            push(i % 3 == 0 ? 2100 : 16, marker, sizeof marker, 0xEE);
    }

    // Answers that come after their callers gave up stay on the queue.
    void end_op() {
        FUZZ_CHECK(!own_unread, "request of a caller that gave up left on the control queue", "");
        for (int i = 0; i < lates; ++i)
            push(MSG_SIZE, late[i], MSG_TEXT_SIZE, 0);
        FUZZ_CHECK(post_attempts == waits, "lock not given back exactly once", "posts != waits");
        FUZZ_CHECK(sem[0] == 1, "lock not free after the operation", "");
    }
} kernel;

}  // namespace

// ---- the interposed system calls ----

extern "C" int semget(key_t key, int nsems, int flags) noexcept {
    if (kernel.fails(kSemget)) return -1;
    FUZZ_CHECK(nsems == 1 && flags == IPC_PERM_WORD, "semget arguments", "");
    switch (key) {
    case SEM_API_KEY: return kLockId;
    case SEM_SNAPSHOT_KEY: return kSnapshotId;
    case SEM_MOTION_HANDLE_KEY: return kMotionId;
    }
    errno = ENOENT;
    return -1;
}

extern "C" int semop(int id, struct sembuf* ops, size_t n) noexcept {
    if (id < kLockId || id > kMotionId || n != 1 || ops[0].sem_num != 0) {
        errno = EINVAL;
        return -1;
    }
    int& value = kernel.sem[id - kLockId];
    const bool wait = ops[0].sem_op < 0;
    if (id != kLockId) {  // the other programs' semaphores: counted, not checked
        if (wait && value == 0) {
            errno = EAGAIN;  // would block: this run's caller gave no post first
            return -1;
        }
        value += ops[0].sem_op;
        return 0;
    }
    FUZZ_CHECK(ops[0].sem_op == -1 || ops[0].sem_op == 1, "lock step not 1", "");
    FUZZ_CHECK(ops[0].sem_flg & SEM_UNDO, "lock step without SEM_UNDO", "");
    if (wait) {
        if (kernel.fails(kWait)) return -1;
        FUZZ_CHECK(value == 1, "waits for the lock it holds (would block forever)", "");
        ++kernel.waits;
        value = 0;
        return 0;
    }
    ++kernel.post_attempts;
    if (kernel.fails(kPost)) {  // the set was removed; the daemon makes it afresh
        value = 1;
        return -1;
    }
    FUZZ_CHECK(value == 0, "post raises the lock above 1", "");
    value = 1;
    return 0;
}

extern "C" int msgget(key_t key, int flags) noexcept {
    FUZZ_CHECK(flags == IPC_PERM_WORD, "msgget flags", "");
    switch (key) {
    case MSG_CONTROL_KEY:
        return kernel.fails(kMsggetControl) ? -1 : kControlId;
    case MSG_RESPONSE_KEY:
        if (kernel.fails(kMsggetResponse)) return -1;
        kernel.waiting_at_open = static_cast<size_t>(kernel.count);
        return kResponseId;
    case MSG_EVENT_KEY:
        return kEventId;
    }
    errno = ENOENT;
    return -1;
}

extern "C" int msgsnd(int id, const void* msg, size_t size, int flags) {
    if (id != kControlId) {
        errno = id < 0 ? EINVAL : EACCES;
        return -1;
    }
    if (kernel.fails(kSend)) return -1;
    FUZZ_CHECK(kernel.sem[0] == 0, "request sent without the lock", "");
    FUZZ_CHECK(size == MSG_SIZE && flags == 0, "request size or flags", "");
    if (kernel.waiting_at_open <= 64)
        FUZZ_CHECK(kernel.count == 0, "stale reply left waiting at the send", "");
    FUZZ_CHECK(kernel.stale_requests == 0, "stale request left waiting at the send", "");
    FUZZ_CHECK(!kernel.own_unread, "request sent while its previous one is unread", "");
    FUZZ_CHECK(kernel.sends < kMaxSent, "too many requests in one operation", "");
    FUZZ_CHECK(static_cast<const MSGBUF*>(msg)->mtype == MSG_TYPE_REQUEST, "request mtype not 1", "");
    ++kernel.sends;
    kernel.answer();
    return 0;
}

extern "C" ssize_t msgrcv(int id, void* msg, size_t size, long type, int flags) {
    if (id == kControlId) {  // only ever to discard requests, never waiting
        FUZZ_CHECK(type == MSG_TYPE_REQUEST && (flags & IPC_NOWAIT), "control queue read other than to discard", "");
        FUZZ_CHECK(kernel.sem[0] == 0, "request discarded without the lock", "");
        if (kernel.stale_requests > 0) --kernel.stale_requests;
        else if (kernel.own_unread) kernel.own_unread = false;
        else return errno = ENOMSG, -1;
        *static_cast<long*>(msg) = MSG_TYPE_REQUEST;
        return 0;
    }
    if (id != kResponseId) {
        errno = id < 0 ? EINVAL : EACCES;
        return -1;
    }
    FUZZ_CHECK(type == MSG_TYPE_REPLY, "receive of a type other than 2", "");
    FUZZ_CHECK(kernel.sem[0] == 0, "reply received without the lock", "");
    const bool nowait = flags & IPC_NOWAIT;
    if (!nowait) {
        FUZZ_CHECK(flags == 0 && size == MSG_SIZE, "answer received with flags or short size", "");
        if (kernel.fails(kRecv)) return -1;
    }
    if (kernel.count == 0) {
        errno = nowait ? ENOMSG : EINTR;  // blocking: a signal came before any answer
        return -1;
    }
    Message& m = kernel.queue[kernel.head];
    if (m.size > size && !(flags & MSG_NOERROR)) {
        errno = E2BIG;  // stays on the queue
        return -1;
    }
    const size_t n = m.size < size ? m.size : size;
    *static_cast<long*>(msg) = MSG_TYPE_REPLY;
    memcpy(static_cast<char*>(msg) + sizeof(long), m.payload, n);
    if (!nowait) {
        if (kernel.own_unread) {  // a stale answer taken for ours: the request stays behind
            kernel.own_unread = false;
            ++kernel.stale_requests;
        }
        ++kernel.answers;
    }
    kernel.pop();
    return static_cast<ssize_t>(n);
}

namespace {

// ---- what the caller can expect ----
//
// What each operation sends and makes of its answers, the documented size of
// each buffer and which texts are too long are the reviewed transcript's
// (tests/target). Here every operation, fed any arguments and any answers,
// keeps to what holds for all of them: a call with a null pointer is refused
// (no lock, nothing sent), and a call that got no answer returns its failure
// value with every buffer of the caller as it was.

bool answered() { return kernel.answers > 0; }

// Each pointer argument: a fuzzer text at the start of a buffer as large as
// the largest one the operation documents, or a null pointer.
struct Call {
    size_t size = 4096 * 8;  // a record list; the snapshot's is larger
    Guarded buf[6];
    unsigned char text[6][2101];
    size_t len[6];
    int pointers = 0;
    bool refused = false;  // expected to be refused before the lock
} call;

template <class T> T arg(Input& in) {
    if constexpr (std::is_pointer_v<T>) {
        const int k = call.pointers++;
        Guarded& g = call.buf[k];
        g.reset(call.size);
        call.len[k] = 0, call.text[k][0] = Guarded::kFill;  // as the buffer starts
        if (in.u8() == 0xFF) return call.refused = true, nullptr;
        const size_t len = call.len[k] = in.length(2100), got = in.bytes(g.data(), len);
        memset(g.data() + got, 'x', len - got);  // missing bytes repeat a letter: long texts cost nothing
        g.data()[len] = 0;
        memcpy(call.text[k], g.data(), len + 1);
        return reinterpret_cast<T>(g.data());
    } else if constexpr (std::is_same_v<T, POSITION_T>) {
        T v{};
        in.bytes(&v, sizeof v);
        return v;
    } else {
        return static_cast<T>(in.number());
    }
}

void check(int r, int failure, const char* name) {
    for (int k = 0; k < call.pointers; ++k) FUZZ_CHECK(call.buf[k].guard_intact(), "written past the caller's buffer", name);
    if (call.refused) FUZZ_CHECK(kernel.waits == 0 && kernel.sends == 0, "refused call took the lock or sent", name);
    if (answered() && !call.refused) return;
    FUZZ_CHECK(r == failure, "failed call did not return its failure value", name);
    for (int k = 0; k < call.pointers; ++k)
        FUZZ_CHECK(memcmp(call.buf[k].data(), call.text[k], call.len[k] + 1) == 0 &&
                       call.buf[k].untouched_from(call.len[k] + 1), "failed call wrote the caller's buffer", name);
}

template <class... A> void drive(int (*fn)(A...), int failure, Input& in, const char* name) {
    std::tuple<std::remove_cv_t<A>...> args{arg<std::remove_cv_t<A>>(in)...};  // braces: read in order
    check(std::apply(fn, args), failure, name);
}

// An IPC primitive: the opener by key, then the exported wait and, when the
// wait took, the post (as a caller does).
void sem_pair(int id, int want, int (*wait)(int), int (*post)(int), const char* name) {
    FUZZ_CHECK(id == want || kernel.fail_step == kSemget, "id", name);
    int* value = id >= kLockId && id <= kMotionId ? &kernel.sem[id - kLockId] : nullptr;
    const int before = value ? *value : 0;
    FUZZ_CHECK(wait(id) == 0, "wait result", name);
    if (value && *value != before) FUZZ_CHECK(post(id) == 0, "post result", name);
}

struct Operation {
    const char* name;
    void (*run)(Input&, const char*);
};

// The ordinary operations (failure value 0 for a plain ack, else -1), then the
// ones written out by hand with theirs, then the IPC primitives.
#define OP(name, command, params, request, reply) \
    {#name, [](Input& in, const char* n) { drive(&::name, strcmp(#reply, "ack()") ? -1 : 0, in, n); }},
#define HAND(name, failure) {#name, [](Input& in, const char* n) { drive(&::name, failure, in, n); }},
#define SEM(name, opener, id, wait, post) {#name, [](Input&, const char* n) { sem_pair(opener(), id, wait, post, n); }},
#define QUEUE(name, id, step) {#name, [](Input&, const char* n) { FUZZ_CHECK(name() == id || kernel.fail_step == step, "id", n); }},
const Operation kOperations[] = {
#include "api_ops.def"
    HAND(API_Video_GetPIRatio, -1) HAND(API_Video_GetDeinterlace, -1) HAND(API_Video_GetQP, -1)
    {"API_Video_SetJPGSnapShot", [](Input& in, const char* name) {
         const uint8_t how = in.u8();
         BufferEncode = how == 0xFF ? nullptr : &fuzz_record;
         const int32_t lens[4] = {0, 1, 102400, 102401};
         fuzz_record.JPGSnapLen = how < 0x40 ? lens[how & 3] : how < 0xC0 ? in.u16() : in.i32();
         call.size = sizeof fuzz_record.JPGBSnapBuffer;
         drive(&API_Video_SetJPGSnapShot, 0, in, name);
         call.size = 4096 * 8;
     }},
    HAND(API_Net_GetFixIP, -1) HAND(API_Net_SetNetConfig, 0) HAND(API_Net_SetMacAddress, 0)
    HAND(API_Net_SetDNS, 0) HAND(API_WLAN_SetWepKey, 0) HAND(API_Linkway_GetMapStatus, -1)
    HAND(API_SNTP_Get_Zone, -1) HAND(API_USER_SetAddUser, 0) HAND(API_USER_SetChangePassword, 0)
    HAND(API_USER_Modify, -1)
    // A name that cannot travel with its NUL is refused.
    {"API_USER_GetUserInfoByName", [](Input& in, const char* name) {
         char* user = arg<char*>(in);
         int* level = arg<int*>(in);
         char* pass = arg<char*>(in);
         call.refused = call.refused || (user && strlen(user) >= MSG_TEXT_SIZE);
         check(API_USER_GetUserInfoByName(user, level, pass), -1, name);
     }},
    HAND(API_USER_GetUserInfoByID, -1)
    HAND(API_SMTP_Send_Text, 0) HAND(API_SMTP_Send_Attach, 0) HAND(API_Net_FTPGetCommandPort, -1)
    HAND(API_System_Update, 0) HAND(API_EVENT_GetMotionRegion, -1) HAND(API_EVENT_SetMotionRegion, 0)
    HAND(API_MOD_SetGPIOValueOut, 0)
    // -1 for a count it refuses (nothing sent), 0 when the header went unanswered.
    {"API_MOD_SetRecordList", [](Input& in, const char* name) {
         const int channel = arg<int>(in), count = arg<int>(in);
         int* list = arg<int*>(in);
         call.refused = count < 0 || count > 4096 || (count > 0 && !list);
         check(API_MOD_SetRecordList(channel, count, list), call.refused ? -1 : 0, name);
     }},
    HAND(API_MOD_GetRecordList, -1)
    QUEUE(MsgControlInit, kControlId, kMsggetControl) QUEUE(MsgResponseInit, kResponseId, kMsggetResponse)
    QUEUE(MsgEventInit, kEventId, kNoFault)
    SEM(SemAPIInit, SemAPIInit, kLockId, SemAPIGet, SemAPIPost)
    SEM(SemSnapShotInit, SemSnapShotInit, kSnapshotId, SemSnapShotGet, SemSnapShotPost)
    SEM(SemMotionHandleInit, SemMotionHandleInit, kMotionId, SemMotionHandleGet, SemMotionHandlePost)
    SEM(SemAPIGet, SemAPIInit, kLockId, SemAPIGet, SemAPIPost) SEM(SemAPIPost, SemAPIInit, kLockId, SemAPIGet, SemAPIPost)
    SEM(SemSnapShotGet, SemSnapShotInit, kSnapshotId, SemSnapShotGet, SemSnapShotPost)
    SEM(SemSnapShotPost, SemSnapShotInit, kSnapshotId, SemSnapShotGet, SemSnapShotPost)
    SEM(SemMotionHandleGet, SemMotionHandleInit, kMotionId, SemMotionHandleGet, SemMotionHandlePost)
    SEM(SemMotionHandlePost, SemMotionHandleInit, kMotionId, SemMotionHandleGet, SemMotionHandlePost)
};
#undef OP
#undef HAND
#undef SEM
#undef QUEUE
constexpr size_t kCount = sizeof kOperations / sizeof kOperations[0];

}  // namespace

const char* const* fuzz_names() {
    static const char* names[kCount + 2];
    for (size_t i = 0; i < kCount; ++i) names[i] = kOperations[i].name;
    names[kCount] = "MORIK_SIZE_T";  // data: the transcript prints it
    return names;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        for (size_t i = 0; i < sizeof fuzz_record.JPGBSnapBuffer; ++i)
            fuzz_record.JPGBSnapBuffer[i] = static_cast<char>(i * 13 + 1);
        return true;
    }();
    (void)once;
    Input in(data, size);
    kernel.reset(&in);
    for (int n = 0; n < 4 && !in.empty(); ++n) {
        const Operation& op = kOperations[in.u16() % kCount];
        kernel.begin_op();
        call.pointers = 0, call.refused = false;
        op.run(in, op.name);
        if (fuzz_verbose)
            dprintf(fuzz_diag_fd, "  %s: %d waits, %d requests, %d answers\n", op.name, kernel.waits, kernel.sends,
                    kernel.answers);
        kernel.end_op();
    }
    return 0;
}
