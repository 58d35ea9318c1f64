#include "fake_daemon.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/time.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

namespace {
// Large enough for the oversized replies the tests send.
struct BigMsg {
    long mtype;
    unsigned char payload[4096];
};

union semun_arg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};
}  // namespace

Reply Reply::bytes(std::initializer_list<unsigned char> b) {
    Reply r;
    r.mtext = b;
    return r;
}
Reply Reply::int32(int v) {
    Reply r;
    r.mtext.resize(4);
    memcpy(r.mtext.data(), &v, 4);
    return r;
}
Reply Reply::oversized() {
    Reply r;
    r.size = 3000;
    return r;
}
Reply Reply::none() {
    Reply r;
    r.kind = None;
    return r;
}

FakeDaemon::FakeDaemon(bool serving) {
    // Start from fresh objects, whatever an earlier test left behind.
    for (key_t k : {MSG_CONTROL_KEY, MSG_RESPONSE_KEY, MSG_EVENT_KEY}) {
        int id = msgget(k, 0);
        if (id >= 0) msgctl(id, IPC_RMID, nullptr);
    }
    for (key_t k : {SEM_API_KEY, SEM_SNAPSHOT_KEY, SEM_MOTION_HANDLE_KEY}) {
        int id = semget(k, 1, 0);
        if (id >= 0) semctl(id, 0, IPC_RMID);
    }
    sem_ = semget(SEM_API_KEY, 1, IPC_PERM_WORD);
    control_ = msgget(MSG_CONTROL_KEY, IPC_PERM_WORD);
    response_ = msgget(MSG_RESPONSE_KEY, IPC_PERM_WORD);
    semun_arg one;
    one.val = 1;
    semctl(sem_, 0, SETVAL, one);
    if (serving) resume();
}

FakeDaemon::~FakeDaemon() {
    msgctl(control_, IPC_RMID, nullptr);
    msgctl(response_, IPC_RMID, nullptr);
    semctl(sem_, 0, IPC_RMID);
    if (thread_.joinable()) thread_.join();
}

void FakeDaemon::resume() {
    if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
}

void FakeDaemon::script(Reply r) {
    std::lock_guard<std::mutex> g(mu_);
    script_.push_back(std::move(r));
}

Request FakeDaemon::last() {
    std::lock_guard<std::mutex> g(mu_);
    return requests_.empty() ? Request{} : requests_.back();
}

size_t FakeDaemon::request_count() {
    std::lock_guard<std::mutex> g(mu_);
    return requests_.size();
}

bool FakeDaemon::wait_for_requests(size_t count, int timeout_ms) {
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                        [&] { return requests_.size() >= count; });
}

int FakeDaemon::lock_value() const { return semctl(sem_, 0, GETVAL); }

bool FakeDaemon::wait_for_replies_waiting(size_t count, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        if (replies_waiting() >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

static size_t records_waiting(int queue) {
    struct msqid_ds ds;
    return msgctl(queue, IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
}

size_t FakeDaemon::replies_waiting() const { return records_waiting(response_); }
size_t FakeDaemon::requests_waiting() const { return records_waiting(control_); }

void FakeDaemon::serve() {
    // The tests interrupt their own calls with SIGALRM; it must reach them.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    for (;;) {
        BigMsg in;
        ssize_t n = msgrcv(control_, &in, sizeof in.payload, 0, MSG_NOERROR);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // queue removed: the test is over
        }
        Request req;
        req.mtype = in.mtype;
        req.size = n;
        memcpy(&req.command, in.payload, 4);
        memcpy(req.mtext.data(), in.payload + 4, MSG_TEXT_SIZE);
        Reply reply;
        {
            std::lock_guard<std::mutex> g(mu_);
            requests_.push_back(req);
            if (!script_.empty()) {
                reply = script_.front();
                script_.pop_front();
            } else {
                reply.mtext.assign(req.mtext.begin(), req.mtext.end());
            }
        }
        cv_.notify_all();
        if (reply.kind != Reply::None) {
            send(reply);
            if (reply.kind == Reply::Twice) send(reply);
        }
    }
}

void FakeDaemon::send(const Reply& r) {
    BigMsg out;
    memset(&out, 0, sizeof out);
    out.mtype = MSG_TYPE_REPLY;
    if (!r.mtext.empty())
        memcpy(out.payload + 4, r.mtext.data(), std::min(r.mtext.size(), sizeof out.payload - 4));
    while (msgsnd(response_, &out, r.size, 0) != 0 && errno == EINTR) {
    }
}

SendFailure::SendFailure() {
    std::ifstream in("/proc/sys/kernel/msgmax");
    std::getline(in, saved_);
    std::ofstream("/proc/sys/kernel/msgmax") << "1000\n";
}

SendFailure::~SendFailure() { std::ofstream("/proc/sys/kernel/msgmax") << saved_ << "\n"; }

static void ignore_signal(int) {}

void interrupt_after_ms(int ms) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ignore_signal;  // no SA_RESTART: the wait returns EINTR
    sigaction(SIGALRM, &sa, nullptr);
    struct itimerval t;
    memset(&t, 0, sizeof t);
    t.it_value.tv_sec = ms / 1000;
    t.it_value.tv_usec = (ms % 1000) * 1000;
    setitimer(ITIMER_REAL, &t, nullptr);
}
