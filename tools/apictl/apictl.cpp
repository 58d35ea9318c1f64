// apictl: lists and calls every exported operation of libapi_arch from the
// command line (see apictl_usage.def for the commands and the exit statuses).
// It needs nothing but the library and the C library: no C++ runtime, so that
// it runs on the camera as it does on a desk.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // RTLD_NEXT, strcasestr
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/time.h>
#include <unistd.h>

#include "apisim_state.h"
#include "catalog.h"
#include "sim_client.h"

#ifndef APICTL_VERSION
#define APICTL_VERSION "unknown"
#endif

// The shared camera state record that the library's snapshot copies from.
// apictl defines the pointer itself: the library imports it weakly, and a weak
// reference that finds no definition when the program is loaded stays null for
// good (a provider opened later with dlopen would not rebind it). Before a
// snapshot it is filled (find_state_record) from a provider loaded with the
// program, else from the stand-in's record.
extern "C" {
__attribute__((visibility("default"))) BUFFER_ENCODE_T* BufferEncode = nullptr;
}

namespace apictl {
namespace {

// ---- help, from the one list of options and texts ----

struct UsageLine {
    char kind;  // N name, S synopsis, O option, C command, X section
    const char* a;
    const char* b;
    const char* c;
};
const UsageLine kUsageLines[] = {
#define USAGE_NAME(tool, summary) {'N', tool, summary, nullptr},
#define USAGE_SYNOPSIS(line) {'S', line, nullptr, nullptr},
#define USAGE_OPTION(option, argument, text) {'O', option, argument, text},
#define USAGE_COMMAND(synopsis, text) {'C', synopsis, text, nullptr},
#define USAGE_SECTION(title, text) {'X', title, text, nullptr},
#include "apictl_usage.def"
};

// Prints text from `column` on, wrapped at 79 columns, later lines indented;
// "\n" breaks a line.
void wrap(FILE* out, const char* text, int indent, int column) {
    for (const char* p = text; *p;) {
        if (*p == '\n') {
            fprintf(out, "\n%*s", indent, "");
            column = indent, ++p;
            continue;
        }
        const int word = static_cast<int>(strcspn(p, " \n"));
        if (column > indent && column + 1 + word > 79) fprintf(out, "\n%*s", indent, ""), column = indent;
        else if (column > indent) putc(' ', out), ++column;
        fwrite(p, 1, static_cast<size_t>(word), out);
        column += word, p += word;
        while (*p == ' ') ++p;
    }
    putc('\n', out);
}

void print_synopsis(FILE* out) {
    bool first = true;
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'S') fprintf(out, "%s%s\n", first ? "usage: " : "       ", u.a), first = false;
}

void help(FILE* out) {
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'N') fprintf(out, "%s - %s\n\n", u.a, u.b);
    print_synopsis(out);
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'X' && strcmp(u.a, "DESCRIPTION") == 0) putc('\n', out), wrap(out, u.b, 0, 0);
    fputs("\nOptions:\n", out);
    for (const UsageLine& u : kUsageLines) {
        if (u.kind != 'O') continue;
        const int n = fprintf(out, "  %s%s%s", u.a, *u.b ? " " : "", u.b);
        if (n < 22) fprintf(out, "%*s", 22 - n, ""), wrap(out, u.c, 22, 22);
        else fprintf(out, "\n%22s", ""), wrap(out, u.c, 22, 22);
    }
    fputs("\nCommands:\n", out);
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'C') fprintf(out, "  %s\n%6s", u.a, ""), wrap(out, u.b, 6, 6);
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'X' && strcmp(u.a, "DESCRIPTION") != 0) fprintf(out, "\n%s:\n  ", u.a), wrap(out, u.b, 2, 2);
}

int usage_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int usage_error(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    fputs("apictl: ", stderr);
    vfprintf(stderr, fmt, args);
    putc('\n', stderr);
    va_end(args);
    return kUsage;
}

// ---- waiting: the control daemon, the timer ----

// The timer interrupts the blocking wait (no SA_RESTART): the library then
// fails the call and gives the lock back. It repeats, so that one landing
// just before a wait began is followed by another; a call that still has not
// returned kGraceTicks later is ended with the process.
constexpr long kTickMicros = 200000;
constexpr int kGraceTicks = 10;
volatile sig_atomic_t timer_fired = 0;
volatile sig_atomic_t timer_ticks = 0;
const char* call_name = "";
const char* timeout_text = "10";
bool call_uses_daemon = false;
int json_fd = -1;  // standard output as it was, for the object of a call ended from the handler

// A message built without stdio: it is also written from the signal handler.
struct Message {
    char text[240];
    size_t len = 0;
    Message& add(const char* s) {
        while (*s && len + 1 < sizeof text) text[len++] = *s++;
        text[len] = 0;
        return *this;
    }
    Message& add(long v) {
        char digits[24];
        int n = 0;
        unsigned long m = v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
        do digits[n++] = static_cast<char>('0' + m % 10); while (m /= 10);
        if (v < 0) digits[n++] = '-';
        while (n && len + 1 < sizeof text) text[len++] = digits[--n];
        text[len] = 0;
        return *this;
    }
};

// Why a call that the timer broke off got no answer: waiting at the API lock
// that another process holds, or waiting for the daemon after taking it.
Message why_no_answer() {
    Message m;
    m.add(call_name).add(": ");
    if (!call_uses_daemon) return m.add("no return within ").add(timeout_text).add(" s; the call was broken off");
    const int lock = semget(SEM_API_KEY, 1, 0);
    const long holder = lock >= 0 ? semctl(lock, 0, GETPID) : -1;
    const long value = lock >= 0 ? semctl(lock, 0, GETVAL) : -1;
    if (value == 0 && holder > 0 && holder != getpid()) {
        m.add("the API lock is held by pid ").add(holder);
        if (kill(static_cast<pid_t>(holder), 0) != 0 && errno == ESRCH) m.add(", which no longer runs");
        return m.add("; gave up after ").add(timeout_text).add(" s");
    }
    if (value == 0 && holder == 0)
        return m.add("the API lock was never made free (is the control daemon running?); gave up after ")
            .add(timeout_text)
            .add(" s");
    return m.add("no answer within ").add(timeout_text).add(" s");
}

void write_all(int fd, const char* s, size_t n) {
    while (n) {
        const ssize_t done = write(fd, s, n);
        if (done <= 0) return;
        s += done, n -= static_cast<size_t>(done);
    }
}

// The message names, digits and the timeout as given: nothing that JSON escapes.
void on_alarm(int) {
    timer_fired = 1;
    timer_ticks = timer_ticks + 1;
    if (timer_ticks < kGraceTicks) return;
    Message m = why_no_answer();
    m.add("; the call did not return");
    write_all(2, "apictl: ", 8);
    write_all(2, m.text, m.len);
    write_all(2, "\n", 1);
    if (json_fd >= 0) {
        Message head;
        head.add("{\"name\":\"").add(call_name).add("\",\"result\":null,\"outputs\":{},\"error\":\"");
        write_all(json_fd, head.text, head.len);
        write_all(json_fd, m.text, m.len);
        write_all(json_fd, "\",\"timeout\":true}\n", 18);
    }
    _exit(kTimedOut);
}

// Seconds, fractions allowed; 0 means no limit.
bool parse_timeout(const char* text, double& seconds) {
    char* end;
    errno = 0;
    seconds = strtod(text, &end);
    return *text && !*end && errno == 0 && seconds >= 0 && seconds <= 31536000;
}

void arm(double seconds) {
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

// At once, without creating anything: are the daemon's queues and lock there?
bool daemon_present(Message& why) {
    const bool queues = msgget(MSG_CONTROL_KEY, 0) >= 0 && msgget(MSG_RESPONSE_KEY, 0) >= 0;
    const int queue_errno = errno;
    if (!queues && queue_errno == ENOENT) why.add("no control daemon: the queues do not exist (is apisim running?)");
    else if (!queues) why.add("cannot open the control daemon's queues: ").add(strerror(queue_errno));
    else if (semget(SEM_API_KEY, 1, 0) < 0) why.add("no control daemon: the API lock does not exist (is apisim running?)");
    return why.len == 0;
}

void print_no_answer(const char* name, const Call* c, const char* message, bool json) {
    fprintf(stderr, "apictl: %s\n", message);
    if (!json) return;
    fputs("{\"name\":", stdout);
    json_string(stdout, name);
    if (c && c->kind == Call::Int) printf(",\"result\":%lld", c->result);
    else fputs(",\"result\":null", stdout);
    fputs(",\"outputs\":{},\"error\":", stdout);
    json_string(stdout, message);
    printf(",\"timeout\":%s}\n", timer_fired ? "true" : "false");
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

// ---- the state record behind a snapshot ----

// From a provider loaded with apictl: its constructor set this program's
// BufferEncode (which takes the place of its own), or set its own (found
// after this program's with RTLD_NEXT). Else the stand-in's record, read-only.
const char* find_state_record() {
    if (BufferEncode) return "a provider loaded with apictl";
    if (auto* theirs = static_cast<BUFFER_ENCODE_T**>(dlsym(RTLD_NEXT, "BufferEncode")); theirs && *theirs) {
        BufferEncode = *theirs;
        return "a provider loaded with apictl";
    }
    const int id = shmget(APISIM_STATE_KEY, sizeof(BUFFER_ENCODE_T), 0);
    void* p = id >= 0 ? shmat(id, nullptr, SHM_RDONLY) : reinterpret_cast<void*>(-1);
    if (p == reinterpret_cast<void*>(-1)) return nullptr;
    BufferEncode = static_cast<BUFFER_ENCODE_T*>(p);
    return "the stand-in's record";
}

constexpr const char* kNoStateRecord =
    "no shared state record: no provider of BufferEncode is loaded and the stand-in's record "
    "(System V shared memory key 1688) is not there (is apisim running?)";

// ---- list ----

void print_signature(FILE* out, const Entry& e) {
    if (const char* decl = datum_decl(e)) fprintf(out, "data %s", decl);
    else fprintf(out, "%s %s%s", return_type(e), e.name, params_text(e));
}

void print_param_name(FILE* out, const Param* params, int count, int i) {
    if (i >= 0 && i < count) fprintf(out, "%.*s", params[i].name_len, params[i].name);
    else fputs(i == op_facts::kRecordByValue ? "the record" : "a constant", out);
}

void print_facts(FILE* out, const Entry& e, const Param* params, int count) {
    using op_facts::Rep;
    const op_facts::Facts& f = *e.facts;
    fprintf(out, "command %d; request %s", f.command, op_facts::req_name(f.req));
    if (f.format) fprintf(out, " \"%s\"", f.format);
    for (int a = 0; a < f.req_args; ++a) {
        fputs(a ? ", " : " (", out);
        if (f.req_param[a] == op_facts::kRecordByValue && count == 1) print_param_name(out, params, count, 0);
        else print_param_name(out, params, count, f.req_param[a]);
        if (a + 1 == f.req_args) putc(')', out);
    }
    if (f.record_size) fprintf(out, " of %u bytes", f.record_size);
    fprintf(out, "; reply %s", op_facts::rep_name(f.rep));
    if (f.rep == Rep::Text || f.rep == Rep::Block) fprintf(out, " of %u bytes", f.reply_size);
    if (f.rep == Rep::Ack || f.rep == Rep::Text || f.rep == Rep::Block) fprintf(out, ", %d when answered", f.ok);
    fprintf(out, "; failure %d", f.failure);
}

void print_entry_json(FILE* out, const Entry& e) {
    fputs("{\"name\":", out);
    json_string(out, e.name);
    fputs(",\"signature\":\"", out);
    print_signature(out, e);
    putc('"', out);
    if (const char* decl = datum_decl(e)) {
        fputs(",\"data\":", out);
        json_string(out, decl);
        fputs("}", out);
        return;
    }
    fprintf(out, ",\"returns\":\"%s\",\"params\":[", return_type(e));
    Param params[kMaxParams];
    const int count = params_of(e, params);
    for (int i = 0; i < count; ++i) {
        const Param& p = params[i];
        fprintf(out, "%s{\"name\":\"%.*s\",\"type\":\"%s\",\"dir\":\"%s\"", i ? "," : "", p.name_len, p.name,
                ctype_name(p.type), p.dir == 'i' ? "in" : p.dir == 'o' ? "out" : "in-out");
        if (p.shape == Shape::Text) fprintf(out, ",\"text\":true");
        if (p.size) fprintf(out, ",\"size\":%u", p.size);
        if (p.shape == Shape::Value || p.shape == Shape::Numbers || p.shape == Shape::Counted)
            fprintf(out, ",\"min\":%lld,\"max\":%lld", p.min, p.max);
        if (p.shape == Shape::Counted) fprintf(out, ",\"records_counted_by\":\"%.*s\"", params[i - 1].name_len, params[i - 1].name);
        if (p.shape == Shape::Hex) fputs(",\"hex\":true", out);
        if (p.shape == Shape::Binary) fputs(",\"length_is_result\":true", out);
        if (p.forbid) fprintf(out, ",\"forbidden\":\"%.*s\"", static_cast<int>(strcspn(p.forbid, " ")), p.forbid);
        putc('}', out);
    }
    putc(']', out);
    const Fail fail = fail_of(e);
    if (fail == Fail::Equal) fprintf(out, ",\"failure\":%d", failure_of(e));
    else if (fail == Fail::NotOne) fputs(",\"success\":1", out);
    if (e.facts) {
        const op_facts::Facts& f = *e.facts;
        fprintf(out, ",\"daemon\":{\"command\":%d,\"request\":\"%s\",\"request_args\":[", f.command, op_facts::req_name(f.req));
        for (int a = 0; a < f.req_args; ++a) {
            fputs(a ? "," : "", out);
            putc('"', out);
            print_param_name(out, params, count, f.req_param[a] == op_facts::kRecordByValue && count == 1 ? 0 : f.req_param[a]);
            putc('"', out);
        }
        putc(']', out);
        if (f.format) fputs(",\"format\":", out), json_string(out, f.format);
        if (f.record_size) fprintf(out, ",\"record_size\":%u", f.record_size);
        fprintf(out, ",\"reply\":\"%s\"", op_facts::rep_name(f.rep));
        if (f.reply_size) fprintf(out, ",\"reply_size\":%u", f.reply_size);
        fprintf(out, ",\"ok\":%d,\"failure\":%d}", f.ok, f.failure);
    } else if (talks_to_daemon(e)) {
        fprintf(out, ",\"daemon\":{\"command\":%d,\"hand_written\":", command_of(e));
        json_string(out, note_of(e));
        putc('}', out);
    } else {
        fputs(",\"daemon\":null,\"local\":", out);
        json_string(out, note_of(e));
    }
    putc('}', out);
}

int list(int argc, char** argv, bool json) {
    bool verbose = false;
    const char* pattern = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-v") == 0) verbose = true;
        else if (strcmp(argv[i], "--json") == 0) json = true;
        else if (!pattern) pattern = argv[i];
        else return usage_error("list: one pattern at most");
    }
    bool first = true;
    if (json) fputs("[", stdout);
    for (size_t k = 0; k < entry_count(); ++k) {
        const Entry& e = entry_at(k);
        if (pattern && (strpbrk(pattern, "*?[") ? fnmatch(pattern, e.name, 0) != 0 : !strcasestr(e.name, pattern)))
            continue;
        if (json) {
            fputs(first ? "\n" : ",\n", stdout);
            print_entry_json(stdout, e);
            first = false;
            continue;
        }
        print_signature(stdout, e);
        putc('\n', stdout);
        if (!verbose) continue;
        fputs("    ", stdout);
        if (e.facts) {
            Param params[kMaxParams];
            print_facts(stdout, e, params, params_of(e, params));
        } else if (e.hand) {
            if (talks_to_daemon(e)) printf("command %d, hand-written: %s", command_of(e), note_of(e));
            else printf("local: %s", note_of(e));
        } else {
            fputs("exported data: printed when called by name", stdout);
        }
        putc('\n', stdout);
    }
    if (json) fputs("\n]\n", stdout);
    return kOk;
}

// ---- snapshot ----

int snapshot(int argc, char** argv, bool json, double timeout) {
    long channel = 0;
    const char* file = nullptr;
    for (int i = 0; i < argc; ++i) {
        char* end;
        if (strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
            channel = strtol(argv[++i], &end, 0);
            if (!*argv[i] || *end || channel < 0 || channel > 255)
                return usage_error("snapshot: -c takes a channel from 0 to 255, not '%s'", argv[i]);
        } else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            file = argv[++i];
        } else {
            return usage_error("snapshot: unexpected argument '%s'", argv[i]);
        }
    }
    if (!file) return usage_error("snapshot: -o FILE is required");
    call_name = "snapshot", call_uses_daemon = true;
    if (Message absent; !daemon_present(absent))
        return print_no_answer("snapshot", nullptr, Message().add("snapshot: ").add(absent.text).text, json), kTimedOut;
    if (!find_state_record()) {
        fprintf(stderr, "apictl: snapshot: %s\n", kNoStateRecord);
        return kFailed;
    }
    static unsigned char jpeg[102400];
    int n;
    {
        TraceAside aside(true);
        arm(timeout);
        n = API_Video_SetJPGSnapShot(static_cast<unsigned char>(channel), jpeg);
        disarm();
    }
    if (timer_fired) return print_no_answer("snapshot", nullptr, why_no_answer().text, json), kTimedOut;
    if (n <= 0) {
        fprintf(stderr, "apictl: snapshot: the daemon gave no picture\n");
        return kFailed;
    }
    FILE* f = strcmp(file, "-") == 0 ? stdout : fopen(file, "wb");
    if (!f || fwrite(jpeg, 1, static_cast<size_t>(n), f) != static_cast<size_t>(n) || (f != stdout && fclose(f) != 0)) {
        fprintf(stderr, "apictl: snapshot: cannot write %s: %s\n", file, strerror(errno));
        return kFailed;
    }
    if (f == stdout) {
        fflush(stdout);
    } else if (json) {
        printf("{\"name\":\"snapshot\",\"result\":%d,\"outputs\":{\"file\":", n);
        json_string(stdout, file);
        fputs("}}\n", stdout);
    } else {
        printf("snapshot of channel %ld: %d bytes written to %s\n", channel, n, file);
    }
    return kOk;
}

// ---- one operation by name ----

int call_operation(const char* name, int argc, char** argv, bool json, double timeout) {
    char why[320];
    const Entry* e = find_entry(name, why, sizeof why);
    if (!e) return usage_error("%s", why);
    static Call c;
    if (!prepare(c, *e, argc, argv)) return usage_error("%s", c.error);
    call_name = e->name, call_uses_daemon = talks_to_daemon(*e);
    if (Message absent; call_uses_daemon && !daemon_present(absent))
        return print_no_answer(e->name, nullptr, Message().add(e->name).add(": ").add(absent.text).text, json), kTimedOut;
    if (strcmp(e->name, "API_Video_SetJPGSnapShot") == 0 && !find_state_record())
        fprintf(stderr, "apictl: %s: %s\n", e->name, kNoStateRecord);
    {
        // The operation's own printing (trace lines) comes before the result;
        // with --json it goes to standard error.
        TraceAside aside(json);
        arm(timeout);
        invoke(c);
        disarm();
    }
    if (timer_fired) return print_no_answer(e->name, &c, why_no_answer().text, json), kTimedOut;
    print_call(c, stdout, json);
    return c.failed ? kFailed : kOk;
}

}  // namespace
}  // namespace apictl

int main(int argc, char** argv) {
    using namespace apictl;
    bool json = false;
    double timeout = 10;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const char* a = argv[i];
        if (strcmp(a, "--json") == 0) {
            json = true;
        } else if (strcmp(a, "--timeout") == 0 || strncmp(a, "--timeout=", 10) == 0) {
            const char* value = a[9] == '=' ? a + 10 : i + 1 < argc ? argv[++i] : "";
            if (!parse_timeout(value, timeout))
                return usage_error("bad --timeout '%s': seconds from 0 (no limit) to 31536000", value);
            timeout_text = value;
        } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            return help(stdout), kOk;
        } else if (strcmp(a, "--version") == 0) {
            return printf("apictl %s\n", APICTL_VERSION), kOk;
        } else {
            return usage_error("unknown option '%s' (see apictl --help)", a);
        }
    }
    if (i == argc) return print_synopsis(stderr), kUsage;
    if (json) json_fd = dup(1);
    const char* command = argv[i];
    if (strcmp(command, "list") == 0) return list(argc - i - 1, argv + i + 1, json);
    if (strcmp(command, "snapshot") == 0) return snapshot(argc - i - 1, argv + i + 1, json, timeout);
    if (strcmp(command, "sim") == 0) return apictl_sim_main(argc - i, argv + i, json);
    if (strcmp(command, "monitor") == 0) return apictl_monitor_main(argc - i, argv + i, json);
    if (strcmp(command, "outbox") == 0) return apictl_outbox_main(argc - i, argv + i, json);
    return call_operation(command, argc - i - 1, argv + i + 1, json, timeout);
}
