#include "sim_process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// An apisim that a test relies on (pid > 0), and its log.
struct Watched {
    std::atomic<pid_t> pid{0};
    char err[256];
};

namespace {

Watched watched[4];

// Peeks at each (its status stays for waitpid) every 50 ms: one that ended
// ends this program, with its log.
void watchdog() {
    for (;; usleep(50000))
        for (Watched& w : watched) {
            const pid_t pid = w.pid;
            siginfo_t info{};
            if (pid > 0 && waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid &&
                w.pid == pid) {
                fflush(stdout);
                fprintf(stderr, "FAIL: apisim (pid %d) ended unexpectedly (%s %d); its log:\n%s", pid,
                        info.si_code == CLD_EXITED ? "status" : "signal", info.si_status, read_file(w.err).c_str());
                _exit(1);
            }
        }
}

Watched* watch(pid_t pid, const std::string& err) {
    static const bool started = [] {
        sigset_t all, old;  // every signal stays with the tests' thread (alarms break its waits)
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        std::thread(watchdog).detach();
        return pthread_sigmask(SIG_SETMASK, &old, nullptr) == 0;
    }();
    for (Watched& w : watched)
        if (started && w.pid == 0) {
            snprintf(w.err, sizeof w.err, "%s", err.c_str());
            w.pid = pid;
            return &w;
        }
    return nullptr;
}

}  // namespace

SimProcess::SimProcess() {
    char tmpl[] = "/tmp/apisim-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
}

SimProcess::~SimProcess() {
    if (running()) stop(SIGKILL);
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str())) {}
}

bool SimProcess::start(const std::vector<std::string>& args) {
    if (!launch(APISIM_PATH, args, "apisim: serving (pid ")) return false;
    watch_ = watch(pid_, err_path_);
    return true;
}

bool SimProcess::launch(const char* program, const std::vector<std::string>& args, const char* ready) {
    ++runs_;
    out_path_ = dir_ + "/out" + std::to_string(runs_);
    err_path_ = dir_ + "/err" + std::to_string(runs_);
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that crashed
        const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        setenv("APISIM_STATE", state().c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(program)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    for (int i = 0; i < 1500; ++i) {  // up to 15 s
        if (out().find(ready) != std::string::npos) return true;
        siginfo_t info{};
        if (waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
            wait_exit();  // ended before it was ready
            return false;
        }
        usleep(10000);
    }
    return false;
}

void SimProcess::expect_end() {
    if (watch_) watch_->pid = 0;
    watch_ = nullptr;
}

// A child that never ends meets the test's own bound (the watchdog, or the
// test runner's time limit).
int SimProcess::wait_exit() {
    if (pid_ < 0) return last_status_;
    expect_end();
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return last_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int SimProcess::stop(int sig) {
    if (pid_ > 0) kill(pid_, sig);
    return wait_exit();
}

bool SimProcess::running() const { return pid_ > 0; }
std::string SimProcess::out() const { return read_file(out_path_); }
std::string SimProcess::err() const { return read_file(err_path_); }
