// Calls under the timer, the control daemon's presence, and the state record
// behind the snapshot.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // RTLD_NEXT
#endif
#include "run.h"

#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/time.h>
#include <unistd.h>

#include "apisim_state.h"

// The shared camera state record that the library's snapshot copies from.
// apictl defines the pointer itself: the library imports it weakly, and a weak
// reference that finds no definition when the program is loaded stays null for
// good (a provider opened later with dlopen would not rebind it). Before a
// snapshot find_state_record() fills it.
extern "C" {
__attribute__((visibility("default"))) BUFFER_ENCODE_T* BufferEncode = nullptr;
}

namespace apictl {

const char* const kNoStateRecord =
    "no shared state record: no provider of BufferEncode is loaded and the stand-in's record "
    "(System V shared memory key 1688) is not there (is apisim running?)";

namespace {

// The timer interrupts the blocking wait (no SA_RESTART): the library then
// fails the call and gives the lock back. It repeats, so that one landing
// just before a wait began is followed by another; a call that still has not
// returned kGraceTicks later is ended with the process.
constexpr long kTickMicros = 200000;
constexpr int kGraceTicks = 10;
volatile sig_atomic_t timer_fired = 0;
volatile sig_atomic_t timer_ticks = 0;
// The call under the timer, for the handler.
const char* call_name = "";
const char* seconds_text = "";
bool call_uses_daemon = false;
int json_fd = -1;

// A message built without stdio: the handler writes it too.
struct Message {
    char* text;
    size_t room, len = 0;
    Message(char* buffer, size_t size) : text(buffer), room(size) { text[0] = 0; }
    Message& add(const char* s) {
        while (*s && len + 1 < room) text[len++] = *s++;
        text[len] = 0;
        return *this;
    }
    Message& add(long v) {
        char digits[24];
        int n = 0;
        unsigned long m = v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
        do digits[n++] = static_cast<char>('0' + m % 10);
        while (m /= 10);
        if (v < 0) digits[n++] = '-';
        while (n && len + 1 < room) text[len++] = digits[--n];
        text[len] = 0;
        return *this;
    }
};

// Why a call that the timer broke off got no answer: waiting at the API lock
// that another process holds, or waiting for the daemon after taking it.
void why_no_answer(Message& m) {
    m.add(call_name).add(": ");
    if (!call_uses_daemon) {
        m.add("no return within ").add(seconds_text).add(" s; the call was broken off");
        return;
    }
    const int lock = semget(SEM_API_KEY, 1, 0);
    const long holder = lock >= 0 ? semctl(lock, 0, GETPID) : -1;
    const long value = lock >= 0 ? semctl(lock, 0, GETVAL) : -1;
    if (value == 0 && holder > 0 && holder != getpid()) {
        m.add("the API lock is held by pid ").add(holder);
        if (kill(static_cast<pid_t>(holder), 0) != 0 && errno == ESRCH) m.add(", which no longer runs");
        m.add("; gave up after ").add(seconds_text).add(" s");
    } else if (value == 0 && holder == 0) {
        m.add("the API lock was never made free (is the control daemon running?); gave up after ").add(seconds_text).add(" s");
    } else {
        m.add("no answer within ").add(seconds_text).add(" s");
    }
}

void write_all(int fd, const char* s, size_t n) {
    while (n) {
        const ssize_t done = write(fd, s, n);
        if (done <= 0) return;
        s += done, n -= static_cast<size_t>(done);
    }
}

// The message holds names, digits and the timeout as given (a number):
// nothing that JSON escapes.
void on_alarm(int) {
    timer_fired = 1;
    timer_ticks = timer_ticks + 1;
    if (timer_ticks < kGraceTicks) return;
    char text[240];
    Message m(text, sizeof text);
    why_no_answer(m);
    m.add("; the call did not return");
    write_all(2, "apictl: ", 8);
    write_all(2, m.text, m.len);
    write_all(2, "\n", 1);
    if (json_fd >= 0) {
        char head[120];
        Message h(head, sizeof head);
        h.add("{\"name\":\"").add(call_name).add("\",\"result\":null,\"outputs\":{},\"error\":\"");
        write_all(json_fd, h.text, h.len);
        write_all(json_fd, m.text, m.len);
        write_all(json_fd, "\",\"timeout\":true}\n", 18);
    }
    _exit(kTimedOut);
}

void arm(double seconds) {
    timer_fired = 0;
    timer_ticks = 0;
    if (seconds <= 0) return;
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    itimerval it{};
    it.it_value.tv_sec = static_cast<time_t>(seconds);
    it.it_value.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(it.it_value.tv_sec)) * 1e6);
    if (it.it_value.tv_sec == 0 && it.it_value.tv_usec == 0) it.it_value.tv_usec = 1;
    it.it_interval.tv_usec = kTickMicros;
    setitimer(ITIMER_REAL, &it, nullptr);
}

void disarm() {
    itimerval it{};
    setitimer(ITIMER_REAL, &it, nullptr);
}

// Standard output goes to standard error while an operation runs when it must
// stay clean (JSON, a picture): trace lines then do not mix with it.
struct TraceAside {
    int saved = -1;
    explicit TraceAside(bool aside) {
        fflush(stdout);
        if (aside && (saved = dup(1)) >= 0) dup2(2, 1);
    }
    ~TraceAside() {
        fflush(stdout);
        if (saved >= 0) dup2(saved, 1), close(saved);
    }
};

}  // namespace

bool parse_timeout(const char* text, double& seconds) {
    char* end;
    errno = 0;
    seconds = strtod(text, &end);
    return *text && !*end && errno == 0 && seconds >= 0 && seconds <= 31536000;
}

bool daemon_present(char* why, size_t room) {
    Message m(why, room);
    const bool queues = msgget(MSG_CONTROL_KEY, 0) >= 0 && msgget(MSG_RESPONSE_KEY, 0) >= 0;
    const int queue_errno = errno;
    if (!queues && queue_errno == ENOENT) m.add("no control daemon: the queues do not exist (is apisim running?)");
    else if (!queues) m.add("cannot open the control daemon's queues: ").add(strerror(queue_errno));
    else if (semget(SEM_API_KEY, 1, 0) < 0) m.add("no control daemon: the API lock does not exist (is apisim running?)");
    return m.len == 0;
}

void set_json_fd(int fd) { json_fd = fd; }

// From a provider loaded with apictl: its constructor set this program's
// BufferEncode (which takes the place of its own), or set its own (found
// after this program's with RTLD_NEXT). Else the stand-in's record, read-only.
BUFFER_ENCODE_T* find_state_record() {
    if (BufferEncode) return BufferEncode;
    if (auto* theirs = static_cast<BUFFER_ENCODE_T**>(dlsym(RTLD_NEXT, "BufferEncode")); theirs && *theirs)
        return BufferEncode = *theirs;
    const int id = shmget(APISIM_STATE_KEY, sizeof(BUFFER_ENCODE_T), 0);
    void* p = id >= 0 ? shmat(id, nullptr, SHM_RDONLY) : reinterpret_cast<void*>(-1);
    return p == reinterpret_cast<void*>(-1) ? nullptr : (BufferEncode = static_cast<BUFFER_ENCODE_T*>(p));
}

Outcome run_call(Call& c, const char* name, const Run& how) {
    Outcome o;
    call_name = name, seconds_text = how.seconds_text;
    call_uses_daemon = talks_to_daemon(*c.entry);
    if (call_uses_daemon) {
        char why[200];
        if (!daemon_present(why, sizeof why)) {
            Message(o.why, sizeof o.why).add(name).add(": ").add(why);
            o.status = kTimedOut;
            return o;
        }
    }
    if (strcmp(c.entry->name, "API_Video_SetJPGSnapShot") == 0 && !find_state_record())
        fprintf(stderr, "apictl: %s: %s\n", name, kNoStateRecord);
    {
        TraceAside aside(how.trace_aside);
        arm(how.seconds);
        invoke(c);
        disarm();
    }
    if ((o.timer_fired = timer_fired)) {
        Message m(o.why, sizeof o.why);
        why_no_answer(m);
        o.status = kTimedOut;
    } else {
        o.status = c.failed ? kFailed : kOk;
    }
    return o;
}

void print_no_answer_json(FILE* out, const char* name, const Call* c, const Outcome& o) {
    fputs("{\"name\":", out);
    json_string(out, name);
    if (c && o.timer_fired && c->kind == Call::Int) fprintf(out, ",\"result\":%lld", c->result);
    else fputs(",\"result\":null", out);
    fputs(",\"outputs\":{},\"error\":", out);
    json_string(out, o.why);
    fprintf(out, ",\"timeout\":%s}\n", o.timer_fired ? "true" : "false");
}

}  // namespace apictl
