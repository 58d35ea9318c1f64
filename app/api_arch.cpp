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
        drain_stale_replies(response);
        msg_.mtype = MSG_TYPE_REQUEST;
        msg_.Command = command;
        if (msgsnd(control, &msg_, MSG_SIZE, 0) != 0) return false;
        const ssize_t got = msgrcv(response, &msg_, MSG_SIZE, MSG_TYPE_REPLY, 0);
        if (got < 0) return false;
        char* payload = reinterpret_cast<char*>(&msg_.Command);
        memset(payload + got, 0, MSG_SIZE - static_cast<size_t>(got));
        msg_.pad[0] = 0;
        return true;
    }

private:
    // A reply already waiting while we hold the lock belongs to a transaction
    // that gave up (interrupted receive, killed caller); taken as ours it would
    // shift every later answer by one. MSG_NOERROR discards records of any size.
    static void drain_stale_replies(int response) {
        struct { long mtype; char byte[1]; } stale;
        for (int i = 0; i < 64; ++i) {
            if (msgrcv(response, &stale, sizeof stale.byte, MSG_TYPE_REPLY,
                       IPC_NOWAIT | MSG_NOERROR) < 0)
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

// The same for a request of bounded formatted text: mtext cleared, at most
// 2016 characters and a NUL, longer output cut; a formatting error refuses.
API_NOINLINE int api_format(uint32_t spec, const char* format, int a, int b, int c) {
    const auto rep = static_cast<Rep>((spec >> kRepShift) & 0xf);
    Transaction t;
    if (snprintf(t.text(), MSG_TEXT_SIZE - 1, format, a, b, c) < 0) return failure_of(rep);
    if (!t.lock() || !t.exchange(static_cast<int>(spec & ((1u << kCmdBits) - 1))))
        return failure_of(rep);
    return decode(rep, t.text(), nullptr, 0);
}

// Builds an ordinary operation's call from its row in api_ops.def:
//   Op(command).<request>.<reply>
// Everything here folds into a constant word and a tail call of api_call.
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
        return api_call(spec, a_[0], a_[1], a_[2]);
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

// ===========================================================================
// JPEG snapshot
// ===========================================================================

// ===========================================================================
// Interface status (from the kernel)
// ===========================================================================

// ===========================================================================
// Default gateway (from the kernel)
// ===========================================================================

// ===========================================================================
// Wired network and service ports
// ===========================================================================

// ===========================================================================
// Wireless LAN
// ===========================================================================

// ===========================================================================
// PPPoE, VPN and 3G
// ===========================================================================

// ===========================================================================
// Dynamic DNS, UPnP and mapping service
// ===========================================================================

// ===========================================================================
// Date and time
// ===========================================================================

// ===========================================================================
// Time zones
// ===========================================================================

// ===========================================================================
// Password hashing and credential texts
// ===========================================================================

// ===========================================================================
// User accounts
// ===========================================================================

// ===========================================================================
// Mail settings and sending
// ===========================================================================

// ===========================================================================
// FTP upload settings
// ===========================================================================

// ===========================================================================
// System control
// ===========================================================================

// ===========================================================================
// Camera name, labels and OSD
// ===========================================================================

// ===========================================================================
// Log file
// ===========================================================================

// ===========================================================================
// Motion detection and alarm actions
// ===========================================================================

// ===========================================================================
// GPIO and alarm I/O
// ===========================================================================

// ===========================================================================
// PTZ and preset positions
// ===========================================================================

// ===========================================================================
// Recording settings
// ===========================================================================

// ===========================================================================
// Record list transfer
// ===========================================================================

// ===========================================================================
// SD card status
// ===========================================================================

