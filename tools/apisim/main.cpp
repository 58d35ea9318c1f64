// apisim: a stand-in for the camera's control daemon on an ordinary machine.
// Its options and manual are in apisim_usage.def.
//
// Creates the API lock, the control and response queues and the shared state
// record (keys 1682, 1683, 1684 and 1688) and answers every request of the
// control queue with exactly one reply, in order. Every change is kept on the
// disk before its reply goes out (state_file.h); SIGINT, SIGTERM and SIGHUP
// stop it after the journal has been folded into the state file. Mails and
// uploads are delivered for real by the outbox (delivery.h), whose queue is
// kept in the folder FILE.outbox beside the state file.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "apisim_state.h"
#include "control.h"  // [control]
#include "delivery.h"
#include "init_ipc.h"
#include "serve.h"
#include "state_file.h"

#ifndef APISIM_VERSION
#define APISIM_VERSION "unknown"
#endif

namespace {

// A semaphore of the stand-in's own, taken with SEM_UNDO while an instance
// serves: the kernel gives it back when that instance ends in any way.
constexpr key_t kInstanceKey = 1685;

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) {
    stop_requested = 1;
    // A signal that lands just before the receive starts would be missed; the
    // alarm breaks that receive off a moment later.
    alarm(1);
}

void on_alarm(int) {}

[[noreturn]] void fail(const std::string& message) {
    fprintf(stderr, "apisim: %s\n", message.c_str());
    exit(1);
}

std::string errno_text(const char* what) { return std::string(what) + ": " + strerror(errno); }

// ---- help, from apisim_usage.def ----

// Prints `text` from column `indent`, wrapped before column 79.
void print_wrapped(FILE* to, const char* text, int indent, int column) {
    const int width = 79;
    while (*text) {
        const int room = width - column;
        int len = static_cast<int>(strlen(text));
        int cut = len;
        if (len > room) {
            cut = room;
            while (cut > 0 && text[cut] != ' ') --cut;
            if (cut == 0) cut = room;  // one word longer than the line
        }
        fprintf(to, "%.*s\n", cut, text);
        text += cut;
        while (*text == ' ') ++text;
        if (*text) fprintf(to, "%*s", indent, "");
        column = indent;
    }
}

// apisim_usage.def as a table: one line of it per row.
struct UsageLine {
    enum Kind { Name, Synopsis, Option, Section } kind;
    const char *first, *second, *text;
};
const UsageLine kUsage[] = {
#define USAGE_NAME(name, summary) {UsageLine::Name, name, "", summary},
#define USAGE_SYNOPSIS(text) {UsageLine::Synopsis, "", "", text},
#define USAGE_OPTION(option, arg, text) {UsageLine::Option, option, arg, text},
#define USAGE_SECTION(title, text) {UsageLine::Section, title, "", text},
#include "apisim_usage.def"
#undef USAGE_NAME
#undef USAGE_SYNOPSIS
#undef USAGE_OPTION
#undef USAGE_SECTION
};

void print_synopsis(FILE* to) {
    for (const UsageLine& u : kUsage)
        if (u.kind == UsageLine::Synopsis) fprintf(to, "usage: %s\n", u.text);
}

void print_help(FILE* to) {
    for (const UsageLine& u : kUsage)
        if (u.kind == UsageLine::Name) fprintf(to, "%s - %s\n\n", u.first, u.text);
    print_synopsis(to);
    fputs("\noptions:\n", to);
    for (const UsageLine& u : kUsage) {
        if (u.kind != UsageLine::Option) continue;
        const int used = fprintf(to, "  %s%s%s", u.first, *u.second ? " " : "", u.second);
        if (used > 20) fprintf(to, "\n%22s", "");
        else fprintf(to, "%*s", 22 - used, "");
        print_wrapped(to, u.text, 22, 22);
    }
    for (const UsageLine& u : kUsage) {
        if (u.kind != UsageLine::Section) continue;
        fprintf(to, "\n%s\n  ", u.first);
        print_wrapped(to, u.text, 2, 2);
    }
}

void usage_error(const std::string& why) {
    fprintf(stderr, "apisim: %s\n", why.c_str());
    print_synopsis(stderr);
    fputs("'apisim --help' describes every option\n", stderr);
    exit(2);
}

// The factory table as Markdown rows, as the README shows it.
void print_factory(FILE* to) {
    fputs("| field | factory value |\n|---|---|\n", to);
    for (size_t k = 0; k < apisim::kFactoryCount; ++k) {
        const apisim::FactoryValue& v = apisim::kFactory[k];
        std::string field = v.field;
        const bool own = field.rfind("x.", 0) == 0;
        field = field.substr(2);
        const size_t at = field.find("[i]");
        if (at != std::string::npos) field.replace(at, 3, "[0.." + std::to_string(v.count - 1) + "]");
        fprintf(to, "| `%s`%s | %s |\n", field.c_str(), own ? " (apisim's own)" : "", v.value);
    }
}

// ---- IPC objects ----

// The instance lock is free at 0 and taken by raising it to 1 with SEM_UNDO,
// in one step that waits for 0: a new set (made at 0) is free, and the
// kernel gives it back when its holder ends in any way. Only this user may
// change it (mode 0600); one that another user made, or that others may
// change, could be held at 1 to keep apisim away, so it is removed and made
// anew.
void take_instance_lock() {
    const uid_t me = geteuid();
    int id = semget(kInstanceKey, 1, IPC_CREAT | 0600);
    if (id < 0) fail(errno_text("instance lock"));
    semid_ds ds{};
    union { int value; semid_ds* buf; } arg;
    arg.buf = &ds;
    if (semctl(id, 0, IPC_STAT, arg) != 0) fail(errno_text("instance lock"));
    if (ds.sem_perm.uid != me || ds.sem_perm.cuid != me || (ds.sem_perm.mode & 0077) != 0) {
        if (semctl(id, 0, IPC_RMID) != 0)
            fail(errno_text(("the instance lock at key 1685 belongs to uid " + std::to_string(ds.sem_perm.uid) +
                             " and cannot be removed").c_str()));
        apisim::note("replaced the instance lock found at key 1685 (creator uid %d, mode %03o)",
                     static_cast<int>(ds.sem_perm.cuid), ds.sem_perm.mode & 0777);
        id = semget(kInstanceKey, 1, IPC_CREAT | IPC_EXCL | 0600);
        if (id < 0) fail(errno_text("instance lock (made anew by another process at once)"));
    }
    sembuf take[2] = {{0, 0, IPC_NOWAIT}, {0, 1, IPC_NOWAIT | SEM_UNDO}};
    for (int round = 0; round < 2; ++round) {
        if (semop(id, take, 2) == 0) return;
        if (errno != EAGAIN) fail(errno_text("instance lock"));
        const pid_t holder = semctl(id, 0, GETPID);
        if (holder > 0 && holder != getpid() && (kill(holder, 0) == 0 || errno == EPERM))
            fail("another instance (pid " + std::to_string(holder) + ") is serving the control queue");
        // Taken, with nobody alive behind it: set by hand. Free it once.
        apisim::note("the instance lock was held with nobody behind it: freed");
        if (semctl(id, 0, SETVAL, 0) != 0) fail(errno_text("instance lock"));
    }
    fail("the instance lock keeps being taken");
}

// The shared record: writable by this user alone. A segment found at the key
// is used only if this user made it and nobody else may write it; any other
// (an older stand-in's, open to all, or someone else's) may be mapped
// writable elsewhere, so it is removed and made anew.
BUFFER_ENCODE_T* map_state() {
    int id = shmget(APISIM_STATE_KEY, 0, 0);
    if (id >= 0) {
        shmid_ds ds;
        if (shmctl(id, IPC_STAT, &ds) != 0) fail(errno_text("shared state record"));
        const uid_t me = geteuid();
        const bool trusted = ds.shm_perm.cuid == me && ds.shm_perm.uid == me &&
                             (ds.shm_perm.mode & 0022) == 0 && ds.shm_segsz == sizeof(BUFFER_ENCODE_T);
        if (!trusted) {
            if (shmctl(id, IPC_RMID, nullptr) != 0)
                fail(errno_text(("a shared record at key 1688 of uid " + std::to_string(ds.shm_perm.cuid) +
                                 " that others may write cannot be trusted nor removed").c_str()));
            apisim::note("replaced the shared record found at key 1688 (creator uid %d, mode %03o, %zu bytes)",
                         static_cast<int>(ds.shm_perm.cuid), ds.shm_perm.mode & 0777,
                         static_cast<size_t>(ds.shm_segsz));
            id = -1;
        }
    }
    if (id < 0) id = shmget(APISIM_STATE_KEY, sizeof(BUFFER_ENCODE_T), IPC_CREAT | IPC_EXCL | 0644);
    if (id < 0) fail(errno_text("shared state record"));
    void* p = shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) fail(errno_text("shared state record"));
    return static_cast<BUFFER_ENCODE_T*>(p);
}

// The API lock holds 1 whenever no transaction runs. At start, a value of 0
// that no live process stands behind (a fresh set, a holder gone) is set
// free; one that a live caller holds is left for it to give back. While
// serving, only a set at 0 that nobody has taken since it was made (the
// library re-creates a removed lock at 0) is set free: every caller takes
// the lock with SEM_UNDO, so a holder that dies gives it back itself, and a
// set that somebody took cannot be told from one that somebody holds
// without a race. The set is made when it is missing.
void free_api_lock(bool at_start) {
    const int id = semget(SEM_API_KEY, 1, IPC_PERM_WORD);
    if (id < 0) {
        if (at_start) fail(errno_text("API lock"));
        return;
    }
    const int value = semctl(id, 0, GETVAL);
    const pid_t last = semctl(id, 0, GETPID);
    if (value < 0 || last < 0) return;  // removed in between: the next look finds the new one
    // kill() refuses (EPERM) to signal another user's live process.
    const bool held = value == 0 && last > 0 && last != getpid() && (kill(last, 0) == 0 || errno == EPERM);
    if (value == 1 || held || (!at_start && last != 0)) return;
    if (semctl(id, 0, SETVAL, 1) != 0) {
        if (at_start) fail(errno_text("API lock"));
        return;
    }
    if (!at_start) apisim::note("the API lock was found at %d with nobody holding it: set to 1", value);
}

// A queue removed under the stand-in is made anew at once: callers (and
// apictl, which never creates them) find the camera's queues while it runs.
void remake_queue(key_t key, const char* what) {
    if (msgget(key, 0) >= 0 || errno != ENOENT) return;
    if (msgget(key, IPC_PERM_WORD | IPC_EXCL) >= 0) apisim::note("the %s was removed: made anew", what);
}

// Looks at the API lock and the queues five times a second: the serving loop
// sleeps in its receive while callers wait at a lock that nobody would free.
void* watch_api_lock(void*) {
    const timespec pause{0, 200 * 1000 * 1000};
    for (;;) {
        nanosleep(&pause, nullptr);
        free_api_lock(false);
        remake_queue(MSG_CONTROL_KEY, "control queue");
        remake_queue(MSG_RESPONSE_KEY, "response queue");
    }
    return nullptr;
}

void start_lock_watch() {
    // The watcher takes no signal: they must break the serving loop's receive.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, watch_api_lock, nullptr) != 0) fail("cannot start the lock watch");
    pthread_detach(thread);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

int open_queue(key_t key, const char* what) {
    const int id = msgget(key, IPC_PERM_WORD);
    if (id < 0) fail(errno_text(what));
    return id;
}

// A queue removed under the stand-in: made anew, and said so.
bool queue_gone(int error) { return error == EIDRM || error == EINVAL; }

// The process that sent the request just received: the last sender, while
// nothing was sent after it and apisim was the last to receive (a caller
// holds the API lock, so no other caller sends meanwhile). 0: not known.
pid_t sender_of(int control) {
    msqid_ds queue;
    if (msgctl(control, IPC_STAT, &queue) != 0 || queue.msg_qnum != 0 || queue.msg_lrpid != getpid()) return 0;
    return queue.msg_lspid;
}

}  // namespace

int main(int argc, char** argv) {
    const char* env = getenv("APISIM_STATE");
    std::string state_path = env && *env ? env : "./apisim.state";
    bool trace = false, use_state = true, accept_loss = false;
    apisim::DeliveryOptions delivery;  // delivery hook
    std::string option_error;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (apisim::parse_delivery_option(argc, argv, i, delivery, option_error)) {  // delivery hook
            if (option_error.empty()) continue;
            fprintf(stderr, "apisim: %s\n", option_error.c_str());
            return 2;
        } else if (a == "--state" && i + 1 < argc) {
            state_path = argv[++i];
        } else if (a.rfind("--state=", 0) == 0) {
            state_path = a.substr(8);
        } else if (a == "--trace") {
            trace = true;
        } else if (a == "--no-state") {
            use_state = false;
        } else if (a == "--accept-state-loss") {
            accept_loss = true;
        } else if (a == "--defaults") {
            print_factory(stdout);
            return 0;
        } else if (a == "--help" || a == "-h") {
            print_help(stdout);
            return 0;
        } else if (a == "--version") {
            printf("apisim %s\n", APISIM_VERSION);
            return 0;
        } else {
            usage_error(a == "--state" ? "--state needs a FILE" : "unknown option " + a);
        }
    }
    if (state_path.empty()) usage_error("--state needs a FILE");
    setvbuf(stdout, nullptr, _IOLBF, 0);

    take_instance_lock();
    // [control] fault rules and monitors. Without its channel apisim does not
    // serve: whoever holds the name would answer apictl in its place.
    if (std::string why; !apisim::control::start(why)) fail("cannot open the control channel: " + why);
    // The files are authoritative: whatever an earlier instance left in the
    // shared record is replaced by what was kept.
    apisim::Store store;
    store.rec = map_state();
    static apisim::Keeper keeper;
    if (use_state) {
        bool fresh;
        std::string report, why;
        keeper.accept_loss = accept_loss;
        if (!keeper.open(state_path.c_str(), store, fresh, report, why)) fail(why);
        apisim::note("%s", report.c_str());
    } else {
        apisim::set_defaults(store);
        store.changed.clear();
    }
    int control = open_queue(MSG_CONTROL_KEY, "control queue");
    int response = open_queue(MSG_RESPONSE_KEY, "response queue");
    free_api_lock(true);
    start_lock_watch();
    {  // delivery hook: the outbox's queue lives beside the state file
        delivery.trace = trace;
        if (use_state) delivery.spool = state_path + ".outbox";
        std::string why;
        if (!apisim::start_deliveries(delivery, why)) fail(why);
    }
    // The outbox on the control channel: `apictl outbox` lists it, and every
    // delivery's outcome is a monitor line of its own.
    apisim::control::add_command("outbox", [](const std::vector<std::string>& args, bool json) {
        if (!args.empty()) return apisim::control::Answer{2, "outbox takes no arguments"};
        apisim::control::Answer answer;
        if (json) answer.text = apisim::outbox_json();
        else for (const std::string& l : apisim::outbox_lines()) answer.text += l + "\n";
        return answer;
    });
    apisim::add_outcome_listener([](const std::string& line) { apisim::control::publish("delivery", "", line); });

    struct sigaction sa {};
    sa.sa_handler = on_stop;  // no SA_RESTART: a waiting receive is broken off
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    printf("apisim: serving (pid %d)\n", static_cast<int>(getpid()));
    fflush(stdout);

    static MSGBUF request, reply;
    std::string line, why;
    while (!stop_requested) {
        memset(&request, 0, sizeof request);
        // MSG_NOERROR: a record longer than the protocol's is cut and still
        // answered, instead of staying at the head of the queue for ever.
        const ssize_t got = msgrcv(control, &request, MSG_SIZE, MSG_TYPE_REQUEST, MSG_NOERROR);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (!queue_gone(errno)) fail(errno_text("receiving a request"));
            control = open_queue(MSG_CONTROL_KEY, "control queue");
            apisim::note("the control queue was removed: made anew");
            continue;
        }
        memset(&reply, 0, sizeof reply);
        if (got < static_cast<ssize_t>(sizeof request.Command)) {
            line = "short record of " + std::to_string(got) + " bytes -> empty reply";
            apisim::note("%s", line.c_str());
        } else {
            // Who asked matters to the requests that name a file (an attachment, an upload).
            const bool names_file = request.Command == 65 || request.Command == 80;
            apisim::handle(store, request.Command, request.mtext, reply.mtext, line, names_file ? sender_of(control) : 0);
        }
        // Kept before it is answered: a reply is the caller's receipt.
        if (use_state && !keeper.commit(store, why))
            fail("cannot keep a change, so the request stays unanswered: " + why);
        store.changed.clear();
        switch (store.action) {
        case apisim::Action::SyncFlash:
            if (use_state && !keeper.compact(store, why)) fail("cannot rewrite the state file: " + why);
            break;
        case apisim::Action::Boot: {
            bool differs = false;
            if (!use_state) apisim::set_defaults(store);
            else if (!keeper.reload(store, differs, why)) fail("boot: cannot read the state back: " + why);
            if (differs) apisim::note("boot: the kept state differed from the one served");
            apisim::reset_live(store);
            if (use_state && !keeper.commit(store, why)) fail("boot: cannot keep the state: " + why);
            store.changed.clear();
            break;
        }
        case apisim::Action::None: break;
        }
        store.action = apisim::Action::None;
        reply.mtype = MSG_TYPE_REPLY;
        reply.Command = request.Command;
        // [control] a fault rule may delay, replace or withhold the reply.
        const bool send_reply = apisim::control::before_reply(control, request.Command, reply.mtext);
        // A full response queue blocks the send; a stop request breaks it off.
        while (send_reply && msgsnd(response, &reply, MSG_SIZE, 0) != 0) {
            if (queue_gone(errno)) {
                response = open_queue(MSG_RESPONSE_KEY, "response queue");
                apisim::note("the response queue was removed: made anew");
                continue;
            }
            if (errno != EINTR) fail(errno_text("sending a reply"));
            if (stop_requested) break;
        }
        apisim::control::after_reply(request.Command, line);  // [control] the monitors' line
        if (trace) printf("%s\n", apisim::printable(line).c_str());
    }
    apisim::stop_deliveries();  // delivery hook
    if (use_state && !keeper.compact(store, why))
        fail("cannot fold the journal into the state file (the journal keeps every change): " + why);
    return 0;
}
