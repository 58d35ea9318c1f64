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
//   - caller buffers are of exactly their documented sizes and nothing is
//     written past them; texts and records the caller passes are not changed;
//   - a refused call sends nothing; when no answer arrived, the result is
//     the failure value and the caller's outputs are untouched.
// What each operation sends and makes of its answers is the transcript's.
//
// Input: up to four operations, each: operation (2 bytes), fault plan, stale
// replies, the operation's arguments, then one reply plan per request sent.
#define FUZZ_TARGET "ops"

#include <errno.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>

#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>

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
    uint32_t id;   // 1 + the index of the request it answers; 0 for a stale one
    size_t size;   // System V size, may exceed MSG_SIZE
    unsigned char payload[MSG_SIZE + 80];  // Command, mtext, padding
};

struct Sent {
    long mtype;
    int command;
    unsigned char mtext[MSG_TEXT_SIZE];
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
    int waits = 0, posts = 0, post_attempts = 0;
    // Response queue, oldest first.
    Message queue[kQueueRoom];
    int head = 0, count = 0;
    size_t waiting_at_open = 0;  // replies waiting when the response queue was opened
    // Requests of the current operation and what each one's receive took.
    Sent sent[kMaxSent];
    int sends = 0;
    Message delivered[kMaxSent];
    int answers = 0;
    bool got[kMaxSent] = {};  // the receive after request k took a message
    // The control queue: requests of earlier callers that gave up, oldest
    // first, and whether the current operation's last request is still unread.
    int stale_requests = 0;
    bool own_unread = false;
    // Answers that arrive only after their caller gave up.
    struct Late {
        int index;
        unsigned char mtext[MSG_TEXT_SIZE + 2];
    } late[4];
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
    void push(uint32_t id, size_t size, const unsigned char* mtext, size_t n, unsigned char fill) {
        if (count == kQueueRoom) return;  // a full queue: the daemon would block; drop it
        Message& m = back();
        m.id = id;
        m.size = size;
        memset(m.payload, fill, sizeof m.payload);
        memset(m.payload, 0, 4);  // Command: never read
        memcpy(m.payload + 4, mtext, n);
        ++count;
    }
    void pop() { head = (head + 1) % kQueueRoom, --count; }

    // The daemon's answer to request `index`, as the fuzzer plans it.
    void answer(int index) {
        const uint8_t plan = in->u8();
        const unsigned char fills[4] = {0, 'A', 0xFF, ' '};
        const unsigned char fill = fills[(plan >> 3) & 3];
        const size_t size = (plan & 4) ? in->u16() % 2100 : MSG_SIZE;
        unsigned char mtext[MSG_TEXT_SIZE + 2];
        memset(mtext, fill, sizeof mtext);
        const size_t n = in->bytes(mtext, in->length(sizeof mtext));
        (void)n;
        const uint32_t id = static_cast<uint32_t>(index) + 1;
        switch (plan >> 6) {
        case 0: case 1: push(id, size, mtext, sizeof mtext, fill); break;
        case 2: push(id, size, mtext, sizeof mtext, fill), push(id, size, mtext, sizeof mtext, fill); break;
        default:  // no answer while the caller waits; maybe one after it gave up
            if ((plan & 0x20) && lates < 4) {
                late[lates].index = index;
                memcpy(late[lates++].mtext, mtext, sizeof mtext);
            } else if (plan & 0x10) {
                own_unread = true;  // the daemon never reads it
            }
        }
    }

    void begin_op() {
        fail_step = kNoFault;
        memset(counts, 0, sizeof counts);
        waits = posts = post_attempts = sends = answers = lates = 0;
        memset(got, 0, sizeof got);
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
            push(0, i % 3 == 0 ? 2100 : 16, marker, sizeof marker, 0xEE);
    }

    // Answers that come after their callers gave up stay on the queue.
    void end_op() {
        FUZZ_CHECK(!own_unread, "request of a caller that gave up left on the control queue", "");
        for (int i = 0; i < lates; ++i)
            push(static_cast<uint32_t>(late[i].index) + 1, MSG_SIZE, late[i].mtext, MSG_TEXT_SIZE, 0);
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
    ++kernel.posts;
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
    const auto* m = static_cast<const MSGBUF*>(msg);
    Sent& s = kernel.sent[kernel.sends];
    s.mtype = m->mtype;
    s.command = m->Command;
    memcpy(s.mtext, m->mtext, MSG_TEXT_SIZE);
    FUZZ_CHECK(s.mtype == MSG_TYPE_REQUEST, "request mtype not 1", "");
    kernel.answer(kernel.sends++);
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
        FUZZ_CHECK(kernel.answers < kMaxSent, "too many answers", "");
        if (kernel.own_unread) {  // a stale answer taken for ours: the request stays behind
            kernel.own_unread = false;
            ++kernel.stale_requests;
        }
        if (kernel.sends > 0) kernel.got[kernel.sends - 1] = true;
        Message& d = kernel.delivered[kernel.answers++];
        d.id = m.id;
        d.size = n;
        memset(d.payload, 0, sizeof d.payload);
        memcpy(d.payload, m.payload, n);
    }
    kernel.pop();
    return static_cast<ssize_t>(n);
}

namespace {

// ---- what the caller can expect ----
//
// What each operation makes of an answer is in the reviewed transcript
// (tests/target); here every operation, fed any arguments and any answer,
// keeps to what holds for all of them: nothing written past a buffer, the
// caller's texts and records unchanged, a refused call sends nothing, and
// without an answer the result is the failure value, outputs untouched.

bool answered() { return kernel.answers > 0; }

void expect_kept(const Guarded& g, const char* name) {
    FUZZ_CHECK(g.guard_intact(), "written past the caller's buffer", name);
}

// A caller's output of `size` bytes, or a null pointer now and then.
unsigned char* output(Input& in, Guarded& g, size_t size) {
    g.reset(size);
    return in.u8() == 0xFF ? nullptr : g.data();
}

// A caller's record of `size` fuzzer bytes, or a null pointer now and then.
unsigned char* record(Input& in, Guarded& g, size_t size) {
    if (in.u8() == 0xFF) return nullptr;
    g.reset(size);
    in.bytes(g.data(), size);
    return g.data();
}

// The outcome of one call: refused calls and unanswered ones fail, and then
// leave every output as it was.
void expect_outcome(int r, int failure, bool refuses, const char* name,
                    std::initializer_list<const Guarded*> outputs = {}) {
    for (const Guarded* g : outputs) expect_kept(*g, name);
    if (refuses)
        FUZZ_CHECK(kernel.waits == 0 && kernel.sends == 0, "refused call took the lock or sent", name);
    if (!refuses && answered()) return;
    FUZZ_CHECK(r == failure, "failed call did not return its failure value", name);
    for (const Guarded* g : outputs) FUZZ_CHECK(g->untouched(), "failed call wrote its outputs", name);
}

// ---- ordinary operations, one row each ----

enum class Req { Other, Text };

// The parts of a row's request and reply that size the caller's buffers.
struct Desc {
    Req req = Req::Other;
    const void* in = nullptr;  // the caller's text or record
    unsigned in_size = 0;
    int failure = -1;
    void* out = nullptr;
    unsigned out_size = 0;

    explicit Desc(int) {}
    template <class... T> Desc& none(T...) { return *this; }
    template <class... T> Desc& bytes(T...) { return *this; }
    template <class... T> Desc& dec(T...) { return *this; }
    template <class... T> Desc& format(const char*, T...) { return *this; }
    Desc& raw(int) { return *this; }
    Desc& raw(const void* r, unsigned n) { return in = r, in_size = n, *this; }
    Desc& raw(int, const void* r, unsigned n) { return in = r, in_size = n, *this; }
    Desc& str(const char* t) { return req = Req::Text, in = t, *this; }
    Desc& copy(const char* t) { return req = Req::Text, in = t, *this; }
    Desc ack(int = 1, int f = 0) { return failure = f, *this; }
    Desc byte() { return *this; }
    Desc sbyte() { return *this; }
    Desc integer() { return *this; }
    Desc decimal() { return *this; }
    Desc text(char* b, unsigned n, int = 0) { return out = b, out_size = n, *this; }
    Desc block(void* r, unsigned n) { return out = r, out_size = n, *this; }
};

// One pointer parameter of a row: what the row does with it, and its buffer.
struct Slot {
    enum Role { Value, Text, In, Out, InOut } role = Value;
    Guarded buf;
    void* ptr = nullptr;
    unsigned char before[MSG_TEXT_SIZE + 128];
    size_t before_len = 0;
};

alignas(16) unsigned char placeholders[4][256];

template <class T> void read_arg(T& v, Input& in, Slot& s, size_t i) {
    if constexpr (std::is_pointer_v<T>) {
        s.ptr = placeholders[i % 4];
        v = reinterpret_cast<T>(s.ptr);
    } else if constexpr (std::is_same_v<T, POSITION_T>) {
        in.bytes(&v, sizeof v);
    } else {
        v = static_cast<T>(in.number());
    }
}

template <class T> void find_role(const Desc& d, Slot& s, const char* name) {
    if constexpr (std::is_pointer_v<T>) {
        const bool in = d.in == s.ptr, out = d.out == s.ptr;
        FUZZ_CHECK(in || out, "row parameter used by neither request nor reply", name);
        s.role = in && out ? Slot::InOut : out ? Slot::Out : d.req == Req::Text ? Slot::Text : Slot::In;
    }
}

template <class T> void make_buffer(T& v, const Desc& d, Input& in, Slot& s) {
    if constexpr (std::is_pointer_v<T>) {
        switch (s.role) {
        case Slot::Text: s.ptr = fuzz_text(in, s.buf); break;
        case Slot::In: s.ptr = record(in, s.buf, d.in_size); break;
        case Slot::Out: s.ptr = output(in, s.buf, d.out_size); break;
        case Slot::InOut: s.ptr = record(in, s.buf, d.out_size); break;
        case Slot::Value: break;
        }
        if (s.ptr) {
            s.before_len = s.buf.size();
            memcpy(s.before, s.buf.data(), s.before_len);
        }
        v = reinterpret_cast<T>(s.ptr);
    }
}

// Refused: a null buffer, or a text that cannot travel with its NUL.
bool slot_refuses(const Slot& s) {
    if (s.role == Slot::Value) return false;
    return !s.ptr || (s.role == Slot::Text && strlen(static_cast<const char*>(s.ptr)) >= MSG_TEXT_SIZE);
}

void check_slot(const Slot& s, bool may_write, const char* name) {
    if (s.role == Slot::Value || !s.ptr) return;
    expect_kept(s.buf, name);
    if (s.role == Slot::Text || s.role == Slot::In || !may_write)
        FUZZ_CHECK(memcmp(s.buf.data(), s.before, s.before_len) == 0, "caller's buffer changed", name);
}

template <class... A, size_t... I>
void run_row(int (*fn)(A...), Desc (*describe)(A...), const char* name, Input& in,
             std::index_sequence<I...>) {
    std::tuple<std::remove_cv_t<A>...> args{};
    Slot slots[sizeof...(A) + 1];
    (read_arg(std::get<I>(args), in, slots[I], I), ...);
    const Desc roles = std::apply(describe, args);
    (find_role<A>(roles, slots[I], name), ...);
    (make_buffer(std::get<I>(args), roles, in, slots[I]), ...);
    const bool refuses = (slot_refuses(slots[I]) || ... || false);
    const int result = std::apply(fn, args);
    FUZZ_CHECK(kernel.sends <= 1 && kernel.answers <= 1, "more than one exchange", name);
    if (refuses)
        FUZZ_CHECK(kernel.waits == 0 && kernel.sends == 0, "refused call took the lock or sent", name);
    if (refuses || !answered()) FUZZ_CHECK(result == roles.failure, "failed call did not return its failure value", name);
    (check_slot(slots[I], answered() && !refuses, name), ...);
}

}  // namespace

// Each row once more, now describing itself instead of running.
namespace rows {
#define OP(name, command, params, request, reply) \
    static Desc describe_##name params { return Desc(command).request.reply; }
#include "api_ops.def"
#undef OP
}  // namespace rows

namespace {

template <class... A> constexpr size_t arity(int (*)(A...)) { return sizeof...(A); }

struct Operation {
    const char* name;
    void (*run)(Input&, const char*);
};

#define OP(name, command, params, request, reply)                                             \
    {#name, [](Input& in, const char* n) {                                                    \
         run_row(&::name, &rows::describe_##name, n, in, std::make_index_sequence<arity(&::name)>{}); \
     }},
const Operation kRows[] = {
#include "api_ops.def"
};
#undef OP

// ---- the operations written out by hand ----

// A text argument of any length (sometimes null), kept for the unchanged check.
struct TextArg {
    Guarded g;
    char* p = nullptr;
    size_t len = 0;
    char copy[2200] = {};
    TextArg(Input& in, size_t max = 2100) {
        p = fuzz_text(in, g, max);
        if (p) len = strlen(p), memcpy(copy, p, len + 1);
    }
    bool unchanged() const { return !p || (memcmp(p, copy, len + 1) == 0 && g.guard_intact()); }
    bool empty_or_null() const { return !p || !p[0]; }
};

void expect_unchanged(std::initializer_list<const TextArg*> texts, const char* name) {
    for (const TextArg* t : texts) FUZZ_CHECK(t->unchanged(), "input text changed", name);
}

template <class T> T* out(Input& in, Guarded& g, size_t size) { return reinterpret_cast<T*>(output(in, g, size)); }

const Operation kHand[] = {
    {"API_Video_GetPIRatio", [](Input& in, const char* name) {
         expect_outcome(API_Video_GetPIRatio(in.u8()), -1, false, name);
     }},
    {"API_Video_GetDeinterlace", [](Input& in, const char* name) {
         const unsigned char ch = in.u8();
         Guarded level;
         unsigned char* p = output(in, level, 1);
         expect_outcome(API_Video_GetDeinterlace(ch, p), -1, !p, name, {&level});
     }},
    {"API_Video_GetQP", [](Input& in, const char* name) {
         const unsigned char ch = in.u8();
         Guarded qi, qp;
         unsigned char* i = output(in, qi, 1);
         unsigned char* p = output(in, qp, 1);
         expect_outcome(API_Video_GetQP(ch, i, p), -1, !i || !p, name, {&qi, &qp});
     }},
    {"API_Video_SetJPGSnapShot", [](Input& in, const char* name) {
         const unsigned char ch = in.u8();
         const uint8_t how = in.u8();
         BufferEncode = how == 0xFF ? nullptr : &fuzz_record;
         const int32_t lens[4] = {0, 1, 102400, 102401};
         fuzz_record.JPGSnapLen = how < 0x40 ? lens[how & 3] : how < 0xC0 ? in.u16() : in.i32();
         Guarded buf;
         unsigned char* p = output(in, buf, sizeof fuzz_record.JPGBSnapBuffer);
         const int r = API_Video_SetJPGSnapShot(ch, p);
         expect_outcome(r, 0, !p, name, {&buf});
         const int32_t len = fuzz_record.JPGSnapLen;
         if (!BufferEncode || len < 0 || len > 102400)
             FUZZ_CHECK(r == 0 && buf.untouched(), "snapshot copied without a valid record", name);
     }},
    {"API_Net_GetFixIP", [](Input& in, const char* name) {
         Guarded g;
         char* p = out<char>(in, g, 32);
         expect_outcome(API_Net_GetFixIP(p), -1, !p, name, {&g});
     }},
    {"API_Net_SetNetConfig", [](Input& in, const char* name) {
         TextArg ip(in), mask(in), gw(in);
         const int r = API_Net_SetNetConfig(ip.p, mask.p, gw.p);
         expect_unchanged({&ip, &mask, &gw}, name);
         expect_outcome(r, 0, ip.empty_or_null() || mask.empty_or_null() || gw.empty_or_null(), name);
     }},
    {"API_Net_SetMacAddress", [](Input& in, const char* name) {
         TextArg mac(in);
         const int r = API_Net_SetMacAddress(mac.p);
         expect_unchanged({&mac}, name);
         expect_outcome(r, 0, !mac.p, name);
     }},
    {"API_Net_SetDNS", [](Input& in, const char* name) {
         const int n = in.number();
         TextArg ip(in);
         const int r = API_Net_SetDNS(n, ip.p);
         expect_unchanged({&ip}, name);
         expect_outcome(r, 0, ip.empty_or_null(), name);
     }},
    {"API_WLAN_SetWepKey", [](Input& in, const char* name) {
         const int id = in.number();
         TextArg key(in);
         const int r = API_WLAN_SetWepKey(id, key.p);
         expect_unchanged({&key}, name);
         expect_outcome(r, 0, !key.p, name);
     }},
    {"API_Linkway_GetMapStatus", [](Input& in, const char* name) {
         Guarded g;
         char* p = out<char>(in, g, 128);
         expect_outcome(API_Linkway_GetMapStatus(p), -1, !p, name, {&g});
     }},
    {"API_SNTP_Get_Zone", [](Input& in, const char* name) {
         Guarded g;
         char* p = out<char>(in, g, 64);
         expect_outcome(API_SNTP_Get_Zone(p), -1, !p, name, {&g});
     }},
    {"API_USER_SetAddUser", [](Input& in, const char* name) {
         const int level = in.number();
         TextArg user(in), pass(in);
         const int r = API_USER_SetAddUser(level, user.p, pass.p);
         expect_unchanged({&user, &pass}, name);
         expect_outcome(r, 0, !user.p || !pass.p, name);
     }},
    {"API_USER_SetChangePassword", [](Input& in, const char* name) {
         TextArg user(in), pass(in);
         const int r = API_USER_SetChangePassword(user.p, pass.p);
         expect_unchanged({&user, &pass}, name);
         expect_outcome(r, 0, !user.p || !pass.p, name);
     }},
    {"API_USER_Modify", [](Input& in, const char* name) {
         const int id = in.number(), level = in.number();
         TextArg user(in), pass(in);
         const int r = API_USER_Modify(id, level, user.p, pass.p);
         expect_unchanged({&user, &pass}, name);
         expect_outcome(r, -1, !user.p || !pass.p, name);
     }},
    {"API_USER_GetUserInfoByName", [](Input& in, const char* name) {
         TextArg user(in);
         Guarded lv, pass;
         int* level = out<int>(in, lv, sizeof(int));
         char* p = out<char>(in, pass, 128);
         const int r = API_USER_GetUserInfoByName(user.p, level, p);
         expect_unchanged({&user}, name);
         expect_outcome(r, -1, !user.p || !level || !p || user.len >= MSG_TEXT_SIZE, name, {&lv, &pass});
     }},
    {"API_USER_GetUserInfoByID", [](Input& in, const char* name) {
         const int id = in.number();
         Guarded lv, user, pass;
         int* level = out<int>(in, lv, sizeof(int));
         char* u = out<char>(in, user, 128);
         char* p = out<char>(in, pass, 128);
         expect_outcome(API_USER_GetUserInfoByID(id, level, u, p), -1, !level || !u || !p, name, {&lv, &user, &pass});
     }},
    {"API_SMTP_Send_Text", [](Input& in, const char* name) {
         TextArg subject(in, 100), content(in);
         const int r = API_SMTP_Send_Text(subject.p, content.p);
         expect_unchanged({&subject, &content}, name);
         expect_outcome(r, 0, !subject.p || !content.p || subject.len >= 64 || content.len >= MSG_TEXT_SIZE - 64, name);
     }},
    {"API_SMTP_Send_Attach", [](Input& in, const char* name) {
         TextArg subject(in), content(in), path(in);
         const int r = API_SMTP_Send_Attach(subject.p, content.p, path.p);
         expect_unchanged({&subject, &content, &path}, name);
         expect_outcome(r, 0, !subject.p || !content.p || !path.p, name);
     }},
    {"API_Net_FTPGetCommandPort", [](Input&, const char* name) {
         expect_outcome(API_Net_FTPGetCommandPort(), -1, false, name);
     }},
    {"API_System_Update", [](Input& in, const char* name) {
         TextArg file(in);
         const int len = in.number();
         const int r = API_System_Update(file.p, len);
         expect_unchanged({&file}, name);
         expect_outcome(r, 0, !file.p, name);
     }},
    {"API_EVENT_GetMotionRegion", [](Input& in, const char* name) {
         const int ch = in.number(), region = in.number();
         Guarded g[4];
         int* v[4];
         for (int i = 0; i < 4; ++i) v[i] = out<int>(in, g[i], sizeof(int));
         const int r = API_EVENT_GetMotionRegion(ch, region, v[0], v[1], v[2], v[3]);
         expect_outcome(r, -1, !v[0] || !v[1] || !v[2] || !v[3], name, {&g[0], &g[1], &g[2], &g[3]});
     }},
    {"API_EVENT_SetMotionRegion", [](Input& in, const char* name) {
         int v[6];
         for (int& x : v) x = in.number();
         expect_outcome(API_EVENT_SetMotionRegion(v[0], v[1], v[2], v[3], v[4], v[5]), 0, false, name);
     }},
    {"API_MOD_SetGPIOValueOut", [](Input& in, const char* name) {
         const int pin = in.number(), level = in.number();
         const int r = API_MOD_SetGPIOValueOut(pin, level);
         FUZZ_CHECK(kernel.waits <= 2 && kernel.sends <= 2, "more than two transactions", name);
         expect_outcome(r, 0, false, name);
     }},
    {"API_MOD_SetRecordList", [](Input& in, const char* name) {
         const int ch = in.number();
         const uint8_t how = in.u8();
         const int count = how < 0xF0 ? how % 40 : how < 0xFC ? in.u16() % 4200 : in.i32();
         Guarded list;
         const unsigned char* p = nullptr;
         if (count > 0 && count <= 4096 && in.u8() != 0xFF) {
             list.reset(static_cast<size_t>(count) * 8);
             for (size_t i = 0; i < list.size(); ++i) list.data()[i] = static_cast<unsigned char>(i * 7 + 3);
             in.bytes(list.data(), list.size() > 64 ? 64 : list.size());
             p = list.data();
         }
         static unsigned char before[4096 * 8];
         if (p) memcpy(before, p, list.size());
         const int r = API_MOD_SetRecordList(ch, count, reinterpret_cast<int*>(const_cast<unsigned char*>(p)));
         const bool refuses = count < 0 || count > 4096 || (count > 0 && !p);
         expect_outcome(r, refuses ? -1 : 0, refuses, name);
         if (p) FUZZ_CHECK(memcmp(p, before, list.size()) == 0 && list.guard_intact(), "caller's list changed", name);
         FUZZ_CHECK(refuses || kernel.sends <= 1 + (count + 11) / 12, "too many chunks", name);
     }},
    {"API_MOD_GetRecordList", [](Input& in, const char* name) {
         const int ch = in.number();
         Guarded cnt, list;
         int* c = out<int>(in, cnt, sizeof(int));
         int* p = out<int>(in, list, 4096 * 8);
         expect_outcome(API_MOD_GetRecordList(ch, c, p), -1, !c || !p, name, {&cnt, &list});
     }},
    // The IPC primitives: openers by key, and the exported waits and posts.
    {"MsgControlInit", [](Input&, const char* name) { FUZZ_CHECK(MsgControlInit() == kControlId || kernel.fail_step == kMsggetControl, "id", name); }},
    {"MsgResponseInit", [](Input&, const char* name) { FUZZ_CHECK(MsgResponseInit() == kResponseId || kernel.fail_step == kMsggetResponse, "id", name); }},
    {"MsgEventInit", [](Input&, const char* name) { FUZZ_CHECK(MsgEventInit() == kEventId, "id", name); }},
    {"SemAPIInit", [](Input&, const char* name) { FUZZ_CHECK(SemAPIInit() == kLockId || kernel.fail_step == kSemget, "id", name); }},
    {"SemSnapShotInit", [](Input&, const char* name) { FUZZ_CHECK(SemSnapShotInit() == kSnapshotId || kernel.fail_step == kSemget, "id", name); }},
    {"SemMotionHandleInit", [](Input&, const char* name) { FUZZ_CHECK(SemMotionHandleInit() == kMotionId || kernel.fail_step == kSemget, "id", name); }},
    {"SemAPIGet", [](Input& in, const char* name) {
         const int ids[4] = {kLockId, -1, kSnapshotId, static_cast<int>(in.i32())};
         const int id = ids[in.u8() % 4];
         const int before[3] = {kernel.sem[0], kernel.sem[1], kernel.sem[2]};
         FUZZ_CHECK(SemAPIGet(id) == 0, "wait result", name);
         if (memcmp(before, kernel.sem, sizeof before) != 0) FUZZ_CHECK(SemAPIPost(id) == 0, "post result", name);
     }},
    {"SemAPIPost", [](Input&, const char* name) {
         // A post only after a wait that took the lock: the caller's side.
         const int id = SemAPIInit();
         const int before = kernel.sem[0];
         FUZZ_CHECK(SemAPIGet(id) == 0, "wait result", name);
         if (kernel.sem[0] != before) FUZZ_CHECK(SemAPIPost(id) == 0, "post result", name);
     }},
    {"SemSnapShotGet", [](Input&, const char* name) {
         FUZZ_CHECK(SemSnapShotGet(kSnapshotId) == 0 && SemSnapShotPost(kSnapshotId) == 0, "result", name);
     }},
    {"SemSnapShotPost", [](Input&, const char* name) {
         const int id = SemSnapShotInit();
         FUZZ_CHECK(SemSnapShotGet(id) == 0 && SemSnapShotPost(id) == 0, "result", name);
     }},
    {"SemMotionHandleGet", [](Input&, const char* name) {
         FUZZ_CHECK(SemMotionHandleGet(kMotionId) == 0 && SemMotionHandlePost(kMotionId) == 0, "result", name);
     }},
    {"SemMotionHandlePost", [](Input&, const char* name) {
         const int id = SemMotionHandleInit();
         FUZZ_CHECK(SemMotionHandleGet(id) == 0 && SemMotionHandlePost(id) == 0, "result", name);
     }},
};

constexpr size_t kRowCount = sizeof kRows / sizeof kRows[0];
constexpr size_t kHandCount = sizeof kHand / sizeof kHand[0];

const Operation& operation(size_t i) { return i < kRowCount ? kRows[i] : kHand[i - kRowCount]; }

}  // namespace

const char* const* fuzz_names() {
    static const char* names[kRowCount + kHandCount + 3];
    for (size_t i = 0; i < kRowCount + kHandCount; ++i) names[i] = operation(i).name;
    names[kRowCount + kHandCount] = "MORIK_SIZE_T";  // data: read below
    names[kRowCount + kHandCount + 1] = nullptr;
    return names;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        for (size_t i = 0; i < sizeof fuzz_record.JPGBSnapBuffer; ++i)
            fuzz_record.JPGBSnapBuffer[i] = static_cast<char>(i * 13 + 1);
        return true;
    }();
    (void)once;
    FUZZ_CHECK(MORIK_SIZE_T[9][0] == 0 && MORIK_SIZE_T[9][1] == 0 && MORIK_SIZE_T[0][0] == 352,
               "frame-size table changed", "MORIK_SIZE_T");
    Input in(data, size);
    kernel.reset(&in);
    for (int n = 0; n < 4 && !in.empty(); ++n) {
        const size_t pick = in.u16() % (kRowCount + kHandCount);
        kernel.begin_op();
        const Operation& op = operation(pick);
        op.run(in, op.name);
        if (fuzz_verbose)
            dprintf(fuzz_diag_fd, "  %s: %d waits, %d requests, %d answers\n", op.name, kernel.waits, kernel.sends,
                    kernel.answers);
        kernel.end_op();
    }
    return 0;
}
