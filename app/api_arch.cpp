// The camera's configuration and control API.
//
// Almost every exported operation is one transaction with the control daemon:
// under the API lock, one request record goes to the control queue and the
// first type-2 record on the response queue is its answer. The transaction is
// written once, in the engine below; an ordinary operation is one row of
// api_ops.def that names its command, how its arguments fill the request and
// how the reply becomes its result. Operations that do more are written out by
// hand in the sections that follow, on the same engine.
//
// No exceptions, no RTTI, no heap on the transaction path, nothing from the
// C++ runtime: the library needs the C library and libcrypt only.

#include "api_arch.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>

#define API_EXPORT extern "C" __attribute__((visibility("default")))
#define API_NOINLINE __attribute__((noinline))
#define API_INLINE __attribute__((always_inline)) inline

// Trace lines start with the source unit's path (relative to the project root,
// the build maps the prefix away) and the line of the trace.
#define API_TRACE_HERE() printf("%s==%d:\t", __FILE__, __LINE__)

// ===========================================================================
// Message transport: IPC keys and locks
// ===========================================================================

namespace {

int sem_step(int id, short delta, short flags) {
    struct sembuf step = {0, delta, flags};
    return semop(id, &step, 1);
}

int open_queue(key_t key) { return msgget(key, IPC_PERM_WORD); }
int open_sem(key_t key) { return semget(key, 1, IPC_PERM_WORD); }

}  // namespace

API_EXPORT int MsgControlInit(void) { return open_queue(MSG_CONTROL_KEY); }
API_EXPORT int MsgResponseInit(void) { return open_queue(MSG_RESPONSE_KEY); }
API_EXPORT int MsgEventInit(void) { return open_queue(MSG_EVENT_KEY); }

API_EXPORT int SemAPIInit(void) { return open_sem(SEM_API_KEY); }
API_EXPORT int SemSnapShotInit(void) { return open_sem(SEM_SNAPSHOT_KEY); }
API_EXPORT int SemMotionHandleInit(void) { return open_sem(SEM_MOTION_HANDLE_KEY); }

// The exported waits and posts report nothing, whatever semop says.
API_EXPORT int SemAPIGet(int SemAPIID) { sem_step(SemAPIID, -1, SEM_UNDO); return 0; }
API_EXPORT int SemAPIPost(int SemAPIID) { sem_step(SemAPIID, 1, SEM_UNDO); return 0; }
API_EXPORT int SemSnapShotGet(int SemID) { sem_step(SemID, -1, 0); return 0; }
API_EXPORT int SemSnapShotPost(int SemID) { sem_step(SemID, 1, 0); return 0; }
API_EXPORT int SemMotionHandleGet(int SemID) { sem_step(SemID, -1, 0); return 0; }
API_EXPORT int SemMotionHandlePost(int SemID) { sem_step(SemID, 1, 0); return 0; }

// ===========================================================================
// Message transport: the transaction engine
// ===========================================================================

namespace {

// One transaction's record and its hold of the API lock.
//
// The record is cleared when the transaction starts, so a request's bytes
// follow from its arguments alone. lock() takes the API lock with a checked
// wait: a wait that the kernel interrupts or refuses leaves the transaction
// without the lock, and it then neither sends nor posts. The destructor gives
// the lock back exactly once, on whatever path the operation leaves.
class Transaction {
public:
    Transaction() { clear(); }
    ~Transaction() {
        if (sem_id_ >= 0) sem_step(sem_id_, 1, SEM_UNDO);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // The request's payload before exchange(), the reply's after it.
    char* text() { return msg_.mtext; }
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(msg_.mtext); }

    // Starts the next request of a transaction with several exchanges.
    void clear() { memset(&msg_, 0, sizeof msg_); }

    API_NOINLINE bool lock() {
        const int id = open_sem(SEM_API_KEY);
        if (sem_step(id, -1, SEM_UNDO) != 0) return false;
        sem_id_ = id;
        return true;
    }

    // Sends the request under `command` and waits for the first reply. Bytes
    // past a short reply's length read as zero, and mtext stays terminated for
    // the text parsers (the padding after it is never part of an answer).
    API_NOINLINE bool exchange(int command) {
        const int control = open_queue(MSG_CONTROL_KEY);
        const int response = open_queue(MSG_RESPONSE_KEY);
        // A request whose answer could not be received is not sent at all.
        if (response < 0) return false;
        discard(control, MSG_TYPE_REQUEST, 64);
        discard(response, MSG_TYPE_REPLY, 64);
        msg_.mtype = MSG_TYPE_REQUEST;
        msg_.Command = command;
        if (msgsnd(control, &msg_, MSG_SIZE, 0) != 0) return false;
        const ssize_t got = msgrcv(response, &msg_, MSG_SIZE, MSG_TYPE_REPLY, 0);
        if (got < 0) {
            // Our request, if the daemon has not read it yet: taken back, a
            // failed set is never applied later and leaves no late answer.
            discard(control, MSG_TYPE_REQUEST, 1);
            return false;
        }
        char* payload = reinterpret_cast<char*>(&msg_.Command);
        memset(payload + got, 0, MSG_SIZE - static_cast<size_t>(got));
        msg_.pad[0] = 0;
        return true;
    }

private:
    // Records of `type` already waiting while we hold the lock belong to
    // callers that gave up (interrupted receive, killed caller): a reply taken
    // as ours would shift every later answer by one, and a request would get
    // an answer that nobody waits for. MSG_NOERROR discards records of any size.
    static void discard(int queue, long type, int most) {
        struct { long mtype; char byte[1]; } stale;
        for (int i = 0; i < most; ++i) {
            if (msgrcv(queue, &stale, sizeof stale.byte, type, IPC_NOWAIT | MSG_NOERROR) < 0)
                return;
        }
    }

    MSGBUF msg_;
    int sem_id_ = -1;
};

// How an ordinary operation fills its request.
enum class Req : uint32_t {
    None,      // mtext not written
    Bytes1,    // low 8 bits of 1..3 arguments at mtext[0..2]
    Bytes2,
    Bytes3,
    Int32,     // a signed 32-bit value, host order, at mtext[0..3]
    Block,     // `size` bytes of the caller's record at mtext[0..]
    ChanBlock, // channel byte, then `size` bytes of the caller's record from mtext[1]
    Dec,       // "%d" at mtext[0]
    ChanDec,   // channel byte, then "%d" from mtext[1]
    Str,       // "%s" of a caller's text at mtext[0]
    Copy,      // a caller's text and its NUL at mtext[0]
    Format,    // a bounded format of up to three integers
};

// How the reply becomes an ordinary operation's result.
enum class Rep : uint32_t {
    Ack,       // 1 when answered, 0 on failure
    AckM1,     // 1 when answered, -1 on failure
    Ack0,      // 0 when answered, -1 on failure
    Byte,      // mtext[0] unsigned
    SByte,     // mtext[0] signed
    Int,       // mtext[0..3], host order
    Decimal,   // the number at the start of the reply text
    Text,      // the reply text into the caller's buffer of `size` bytes; 0
    Text1,     // the same with result 1
    Block,     // `size` bytes of the reply into the caller's record; 0
};

// An ordinary operation's facts in one word: command (9 bits), request
// encoding (4), reply kind (4) and the size of its text or record (11).
constexpr uint32_t kCmdBits = 9, kReqShift = 9, kRepShift = 13, kSizeShift = 17;

constexpr unsigned req_args(Req r) {
    switch (r) {
    case Req::None: return 0;
    case Req::Bytes2: case Req::ChanBlock: case Req::ChanDec: return 2;
    case Req::Bytes3: return 3;
    default: return 1;
    }
}

constexpr int failure_of(Rep r) { return r == Rep::Ack ? 0 : -1; }

// Writes the request payload. False refuses the request: nothing is sent.
bool encode(Req req, char* mtext, const intptr_t* a, unsigned size) {
    auto* out = reinterpret_cast<unsigned char*>(mtext);
    switch (req) {
    case Req::None:
        return true;
    case Req::Bytes3: out[2] = static_cast<unsigned char>(a[2]); [[fallthrough]];
    case Req::Bytes2: out[1] = static_cast<unsigned char>(a[1]); [[fallthrough]];
    case Req::Bytes1: out[0] = static_cast<unsigned char>(a[0]); return true;
    case Req::Int32: {
        const int32_t v = static_cast<int32_t>(a[0]);
        memcpy(mtext, &v, sizeof v);
        return true;
    }
    case Req::Block:
        memcpy(mtext, reinterpret_cast<const void*>(a[0]), size);
        return true;
    case Req::ChanBlock:
        out[0] = static_cast<unsigned char>(a[0]);
        memcpy(mtext + 1, reinterpret_cast<const void*>(a[1]), size);
        return true;
    case Req::Dec:
        sprintf(mtext, "%d", static_cast<int>(a[0]));
        return true;
    case Req::ChanDec:
        out[0] = static_cast<unsigned char>(a[0]);
        sprintf(mtext + 1, "%d", static_cast<int>(a[1]));
        return true;
    case Req::Str:
    case Req::Copy: {
        const char* s = reinterpret_cast<const char*>(a[0]);
        const size_t len = strnlen(s, MSG_TEXT_SIZE);
        if (len >= MSG_TEXT_SIZE) return false;
        memcpy(mtext, s, len + 1);
        return true;
    }
    case Req::Format:
        break;  // formatted by api_format
    }
    return false;
}

int decode(Rep rep, const char* mtext, void* out, unsigned size) {
    const auto* in = reinterpret_cast<const unsigned char*>(mtext);
    switch (rep) {
    case Rep::Ack: case Rep::AckM1: return 1;
    case Rep::Ack0: return 0;
    case Rep::Byte: return in[0];
    case Rep::SByte: return static_cast<signed char>(in[0]);
    case Rep::Int: {
        int32_t v;
        memcpy(&v, mtext, sizeof v);
        return v;
    }
    case Rep::Decimal: {
        int v;
        return sscanf(mtext, "%d", &v) == 1 ? v : -1;
    }
    case Rep::Text: case Rep::Text1: {
        // Copied only when the text ends inside mtext and fits the daemon's
        // field, which is what the caller sized its buffer from.
        const size_t len = strnlen(mtext, MSG_TEXT_SIZE);
        if (len >= MSG_TEXT_SIZE || len >= size) return -1;
        memcpy(out, mtext, len + 1);
        return rep == Rep::Text1 ? 1 : 0;
    }
    case Rep::Block:
        memcpy(out, mtext, size);
        return 0;
    }
    return -1;
}

constexpr bool has_output(Rep r) { return r == Rep::Text || r == Rep::Text1 || r == Rep::Block; }

// The caller's buffer of a reply that has one: the argument after the request's.
void* output_of(Req req, const intptr_t* a) {
    const unsigned slot = req_args(req);
    return slot < 3 ? reinterpret_cast<void*>(a[slot]) : nullptr;
}

// Pointer arguments that the request reads and the reply writes; a null one
// fails the operation before anything is sent.
bool pointers_present(Req req, Rep rep, const intptr_t* a) {
    switch (req) {
    case Req::Block: case Req::Str: case Req::Copy: if (!a[0]) return false; break;
    case Req::ChanBlock: if (!a[1]) return false; break;
    default: break;
    }
    return !has_output(rep) || output_of(req, a) != nullptr;
}

// Runs the transaction of an ordinary operation and returns its result.
API_NOINLINE int api_call(uint32_t spec, intptr_t a0, intptr_t a1, intptr_t a2) {
    const intptr_t a[3] = {a0, a1, a2};
    const int command = static_cast<int>(spec & ((1u << kCmdBits) - 1));
    const auto req = static_cast<Req>((spec >> kReqShift) & 0xf);
    const auto rep = static_cast<Rep>((spec >> kRepShift) & 0xf);
    const unsigned size = spec >> kSizeShift;
    const int failure = failure_of(rep);
    if (!pointers_present(req, rep, a)) return failure;
    Transaction t;
    if (!encode(req, t.text(), a, size)) return failure;
    if (!t.lock() || !t.exchange(command)) return failure;
    return decode(rep, t.text(), output_of(req, a), size);
}

// Entry points by argument count, with the operation's word after its
// arguments: an exported function's own arguments stay in their registers and
// it only adds the word and jumps.
API_NOINLINE int api_call0(uint32_t spec) { return api_call(spec, 0, 0, 0); }
API_NOINLINE int api_call1(intptr_t a0, uint32_t spec) { return api_call(spec, a0, 0, 0); }
API_NOINLINE int api_call2(intptr_t a0, intptr_t a1, uint32_t spec) {
    return api_call(spec, a0, a1, 0);
}
API_NOINLINE int api_call3(intptr_t a0, intptr_t a1, intptr_t a2, uint32_t spec) {
    return api_call(spec, a0, a1, a2);
}

// Sends bounded formatted text: mtext cleared, at most 2016 characters and a
// NUL, longer output cut and still sent; a formatting error refuses the
// request. True when the daemon answered. Hand-written operations with texts
// in their format use it directly.
API_NOINLINE bool send_format(int command, const char* format, ...) {
    Transaction t;
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(t.text(), MSG_TEXT_SIZE - 1, format, args);
    va_end(args);
    return length >= 0 && t.lock() && t.exchange(command);
}

// A row's bounded format of up to three integers.
API_NOINLINE int api_format(uint32_t spec, const char* format, int a, int b, int c) {
    const auto rep = static_cast<Rep>((spec >> kRepShift) & 0xf);
    if (!send_format(static_cast<int>(spec & ((1u << kCmdBits) - 1)), format, a, b, c))
        return failure_of(rep);
    return decode(rep, "", nullptr, 0);
}

// Builds an ordinary operation's call from its row in api_ops.def:
//   Op(command).<request>.<reply>
// Everything here folds into a constant word and a tail call of an api_call entry.
class Op {
public:
    API_INLINE explicit constexpr Op(unsigned command) : spec_(command) {}

    // Requests.
    API_INLINE Op& none() { return *this; }
    API_INLINE Op& bytes(intptr_t x) { return req(Req::Bytes1, x); }
    API_INLINE Op& bytes(intptr_t x, intptr_t y) { return req(Req::Bytes2, x, y); }
    API_INLINE Op& bytes(intptr_t x, intptr_t y, intptr_t z) { return req(Req::Bytes3, x, y, z); }
    API_INLINE Op& raw(int value) { return req(Req::Int32, value); }
    API_INLINE Op& raw(const void* record, unsigned size) {
        return sized(size).req(Req::Block, reinterpret_cast<intptr_t>(record));
    }
    API_INLINE Op& raw(int channel, const void* record, unsigned size) {
        return sized(size).req(Req::ChanBlock, channel, reinterpret_cast<intptr_t>(record));
    }
    API_INLINE Op& dec(int value) { return req(Req::Dec, value); }
    API_INLINE Op& dec(int channel, int value) { return req(Req::ChanDec, channel, value); }
    API_INLINE Op& str(const char* text) { return req(Req::Str, reinterpret_cast<intptr_t>(text)); }
    API_INLINE Op& copy(const char* text) { return req(Req::Copy, reinterpret_cast<intptr_t>(text)); }
    API_INLINE Op& format(const char* format, int x, int y = 0, int z = 0) {
        format_ = format;
        return req(Req::Format, x, y, z);
    }

    // Replies; each one runs the transaction.
    API_INLINE int ack(int ok = 1, int failure = 0) {
        return run(ok == 0 ? Rep::Ack0 : failure == 0 ? Rep::Ack : Rep::AckM1);
    }
    API_INLINE int byte() { return run(Rep::Byte); }
    API_INLINE int sbyte() { return run(Rep::SByte); }
    API_INLINE int integer() { return run(Rep::Int); }
    API_INLINE int decimal() { return run(Rep::Decimal); }
    API_INLINE int text(char* buffer, unsigned size, int ok = 0) {
        return sized(size).out(buffer).run(ok == 1 ? Rep::Text1 : Rep::Text);
    }
    API_INLINE int block(void* record, unsigned size) {
        return sized(size).out(record).run(Rep::Block);
    }

private:
    API_INLINE Op& req(Req kind, intptr_t x = 0, intptr_t y = 0, intptr_t z = 0) {
        kind_ = kind;
        a_[0] = x, a_[1] = y, a_[2] = z;
        n_ = kind == Req::Format ? 3 : req_args(kind);
        return *this;
    }
    API_INLINE Op& sized(unsigned size) {
        spec_ |= size << kSizeShift;
        return *this;
    }
    API_INLINE Op& out(void* p) {
        a_[n_] = reinterpret_cast<intptr_t>(p);
        return *this;
    }
    API_INLINE int run(Rep rep) {
        const uint32_t spec = spec_ | static_cast<uint32_t>(kind_) << kReqShift |
                              static_cast<uint32_t>(rep) << kRepShift;
        if (kind_ == Req::Format)
            return api_format(spec, format_, static_cast<int>(a_[0]), static_cast<int>(a_[1]),
                              static_cast<int>(a_[2]));
        const unsigned args = has_output(rep) ? n_ + 1 : n_;
        if (args == 0) return api_call0(spec);
        if (args == 1) return api_call1(a_[0], spec);
        if (args == 2) return api_call2(a_[0], a_[1], spec);
        return api_call3(a_[0], a_[1], a_[2], spec);
    }

    uint32_t spec_;
    Req kind_ = Req::None;
    intptr_t a_[4] = {0, 0, 0, 0};
    unsigned n_ = 0;
    const char* format_ = nullptr;
};

}  // namespace

// ===========================================================================
// Ordinary operations: one row each in api_ops.def
// ===========================================================================

#define API_OP(name, command, params, request, reply, highest)                       \
    static_assert((command) >= 1 && (command) <= (highest), #name ": command number"); \
    API_EXPORT int name params { return Op(command).request.reply; }
#define OP(name, command, params, request, reply) API_OP(name, command, params, request, reply, 472)
#include "api_ops.def"
#undef OP
#ifdef API_ARCH_EXTRA_OPS  // the engine tests' own operations, in a test build only
#define OP(name, command, params, request, reply) \
    API_OP(name, command, params, request, reply, (1 << kCmdBits) - 1)
#include API_ARCH_EXTRA_OPS
#undef OP
#endif

// ===========================================================================
// Video encoder and image settings
// ===========================================================================

// Frame sizes (width, height) for the camera's programs; the library never
// reads it. C linkage comes from its declaration in the public header.
__attribute__((visibility("default"))) int MORIK_SIZE_T[10][2] = {
    {352, 288}, {720, 288}, {720, 576}, {352, 240}, {720, 240},
    {720, 480}, {176, 144}, {640, 480}, {320, 240}, {0, 0},
};

namespace {

// Turns the daemon's answer into the result, while the lock is still held.
using ChannelAnswer = int (*)(const char* reply, void* out, void* out2);

// Sends `command` with the channel in byte 0; `failure` when not answered.
API_NOINLINE int ask_channel(int command, unsigned char channel, ChannelAnswer answer,
                             void* out, void* out2 = nullptr, int failure = -1) {
    Transaction t;
    t.bytes()[0] = channel;
    if (!t.lock() || !t.exchange(command)) return failure;
    return answer(t.text(), out, out2);
}

}  // namespace

// The daemon answers with the ratio as decimal text.
API_EXPORT int API_Video_GetPIRatio(unsigned char channel) {
    return ask_channel(8, channel, [](const char* reply, void*, void*) {
        const int ratio = decode(Rep::Decimal, reply, nullptr, 0);
        API_TRACE_HERE();
        printf("PIRatio:%d\n", ratio);
        return ratio;
    }, nullptr);
}

// The daemon answers with the mode in byte 0 and the level in byte 1.
API_EXPORT int API_Video_GetDeinterlace(unsigned char channel, unsigned char* level) {
    if (!level) return -1;
    return ask_channel(159, channel, [](const char* reply, void* out, void*) {
        *static_cast<unsigned char*>(out) = static_cast<unsigned char>(reply[1]);
        return static_cast<int>(static_cast<unsigned char>(reply[0]));
    }, level);
}

// The daemon answers "I,P"; each number it gave is stored as a byte, and the
// call succeeds whether or not both were there.
API_EXPORT int API_Video_GetQP(unsigned char channel, unsigned char* QP_I, unsigned char* QP_P) {
    if (!QP_I || !QP_P) return -1;
    return ask_channel(331, channel, [](const char* reply, void* i, void* p) {
        int qp[2];
        const int found = sscanf(reply, "%d,%d", &qp[0], &qp[1]);
        if (found >= 1) *static_cast<unsigned char*>(i) = static_cast<unsigned char>(qp[0]);
        if (found >= 2) *static_cast<unsigned char*>(p) = static_cast<unsigned char>(qp[1]);
        return 1;
    }, QP_I, QP_P);
}

// ===========================================================================
// JPEG snapshot
// ===========================================================================

// The shared camera state record, defined by the loading program. Imported
// weakly so that a program without it can still load the library.
extern "C" __attribute__((weak, visibility("default"))) BUFFER_ENCODE_T* BufferEncode;

// The daemon refreshes the one snapshot of the shared record before it answers
// command 17; the picture is copied out while the lock still keeps every other
// request away. A record that is missing, or whose length is not a valid one
// (not yet written, being rewritten), gives nothing and 0.
API_EXPORT int API_Video_SetJPGSnapShot(unsigned char channel, unsigned char* Buffer) {
    if (!Buffer) return 0;
    return ask_channel(17, channel, [](const char*, void* out, void*) {
        BUFFER_ENCODE_T* const record = &BufferEncode ? BufferEncode : nullptr;
        if (!record) return 0;
        const int32_t len = *static_cast<volatile int32_t*>(&record->JPGSnapLen);
        API_TRACE_HERE();
        printf("len=%d----\n", static_cast<int>(len));
        if (len < 0 || len > static_cast<int32_t>(sizeof record->JPGBSnapBuffer)) return 0;
        memcpy(out, record->JPGBSnapBuffer, static_cast<size_t>(len));
        return static_cast<int>(len);
    }, Buffer, nullptr, 0);
}

// ===========================================================================
// Interface status (from the kernel)
// ===========================================================================

#include <arpa/inet.h>
#include <net/if.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The one diagnostic of the network queries; returns -1.
API_NOINLINE int net_error(const char* step) {
    fprintf(stderr, "Error in %s\n", step);
    return -1;
}

// One interface ioctl on a fresh IPv4 socket, the answer left in `r`. A name
// that does not fit the record's name field fails the step.
API_NOINLINE int if_query(const char* name, unsigned long request, const char* step, ifreq* r) {
    if (!name) return -1;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return net_error("sock");
    memset(r, 0, sizeof *r);
    const size_t len = strnlen(name, IFNAMSIZ);
    const int rc = len < IFNAMSIZ ? (memcpy(r->ifr_name, name, len), ioctl(fd, request, r)) : -1;
    close(fd);
    return rc < 0 ? net_error(step) : 0;
}

// API_Net_GetIP and API_Net_GetNetMask: the address text of the union.
int if_address(char* out, char* name, unsigned long request, const char* step) {
    if (!out) return -1;
    if (API_NET_GetState(name) == 0) {
        strcpy(out, "0.0.0.0");
        net_error("interface no start");
        return 1;
    }
    ifreq r;
    if (if_query(name, request, step, &r) < 0) return -1;
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&r.ifr_addr)->sin_addr, out, 32);
    return 0;
}

// The PPP helpers: 1 when "ppp0" or "ppp1" is up with a VPN-side address,
// whose text is then in `ip` (32 bytes, cleared first).
int vpn_link(char* ip) {
    memset(ip, 0, 32);
    char link[] = "ppp0";
    for (; link[3] <= '1'; ++link[3]) {
        if (API_NET_GetState(link) <= 0 || API_Net_GetIP(ip, link) == -1) continue;
        const in_addr_t addr = inet_addr(ip);
        unsigned char a[4];
        memcpy(a, &addr, 4);
        if ((a[0] == 192 && a[1] == 168) || (a[0] == 172 && (a[1] & 0x30))) return 1;
    }
    return 0;
}

}  // namespace

API_EXPORT int API_NET_GetState(char* inter) {
    if (!inter) return -1;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return net_error("sock");
    // The list is complete when two successive reads report the same length.
    ifconf list;
    char* buf;
    int size = 128, previous = 0, result = -1;
    const char* step = "SIOCGIFCONF";
    for (;;) {
        buf = static_cast<char*>(malloc(static_cast<size_t>(size)));
        list.ifc_len = size;
        list.ifc_buf = buf;
        if (!buf || ioctl(fd, SIOCGIFCONF, &list) < 0) goto done;
        if (list.ifc_len == previous) break;
        previous = list.ifc_len;
        size += 64;
        free(buf);
    }
    result = 0;
    for (char* at = buf; at + sizeof(ifreq) <= buf + list.ifc_len; at += sizeof(ifreq)) {
        ifreq r;
        memcpy(&r, at, sizeof r);
        r.ifr_name[IFNAMSIZ - 1] = 0;
        if (!strstr(r.ifr_name, inter)) continue;
        if (ioctl(fd, SIOCGIFFLAGS, &r) < 0) {
            result = -1, step = "SIOCGIFFLAGS";
            break;
        }
        if (r.ifr_flags != 0) {
            result = 1;
            break;
        }
    }
done:
    free(buf);
    close(fd);
    return result < 0 ? net_error(step) : result;
}

API_EXPORT int API_Net_GetIP(char* ip, char* netinterface) {
    return if_address(ip, netinterface, SIOCGIFADDR, "SIOCGIFADDR");
}

API_EXPORT int API_Net_GetNetMask(char* netmask, char* netinterface) {
    return if_address(netmask, netinterface, SIOCGIFNETMASK, "SIOCGIFNETMASK");
}

API_EXPORT int API_Net_GetMac(char* mac, char* netinterface) {
    ifreq r;
    if (!mac || if_query(netinterface, SIOCGIFHWADDR, "SIOCGIFHWADDR", &r) < 0) return -1;
    const auto* b = reinterpret_cast<const unsigned char*>(r.ifr_hwaddr.sa_data);
    sprintf(mac, "%02x-%02x-%02x-%02x-%02x-%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return 0;
}

API_EXPORT int API_PPPOE_GetState(void) { return API_NET_GetState(const_cast<char*>("ppp0")); }

API_EXPORT int API_PPPOE_GetVPNState(void) {
    char ip[32];
    return vpn_link(ip);
}

API_EXPORT int API_PPPOE_vpnip(char* buf) {
    char ip[32];
    if (!buf) return 0;
    const int found = vpn_link(ip);
    memcpy(buf, ip, sizeof ip);
    return found;
}

// ===========================================================================
// Default gateway (from the kernel)
// ===========================================================================

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

namespace {
constexpr int kRouteBuffer = 8192;
}

API_EXPORT int readNlSock(int sockFd, char* bufPtr, int seqNum, int pId) {
    if (!bufPtr) return -1;
    int total = 0;
    for (;;) {
        const int got = static_cast<int>(recv(sockFd, bufPtr, static_cast<size_t>(kRouteBuffer - total), 0));
        if (got < 0) return net_error("SOCK READ: ");
        auto* h = reinterpret_cast<nlmsghdr*>(bufPtr);
        // Whole messages only, a multiple of 4 bytes: the next datagram's
        // headers must start aligned.
        if ((got & (NLMSG_ALIGNTO - 1)) || !NLMSG_OK(h, got) || h->nlmsg_type == NLMSG_ERROR)
            return net_error("Error in recieved packet");
        const nlmsghdr first = *h;
        // The done message ends the dump also when it follows route messages
        // in the same datagram; only the bytes before it count.
        int used = got, left = got;
        bool done = false;
        for (; NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                used = static_cast<int>(reinterpret_cast<char*>(h) - bufPtr), done = true;
                break;
            }
        }
        bufPtr += used;
        total += used;
        if (done || !(first.nlmsg_flags & NLM_F_MULTI) ||
            (first.nlmsg_seq == static_cast<uint32_t>(seqNum) && first.nlmsg_pid == static_cast<uint32_t>(pId)))
            return total;
    }
}

API_EXPORT void parseRoutes(struct nlmsghdr* nlHdr, struct route_info* rtInfo, char* gateway) {
    if (!nlHdr || !rtInfo || !gateway || nlHdr->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return;
    auto* route = static_cast<rtmsg*>(NLMSG_DATA(nlHdr));
    if (route->rtm_family != AF_INET || route->rtm_table != RT_TABLE_MAIN) return;
    int left = static_cast<int>(RTM_PAYLOAD(nlHdr));
    for (rtattr* a = RTM_RTA(route); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (RTA_PAYLOAD(a) < 4) continue;
        uint32_t value;
        memcpy(&value, RTA_DATA(a), 4);
        switch (a->rta_type) {
        case RTA_DST: rtInfo->dstAddr = value; break;
        case RTA_OIF: if_indextoname(value, rtInfo->ifName); break;
        case RTA_GATEWAY: rtInfo->gateWay = value; break;
        case RTA_PREFSRC: rtInfo->srcAddr = value; break;
        }
    }
    // A substring test: 10.0.0.0, 20.0.0.0 and the like count as default too.
    char dst[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &rtInfo->dstAddr, dst, sizeof dst);
    if (strstr(dst, "0.0.0.0")) inet_ntop(AF_INET, &rtInfo->gateWay, gateway, INET_ADDRSTRLEN);
}

API_EXPORT int get_gateway(char* gateway) {
    if (!gateway) return -1;
    const int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_ROUTE);
    if (fd < 0) return net_error("Socket Creation: ");
    char buf[kRouteBuffer] = {};
    auto* h = reinterpret_cast<nlmsghdr*>(buf);
    h->nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    h->nlmsg_type = RTM_GETROUTE;
    h->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    h->nlmsg_pid = static_cast<uint32_t>(getpid());
    // The reader is handed the number after the request's, so a dump is read
    // to its done message.
    int result = -1, n = 0;
    route_info* info = nullptr;
    if (send(fd, buf, h->nlmsg_len, 0) >= 0 && (n = readNlSock(fd, buf, 1, getpid())) >= 0 &&
        (info = static_cast<route_info*>(malloc(sizeof *info)))) {
        for (; NLMSG_OK(h, n); h = NLMSG_NEXT(h, n)) {
            memset(info, 0, sizeof *info);
            parseRoutes(h, info, gateway);
        }
        result = 0;
    }
    free(info);
    close(fd);
    return result;
}

API_EXPORT int API_Net_GetGateWay(char* gateway, char* /*netinterface*/) {
    return get_gateway(gateway) < 0 ? net_error("gateway") : 0;
}

// ===========================================================================
// Wired network and service ports
// ===========================================================================

// The daemon's answer is traced before it is copied out.
API_EXPORT int API_Net_GetFixIP(char* ip) {
    if (!ip) return -1;
    Transaction t;
    if (!t.lock() || !t.exchange(23)) return -1;
    API_TRACE_HERE();
    printf("API_ARCH: %s\n", t.text());
    return decode(Rep::Text, t.text(), ip, 32);
}

// An empty text in any of the three is refused before the lock is taken.
API_EXPORT int API_Net_SetNetConfig(char* ip, char* netmask, char* gateway) {
    if (!ip || !netmask || !gateway || !ip[0] || !netmask[0] || !gateway[0]) return 0;
    return send_format(27, "%s,%s,%s", ip, netmask, gateway);
}

API_EXPORT int API_Net_SetMacAddress(char* mac) {
    return mac ? send_format(28, "%s", mac) : 0;
}

// An empty server text is refused before the lock is taken.
API_EXPORT int API_Net_SetDNS(int ServerNumber, char* ip_addr) {
    if (!ip_addr || !ip_addr[0]) return 0;
    return send_format(30, "%d,%s", ServerNumber, ip_addr);
}

// ===========================================================================
// Wireless LAN
// ===========================================================================

// The key travels after its number, "%d,%s"; an empty key is sent too.
API_EXPORT int API_WLAN_SetWepKey(int id, char* key) {
    return key ? send_format(123, "%d,%s", id, key) : 0;
}

// ===========================================================================
// PPPoE, VPN and 3G
// ===========================================================================

// ===========================================================================
// Dynamic DNS, UPnP and mapping service
// ===========================================================================

// A map status of fewer than two characters means none: the caller gets an
// empty text, one NUL. The request has no payload (byte 0 of the cleared
// record stays 0).
API_EXPORT int API_Linkway_GetMapStatus(char* status) {
    if (!status) return -1;
    return ask_channel(386, 0, [](const char* reply, void* out, void*) {
        if (reply[0] && reply[1]) return decode(Rep::Text, reply, out, 128);
        *static_cast<char*>(out) = 0;
        return 0;
    }, status);
}

// ===========================================================================
// Date and time
// ===========================================================================

#include <time.h>

namespace {

// The current local time, or null when the clock cannot be converted.
struct tm* local_now(time_t* now) {
    *now = time(nullptr);
    return localtime(now);
}

// Writes the local date (11 bytes) or time of day (9 bytes), or an empty text
// when there is no local time or it does not fit: a year of five digits,
// possible with a 64-bit clock.
char* clock_text(char* out, const struct tm* tm, bool date) {
    const int room = date ? 11 : 9;
    int length = room;
    if (tm && date)
        length = snprintf(out, room, "%lld-%02d-%02d", tm->tm_year + 1900LL, tm->tm_mon + 1, tm->tm_mday);
    else if (tm)
        length = snprintf(out, room, "%02d:%02d:%02d", tm->tm_hour, tm->tm_min, tm->tm_sec);
    if (length < 0 || length >= room) *out = 0;
    return out;
}

// The two setters: three numbers in range replace the date or the time of day
// of the current local time (tm_isdst stays), mktime carries over-long days
// into the next month, the clock is set, then the hardware clock is written.
API_NOINLINE int set_clock(const char* text, bool date) {
    static const short kLow[2][3] = {{0, 0, 0}, {1970, 1, 1}};
    static const short kHigh[2][3] = {{23, 59, 59}, {2031, 12, 31}};
    int v[3];
    if (!text || sscanf(text, date ? "%d-%d-%d" : "%d:%d:%d", &v[0], &v[1], &v[2]) != 3) return -1;
    for (int i = 0; i < 3; ++i)
        if (v[i] < kLow[date][i] || v[i] > kHigh[date][i]) return -1;
    time_t now;
    struct tm* tm = local_now(&now);
    if (!tm) return -1;
    if (date) tm->tm_year = v[0] - 1900, tm->tm_mon = v[1] - 1, tm->tm_mday = v[2];
    else tm->tm_hour = v[0], tm->tm_min = v[1], tm->tm_sec = v[2];
    const struct timespec next = {mktime(tm), 0};
    if (clock_settime(CLOCK_REALTIME, &next) < 0) return -1;
    system("/sbin/hwclock -w");
    return 0;
}

}  // namespace

API_EXPORT char* API_SNTP_Get_Date(char* dateBuf) {
    time_t now;
    return dateBuf ? clock_text(dateBuf, local_now(&now), true) : dateBuf;
}

API_EXPORT char* API_SNTP_Get_Time(char* timeBuf) {
    if (!timeBuf) return timeBuf;
    const time_t now = time(nullptr);
    char command[48];
    snprintf(command, sizeof command, "echo %lld > /dev/console", static_cast<long long>(now));
    system(command);
    return clock_text(timeBuf, localtime(&now), false);
}

API_EXPORT int API_SNTP_Set_Date(char* dateBuf) { return set_clock(dateBuf, true); }
API_EXPORT int API_SNTP_Set_Time(char* timeBuf) { return set_clock(timeBuf, false); }

// ===========================================================================
// Time zones
// ===========================================================================

namespace {

// The labels of zones 1 to 38, one after the other. A zone's TZ text is its
// label's leading word with the sign flipped.
constexpr char kZoneLabels[] =
    "MHT-12 (Eniwetok, Kwajalein)\0SST-11 (Midway Isl., Samoa)\0HST-10 (Hawaii, Aleutian Isl.)\0"
    "AHST-9  (Alaska)\0PST-8  (Las Vegas, San Francisco, Vancouver)\0"
    "MST-7  (Calgary, Denver, Salt Lake City)\0CST-6  (Chicago, Dallas, Mexico City)\0"
    "CDT-5  (Cuba)\0EST-5  (New York, Toronto, Washington DC)\0AST-4  (Paraguay)\0"
    "EDT-4  (Chile)\0ACT-4  (Charlottetown, Manaus)\0AWT-3  (Brazilia, Sao Paulo)\0"
    "AMT-2  (Noronha, Mid-Atlantic)\0WAT-1  (Azores, Cap Verde Isl.)\0"
    "GMT (Dublin, Lisbon, London, Reykjavik)\0MET+1  (Amsterdam, Berlin, Rome, Stockholm)\0"
    "CEST+2  (Athens, Helsinki, Istanbul, Riga)\0EEST+2  (Egypt)\0IST+2  (Israel)\0"
    "SST+2  (Lebanon)\0EET+2  (Syria)\0MSD+3  (Moscow, Riyadh)\0EAT+3  (Iraq)\0"
    "IRST+3:30  (Iran)\0SCT+4  (Abu Dubai, Baku)\0AFT+4:30  (Kabul)\0"
    "TFT+5  (Islamabad, Karachi, Tashkent)\0BURT+5:30  (Bombay, Calcutta, New Delhi)\0"
    "MAWT+6  (Novosibirsk, Omsk)\0WAST+7  (Bangkok, Hanoi, Jakarta)\0"
    "CCT+8  (Beijing, Hong Kong, Shanghai, Taipei, Taiwan)\0JST+9  (Osaka, Sapporo, Tokyo)\0"
    "SAST+9:30  (Adelaide, Darwin)\0LIGT+10 (Hobart)\0AEST+10 (Canberra, Melbourne, Sydney)\0"
    "AESST+11 (Solomon Isl.)\0NZT+12 (Auckland, Wellington)";
constexpr int kZones = 38;

constexpr const char* zone_label(int index) {
    const char* at = kZoneLabels;
    while (index--) while (*at++) {}
    return at;
}
static_assert(zone_label(kZones - 1)[0] == 'N' && zone_label(15)[0] == 'G', "zone labels");

// Flips the first '+' to '-', or else the first '-' to '+'.
void flip_sign(char* text) {
    char* sign = strchr(text, '+');
    if (sign) *sign = '-';
    else if ((sign = strchr(text, '-'))) *sign = '+';
}

}  // namespace

#define Z(i) zone_label(i)
#define Z4(i) Z(i), Z(i + 1), Z(i + 2), Z(i + 3)
extern "C" {
__attribute__((visibility("default"))) constinit const char* zoneList[70] = {
    Z4(0), Z4(4), Z4(8), Z4(12), Z4(16), Z4(20), Z4(24), Z4(28), Z4(32), Z(36), Z(37)};
}
#undef Z4
#undef Z

API_EXPORT int sntp_timezone(int time_zone, char* str_GMT, int key) {
    if (!str_GMT) return -1;
    if (key == 0) {
        const char* label = zone_label(time_zone >= 1 && time_zone <= kZones ? time_zone - 1 : 15);
        const size_t len = strcspn(label, " ");
        memcpy(str_GMT, label, len);
        str_GMT[len] = 0;
        flip_sign(str_GMT);
        return 0;
    }
    // Every TZ text is shorter than its label: a prefix search of the table
    // as it stands, on a copy with the sign flipped back.
    char copy[64];
    const size_t len = strnlen(str_GMT, sizeof copy);
    if (len >= sizeof copy) return 0;
    memcpy(copy, str_GMT, len + 1);
    flip_sign(copy);
    for (int i = 0; i < kZones; ++i)
        if (zoneList[i] && strncmp(zoneList[i], copy, len) == 0) return i + 1;
    return 0;
}

// The first word of the answer into zoneBuf (64 bytes: sntp_timezone reads a
// 64-byte copy, so no zone text is longer); a longer word is refused with the
// buffer untouched, an answer without a word leaves it as it was.
API_EXPORT int API_SNTP_Get_Zone(char* zoneBuf) {
    if (!zoneBuf) return -1;
    Transaction t;
    if (!t.lock() || !t.exchange(33)) return -1;
    char word[65];
    if (sscanf(t.text(), "%64s", word) != 1) return 0;
    const size_t length = strlen(word);
    if (length >= 64) return -1;
    memcpy(zoneBuf, word, length + 1);
    return 0;
}

// ===========================================================================
// Password hashing and credential texts
// ===========================================================================

#include <stdlib.h>
#include <time.h>
#include <unistd.h>  // crypt, where POSIX puts it (musl has no <crypt.h>)

// Imported weakly: a C library built without crypt (Debian's musl) still loads
// the library, and CryptPassword then returns null.
#pragma weak crypt

namespace {

// The alphabet of the traditional crypt salt.
const char itoa64[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Writes n characters of v, its lowest 6 bits first; no terminator. The shift
// keeps the sign, so a negative v goes on with its high bits.
void to64(char* s, long v, int n) {
    for (; n > 0; --n, v >>= 6) *s++ = itoa64[v & 0x3f];
}

}  // namespace

// The generator is seeded with the time on every call: calls within the same
// second get the same salt.
API_EXPORT char* CryptPassword(char* pass) {
    if (!pass || !crypt) return nullptr;
    char salt[3];
    srandom(static_cast<unsigned>(time(nullptr)));
    to64(salt, random(), 2);
    salt[2] = 0;
    return crypt(pass, salt);
}

// The name runs up to the first ':', the level starts after the last one, and
// the password is all between them. Only the first 255 bytes of the text are
// read; a text without ':' gives two empty texts and level 0.
API_EXPORT void AuthSlim(const char* orgin, char* name, char* pass, int* level) {
    if (!orgin || !name || !pass || !level) return;
    char work[256];
    const size_t len = strnlen(orgin, sizeof work - 1);
    memcpy(work, orgin, len);
    work[len] = 0;
    const char* first = strchr(work, ':');
    const char* last = strrchr(work, ':');
    const size_t name_len = first ? static_cast<size_t>(first - work) : 0;
    const size_t pass_len = first && last > first ? static_cast<size_t>(last - first - 1) : 0;
    memcpy(name, work, name_len);
    name[name_len] = 0;
    if (pass_len) memcpy(pass, first + 1, pass_len);
    pass[pass_len] = 0;
    *level = first ? atoi(last + 1) : 0;
}

// ===========================================================================
// User accounts
// ===========================================================================

namespace {

// Copies a text and its NUL into a request field of `room` bytes; false when
// it does not fit.
bool put_text(char* field, const char* text, size_t room) {
    const size_t len = strnlen(text, room);
    if (len >= room) return false;
    memcpy(field, text, len + 1);
    return true;
}

// Splits the daemon's credential answer into the caller's outputs (the name is
// dropped when user is null). An unknown account ("none") has no ':' and gives
// empty texts and level 0. Names and passwords live in 128-byte fields: a part
// that would not fit one is refused, and nothing is written. So is an answer
// of 256 bytes or more, which the splitter would read cut short.
bool take_account(const char* answer, int* level, char* user, char* pass) {
    char name[256], password[256];
    int value;
    if (strnlen(answer, sizeof name) >= sizeof name) return false;
    AuthSlim(answer, name, password, &value);
    const size_t name_len = strlen(name), pass_len = strlen(password);
    if (name_len >= 128 || pass_len >= 128) return false;
    if (user) memcpy(user, name, name_len + 1);
    memcpy(pass, password, pass_len + 1);
    *level = value;
    return true;
}

}  // namespace

API_EXPORT int API_USER_SetAddUser(int Level, char* User, char* Password) {
    return User && Password ? send_format(214, "%s:%s:%d", User, Password, Level) : 0;
}

API_EXPORT int API_USER_SetChangePassword(char* User, char* NewPassword) {
    return User && NewPassword ? send_format(216, "%s,%s", User, NewPassword) : 0;
}

// Success is 0 here, failure -1.
API_EXPORT int API_USER_Modify(int ID, int Level, char* User, char* Password) {
    if (!User || !Password) return -1;
    return send_format(219, "%d:%d:%s:%s", ID, Level, User, Password) ? 0 : -1;
}

API_EXPORT int API_USER_GetUserInfoByName(char* User, int* Level, char* Password) {
    if (!User || !Level || !Password) return -1;
    Transaction t;
    if (!put_text(t.text(), User, MSG_TEXT_SIZE)) return -1;
    if (!t.lock() || !t.exchange(217)) return -1;
    return take_account(t.text(), Level, nullptr, Password) ? 0 : -1;
}

// The trace shows the answer with its password part (between the first and
// the last ':') masked: standard output ends up in logs.
API_EXPORT int API_USER_GetUserInfoByID(int ID, int* Level, char* User, char* Password) {
    if (!Level || !User || !Password) return -1;
    Transaction t;
    t.bytes()[0] = static_cast<unsigned char>(ID);
    if (!t.lock() || !t.exchange(218)) return -1;
    const char* answer = t.text();
    if (!take_account(answer, Level, User, Password)) return -1;
    const char* first = strchr(answer, ':');
    const char* last = strrchr(answer, ':');
    if (first != last)
        printf("MSG_CONTROL_GET_USERINFOBYID %.*s***%s\n", static_cast<int>(first + 1 - answer),
               answer, last);
    else
        printf("MSG_CONTROL_GET_USERINFOBYID %s\n", answer);
    return 0;
}

// ===========================================================================
// Mail settings and sending
// ===========================================================================

// The subject fills mtext[0..63] and the content the rest, each with its NUL;
// a text too long for its part is not sent.
API_EXPORT int API_SMTP_Send_Text(char* subject, char* content) {
    if (!subject || !content) return 0;
    Transaction t;
    if (!put_text(t.text(), subject, 64) || !put_text(t.text() + 64, content, MSG_TEXT_SIZE - 64))
        return 0;
    return t.lock() && t.exchange(64);
}

API_EXPORT int API_SMTP_Send_Attach(char* subject, char* content, char* path) {
    return subject && content && path ? send_format(65, "%s,%s,%s", subject, content, path) : 0;
}

// ===========================================================================
// FTP upload settings
// ===========================================================================

// The daemon answers in decimal; the port keeps its low 8 bits (2121 gives 73).
API_EXPORT int API_Net_FTPGetCommandPort(void) {
    Transaction t;
    int port;
    if (!t.lock() || !t.exchange(74) || sscanf(t.text(), "%d", &port) != 1) return -1;
    return static_cast<unsigned char>(port);
}

// ===========================================================================
// System control
// ===========================================================================

API_EXPORT int API_System_Update(char* fname, int flen) {
    return fname ? send_format(144, "%s,%d", fname, flen) : 0;
}

// ===========================================================================
// Camera name, labels and OSD
// ===========================================================================

// ===========================================================================
// Log file
// ===========================================================================

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>

// One entry, "<string>,\t<ctime text>", goes out whole in one write on an
// O_APPEND descriptor, so entries of several writers never interleave.
API_EXPORT int WriteLogFile(char* path, char* string) {
    if (!path || !string) return -1;
    struct stat st;
    if (stat(path, &st) == 0 && st.st_size > 102400 && remove(path) != 0) {
        printf("del file failed\n");
        return -1;
    }
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (fd < 0) {
        printf("Error at open log file\n");
        return -1;
    }
    const time_t now = time(nullptr);
    char* when = ctime(&now);
    char tail[] = ",\t\n";
    if (!when) when = tail + 2;  // an entry still ends its line
    const iovec entry[3] = {{string, strlen(string)}, {tail, 2}, {when, strlen(when)}};
    const ssize_t want = static_cast<ssize_t>(entry[0].iov_len + 2 + entry[2].iov_len);
    const int result = writev(fd, entry, 3) == want ? 0 : -1;
    if (result) printf("Error at write log file\n");
    close(fd);
    return result;
}

// ===========================================================================
// Motion detection and alarm actions
// ===========================================================================

// The daemon answers "Lx,Ly,Rx,Ry"; the numbers read before a short answer
// stopped are stored, but only all four count as success.
API_EXPORT int API_EVENT_GetMotionRegion(int Channel, int Region, int* Lx, int* Ly, int* Rx,
                                         int* Ry) {
    if (!Lx || !Ly || !Rx || !Ry) return -1;
    Transaction t;
    t.bytes()[0] = static_cast<unsigned char>(Channel);
    t.bytes()[1] = static_cast<unsigned char>(Region);
    if (!t.lock() || !t.exchange(178)) return -1;
    return sscanf(t.text(), "%d,%d,%d,%d", Lx, Ly, Rx, Ry) == 4 ? 0 : -1;
}

// Six numbers as one line of text, the channel and the region included.
API_EXPORT int API_EVENT_SetMotionRegion(int channel, int Region, int Lx, int Ly, int Rx, int Ry) {
    return send_format(179, "%d,%d,%d,%d,%d,%d", channel, Region, Lx, Ly, Rx, Ry);
}

// ===========================================================================
// GPIO and alarm I/O
// ===========================================================================

// The line's value first, as a transaction of its own whose result does not
// count; the lock is free between the two.
API_EXPORT int API_MOD_SetGPIOValueOut(int pin, int level) {
    API_GPIO_Set_Value(pin, level);
    return Op(173).bytes(pin, level).ack();
}

// ===========================================================================
// PTZ and preset positions
// ===========================================================================

// ===========================================================================
// Recording settings
// ===========================================================================

// ===========================================================================
// Record list transfer
// ===========================================================================

// A list moves as a header and then chunks of at most 12 eight-byte records,
// every exchange under the one hold of the lock, so no other transaction can
// come between two chunks. A list holds at most 4096 records.
namespace {
constexpr int kChunkRecords = 12, kRecordBytes = 8, kMaxRecords = 4096;

// Starts the next request: channel and count or first index, 32 bits each.
void list_request(Transaction& t, int channel, int value) {
    t.clear();
    memcpy(t.bytes(), &channel, 4);
    memcpy(t.bytes() + 4, &value, 4);
}

int chunk_of(int remaining) { return remaining < kChunkRecords ? remaining : kChunkRecords; }
}  // namespace

// 1 when every message went through; 0 when the header exchange failed; -1
// when a chunk failed, or for a count outside 0..4096 (nothing sent).
API_EXPORT int API_MOD_SetRecordList(int channel, int RecordCount, int* RecordList) {
    if (RecordCount < 0 || RecordCount > kMaxRecords || (RecordCount > 0 && !RecordList))
        return -1;
    const auto* list = reinterpret_cast<const unsigned char*>(RecordList);
    Transaction t;
    list_request(t, channel, RecordCount);
    if (!t.lock() || !t.exchange(259)) return 0;
    for (int sent = 0; sent < RecordCount;) {
        const int n = chunk_of(RecordCount - sent);
        list_request(t, channel, sent);
        memcpy(t.bytes() + 8, list + sent * kRecordBytes, n * kRecordBytes);
        sent += n;
        if (!t.exchange(257)) return -1;
    }
    return 1;
}

// 1 when the whole list arrived, -1 on any failure. *RecordCount holds the
// daemon's count from the header on; a count outside 0..4096 is refused
// before any chunk, with the caller's count and list untouched.
API_EXPORT int API_MOD_GetRecordList(int channel, int* RecordCount, int* RecordList) {
    if (!RecordCount || !RecordList) return -1;
    auto* list = reinterpret_cast<unsigned char*>(RecordList);
    Transaction t;
    t.bytes()[0] = static_cast<unsigned char>(channel);
    if (!t.lock() || !t.exchange(260)) return -1;
    int32_t count;
    memcpy(&count, t.bytes(), 4);
    if (count < 0 || count > kMaxRecords) return -1;
    *RecordCount = count;
    for (int got = 0; got < count;) {
        const int n = chunk_of(count - got);
        list_request(t, channel, got);
        if (!t.exchange(258)) return -1;
        memcpy(list + got * kRecordBytes, t.bytes(), n * kRecordBytes);
        got += n;
    }
    return 1;
}

// ===========================================================================
// SD card status
// ===========================================================================

