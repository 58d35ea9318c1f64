// apisim: a stand-in for the camera's control daemon on an ordinary machine.
//
//   apisim [--state FILE] [--trace] [--no-state] [delivery options]
//
// Creates the API lock, the control and response queues and the shared state
// record (keys 1682, 1683, 1684 and 1688), answers every request of the
// control queue with exactly one reply, in order, until SIGINT or SIGTERM, and
// then saves its settings and exits 0. The state file is $APISIM_STATE, or
// ./apisim.state, unless --state names another; --no-state neither reads nor
// writes one. --trace prints one line per transaction on standard output.
// Actions, live values and refusals are noted on standard error. Mails and
// uploads are delivered for real by the outbox (delivery.h), whose queue is
// kept in the folder FILE.outbox beside the state file.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <string>

#include "apisim_state.h"
#include "delivery.h"
#include "init_ipc.h"
#include "serve.h"
#include "state_file.h"

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

void take_instance_lock() {
    int id = semget(kInstanceKey, 1, IPC_CREAT | IPC_EXCL | 0666);
    if (id >= 0) {
        if (semctl(id, 0, SETVAL, 1) != 0) fail(errno_text("instance lock"));
    } else if ((id = semget(kInstanceKey, 1, 0666)) < 0) {
        fail(errno_text("instance lock"));
    }
    sembuf take{0, -1, IPC_NOWAIT | SEM_UNDO};
    if (semop(id, &take, 1) == 0) return;
    if (errno == EAGAIN)
        fail("another instance (pid " + std::to_string(semctl(id, 0, GETPID)) +
             ") is serving the control queue");
    fail(errno_text("instance lock"));
}

BUFFER_ENCODE_T* map_state() {
    int id = shmget(APISIM_STATE_KEY, sizeof(BUFFER_ENCODE_T), IPC_CREAT | 0666);
    if (id < 0 && errno == EINVAL) {  // left behind with another size
        const int old = shmget(APISIM_STATE_KEY, 0, 0);
        if (old >= 0) shmctl(old, IPC_RMID, nullptr);
        id = shmget(APISIM_STATE_KEY, sizeof(BUFFER_ENCODE_T), IPC_CREAT | 0666);
    }
    if (id < 0) fail(errno_text("shared state record"));
    void* p = shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) fail(errno_text("shared state record"));
    return static_cast<BUFFER_ENCODE_T*>(p);
}

// The API lock holds 1 whenever no transaction runs. A value of 0 that no
// live process stands behind (a fresh set, a holder gone) is set free; one that
// a live caller holds is left for it to give back.
void free_api_lock() {
    const int id = semget(SEM_API_KEY, 1, IPC_PERM_WORD);
    if (id < 0) fail(errno_text("API lock"));
    const int value = semctl(id, 0, GETVAL);
    const pid_t last = semctl(id, 0, GETPID);
    const bool held = value == 0 && last > 0 && last != getpid() && kill(last, 0) == 0;
    if (value != 1 && !held && semctl(id, 0, SETVAL, 1) != 0) fail(errno_text("API lock"));
}

int open_queue(key_t key, const char* what) {
    const int id = msgget(key, IPC_PERM_WORD);
    if (id < 0) fail(errno_text(what));
    return id;
}

void usage(FILE* to) {
    fputs("usage: apisim [--state FILE] [--trace] [--no-state] [delivery options]\n", to);
    fputs(apisim::delivery_usage(), to);  // delivery hook
}

}  // namespace

int main(int argc, char** argv) {
    const char* env = getenv("APISIM_STATE");
    std::string state_path = env && *env ? env : "./apisim.state";
    bool trace = false, use_state = true;
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
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    take_instance_lock();
    // The state file is checked whole before the shared record is touched.
    static apisim::Store loaded;
    static BUFFER_ENCODE_T scratch;
    loaded.rec = &scratch;
    bool have_state = false;
    if (use_state) {
        bool missing;
        std::string why;
        have_state = apisim::load_state(state_path.c_str(), loaded, missing, why);
        if (!have_state && !missing) fail("refusing state file " + state_path + ": " + why);
        if (!have_state) apisim::note("no state file %s yet: starting from defaults", state_path.c_str());
    }
    apisim::Store store;
    store.rec = map_state();
    if (have_state) {
        memcpy(store.rec, loaded.rec, sizeof(BUFFER_ENCODE_T));
        store.extra = loaded.extra;
    } else {
        apisim::set_defaults(store);
    }
    const int control = open_queue(MSG_CONTROL_KEY, "control queue");
    const int response = open_queue(MSG_RESPONSE_KEY, "response queue");
    free_api_lock();
    {  // delivery hook: the outbox's queue lives beside the state file
        delivery.trace = trace;
        if (use_state) delivery.spool = state_path + ".outbox";
        std::string why;
        if (!apisim::start_deliveries(delivery, why)) fail(why);
    }

    struct sigaction sa {};
    sa.sa_handler = on_stop;  // no SA_RESTART: a waiting receive is broken off
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    printf("apisim: serving (pid %d)\n", static_cast<int>(getpid()));
    fflush(stdout);

    static MSGBUF request, reply;
    std::string line;
    while (!stop_requested) {
        memset(&request, 0, sizeof request);
        // MSG_NOERROR: a record longer than the protocol's is cut and still
        // answered, instead of staying at the head of the queue for ever.
        const ssize_t got = msgrcv(control, &request, MSG_SIZE, MSG_TYPE_REQUEST, MSG_NOERROR);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(errno_text("receiving a request"));
        }
        memset(&reply, 0, sizeof reply);
        if (got < static_cast<ssize_t>(sizeof request.Command)) {
            line = "short record of " + std::to_string(got) + " bytes -> empty reply";
            apisim::note("%s", line.c_str());
        } else {
            apisim::handle(store, request.Command, request.mtext, reply.mtext, line);
        }
        reply.mtype = MSG_TYPE_REPLY;
        reply.Command = request.Command;
        // A full response queue blocks the send; a stop request breaks it off.
        while (msgsnd(response, &reply, MSG_SIZE, 0) != 0) {
            if (errno != EINTR) fail(errno_text("sending a reply"));
            if (stop_requested) break;
        }
        if (trace) printf("%s\n", line.c_str());
    }
    apisim::stop_deliveries();  // delivery hook
    if (use_state) {
        std::string why;
        if (!apisim::save_state(state_path.c_str(), store, why)) fail("cannot save the state: " + why);
    }
    return 0;
}
