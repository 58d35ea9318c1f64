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
//   - when no answer arrived, the result is the failure value and the
//     caller's outputs are untouched;
//   - ordinary operations (one row each in api_ops.def) send exactly the
//     request their row states and give exactly the result and outputs their
//     reply kind makes of the answer.
//
// Input: up to four operations, each: operation (2 bytes), fault plan, stale
// replies, the operation's arguments, then one reply plan per request sent.
#define FUZZ_TARGET "ops"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>

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

// The answer's mtext as the operation sees it: bytes past the received
// length are zero, and a NUL follows the 2018 bytes.
struct Answer {
    char m[MSG_TEXT_SIZE + 1];
};
Answer answer_of(int k) {
    Answer a;
    memcpy(a.m, kernel.delivered[k].payload + 4, MSG_TEXT_SIZE);
    a.m[MSG_TEXT_SIZE] = 0;
    return a;
}
bool answered(int k = 0) { return kernel.answers > k; }

// The request `k` carried `command` and exactly `n` bytes of `mtext`, zeros after.
void expect_request(int k, int command, const void* mtext, size_t n, const char* name) {
    FUZZ_CHECK(kernel.sends > k, "request missing", name);
    const Sent& s = kernel.sent[k];
    FUZZ_CHECK(s.command == command, "wrong command", name);
    FUZZ_CHECK(memcmp(s.mtext, mtext, n) == 0, "wrong request bytes", name);
    for (size_t i = n; i < MSG_TEXT_SIZE; ++i)
        FUZZ_CHECK(s.mtext[i] == 0, "stray request byte", name);
}

// The same for bounded formatted text: at most 2016 characters and a NUL.
void expect_format(int k, int command, const char* name, const char* format, ...) {
    char m[MSG_TEXT_SIZE] = {};
    va_list args;
    va_start(args, format);
    vsnprintf(m, MSG_TEXT_SIZE - 1, format, args);
    va_end(args);
    expect_request(k, command, m, MSG_TEXT_SIZE, name);
}

// Nothing was sent and the lock was not taken.
void expect_refused(const char* name) {
    FUZZ_CHECK(kernel.waits == 0 && kernel.sends == 0, "refused call took the lock or sent", name);
}

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

// ---- ordinary operations, one row each ----

enum class Req { None, Bytes, Int32, Block, ChanBlock, Dec, ChanDec, Str, Copy, Format };
enum class Rep { Ack, Byte, SByte, Int, Decimal, Text, Block };

// A row's request and reply, built from the row itself with the same words
// as the library's builder (see api_ops.def).
struct Desc {
    int command;
    Req req = Req::None;
    int nbytes = 0;
    long long a[3] = {0, 0, 0};
    const void* in = nullptr;  // the caller's text or record
    unsigned in_size = 0;
    unsigned char record[96] = {};  // the record's bytes when the row was read
    const char* format_text = nullptr;
    Rep rep = Rep::Ack;
    int ok = 1, failure = -1;
    void* out = nullptr;
    unsigned out_size = 0;

    explicit Desc(int c) : command(c) {}
    Desc& none() { return *this; }
    Desc& bytes(long long x) { return set(Req::Bytes, x), nbytes = 1, *this; }
    Desc& bytes(long long x, long long y) { return set(Req::Bytes, x, y), nbytes = 2, *this; }
    Desc& bytes(long long x, long long y, long long z) { return set(Req::Bytes, x, y, z), nbytes = 3, *this; }
    Desc& raw(int v) { return set(Req::Int32, v), *this; }
    Desc& raw(const void* r, unsigned n) { return set(Req::Block), keep(r, n), *this; }
    Desc& raw(int ch, const void* r, unsigned n) { return set(Req::ChanBlock, ch), keep(r, n), *this; }
    Desc& dec(int v) { return set(Req::Dec, v), *this; }
    Desc& dec(int ch, int v) { return set(Req::ChanDec, ch, v), *this; }
    Desc& str(const char* t) { return set(Req::Str), in = t, *this; }
    Desc& copy(const char* t) { return set(Req::Copy), in = t, *this; }
    Desc& format(const char* f, int x, int y = 0, int z = 0) {
        return set(Req::Format, x, y, z), format_text = f, *this;
    }
    Desc ack(int o = 1, int f = 0) { return reply(Rep::Ack, o, f); }
    Desc byte() { return reply(Rep::Byte, 0, -1); }
    Desc sbyte() { return reply(Rep::SByte, 0, -1); }
    Desc integer() { return reply(Rep::Int, 0, -1); }
    Desc decimal() { return reply(Rep::Decimal, 0, -1); }
    Desc text(char* b, unsigned n, int o = 0) { return out = b, out_size = n, reply(Rep::Text, o, -1); }
    Desc block(void* r, unsigned n) { return out = r, out_size = n, reply(Rep::Block, 0, -1); }

private:
    // A record passed by value lives only as long as the row's call.
    void keep(const void* r, unsigned n) {
        in = r, in_size = n;
        if (r && n <= sizeof record) memcpy(record, r, n);
    }
    void set(Req r, long long x = 0, long long y = 0, long long z = 0) { req = r, a[0] = x, a[1] = y, a[2] = z; }
    Desc reply(Rep r, int o, int f) { return rep = r, ok = o, failure = f, *this; }
};

// The request a row must send; false when it must refuse (nothing sent).
bool row_request(const Desc& d, char* m) {
    memset(m, 0, MSG_TEXT_SIZE);
    if ((d.rep == Rep::Text || d.rep == Rep::Block) && !d.out) return false;
    switch (d.req) {
    case Req::None: return true;
    case Req::Bytes:
        for (int i = 0; i < d.nbytes; ++i) m[i] = static_cast<char>(d.a[i]);
        return true;
    case Req::Int32: {
        const int32_t v = static_cast<int32_t>(d.a[0]);
        memcpy(m, &v, 4);
        return true;
    }
    case Req::Block: return d.in && (memcpy(m, d.record, d.in_size), true);
    case Req::ChanBlock: return d.in && (m[0] = static_cast<char>(d.a[0]), memcpy(m + 1, d.record, d.in_size), true);
    case Req::Dec: return sprintf(m, "%d", static_cast<int>(d.a[0])), true;
    case Req::ChanDec: return m[0] = static_cast<char>(d.a[0]), sprintf(m + 1, "%d", static_cast<int>(d.a[1])), true;
    case Req::Str: case Req::Copy: {
        if (!d.in) return false;
        const size_t len = strlen(static_cast<const char*>(d.in));
        return len < MSG_TEXT_SIZE && (memcpy(m, d.in, len + 1), true);
    }
    case Req::Format:
        return snprintf(m, MSG_TEXT_SIZE - 1, d.format_text, static_cast<int>(d.a[0]),
                        static_cast<int>(d.a[1]), static_cast<int>(d.a[2])) >= 0;
    }
    return false;
}

// The result a row must give for the answer; `copy` is what lands in the
// caller's output (length in `copied`).
int row_result(const Desc& d, const Answer& a, size_t& copied) {
    const auto* u = reinterpret_cast<const unsigned char*>(a.m);
    copied = 0;
    switch (d.rep) {
    case Rep::Ack: return d.ok;
    case Rep::Byte: return u[0];
    case Rep::SByte: return static_cast<signed char>(u[0]);
    case Rep::Int: {
        int32_t v;
        memcpy(&v, a.m, 4);
        return v;
    }
    case Rep::Decimal: {
        int v;
        return sscanf(a.m, "%d", &v) == 1 ? v : -1;
    }
    case Rep::Text: {
        const size_t len = strnlen(a.m, MSG_TEXT_SIZE);
        if (len >= MSG_TEXT_SIZE || len >= d.out_size) return -1;
        copied = len + 1;
        return d.ok;
    }
    case Rep::Block: copied = d.out_size; return 0;
    }
    return -1;
}

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
        s.role = in && out ? Slot::InOut
                 : out     ? Slot::Out
                 : (d.req == Req::Str || d.req == Req::Copy) ? Slot::Text
                           : Slot::In;
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

void check_slot(const Slot& s, bool wrote, const Answer& a, size_t copied, const char* name) {
    if (s.role == Slot::Value || !s.ptr) return;
    expect_kept(s.buf, name);
    const unsigned char* now = s.buf.data();
    if (s.role == Slot::Text || s.role == Slot::In || !wrote) {
        FUZZ_CHECK(memcmp(now, s.before, s.before_len) == 0, "caller's buffer changed", name);
        return;
    }
    FUZZ_CHECK(memcmp(now, a.m, copied) == 0, "output is not the answer", name);
    FUZZ_CHECK(memcmp(now + copied, s.before + copied, s.before_len - copied) == 0,
               "output written past the answer", name);
}

template <class... A, size_t... I>
void run_row(int (*fn)(A...), Desc (*describe)(A...), const char* name, Input& in,
             std::index_sequence<I...>) {
    std::tuple<std::remove_cv_t<A>...> args{};
    Slot slots[sizeof...(A) + 1];
    (read_arg(std::get<I>(args), in, slots[I], I), ...);
    const Desc roles = std::apply(describe, args);
    (void)roles;
    (find_role<A>(roles, slots[I], name), ...);
    (make_buffer(std::get<I>(args), roles, in, slots[I]), ...);
    const Desc d = std::apply(describe, args);
    char expected[MSG_TEXT_SIZE];
    const bool sends = row_request(d, expected);
    const int result = std::apply(fn, args);
    Answer a{};
    size_t copied = 0;
    const bool got = answered();
    if (!sends) {
        expect_refused(name);
    } else if (kernel.sends > 0) {
        expect_request(0, d.command, expected, MSG_TEXT_SIZE, name);
    }
    FUZZ_CHECK(kernel.sends <= 1 && kernel.answers <= 1, "more than one exchange", name);
    int want = d.failure;
    if (got) {
        a = answer_of(0);
        want = row_result(d, a, copied);
    }
    FUZZ_CHECK(result == want, "wrong result", name);
    (check_slot(slots[I], got && copied > 0, a, copied, name), ...);
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

// Sets of the shape "format the arguments, send, 1 when answered, else 0".
int sent_or_not(int r, const char* name) {
    FUZZ_CHECK(r == (answered() ? 1 : 0), "wrong result", name);
    return r;
}

// A single text answer into a buffer of `size`: what a text reply kind makes of it.
void expect_text_reply(int r, const Guarded& out, size_t size, int ok, const char* name) {
    expect_kept(out, name);
    if (!answered()) {
        FUZZ_CHECK(r == -1 && out.untouched(), "unanswered text call wrote or succeeded", name);
        return;
    }
    const Answer a = answer_of(0);
    const size_t len = strnlen(a.m, MSG_TEXT_SIZE);
    if (len >= MSG_TEXT_SIZE || len >= size) {
        FUZZ_CHECK(r == -1 && out.untouched(), "text that does not fit was copied", name);
        return;
    }
    FUZZ_CHECK(r == ok, "wrong result", name);
    FUZZ_CHECK(memcmp(out.data(), a.m, len + 1) == 0 && out.untouched_from(len + 1),
               "text output is not the answer", name);
}

// The credential answer as the look-ups split it: false when refused.
bool split_account(const char* answer, char* name, char* pass, int* level) {
    if (strnlen(answer, 256) >= 256) return false;
    const char* first = strchr(answer, ':');
    const char* last = strrchr(answer, ':');
    const size_t nlen = first ? static_cast<size_t>(first - answer) : 0;
    const size_t plen = first && last > first ? static_cast<size_t>(last - first - 1) : 0;
    if (nlen >= 128 || plen >= 128) return false;
    memcpy(name, answer, nlen), name[nlen] = 0;
    memcpy(pass, first ? first + 1 : answer, plen), pass[plen] = 0;
    *level = first ? atoi(last + 1) : 0;
    return true;
}

void check_account(int r, const char* user_out, const Guarded* user, const Guarded& pass,
                   const int* level, int level_before, const char* name) {
    expect_kept(pass, name);
    char n[256], p[256];
    int lv = 0;
    const bool ok = answered() && split_account(answer_of(0).m, n, p, &lv);
    if (!ok) {
        FUZZ_CHECK(r == -1 && pass.untouched() && *level == level_before && (!user || user->untouched()),
                   "failed look-up wrote outputs", name);
        return;
    }
    FUZZ_CHECK(r == 0 && *level == lv, "wrong look-up result or level", name);
    FUZZ_CHECK(strcmp(reinterpret_cast<const char*>(pass.data()), p) == 0 &&
                   pass.untouched_from(strlen(p) + 1), "wrong password output", name);
    if (user)
        FUZZ_CHECK(strcmp(user_out, n) == 0 && user->untouched_from(strlen(n) + 1), "wrong user output", name);
}

int channel(Input& in) { return in.number(); }

const Operation kHand[] = {
    {"API_Video_GetPIRatio", [](Input& in, const char* name) {
         const unsigned char ch = static_cast<unsigned char>(in.u8());
         const int r = API_Video_GetPIRatio(ch);
         const unsigned char req[1] = {ch};
         if (kernel.sends) expect_request(0, 8, req, 1, name);
         int v;
         const int want = !answered() ? -1 : sscanf(answer_of(0).m, "%d", &v) == 1 ? v : -1;
         FUZZ_CHECK(r == want, "wrong result", name);
     }},
    {"API_Video_GetDeinterlace", [](Input& in, const char* name) {
         const unsigned char ch = in.u8();
         Guarded level;
         unsigned char* p = output(in, level, 1);
         const int r = API_Video_GetDeinterlace(ch, p);
         if (!p) return FUZZ_CHECK(r == -1, "null level accepted", name), expect_refused(name);
         expect_kept(level, name);
         if (kernel.sends) expect_request(0, 159, &ch, 1, name);
         if (!answered()) return FUZZ_CHECK(r == -1 && level.untouched(), "unanswered get wrote", name);
         const Answer a = answer_of(0);
         FUZZ_CHECK(r == static_cast<unsigned char>(a.m[0]) && p[0] == static_cast<unsigned char>(a.m[1]),
                    "wrong mode or level", name);
     }},
    {"API_Video_GetQP", [](Input& in, const char* name) {
         const unsigned char ch = in.u8();
         Guarded qi, qp;
         unsigned char* i = output(in, qi, 1);
         unsigned char* p = output(in, qp, 1);
         const int r = API_Video_GetQP(ch, i, p);
         if (!i || !p) return FUZZ_CHECK(r == -1, "null output accepted", name), expect_refused(name);
         expect_kept(qi, name), expect_kept(qp, name);
         if (kernel.sends) expect_request(0, 331, &ch, 1, name);
         if (!answered()) return FUZZ_CHECK(r == -1 && qi.untouched() && qp.untouched(), "unanswered get wrote", name);
         int v[2];
         const int found = sscanf(answer_of(0).m, "%d,%d", &v[0], &v[1]);
         FUZZ_CHECK(r == 1, "wrong result", name);
         FUZZ_CHECK(found >= 1 ? i[0] == static_cast<unsigned char>(v[0]) : qi.untouched(), "wrong I value", name);
         FUZZ_CHECK(found >= 2 ? p[0] == static_cast<unsigned char>(v[1]) : qp.untouched(), "wrong P value", name);
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
         if (!p) return FUZZ_CHECK(r == 0, "null buffer accepted", name), expect_refused(name);
         expect_kept(buf, name);
         if (kernel.sends) expect_request(0, 17, &ch, 1, name);
         const int32_t len = fuzz_record.JPGSnapLen;
         const bool copies = answered() && BufferEncode && len >= 0 && len <= 102400;
         if (!copies) return FUZZ_CHECK(r == 0 && buf.untouched(), "snapshot copied without a valid record", name);
         FUZZ_CHECK(r == len && memcmp(p, fuzz_record.JPGBSnapBuffer, static_cast<size_t>(len)) == 0 &&
                        buf.untouched_from(static_cast<size_t>(len)), "wrong snapshot copy", name);
     }},
    {"API_Net_GetFixIP", [](Input& in, const char* name) {
         Guarded out;
         char* p = reinterpret_cast<char*>(output(in, out, 32));
         const int r = API_Net_GetFixIP(p);
         if (!p) return FUZZ_CHECK(r == -1, "null buffer accepted", name), expect_refused(name);
         if (kernel.sends) expect_request(0, 23, "", 0, name);
         expect_text_reply(r, out, 32, 0, name);
     }},
    {"API_Net_SetNetConfig", [](Input& in, const char* name) {
         TextArg ip(in), mask(in), gw(in);
         const int r = API_Net_SetNetConfig(ip.p, mask.p, gw.p);
         FUZZ_CHECK(ip.unchanged() && mask.unchanged() && gw.unchanged(), "input text changed", name);
         if (ip.empty_or_null() || mask.empty_or_null() || gw.empty_or_null())
             return FUZZ_CHECK(r == 0, "empty text accepted", name), expect_refused(name);
         if (kernel.sends) expect_format(0, 27, name, "%s,%s,%s", ip.p, mask.p, gw.p);
         sent_or_not(r, name);
     }},
    {"API_Net_SetMacAddress", [](Input& in, const char* name) {
         TextArg mac(in);
         const int r = API_Net_SetMacAddress(mac.p);
         FUZZ_CHECK(mac.unchanged(), "input text changed", name);
         if (!mac.p) return FUZZ_CHECK(r == 0, "null accepted", name), expect_refused(name);
         if (kernel.sends) expect_format(0, 28, name, "%s", mac.p);
         sent_or_not(r, name);
     }},
    {"API_Net_SetDNS", [](Input& in, const char* name) {
         const int n = in.number();
         TextArg ip(in);
         const int r = API_Net_SetDNS(n, ip.p);
         FUZZ_CHECK(ip.unchanged(), "input text changed", name);
         if (ip.empty_or_null()) return FUZZ_CHECK(r == 0, "empty server accepted", name), expect_refused(name);
         if (kernel.sends) expect_format(0, 30, name, "%d,%s", n, ip.p);
         sent_or_not(r, name);
     }},
    {"API_WLAN_SetWepKey", [](Input& in, const char* name) {
         const int id = in.number();
         TextArg key(in);
         const int r = API_WLAN_SetWepKey(id, key.p);
         FUZZ_CHECK(key.unchanged(), "input text changed", name);
         if (!key.p) return FUZZ_CHECK(r == 0, "null key accepted", name), expect_refused(name);
         if (kernel.sends) expect_format(0, 123, name, "%d,%s", id, key.p);
         sent_or_not(r, name);
     }},
    {"API_Linkway_GetMapStatus", [](Input& in, const char* name) {
         Guarded out;
         char* p = reinterpret_cast<char*>(output(in, out, 128));
         const int r = API_Linkway_GetMapStatus(p);
         if (!p) return FUZZ_CHECK(r == -1, "null buffer accepted", name), expect_refused(name);
         if (kernel.sends) expect_request(0, 386, "", 0, name);
         expect_kept(out, name);
         if (answered() && strlen(answer_of(0).m) < 2) {
             FUZZ_CHECK(r == 0 && p[0] == 0 && out.untouched_from(1), "short status not one NUL", name);
             return;
         }
         expect_text_reply(r, out, 128, 0, name);
     }},
    {"API_SNTP_Get_Zone", [](Input& in, const char* name) {
         // The first word, into 64 bytes; a longer word is refused.
         Guarded out;
         char* p = reinterpret_cast<char*>(output(in, out, 64));
         const int r = API_SNTP_Get_Zone(p);
         if (!p) return FUZZ_CHECK(r == -1, "null buffer accepted", name), expect_refused(name);
         expect_kept(out, name);
         if (kernel.sends) expect_request(0, 33, "", 0, name);
         if (!answered()) return FUZZ_CHECK(r == -1 && out.untouched(), "unanswered get wrote", name);
         char word[MSG_TEXT_SIZE + 1];
         if (sscanf(answer_of(0).m, "%s", word) != 1)
             return FUZZ_CHECK(r == 0 && out.untouched(), "no word, yet the buffer changed", name);
         if (strlen(word) >= 64) return FUZZ_CHECK(r == -1 && out.untouched(), "over-long zone word copied", name);
         FUZZ_CHECK(r == 0 && strcmp(p, word) == 0 && out.untouched_from(strlen(word) + 1), "wrong zone word", name);
     }},
    {"API_USER_SetAddUser", [](Input& in, const char* name) {
         const int level = in.number();
         TextArg user(in), pass(in);
         const int r = API_USER_SetAddUser(level, user.p, pass.p);
         FUZZ_CHECK(user.unchanged() && pass.unchanged(), "input text changed", name);
         if (!user.p || !pass.p) return FUZZ_CHECK(r == 0, "null accepted", name), expect_refused(name);
         if (kernel.sends) expect_format(0, 214, name, "%s:%s:%d", user.p, pass.p, level);
         sent_or_not(r, name);
     }},
    {"API_USER_SetChangePassword", [](Input& in, const char* name) {
         TextArg user(in), pass(in);
         const int r = API_USER_SetChangePassword(user.p, pass.p);
         FUZZ_CHECK(user.unchanged() && pass.unchanged(), "input text changed", name);
         if (!user.p || !pass.p) return FUZZ_CHECK(r == 0, "null accepted", name), expect_refused(name);
         if (kernel.sends) expect_format(0, 216, name, "%s,%s", user.p, pass.p);
         sent_or_not(r, name);
     }},
    {"API_USER_Modify", [](Input& in, const char* name) {
         const int id = in.number(), level = in.number();
         TextArg user(in), pass(in);
         const int r = API_USER_Modify(id, level, user.p, pass.p);
         FUZZ_CHECK(user.unchanged() && pass.unchanged(), "input text changed", name);
         if (!user.p || !pass.p) return FUZZ_CHECK(r == -1, "null accepted", name), expect_refused(name);
         if (kernel.sends) expect_format(0, 219, name, "%d:%d:%s:%s", id, level, user.p, pass.p);
         FUZZ_CHECK(r == (answered() ? 0 : -1), "wrong result", name);
     }},
    {"API_USER_GetUserInfoByName", [](Input& in, const char* name) {
         TextArg user(in);
         Guarded lv, pass;
         int* level = reinterpret_cast<int*>(output(in, lv, sizeof(int)));
         char* p = reinterpret_cast<char*>(output(in, pass, 128));
         int before = 0;
         if (level) memcpy(&before, level, sizeof before);
         const int r = API_USER_GetUserInfoByName(user.p, level, p);
         FUZZ_CHECK(user.unchanged(), "input text changed", name);
         if (!user.p || !level || !p || user.len >= MSG_TEXT_SIZE)
             return FUZZ_CHECK(r == -1, "refusable look-up accepted", name), expect_refused(name);
         if (kernel.sends) expect_request(0, 217, user.p, user.len + 1, name);
         expect_kept(lv, name);
         check_account(r, nullptr, nullptr, pass, level, before, name);
     }},
    {"API_USER_GetUserInfoByID", [](Input& in, const char* name) {
         const int id = in.number();
         Guarded lv, user, pass;
         int* level = reinterpret_cast<int*>(output(in, lv, sizeof(int)));
         char* u = reinterpret_cast<char*>(output(in, user, 128));
         char* p = reinterpret_cast<char*>(output(in, pass, 128));
         int before = 0;
         if (level) memcpy(&before, level, sizeof before);
         const int r = API_USER_GetUserInfoByID(id, level, u, p);
         if (!level || !u || !p) return FUZZ_CHECK(r == -1, "null output accepted", name), expect_refused(name);
         const unsigned char req[1] = {static_cast<unsigned char>(id)};
         if (kernel.sends) expect_request(0, 218, req, 1, name);
         expect_kept(lv, name), expect_kept(user, name);
         check_account(r, u, &user, pass, level, before, name);
     }},
    {"API_SMTP_Send_Text", [](Input& in, const char* name) {
         TextArg subject(in, 100), content(in);
         const int r = API_SMTP_Send_Text(subject.p, content.p);
         FUZZ_CHECK(subject.unchanged() && content.unchanged(), "input text changed", name);
         if (!subject.p || !content.p || subject.len >= 64 || content.len >= MSG_TEXT_SIZE - 64)
             return FUZZ_CHECK(r == 0, "text too long accepted", name), expect_refused(name);
         if (kernel.sends) {
             char m[MSG_TEXT_SIZE] = {};
             memcpy(m, subject.p, subject.len + 1);
             memcpy(m + 64, content.p, content.len + 1);
             expect_request(0, 64, m, MSG_TEXT_SIZE, name);
         }
         sent_or_not(r, name);
     }},
    {"API_SMTP_Send_Attach", [](Input& in, const char* name) {
         TextArg subject(in), content(in), path(in);
         const int r = API_SMTP_Send_Attach(subject.p, content.p, path.p);
         FUZZ_CHECK(subject.unchanged() && content.unchanged() && path.unchanged(), "input text changed", name);
         if (!subject.p || !content.p || !path.p) return FUZZ_CHECK(r == 0, "null accepted", name), expect_refused(name);
         if (kernel.sends) expect_format(0, 65, name, "%s,%s,%s", subject.p, content.p, path.p);
         sent_or_not(r, name);
     }},
    {"API_Net_FTPGetCommandPort", [](Input&, const char* name) {
         const int r = API_Net_FTPGetCommandPort();
         if (kernel.sends) expect_request(0, 74, "", 0, name);
         int port;
         const int want = answered() && sscanf(answer_of(0).m, "%d", &port) == 1 ? port & 0xFF : -1;
         FUZZ_CHECK(r == want, "wrong port", name);
     }},
    {"API_System_Update", [](Input& in, const char* name) {
         TextArg file(in);
         const int len = in.number();
         const int r = API_System_Update(file.p, len);
         FUZZ_CHECK(file.unchanged(), "input text changed", name);
         if (!file.p) return FUZZ_CHECK(r == 0, "null accepted", name), expect_refused(name);
         if (kernel.sends) expect_format(0, 144, name, "%s,%d", file.p, len);
         sent_or_not(r, name);
     }},
    {"API_EVENT_GetMotionRegion", [](Input& in, const char* name) {
         const int ch = channel(in), region = in.number();
         Guarded g[4];
         int* v[4];
         for (int i = 0; i < 4; ++i) v[i] = reinterpret_cast<int*>(output(in, g[i], sizeof(int)));
         const int r = API_EVENT_GetMotionRegion(ch, region, v[0], v[1], v[2], v[3]);
         if (!v[0] || !v[1] || !v[2] || !v[3]) return FUZZ_CHECK(r == -1, "null accepted", name), expect_refused(name);
         const unsigned char req[2] = {static_cast<unsigned char>(ch), static_cast<unsigned char>(region)};
         if (kernel.sends) expect_request(0, 178, req, 2, name);
         for (auto& b : g) expect_kept(b, name);
         int want[4];
         const int found = answered() ? sscanf(answer_of(0).m, "%d,%d,%d,%d", &want[0], &want[1], &want[2], &want[3]) : 0;
         FUZZ_CHECK(r == (found == 4 ? 0 : -1), "wrong result", name);
         for (int i = 0; i < 4; ++i)
             FUZZ_CHECK(i < found ? memcmp(v[i], &want[i], sizeof(int)) == 0 : g[i].untouched(), "wrong corner", name);
     }},
    {"API_EVENT_SetMotionRegion", [](Input& in, const char* name) {
         int v[6];
         for (int& x : v) x = in.number();
         const int r = API_EVENT_SetMotionRegion(v[0], v[1], v[2], v[3], v[4], v[5]);
         if (kernel.sends) expect_format(0, 179, name, "%d,%d,%d,%d,%d,%d", v[0], v[1], v[2], v[3], v[4], v[5]);
         sent_or_not(r, name);
     }},
    {"API_MOD_SetGPIOValueOut", [](Input& in, const char* name) {
         const int pin = in.number(), level = in.number();
         const int r = API_MOD_SetGPIOValueOut(pin, level);
         const unsigned char req[2] = {static_cast<unsigned char>(pin), static_cast<unsigned char>(level)};
         FUZZ_CHECK(kernel.waits <= 2 && kernel.sends <= 2, "more than two transactions", name);
         // The line's value first (247), then the output itself (173), each
         // under its own hold; the result is the second one's alone.
         int second = -1;
         for (int k = 0; k < kernel.sends; ++k) {
             const int command = kernel.sent[k].command;
             FUZZ_CHECK(command == (k == 0 && command == 247 ? 247 : 173), "wrong order of requests", name);
             expect_request(k, command, req, 2, name);
             if (command == 173) second = k;
         }
         FUZZ_CHECK(r == (second >= 0 && kernel.got[second] ? 1 : 0), "wrong result", name);
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
         unsigned char before[4096 * 8];
         if (p) memcpy(before, p, list.size());
         const int r = API_MOD_SetRecordList(ch, count, reinterpret_cast<int*>(const_cast<unsigned char*>(p)));
         if (count < 0 || count > 4096 || (count > 0 && !p))
             return FUZZ_CHECK(r == -1, "bad list accepted", name), expect_refused(name);
         if (p) FUZZ_CHECK(memcmp(p, before, list.size()) == 0 && list.guard_intact(), "caller's list changed", name);
         int32_t head[2] = {ch, count};
         if (kernel.sends) expect_request(0, 259, head, 8, name);
         for (int k = 1; k < kernel.sends; ++k) {
             const int first = (k - 1) * 12, n = count - first < 12 ? count - first : 12;
             unsigned char m[8 + 96];
             memcpy(m, &ch, 4), memcpy(m + 4, &first, 4);
             memcpy(m + 8, p + first * 8, static_cast<size_t>(n) * 8);
             expect_request(k, 257, m, 8 + static_cast<size_t>(n) * 8, name);
         }
         const int exchanges = 1 + (count + 11) / 12;
         const int want = kernel.answers == exchanges ? 1 : kernel.answers == 0 ? 0 : -1;
         FUZZ_CHECK(kernel.sends <= exchanges, "too many chunks", name);
         FUZZ_CHECK(r == want, "wrong result", name);
     }},
    {"API_MOD_GetRecordList", [](Input& in, const char* name) {
         const int ch = in.number();
         Guarded cnt, list;
         int* c = reinterpret_cast<int*>(output(in, cnt, sizeof(int)));
         unsigned char* p = output(in, list, 4096 * 8);
         const int r = API_MOD_GetRecordList(ch, c, reinterpret_cast<int*>(p));
         if (!c || !p) return FUZZ_CHECK(r == -1, "null accepted", name), expect_refused(name);
         expect_kept(cnt, name), expect_kept(list, name);
         const unsigned char head[1] = {static_cast<unsigned char>(ch)};
         if (kernel.sends) expect_request(0, 260, head, 1, name);
         int32_t count = 0;
         if (answered()) memcpy(&count, answer_of(0).m, 4);
         if (!answered() || count < 0 || count > 4096)
             return FUZZ_CHECK(r == -1 && cnt.untouched() && list.untouched() && kernel.sends <= 1,
                               "refused count wrote outputs", name);
         FUZZ_CHECK(*c == count, "count not stored", name);
         for (int k = 1; k < kernel.sends; ++k) {
             int32_t m[2] = {ch, (k - 1) * 12};
             expect_request(k, 258, m, 8, name);
         }
         size_t filled = 0;
         for (int k = 1; k < kernel.answers; ++k) {
             const int first = (k - 1) * 12, n = count - first < 12 ? count - first : 12;
             FUZZ_CHECK(memcmp(p + first * 8, answer_of(k).m, static_cast<size_t>(n) * 8) == 0, "wrong records", name);
             filled = static_cast<size_t>(first + n) * 8;
         }
         FUZZ_CHECK(list.untouched_from(filled), "records written past those received", name);
         const int exchanges = 1 + (count + 11) / 12;
         FUZZ_CHECK(r == (kernel.answers == exchanges ? 1 : -1), "wrong result", name);
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
