// The load run with faults: callers in several processes against an echoing
// responder, in a private IPC namespace, while a chaos loop interrupts them
// with SIGALRM and kills some with SIGKILL and starts replacements. It stops
// by itself after a bounded number of calls.
//
// Every request carries a unique token and every reply a unique reply number
// beside the token it answers, so each answer a caller gets can be checked
// and, when it is not its own, traced: to whose request it answered and when
// the responder put it on the queue, against when the caller took the lock.
// The protocol carries no correlation: an answer that arrives after the next
// caller took the lock and drained the queue is taken by that caller as its
// own. The drain before each send makes every answer that was already
// waiting when the lock was taken harmless; those must give no wrong delivery.
// A request that the responder had not read yet when its caller gave up is
// taken off the control queue (by that caller, or by the next one when it was
// killed) and never answered; the run counts those.
//
//   soak_run [calls-per-process [directed-cases]]
// Exit status 0 when the figures hold, 1 when not, 77 without the privilege
// for a private IPC namespace.
#define _GNU_SOURCE 1
#include <dlfcn.h>
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "api_arch.h"

namespace {

constexpr int kProcesses = 8;
constexpr int kMagic = 0x50A4C0DE;
constexpr int kMaxReplies = 1 << 20, kMaxTokens = 1 << 20, kMaxWrong = 1 << 14;

enum Fate : uint32_t { kUnknown, kInFlight, kDone, kInterrupted, kKilled };

struct ReplyLog {
    uint32_t token, before_us, after_us;  // around the responder's msgsnd
};

struct Wrong {
    uint32_t token, reply;  // whose answer it was, and which reply
    uint32_t lock_us;       // when the receiving caller took the lock
};

// Everything the processes share (anonymous shared memory, 32-bit atomics).
struct Shared {
    uint32_t next_token, next_reply;
    // Responder control for the directed cases: hold the next requests.
    uint32_t hold, held, release;
    uint32_t held_token[2];
    // Per process slot of the load run.
    struct Slot {
        uint32_t remaining, current, pid;
    } slot[kProcesses];
    uint32_t calls, checked, own, interrupted, unexpected, unidentified, killed;
    uint32_t withdrawn;  // requests taken off the control queue unread
    uint32_t wrongs;
    Wrong wrong[kMaxWrong];
    uint32_t fate[kMaxTokens];
    ReplyLog reply[kMaxReplies];
};
Shared* sh;

template <class T> T load(const T& v) { return __atomic_load_n(&v, __ATOMIC_SEQ_CST); }
template <class T> void store(T& v, T x) { __atomic_store_n(&v, x, __ATOMIC_SEQ_CST); }
template <class T> T bump(T& v, T by = 1) { return __atomic_fetch_add(&v, by, __ATOMIC_SEQ_CST); }

uint32_t now_us() {
    static timespec start;
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    if (!start.tv_sec) start = t;  // set once in the parent, before any fork
    return static_cast<uint32_t>((t.tv_sec - start.tv_sec) * 1000000 + (t.tv_nsec - start.tv_nsec) / 1000);
}

void sleep_us(long us) {
    const timespec t = {us / 1000000, (us % 1000000) * 1000};
    nanosleep(&t, nullptr);
}

uint32_t lock_taken_us;  // this process's last successful wait for the API lock

}  // namespace

// Each wait the library makes for the API lock is timed here on its way to the kernel.
extern "C" int semop(int id, struct sembuf* ops, size_t n) noexcept {
    static auto real = reinterpret_cast<int (*)(int, struct sembuf*, size_t)>(dlsym(RTLD_NEXT, "semop"));
    const int r = real(id, ops, n);
    if (r == 0 && n == 1 && ops[0].sem_op < 0 && (ops[0].sem_flg & SEM_UNDO)) lock_taken_us = now_us();
    return r;
}

// The library's receives of requests are its withdrawals of unread ones.
extern "C" ssize_t msgrcv(int id, void* msg, size_t size, long type, int flags) {
    static auto real = reinterpret_cast<ssize_t (*)(int, void*, size_t, long, int)>(dlsym(RTLD_NEXT, "msgrcv"));
    const ssize_t r = real(id, msg, size, type, flags);
    if (r >= 0 && type == MSG_TYPE_REQUEST && (flags & IPC_NOWAIT) && sh) bump(sh->withdrawn);
    return r;
}

namespace {

volatile sig_atomic_t alarmed;
void on_alarm(int) { alarmed = 1; }

// ---- the responder ----

struct Record {
    long mtype;
    int32_t command;
    unsigned char mtext[MSG_TEXT_SIZE + 2];
};

// The token a request carries: raw at mtext[0] for the position query, the
// codec value and the record list's channel; "t<token>" for the SSID.
uint32_t token_of(const Record& r) {
    int32_t v = 0;
    switch (r.command) {
    case 394: case 427: case 257: case 259: memcpy(&v, r.mtext, 4); return static_cast<uint32_t>(v);
    case 115: return r.mtext[0] == 't' ? static_cast<uint32_t>(strtoul(reinterpret_cast<const char*>(r.mtext) + 1, nullptr, 10)) : 0;
    }
    return 0;
}

void answer(int response, uint32_t token) {
    Record out;
    memset(&out, 0, sizeof out);
    out.mtype = MSG_TYPE_REPLY;
    const uint32_t id = bump(sh->next_reply);
    const int32_t sig[3] = {static_cast<int32_t>(token), kMagic, static_cast<int32_t>(id)};
    memcpy(out.mtext, sig, sizeof sig);  // the position query's record, echoed with the reply's number
    ReplyLog& log = sh->reply[id % kMaxReplies];
    store(log.token, token);
    store(log.before_us, now_us());
    while (msgsnd(response, &out, MSG_SIZE, 0) != 0 && errno == EINTR) {
    }
    store(log.after_us, now_us());
}

[[noreturn]] void responder(unsigned rng, bool delays) {
    const int control = MsgControlInit(), response = MsgResponseInit();
    uint32_t held[2];
    int holding = 0;
    for (;;) {
        Record in;
        if (msgrcv(control, &in, MSG_SIZE, MSG_TYPE_REQUEST, 0) < 0) {
            if (errno == EINTR) continue;
            _exit(0);
        }
        if (in.command == 0) _exit(0);  // the run is over
        const uint32_t token = token_of(in);
        if (load(sh->hold) > 0) {  // a directed case: keep it until released
            bump(sh->hold, 0xFFFFFFFFu);
            held[holding] = token;
            store(sh->held_token[holding], token);
            ++holding;
            store(sh->held, static_cast<uint32_t>(holding));
            if (load(sh->hold) > 0) continue;
            while (!load(sh->release)) sleep_us(100);
            for (int i = 0; i < holding; ++i) answer(response, held[i]);
            holding = 0;
            store(sh->held, 0u), store(sh->release, 0u);
            continue;
        }
        // Now and then a slow answer: the caller may give up first.
        if (delays && rand_r(&rng) % 4 == 0) sleep_us(rand_r(&rng) % 2000);
        answer(response, token);
    }
}

// ---- callers ----

// One call with a fresh token in its request: the position query (0 when its
// own answer came back, 1 for another request's answer), or one of the other
// calls of the mix, an integer set, a text set and a record list of several
// exchanges of 1 to 30 records (0); 2 when it failed.
int one_call(uint32_t token, unsigned kind) {
    uint32_t& fate = sh->fate[token % kMaxTokens];
    store(fate, static_cast<uint32_t>(kInFlight));
    alarmed = 0;
    POSITION_T pos = {static_cast<int32_t>(token), kMagic, 0};
    char ssid[16];
    int list[2 * 30];
    bool failed;
    switch (kind) {
    case 0: failed = API_GET_POSITION(&pos) != 0; break;
    case 1: failed = API_Video_SetCodetype(static_cast<int>(token)) != 1; break;
    case 2:
        snprintf(ssid, sizeof ssid, "t%u", token);
        failed = API_WLAN_SetSSID(ssid) != 1;
        break;
    default:
        for (int i = 0; i < 60; ++i) list[i] = static_cast<int>(token) + i;
        failed = API_MOD_SetRecordList(static_cast<int>(token), 1 + static_cast<int>(token % 30), list) != 1;
    }
    if (failed) {
        if (alarmed) store(fate, static_cast<uint32_t>(kInterrupted)), bump(sh->interrupted);
        else bump(sh->unexpected);
        return 2;
    }
    store(fate, static_cast<uint32_t>(kDone));
    if (kind != 0) return 0;
    bump(sh->checked);
    if (pos.count == static_cast<int32_t>(token) && pos.A == kMagic) return bump(sh->own), 0;
    if (pos.A != kMagic) return bump(sh->unidentified), 1;
    const uint32_t n = bump(sh->wrongs);
    if (n < kMaxWrong) sh->wrong[n] = {static_cast<uint32_t>(pos.count), static_cast<uint32_t>(pos.B), lock_taken_us};
    return 1;
}

void catch_alarm() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;  // no SA_RESTART: a wait returns EINTR
    sigaction(SIGALRM, &sa, nullptr);
}

[[noreturn]] void worker(int slot) {
    catch_alarm();
    unsigned rng = static_cast<unsigned>(getpid()) * 2654435761u + static_cast<unsigned>(slot);
    Shared::Slot& s = sh->slot[slot];
    while (load(s.remaining) > 0) {
        const uint32_t token = bump(sh->next_token);
        store(s.current, token);
        bump(sh->calls);
        const unsigned roll = rand_r(&rng);
        one_call(token, roll % 2 ? 0 : 1 + roll / 2 % 3);  // half position queries
        store(s.current, 0u);
        bump(s.remaining, 0xFFFFFFFFu);
    }
    _exit(0);
}

pid_t spawn(void (*body)(int), int arg) {
    const pid_t pid = fork();
    if (pid == 0) body(arg), _exit(0);
    return pid;
}

// Waits up to `ms` for a condition.
template <class F> bool wait_for(F done, int ms) {
    for (int waited = 0; waited < ms * 10; ++waited) {
        if (done()) return true;
        sleep_us(100);
    }
    return done();
}

size_t waiting_replies() {
    struct msqid_ds ds;
    return msgctl(MsgResponseInit(), IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
}

int exit_code_of(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Stops the responder: a request of command 0, while the answers nobody
// took are drained so that it cannot stay blocked on a full queue.
void stop_responder(pid_t resp) {
    Record stop;
    memset(&stop, 0, sizeof stop);
    stop.mtype = MSG_TYPE_REQUEST;
    msgsnd(MsgControlInit(), &stop, MSG_SIZE, IPC_NOWAIT);
    const bool ended = wait_for([&] {
        Record r;
        while (msgrcv(MsgResponseInit(), &r, MSG_SIZE, 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
        }
        return waitpid(resp, nullptr, WNOHANG) == resp;
    }, 5000);
    if (!ended) kill(resp, SIGKILL), waitpid(resp, nullptr, 0);
}

[[noreturn]] void one_query(int) {
    catch_alarm();
    _exit(one_call(bump(sh->next_token), 0));
}

// ---- directed cases: one late answer each, timed on purpose ----

struct Directed {
    int cases = 0, wrong = 0, failed = 0;
};

// A caller's request is held by the responder, the caller is killed or
// interrupted, and the late answer is put on the queue either before the
// next caller starts (queued) or only after the next caller has sent its own
// request (after_send). Returns null, or the step that did not happen in time.
const char* directed_case(bool kill_it, bool after_send, Directed& d) {
    store(sh->hold, after_send ? 2u : 1u);
    const pid_t a = spawn(one_query, 0);
    if (!wait_for([] { return load(sh->held) == 1; }, 5000)) return "the first request was not held";
    // A signal that lands just before the receive starts is repeated.
    int status = 0;
    const bool gone = wait_for([&] { return kill(a, kill_it ? SIGKILL : SIGALRM), waitpid(a, &status, WNOHANG) == a; }, 5000);
    if (!gone) return "the first caller did not end";
    const int a_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!kill_it && a_code != 2) return "the interrupted caller did not fail";
    pid_t b;
    if (!after_send) {
        store(sh->release, 1u);
        if (!wait_for([] { return waiting_replies() == 1 && load(sh->held) == 0; }, 5000))
            return "the late answer was not queued";
        b = spawn(one_query, 0);
    } else {
        b = spawn(one_query, 0);
        if (!wait_for([] { return load(sh->held) == 2; }, 5000)) return "the next request was not held";
        store(sh->release, 1u);  // the killed caller's answer first, then the next caller's
    }
    const int b_code = exit_code_of(b);
    // The next caller may have its answer before the responder has queued
    // the last held one: the caller after it starts only once all are out.
    if (!wait_for([] { return load(sh->held) == 0; }, 5000)) return "the held answers were not all sent";
    ++d.cases;
    if (b_code == 1) ++d.wrong;
    if (b_code == 2) ++d.failed;
    // Whatever is left over, the next caller drains: it gets its own answer.
    const pid_t c = spawn(one_query, 0);
    if (exit_code_of(c) != 0) ++d.failed;
    return waiting_replies() == 0 ? nullptr : "replies were left over";
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? atoi(argv[1]) : 150;
    const int cases = argc > 2 ? atoi(argv[2]) : 5;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (unshare(CLONE_NEWIPC) != 0) {
        fprintf(stderr, "soak: skipped: cannot enter a private IPC namespace (%s)\n", strerror(errno));
        return 77;
    }
    now_us();
    catch_alarm();  // inherited: a signal right after a fork must not end the child
    // Room for a few more waiting replies than the default 16 KiB (this
    // namespace's own setting).
    if (FILE* f = fopen("/proc/sys/kernel/msgmnb", "w")) fputs("65536\n", f), fclose(f);
    sh = static_cast<Shared*>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (sh == MAP_FAILED) return perror("mmap"), 1;
    sh->next_token = 1;
    // The objects, as the control daemon makes them; the lock free at 1.
    const int lock = SemAPIInit();
    MsgControlInit();
    MsgResponseInit();
    union { int val; } one = {1};
    semctl(lock, 0, SETVAL, one);
    bool ok = true;

    // Directed cases, with a responder that answers at once unless told to hold.
    pid_t resp = spawn([](int) { responder(1, false); }, 0);
    Directed queued, late;
    const char* broken = nullptr;
    for (int i = 0; i < 2 * cases && !broken; ++i) {
        broken = directed_case(i % 2 == 0, false, queued);
        if (!broken) broken = directed_case(i % 2 == 0, true, late);
    }
    ok = !broken;
    printf("soak: directed late answers (%d each after SIGKILL and after SIGALRM):\n", cases);
    printf("  answer queued before the next caller took the lock: %d cases, %d wrong deliveries\n",
           queued.cases, queued.wrong);
    printf("  answer arriving after the next caller sent its request: %d cases, %d wrong deliveries\n"
           "    (replies carry no correlation: that caller takes the late answer as its own; its own\n"
           "    answer is drained by the caller after it, which gets its own again)\n",
           late.cases, late.wrong);
    if (broken) printf("  a directed case did not run as planned: %s\n", broken);
    ok = ok && queued.wrong == 0 && queued.failed == 0 && late.wrong == late.cases && late.failed == 0;
    stop_responder(resp);  // and a clean start for the load run
    sh->calls = sh->checked = sh->own = sh->interrupted = sh->unexpected = sh->unidentified = sh->wrongs = 0;
    sh->withdrawn = 0;

    // The load run: eight callers, a responder that is sometimes slow, chaos.
    resp = spawn([](int) { responder(7, true); }, 0);
    for (int i = 0; i < kProcesses; ++i) {
        sh->slot[i].remaining = static_cast<uint32_t>(calls);
        sh->slot[i].pid = static_cast<uint32_t>(spawn(worker, i));
    }
    unsigned rng = 12345;
    int alarms = 0, kills = 0, lost = 0;
    const uint32_t deadline = now_us() + 120u * 1000000u;
    for (;;) {
        int live = 0;
        for (int i = 0; i < kProcesses; ++i) {
            Shared::Slot& s = sh->slot[i];
            if (!s.pid) continue;
            int status;
            if (waitpid(static_cast<pid_t>(s.pid), &status, WNOHANG) == static_cast<pid_t>(s.pid)) {
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++lost;  // not one of ours
                s.pid = 0;
            } else {
                ++live;
            }
        }
        if (!live || now_us() > deadline) break;
        sleep_us(100 + rand_r(&rng) % 500);
        Shared::Slot& s = sh->slot[rand_r(&rng) % kProcesses];
        if (!s.pid) continue;
        const unsigned roll = rand_r(&rng) % 100;
        if (roll < 60) {
            kill(static_cast<pid_t>(s.pid), SIGALRM), ++alarms;
        } else if (roll < 63) {
            kill(static_cast<pid_t>(s.pid), SIGKILL), ++kills;
            waitpid(static_cast<pid_t>(s.pid), nullptr, 0);
            const uint32_t t = load(s.current);
            if (t) store(sh->fate[t % kMaxTokens], static_cast<uint32_t>(kKilled)), bump(sh->killed);
            s.current = 0;
            s.pid = load(s.remaining) > 0 ? static_cast<uint32_t>(spawn(worker, static_cast<int>(&s - sh->slot))) : 0;
        }
    }
    int stuck = 0;
    for (Shared::Slot& s : sh->slot) {
        if (!s.pid) continue;
        int status;
        if (!wait_for([&] { return waitpid(static_cast<pid_t>(s.pid), &status, WNOHANG) != 0; }, 5000)) {
            ++stuck;
            kill(static_cast<pid_t>(s.pid), SIGKILL);
            waitpid(static_cast<pid_t>(s.pid), nullptr, 0);
        }
    }
    const int lock_value = semctl(lock, 0, GETVAL);
    const size_t left = waiting_replies();
    stop_responder(resp);

    // Each wrong delivery: was the late answer already waiting when the lock was taken?
    uint32_t queued_wrong = 0, of_killed = 0, of_interrupted = 0, displaced = 0;
    const uint32_t wrongs = sh->wrongs < kMaxWrong ? sh->wrongs : kMaxWrong;
    for (uint32_t i = 0; i < wrongs; ++i) {
        const Wrong& w = sh->wrong[i];
        const ReplyLog& r = sh->reply[w.reply % kMaxReplies];
        if (r.after_us && r.after_us < w.lock_us) {
            ++queued_wrong;
            continue;
        }
        switch (sh->fate[w.token % kMaxTokens]) {
        case kKilled: ++of_killed; break;
        case kInterrupted: ++of_interrupted; break;
        default: ++displaced;
        }
    }
    printf("soak: load with faults: %d processes, %d calls each, %d SIGALRM, %d SIGKILL (replaced)\n",
           kProcesses, calls, alarms, kills);
    printf("  calls made: %u (answers checked: %u, own answer: %u)\n", sh->calls, sh->checked, sh->own);
    printf("  calls failed by design: %u interrupted, %u killed; other failures: %u\n", sh->interrupted,
           sh->killed, sh->unexpected);
    printf("  requests of callers that gave up, taken back before the responder read them: %u\n", sh->withdrawn);
    printf("  wrong deliveries with the late answer already queued when the lock was taken: %u\n", queued_wrong);
    printf("  wrong deliveries of answers that came after the receiver took the lock: %u\n"
           "    (a killed caller's: %u, an interrupted caller's: %u, displaced by an earlier one: %u;\n"
           "    replies carry no correlation, so these cannot be told from the receiver's own)\n",
           wrongs - queued_wrong, of_killed, of_interrupted, displaced);
    printf("  answers no caller could identify: %u\n", sh->unidentified);
    printf("  lock value at the end: %d\n", lock_value);
    printf("  callers left blocked: %d; callers that died otherwise: %d\n", stuck, lost);
    printf("  replies left on the response queue: %zu\n", left);
    ok = ok && queued_wrong == 0 && sh->unexpected == 0 && sh->unidentified == 0 && lock_value == 1 && stuck == 0 && lost == 0 &&
         sh->calls >= static_cast<uint32_t>(kProcesses * calls);
    printf("soak: %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
