// The clients of apisim's control channel: `apictl sim`, `apictl monitor` and
// `apictl outbox`. apisim checks and carries out the requests; these only
// carry the words there and the answer back. C library and fixed buffers
// only: apictl runs without the C++ runtime.
#include "sim_client.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "control_address.h"
#include "init_ipc.h"

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kUnreachable = 3 };

constexpr int kAnswerSeconds = 10;  // apisim answers at once; this only guards against a stuck one

char packet[APISIM_CONTROL_PACKET_MAX + 1];

int say(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));
int say(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("apictl: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return status;
}

bool write_all(int fd, const char* p, size_t n) {
    while (n) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w, n -= static_cast<size_t>(w);
    }
    return true;
}

bool add_field(char* request, size_t& used, const char* field) {
    const size_t len = strlen(field) + 1;
    if (len > APISIM_CONTROL_REQUEST_MAX - used) return false;
    memcpy(request + used, field, len);
    used += len;
    return true;
}

void wait_at_most(int fd, int seconds) {
    timeval limit{};
    limit.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

// Whoever listens at the channel's name is asked nothing and believed in
// nothing unless the kernel says it runs as root or as the user that owns the
// camera's queues: any local user could take the name before apisim does.
bool trusted_server(int fd, const char* command) {
    ucred peer;
    socklen_t len = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0)
        return say(false, "%s: cannot tell who serves the control channel: %s", command, strerror(errno));
    if (peer.uid == 0) return true;
    msqid_ds queue;
    const int id = msgget(MSG_CONTROL_KEY, 0);
    const bool owner_known = id >= 0 && msgctl(id, IPC_STAT, &queue) == 0;
    if (owner_known && queue.msg_perm.uid == peer.uid) return true;
    if (!owner_known)
        return say(false, "%s: the control channel is served by pid %d (uid %u), not root, and the camera's queues "
                          "do not exist: not apisim, refusing to talk to it", command, (int)peer.pid, (unsigned)peer.uid);
    return say(false, "%s: the control channel is served by pid %d (uid %u), neither root nor the owner of the "
                      "camera's queues (uid %u): not apisim, refusing to talk to it",
               command, (int)peer.pid, (unsigned)peer.uid, (unsigned)queue.msg_perm.uid);
}

// Connects and sends one request: the format, the command, its words. The
// socket, or minus the exit status after saying why.
int send_request(const char* command, int argc, char** argv, bool json) {
    static char request[APISIM_CONTROL_REQUEST_MAX];
    size_t used = 0;
    bool fits = add_field(request, used, json ? "json" : "text") && add_field(request, used, command);
    for (int i = 0; fits && i < argc; ++i) fits = add_field(request, used, argv[i]);
    if (!fits) return -say(kUsage, "%s: the arguments are longer than %d bytes", command, APISIM_CONTROL_REQUEST_MAX);

    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -say(kUnreachable, "%s: socket: %s", command, strerror(errno));
    sockaddr_un address;
    const socklen_t length = apisim_control_address(&address);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        close(fd);
        return -say(kUnreachable, "no apisim control channel: is apisim running?");
    }
    if (!trusted_server(fd, command)) {
        close(fd);
        return -kUnreachable;
    }
    wait_at_most(fd, kAnswerSeconds);
    // A send that fails is not the end: apisim may have answered (refused)
    // the connection before the request; the answer is read next.
    send(fd, request, used, MSG_NOSIGNAL);
    return fd;
}

// Reads the answer's first packet: its status (0 to 2), and where the text
// after the status line starts in `packet`. -1 after saying why.
int read_status(int fd, const char* command, size_t& text_at, size_t& got) {
    ssize_t n;
    int resets = 0;
    // A reset is reported before an answer that came ahead of the request
    // (a refusal at once): the next receive gets that answer.
    do n = recv(fd, packet, APISIM_CONTROL_PACKET_MAX, 0);
    while (n < 0 && (errno == EINTR || (errno == ECONNRESET && resets++ == 0)));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return say(-1, "%s: no answer from apisim's control channel within %d s", command, kAnswerSeconds);
    if (n <= 0) return say(-1, "%s: apisim's control channel closed without an answer", command);
    got = static_cast<size_t>(n);
    if (got < 2 || packet[0] < '0' || packet[0] > '2' || packet[1] != '\n')
        return say(-1, "%s: apisim's control channel gave an answer apictl cannot read", command);
    text_at = 2;
    return packet[0] - '0';
}

// One request and its whole answer: the text on standard output when the
// status is 0, on standard error otherwise.
int exchange(const char* command, int argc, char** argv, bool json) {
    const int fd = send_request(command, argc, argv, json);
    if (fd < 0) return -fd;
    size_t at = 0, got = 0;
    const int status = read_status(fd, command, at, got);
    if (status < 0) {
        close(fd);
        return kUnreachable;
    }
    const int out = status == kOk ? 1 : 2;
    if (out == 2 && got > at) write_all(2, "apictl: ", 8);
    bool written = write_all(out, packet + at, got - at);
    for (;;) {
        const ssize_t n = recv(fd, packet, APISIM_CONTROL_PACKET_MAX, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written = write_all(out, packet, static_cast<size_t>(n)) && written;
    }
    close(fd);
    if (!written && status == kOk) return say(kFailed, "%s: cannot write the answer: %s", command, strerror(errno));
    return status;
}

bool is_help(const char* word) { return strcmp(word, "-h") == 0 || strcmp(word, "--help") == 0; }

// Takes "--json" out of the words (it may come after the command too).
int strip_json(int argc, char** argv, bool& json) {
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) json = true;
        else argv[kept++] = argv[i];
    }
    return kept;
}

constexpr const char kSimUsage[] =
    "usage: apictl [--json] sim drop NAME | delay NAME DURATION | fail NAME | reply NAME HEX\n"
    "       apictl [--json] sim list | clear [NAME]\n"
    "\n"
    "Fault rules of the running apisim, for testing a program's error paths.\n"
    "NAME is an operation's name, in any case, with or without \"API_\".\n"
    "  drop NAME            no answer at all (callers wait or time out)\n"
    "  delay NAME DURATION  answer late: 250ms, 2s, 1.5 (seconds), 1m; at most 1 hour\n"
    "  fail NAME            answer so that the operation returns its failure value\n"
    "                       (refused where its reply cannot say so)\n"
    "  reply NAME HEX       answer with these bytes, the rest of the reply zero\n"
    "  list                 the rules, how often each acted, the monitors attached\n"
    "  clear [NAME]         remove every rule, or NAME's\n"
    "The request is still carried out; the rule acts on its answer.\n";

struct SimVerb {
    const char* name;
    int min_args, max_args;
};
constexpr SimVerb kSimVerbs[] = {{"drop", 1, 1}, {"delay", 2, 2}, {"fail", 1, 1},
                                 {"reply", 2, 2}, {"list", 0, 0},  {"clear", 0, 1}};

// ---- the monitor ----

volatile sig_atomic_t interrupted = 0;
void on_interrupt(int) { interrupted = 1; }

constexpr const char kMonitorUsage[] =
    "usage: apictl [--json] monitor [--count N] [PATTERN]\n"
    "\n"
    "Prints one line per transaction of the running apisim (and per event its\n"
    "modules report): time, the caller's pid (- when unknown), the operation,\n"
    "the decoded request and the result, and the fault rule that acted. With\n"
    "--json, one object per line. PATTERN keeps the names that contain it (any\n"
    "case), or that match it as a glob. Runs until interrupted, until apisim\n"
    "goes away (status 3), or until N lines were printed.\n";

bool parse_count(const char* text, long& count) {
    char* end;
    errno = 0;
    count = strtol(text, &end, 10);
    return *text >= '0' && *text <= '9' && !*end && !errno && count > 0;
}

}  // namespace

int apictl_sim_main(int argc, char** argv, bool json) {
    argc = strip_json(argc - 1, argv + 1, json);
    ++argv;
    if (argc == 0) return say(kUsage, "sim: which command? (see apictl sim --help)");
    if (is_help(argv[0])) return fputs(kSimUsage, stdout), kOk;
    for (const SimVerb& v : kSimVerbs) {
        if (strcmp(argv[0], v.name) != 0) continue;
        const int n = argc - 1;
        if (n < v.min_args || n > v.max_args)
            return say(kUsage, "sim %s: expects %s (see apictl sim --help)", v.name,
                       v.max_args == 0 ? "no arguments"
                       : v.min_args == 0 ? "at most a name"
                       : v.max_args == 1 ? "a name"
                       : strcmp(v.name, "delay") == 0 ? "a name and a duration" : "a name and hexadecimal bytes");
        return exchange("sim", argc, argv, json);
    }
    return say(kUsage, "sim: unknown command '%s' (see apictl sim --help)", argv[0]);
}

int apictl_outbox_main(int argc, char** argv, bool json) {
    argc = strip_json(argc - 1, argv + 1, json);
    return exchange("outbox", argc, argv + 1, json);
}

int apictl_monitor_main(int argc, char** argv, bool json) {
    argc = strip_json(argc - 1, argv + 1, json);
    ++argv;
    long count = 0;  // 0: no end
    char* pattern = nullptr;
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        if (is_help(a)) return fputs(kMonitorUsage, stdout), kOk;
        if (strcmp(a, "--count") == 0 || strncmp(a, "--count=", 8) == 0) {
            const char* n = a[7] == '=' ? a + 8 : i + 1 < argc ? argv[++i] : "";
            if (!parse_count(n, count)) return say(kUsage, "monitor: --count needs a whole number above 0, not '%s'", n);
        } else if (a[0] == '-' && a[1]) {
            return say(kUsage, "monitor: unknown option '%s' (see apictl monitor --help)", a);
        } else if (pattern) {
            return say(kUsage, "monitor: one pattern at most");
        } else {
            pattern = argv[i];
        }
    }
    // SIGINT and SIGTERM end the monitor normally. They are let through only
    // while it waits, so that none is missed between a check and the wait.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stops, waiting;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);

    const int fd = send_request("monitor", pattern ? 1 : 0, &pattern, json);
    if (fd < 0) return -fd;
    size_t at = 0, got = 0;
    const int status = read_status(fd, "monitor", at, got);
    if (status != kOk) {
        if (status > 0 && got > at) write_all(2, "apictl: ", 8), write_all(2, packet + at, got - at);
        close(fd);
        return status < 0 ? kUnreachable : status;
    }
    wait_at_most(fd, 0);  // from now on lines come when transactions happen
    // Every further packet is one line.
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        const int ready = ppoll(&p, 1, nullptr, &waiting);
        if (interrupted) break;
        if (ready < 0) {
            if (errno == EINTR) continue;
            close(fd);
            return say(kUnreachable, "monitor: %s", strerror(errno));
        }
        const ssize_t n = recv(fd, packet, APISIM_CONTROL_PACKET_MAX, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            close(fd);
            return say(kUnreachable, "monitor: apisim went away");
        }
        if (!write_all(1, packet, static_cast<size_t>(n))) break;  // the reader left
        if (count && --count == 0) break;
    }
    close(fd);
    return kOk;
}
