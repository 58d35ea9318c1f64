// Every daemon-backed operation against a scripted responder: the ordinary
// ones of api_ops.def (expanded here) and the hand-written ones, each called
// with fixed arguments and answered with each reply of a fixed set, then once
// on each failure path of the engine.
//
// Every call's line holds the requests the responder took (command, type,
// size, payload), the result, the bytes the call changed in its argument
// buffers and what the library printed. On the spot: every request is of
// type 1 and 2024 bytes, the lock is back at 1 and no message is left over;
// an ordinary operation that fails returns its failure value with its
// buffers untouched.
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "api_arch.h"
#include "transcript.h"
#include "../watchdog.h"

BUFFER_ENCODE_T* BufferEncode;  // this program plays the loading program

namespace {

BUFFER_ENCODE_T camera_state;  // its snapshot: 5 bytes of picture

// ---- the responder: a child process on the control queue ----

constexpr int kMaxRecorded = 8;

struct Recorded {
    long mtype;
    int command;
    int size;
    unsigned char mtext[MSG_TEXT_SIZE];
};

// Shared with the responder. The caller scripts the reply before each call and
// reads what was taken after it.
struct Shared {
    int answer;       // requests still to be answered (-1: all); at 0: take them,
                      // answer nothing and interrupt the caller's receive until
                      // the call is over
    int call_over;    // set by the caller when the call has returned
    int quiet;        // set by the responder once it stops interrupting
    int reply_size;   // System V size of the reply (4: the command word only)
    unsigned char reply[MSG_TEXT_SIZE + 2];
    int taken;        // requests taken since the caller reset it
    Recorded request[kMaxRecorded];
    pid_t caller;
};

Shared* shared;
pid_t responder;
int lock_id, control_id, response_id;

bool take_request(int control, bool wait) {
    MSGBUF m;
    const ssize_t got = msgrcv(control, &m, MSG_SIZE, 0, wait ? 0 : IPC_NOWAIT);
    if (got < 0) return false;
    const int i = shared->taken;
    if (i < kMaxRecorded) {
        Recorded& r = shared->request[i];
        r.mtype = m.mtype, r.command = m.Command, r.size = static_cast<int>(got);
        memcpy(r.mtext, m.mtext, sizeof r.mtext);
    }
    __atomic_store_n(&shared->taken, i + 1, __ATOMIC_RELEASE);
    return true;
}

[[noreturn]] void serve() {
    const int control = msgget(MSG_CONTROL_KEY, IPC_PERM_WORD);
    const int response = msgget(MSG_RESPONSE_KEY, IPC_PERM_WORD);
    for (;;) {
        if (!take_request(control, true)) {
            if (errno == EINTR) continue;
            _exit(0);  // the queue was removed: the run is over
        }
        if (const int left = __atomic_load_n(&shared->answer, __ATOMIC_ACQUIRE)) {
            if (left > 0) __atomic_store_n(&shared->answer, left - 1, __ATOMIC_RELEASE);
            MSGBUF r;
            memset(&r, 0, sizeof r);
            r.mtype = MSG_TYPE_REPLY;
            memcpy(r.mtext, shared->reply, sizeof r.mtext);
            msgsnd(response, &r, static_cast<size_t>(shared->reply_size), 0);
            continue;
        }
        // Silent: the caller's receive is interrupted, as often as it takes,
        // until its call is over (a second transaction of the call is taken too).
        while (!__atomic_load_n(&shared->call_over, __ATOMIC_ACQUIRE)) {
            kill(shared->caller, SIGALRM);
            usleep(1000);
            take_request(control, false);
        }
        __atomic_store_n(&shared->quiet, 1, __ATOMIC_RELEASE);
    }
}

void on_alarm(int) {}

void start_responder() {
    shared = static_cast<Shared*>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                                       MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared == MAP_FAILED) {
        fprintf(stderr, "transcript: no shared memory\n");
        exit(1);
    }
    memset(shared, 0, sizeof *shared);
    shared->answer = -1;
    shared->caller = getpid();
    // The daemon's part: the objects, and the lock at its free value 1.
    lock_id = semget(SEM_API_KEY, 1, IPC_PERM_WORD);
    control_id = msgget(MSG_CONTROL_KEY, IPC_PERM_WORD);
    response_id = msgget(MSG_RESPONSE_KEY, IPC_PERM_WORD);
    semctl(lock_id, 0, SETVAL, 1);
    struct sigaction quiet = {};
    quiet.sa_handler = on_alarm;  // no SA_RESTART: a blocking call returns EINTR
    sigaction(SIGALRM, &quiet, nullptr);
    fflush(stdout);
    responder = fork();
    if (responder == 0) {
        // Gone with the caller: it would hold the output open, and the test
        // runner would wait for it until its time limit.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != shared->caller) _exit(0);
        serve();
    }
}

void stop_responder() {
    msgctl(control_id, IPC_RMID, nullptr);
    msgctl(response_id, IPC_RMID, nullptr);
    semctl(lock_id, 0, IPC_RMID);
    waitpid(responder, nullptr, 0);
    munmap(shared, sizeof *shared);
}

// The lock's value, -1 when there is no lock set (see refused()).
int lock_value() { return semctl(semget(SEM_API_KEY, 0, 0), 0, GETVAL); }

int waiting(int queue) {
    struct msqid_ds ds;
    return msgctl(queue, IPC_STAT, &ds) == 0 ? static_cast<int>(ds.msg_qnum) : -1;
}

// ---- the replies ----

const char* const kReplies[] = {"bytes", "ff", "numbers", "account", "count13", "short"};
constexpr int kReplyCount = sizeof kReplies / sizeof kReplies[0];

void script(int which) {
    unsigned char* r = shared->reply;
    memset(r, 0, sizeof shared->reply);
    shared->reply_size = MSG_SIZE;
    switch (which) {
    case 0: r[0] = 0xC8, r[1] = 1, r[2] = 2, r[3] = 3; break;  // unsigned 200, signed -56
    case 1: memset(r, 0xFF, MSG_TEXT_SIZE); break;              // -1 everywhere, no NUL
    case 2: strcpy(reinterpret_cast<char*>(r), "-123,45,6,7"); break;
    case 3: strcpy(reinterpret_cast<char*>(r), "admin:se:cret:3"); break;
    case 4: {  // a record count of 13, then records
        const int32_t count = 13;
        memcpy(r, &count, 4);
        for (int i = 4; i < 104; ++i) r[i] = static_cast<unsigned char>(i * 7 + 3);
        break;
    }
    case 5: shared->reply_size = 4; break;  // the command word and nothing else
    }
}

// A text of `length` characters (with its NUL when it fits in mtext).
void script_text(int length) {
    script(5);
    shared->reply_size = MSG_SIZE;
    for (int i = 0; i < length; ++i) shared->reply[i] = static_cast<unsigned char>('a' + i % 26);
}

// ---- the arguments: fixed values by type and position ----

constexpr int kSlots = 6;
constexpr size_t kSlotSize = 4096;
unsigned char slot[kSlots][kSlotSize], slot_before[kSlots][kSlotSize];
const int kInts[kSlots] = {300, -2, 70000, 5, -100000, 7};
const unsigned char kBytes[kSlots] = {0xC8, 7, 0x80, 1, 2, 3};
const char* const kTexts[kSlots] = {"alpha,1:x", "beta", "gamma delta", "d", "e", "f"};

// Each buffer: a text, its NUL, then a pattern (records and outputs show in it).
void fill_slots() {
    for (int k = 0; k < kSlots; ++k) {
        for (size_t i = 0; i < kSlotSize; ++i) slot[k][i] = static_cast<unsigned char>(i * 37 + k * 11 + 1);
        strcpy(reinterpret_cast<char*>(slot[k]), kTexts[k]);
    }
    memcpy(slot_before, slot, sizeof slot);
}

template <class T> struct Arg;
template <> struct Arg<int> {
    static int at(int k) { return kInts[k]; }
};
template <> struct Arg<unsigned char> {
    static unsigned char at(int k) { return kBytes[k]; }
};
int null_slot = -1;  // the pointer parameter given as null, if any
template <class T> struct Arg<T*> {
    static T* at(int k) { return k == null_slot ? nullptr : reinterpret_cast<T*>(slot[k]); }
};
template <> struct Arg<POSITION_T> {
    static POSITION_T at(int) { return POSITION_T{0x01020304, -5, 70000}; }
};

template <int... I> struct Seq {};
template <int N, int... I> struct MakeSeq {
    using type = typename MakeSeq<N - 1, N - 1, I...>::type;
};
template <int... I> struct MakeSeq<0, I...> {
    using type = Seq<I...>;
};
template <class... P, int... I> int call_with(int (*fn)(P...), Seq<I...>) {
    return fn(Arg<P>::at(I)...);
}
// Calls fn with the fixed argument of each parameter's type and position.
template <class... P> int call_fixed(int (*fn)(P...)) {
    return call_with(fn, typename MakeSeq<sizeof...(P)>::type());
}

template <class T> struct IsPointer { enum { value = 0 }; };
template <class T> struct IsPointer<T*> { enum { value = 1 }; };
template <class... P, int... I> constexpr unsigned pointers_with(int (*)(P...), Seq<I...>) {
    return (0u | ... | (static_cast<unsigned>(IsPointer<P>::value) << I));
}
// One bit per pointer parameter of fn.
template <class... P> constexpr unsigned pointers_of(int (*fn)(P...)) {
    return pointers_with(fn, typename MakeSeq<sizeof...(P)>::type());
}

// ---- the operations ----

struct Operation {
    const char* name;
    const char* reply;  // the row's reply, "" for a hand-written operation
    int (*call)();
    unsigned pointers;  // one bit per pointer parameter
};

#define OP(name, command, params, request, reply) \
    {#name, #reply, [] { return call_fixed(&name); }, pointers_of(&name)},
const Operation kOrdinary[] = {
#include "api_ops.def"
};
#undef OP

#define HAND(name) {#name, "", [] { return call_fixed(&name); }, pointers_of(&name)}
const Operation kHandWritten[] = {
    HAND(API_Video_GetPIRatio), HAND(API_Video_GetDeinterlace), HAND(API_Video_GetQP),
    HAND(API_Video_SetJPGSnapShot), HAND(API_Net_GetFixIP), HAND(API_Net_SetNetConfig),
    HAND(API_Net_SetMacAddress), HAND(API_Net_SetDNS), HAND(API_WLAN_SetWepKey),
    HAND(API_Linkway_GetMapStatus), HAND(API_SNTP_Get_Zone), HAND(API_USER_SetAddUser),
    HAND(API_USER_SetChangePassword), HAND(API_USER_Modify), HAND(API_USER_GetUserInfoByName),
    HAND(API_USER_GetUserInfoByID), HAND(API_SMTP_Send_Text), HAND(API_SMTP_Send_Attach),
    HAND(API_Net_FTPGetCommandPort), HAND(API_System_Update), HAND(API_EVENT_GetMotionRegion),
    HAND(API_EVENT_SetMotionRegion), HAND(API_MOD_SetGPIOValueOut), HAND(API_MOD_SetRecordList),
    HAND(API_MOD_GetRecordList),
};
#undef HAND

// Calls with arguments of their own: several exchanges, texts at the limits
// of text copy and of bounded formatting, a snapshot of a length no picture has.
char long_text[3000];
int32_t records[13 * 2];

// A text of `length` characters.
char* text_of(size_t length) {
    for (size_t i = 0; i < length; ++i) long_text[i] = static_cast<char>('A' + i % 23);
    long_text[length] = 0;
    return long_text;
}

const Operation kSpecial[] = {
    {"API_MOD_SetRecordList(1, 13)", "", [] { return API_MOD_SetRecordList(1, 13, records); }},
    {"API_Video_SetCodeservip(2017 characters)", "", [] { return API_Video_SetCodeservip(text_of(2017)); }},
    {"API_Video_SetCodeservip(2018 characters)", "", [] { return API_Video_SetCodeservip(text_of(2018)); }},
    {"API_SNTP_Set_Zone(2017 characters)", "", [] { return API_SNTP_Set_Zone(text_of(2017)); }},
    {"API_SNTP_Set_Zone(2018 characters)", "", [] { return API_SNTP_Set_Zone(text_of(2018)); }},
    {"API_USER_SetAddUser(2990 characters)", "", [] {
         return API_USER_SetAddUser(3, text_of(2990), const_cast<char*>("pw"));
     }},
    {"API_SMTP_Send_Text(subject of 63)", "", [] { return API_SMTP_Send_Text(text_of(63), const_cast<char*>("b")); }},
    {"API_SMTP_Send_Text(subject of 64)", "", [] { return API_SMTP_Send_Text(text_of(64), const_cast<char*>("b")); }},
    {"API_SMTP_Send_Text(content of 1953)", "", [] { return API_SMTP_Send_Text(const_cast<char*>("s"), text_of(1953)); }},
    {"API_SMTP_Send_Text(content of 1954)", "", [] { return API_SMTP_Send_Text(const_cast<char*>("s"), text_of(1954)); }},
    {"API_Video_SetJPGSnapShot(length 102400)", "", [] {
         static unsigned char picture[102400];
         camera_state.JPGSnapLen = 102400;
         const int copied = API_Video_SetJPGSnapShot(3, picture);
         camera_state.JPGSnapLen = 5;
         return copied;
     }},
    {"API_Video_SetJPGSnapShot(length 102401)", "", [] {
         camera_state.JPGSnapLen = 102401;
         const int copied = API_Video_SetJPGSnapShot(3, slot[0]);
         camera_state.JPGSnapLen = 5;
         return copied;
     }},
};
// Refused before the lock.
const Operation kRefused[] = {
    {"API_MOD_SetRecordList(1, 4097)", "", [] { return API_MOD_SetRecordList(1, 4097, records); }},
    {"API_Net_SetNetConfig(empty netmask)", "", [] {
         return API_Net_SetNetConfig(const_cast<char*>("1.2.3.4"), const_cast<char*>(""),
                                     const_cast<char*>("1.2.3.1"));
     }},
    {"API_Net_SetNetConfig(empty address)", "", [] {
         return API_Net_SetNetConfig(const_cast<char*>(""), const_cast<char*>("255.0.0.0"),
                                     const_cast<char*>("1.2.3.1"));
     }},
    {"API_Net_SetNetConfig(empty gateway)", "", [] {
         return API_Net_SetNetConfig(const_cast<char*>("1.2.3.4"), const_cast<char*>("255.0.0.0"),
                                     const_cast<char*>(""));
     }},
    {"API_Net_SetDNS(empty)", "", [] { return API_Net_SetDNS(1, const_cast<char*>("")); }},
};

// Answers that hand-written operations read numbers or parts from: short,
// out of range, not numbers, unknown accounts, parts too long for their field.
const struct {
    const char* name;
    const char* text;
} kAnswers[] = {
    {"API_Video_GetQP", "28"}, {"API_Video_GetQP", "300,-1"}, {"API_Video_GetQP", "7,"},
    {"API_Video_GetQP", "abc"}, {"API_Video_GetPIRatio", "abc"}, {"API_Linkway_GetMapStatus", "1"},
    {"API_Linkway_GetMapStatus", ""}, {"API_Linkway_GetMapStatus", "ok"},
    {"API_EVENT_GetMotionRegion", "1,2,3"}, {"API_Net_FTPGetCommandPort", "abc"},
    {"API_Net_FTPGetCommandPort", "2121"}, {"API_USER_GetUserInfoByID", "none"},
    {"API_USER_GetUserInfoByID", "guest::1"}, {"API_USER_GetUserInfoByName", "none"},
    {"API_Net_GetFixIP", "192.168.1.20"},
};

const Operation& hand_written(const char* name) {
    for (const Operation& op : kHandWritten)
        if (!strcmp(op.name, name)) return op;
    fprintf(stderr, "transcript: no operation %s\n", name);
    exit(1);
}

void prepare_special() {
    for (int i = 0; i < 26; ++i) records[i] = i * 1000 - 7;
}

// The failure value of an ordinary row, from its reply kind.
int failure_of(const char* reply) { return strcmp(reply, "ack()") == 0 ? 0 : -1; }

// The daemon's text field size of a text row, or 0.
int text_size_of(const char* reply) {
    if (strncmp(reply, "text(", 5) != 0) return 0;
    const char* comma = strchr(reply, ',');
    return comma ? atoi(comma + 1) : 0;
}

// ---- one call and its line ----

void put_requests() {
    const int taken = __atomic_load_n(&shared->taken, __ATOMIC_ACQUIRE);
    if (taken == 0) put(" | nothing sent");
    for (int i = 0; i < taken && i < kMaxRecorded; ++i) {
        const Recorded& r = shared->request[i];
        size_t end = sizeof r.mtext;
        while (end > 0 && r.mtext[end - 1] == 0) --end;
        put(" | sent %d:", r.command);
        put_bytes(r.mtext, end);  // up to the last byte that is not zero
        CHECK(r.mtype == MSG_TYPE_REQUEST);
        CHECK(r.size == MSG_SIZE);
    }
    if (taken > kMaxRecorded) put(" | %d more", taken - kMaxRecorded);
}

// True when some argument buffer changed; puts the changed span of each.
bool put_changed_buffers() {
    bool changed = false;
    for (int k = 0; k < kSlots; ++k) {
        size_t first = 0, last = kSlotSize;
        while (first < kSlotSize && slot[k][first] == slot_before[k][first]) ++first;
        if (first == kSlotSize) continue;
        while (slot[k][last - 1] == slot_before[k][last - 1]) --last;
        put(" | arg%d[%zu..%zu] ", k, first, last - 1);
        put_bytes(slot[k] + first, last - first);
        changed = true;
    }
    return changed;
}

constexpr int kUnchecked = -2;

struct Outcome {
    int result;
    bool changed;
};

// One call and its line. Afterwards the lock must have `lock` (1: free; its
// value is shown when it is not 1) and no message may be left on the queues.
Outcome call(const Operation& op, const char* tag, int lock = 1) {
    fill_slots();
    shared->taken = 0;
    put("%s %s:", op.name, tag);
    capture_begin();
    watchdog(op.name);
    const int result = op.call();
    watchdog(nullptr);
    capture_end();
    put(" -> %d", result);
    put_requests();
    const bool changed = put_changed_buffers();
    const int lock_after = lock_value();
    if (lock_after != 1) put(" | lock %d", lock_after);
    end_line();
    CHECK(lock_after == lock || lock == kUnchecked);
    CHECK(waiting(control_id) == 0 && waiting(response_id) == 0);
    return Outcome{result, changed};
}

// Reply texts at a field's size: one character short fits, the full size does not.
void text_limits(const Operation& op, int field) {
    for (int length = field - 1; length <= field && length <= MSG_TEXT_SIZE; ++length) {
        char tag[32];
        snprintf(tag, sizeof tag, "text%d", length);
        script_text(length);
        call(op, tag);
    }
}

// A call that must be refused before it opens the lock: the lock set is
// removed first, so one that opens it creates a new one (at 0, its wait then
// interrupted by the timer) and its line shows "lock 0" instead of "lock -1".
void refused(const Operation& op, const char* tag) {
    semctl(lock_id, 0, IPC_RMID);
    const itimerval every_ms = {{0, 1000}, {0, 1000}}, off = {};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    call(op, tag, kUnchecked);
    setitimer(ITIMER_REAL, &off, nullptr);
    semctl(semget(SEM_API_KEY, 0, 0), 0, IPC_RMID);
    lock_id = semget(SEM_API_KEY, 1, IPC_PERM_WORD);
    semctl(lock_id, 0, SETVAL, 1);
}

void answered(const Operation& op) {
    for (int r = 0; r < kReplyCount; ++r) {
        script(r);
        call(op, kReplies[r]);
    }
    // An ordinary text row names its field; a hand-written operation is tried
    // at the size of every text field it has.
    static const int kFieldSizes[] = {32, 64, 128, 256};
    if (!op.reply[0]) {
        for (int field : kFieldSizes) text_limits(op, field);
    } else if (const int field = text_size_of(op.reply)) {
        text_limits(op, field);
    }
}

// ---- the failure paths of the engine ----

// An ordinary operation that fails returns its row's failure value and
// leaves its buffers alone.
void failing(const Operation& op, const char* path, int lock) {
    const Outcome outcome = call(op, path, lock);
    if (op.reply[0]) {
        CHECK(outcome.result == failure_of(op.reply));
        CHECK(!outcome.changed);
    }
}

template <class Each> void for_each_operation(Each each) {
    for (const Operation& op : kOrdinary) each(op);
    for (const Operation& op : kHandWritten) each(op);
}

// Every operation, and the calls with arguments of their own, on a failure path.
template <class Each> void for_each_failing(Each each) {
    for_each_operation(each);
    for (const Operation& op : kSpecial) each(op);
}

void set_msgmax(const char* value) {
    FILE* f = fopen("/proc/sys/kernel/msgmax", "w");
    CHECK(f && fputs(value, f) >= 0 && fclose(f) == 0);
}

// The daemon answers the first `answers` requests of the call, then takes the
// rest without answering: the receive is interrupted.
void unanswered(const Operation& op, const char* path, int answers) {
    shared->call_over = 0, shared->quiet = 0;
    __atomic_store_n(&shared->answer, answers, __ATOMIC_RELEASE);
    failing(op, path, 1);
    __atomic_store_n(&shared->call_over, 1, __ATOMIC_RELEASE);
    if (shared->taken > answers)
        while (!__atomic_load_n(&shared->quiet, __ATOMIC_ACQUIRE)) usleep(200);
    __atomic_store_n(&shared->answer, -1, __ATOMIC_RELEASE);
}

void failure_paths() {
    // Sends fail: the namespace's largest message is made smaller than a request.
    char saved[32] = "8192";
    if (FILE* f = fopen("/proc/sys/kernel/msgmax", "r")) {
        if (!fgets(saved, sizeof saved, f)) strcpy(saved, "8192");
        fclose(f);
    }
    set_msgmax("1000");
    for_each_failing([](const Operation& op) {
        failing(op, "send fails", 1);
        CHECK(shared->taken == 0);
    });
    set_msgmax(saved);

    // The daemon takes the request and never answers: the receive is interrupted.
    for_each_failing([](const Operation& op) { unanswered(op, "receive interrupted", 0); });
    // A record list whose header is answered and whose first chunk is not.
    script(4);
    unanswered(kSpecial[0], "chunk unanswered", 1);
    unanswered(hand_written("API_MOD_GetRecordList"), "chunk unanswered", 1);
    script(0);

    // The kernel refuses the wait: this process's undo count for the lock is at
    // its limit, so one more undoable wait is out of range (ERANGE).
    for_each_failing([](const Operation& op) {
        semctl(lock_id, 0, SETVAL, 32767);
        struct sembuf to_limit = {0, -32767, SEM_UNDO}, free_again = {0, 1, 0};
        CHECK(semop(lock_id, &to_limit, 1) == 0 && semop(lock_id, &free_again, 1) == 0);
        failing(op, "lock wait refused", 1);
        CHECK(shared->taken == 0);
        semctl(lock_id, 0, SETVAL, 1);  // clears the undo counts too
    });

    // Another process holds the lock and the wait is interrupted: nothing is
    // sent and the lock is not raised.
    for_each_failing([](const Operation& op) {
        struct sembuf take = {0, -1, 0}, give = {0, 1, 0};
        semop(lock_id, &take, 1);
        const itimerval every_ms = {{0, 1000}, {0, 1000}}, off = {};
        setitimer(ITIMER_REAL, &every_ms, nullptr);
        failing(op, "lock wait interrupted", 0);
        setitimer(ITIMER_REAL, &off, nullptr);
        CHECK(shared->taken == 0);
        semop(lock_id, &give, 1);
    });
}

}  // namespace

void walk_daemon_operations() {
    camera_state.JPGSnapLen = 5;
    memcpy(camera_state.JPGBSnapBuffer, "\xFF\xD8\xFF\xE0\x01", 5);
    BufferEncode = &camera_state;
    prepare_special();
    start_responder();

    for_each_operation(answered);
    script(0);
    for (const Operation& op : kSpecial) call(op, "answered");
    // A caller that exits after its call leaves no step on the lock to undo.
    if (fork() == 0) _exit(kOrdinary[0].call());
    wait(nullptr);
    CHECK(lock_value() == 1);
    for (const Operation& op : kRefused) refused(op, "refused");
    char* const reply = reinterpret_cast<char*>(shared->reply);
    for (const auto& answer : kAnswers) {
        script(5);
        shared->reply_size = MSG_SIZE;
        strcpy(reply, answer.text);
        char tag[64];
        snprintf(tag, sizeof tag, "answer \"%s\"", answer.text);
        call(hand_written(answer.name), tag);
    }
    // Names and passwords at the size of their 128-byte fields.
    for (int part = 0; part < 2; ++part) {
        for (int length = 127; length <= 128; ++length) {
            script(5);
            shared->reply_size = MSG_SIZE;
            snprintf(reply, MSG_TEXT_SIZE, "%s:%s:1", part ? "u" : text_of(length), part ? text_of(length) : "p");
            char tag[32];
            snprintf(tag, sizeof tag, "%s of %d", part ? "password" : "name", length);
            call(hand_written("API_USER_GetUserInfoByID"), tag);
        }
    }
    // A record count one past the bound: refused before any chunk.
    script(4);
    const int32_t too_many = 4097;
    memcpy(reply, &too_many, 4);
    call(hand_written("API_MOD_GetRecordList"), "count 4097");
    // Each pointer parameter null in turn: refused, nothing sent, or no
    // output written.
    script(0);
    for_each_operation([](const Operation& op) {
        for (null_slot = 0; null_slot < kSlots; ++null_slot) {
            if (!(op.pointers >> null_slot & 1)) continue;
            char tag[32];
            snprintf(tag, sizeof tag, "null arg%d", null_slot);
            refused(op, tag);
        }
        null_slot = -1;
    });
    failure_paths();
    stop_responder();
    BufferEncode = nullptr;
}
