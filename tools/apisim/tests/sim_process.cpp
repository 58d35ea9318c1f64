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

namespace {

// The apisim children the watchdog looks at: pid (0: none) and whether their
// end is expected.
struct Watched {
    std::atomic<pid_t> pid{0};
    std::atomic<bool> may_end{true};
    char err[256];
};
Watched watched[8];

// Peeks (the status stays for waitpid) at each child every 50 ms; one that
// ended unexpectedly ends this program with status 1 and apisim's log.
void watchdog() {
    for (;;) {
        for (Watched& w : watched) {
            const pid_t pid = w.pid;
            siginfo_t info{};
            if (pid <= 0 || w.may_end || waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                info.si_pid != pid || w.may_end)
                continue;
            fprintf(stderr, "FAIL: apisim (pid %d) ended unexpectedly (%s %d); its log:\n", pid,
                    info.si_code == CLD_EXITED ? "status" : "signal", info.si_status);
            fflush(stdout);
            const std::string log = read_file(w.err);
            fwrite(log.data(), 1, log.size(), stderr);
            _exit(1);
        }
        usleep(50000);
    }
}

int watch(const std::string& err) {
    static const bool started = [] {
        // Every signal stays with the test's own thread (alarms break its waits).
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        std::thread(watchdog).detach();
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return true;
    }();
    (void)started;
    for (int k = 0; k < 8; ++k)
        if (watched[k].pid == 0) {
            snprintf(watched[k].err, sizeof watched[k].err, "%s", err.c_str());
            watched[k].pid = -1;
            return k;
        }
    return -1;
}

}  // namespace

SimProcess::SimProcess() {
    char tmpl[] = "/tmp/apisim-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
}

SimProcess::~SimProcess() {
    if (running()) stop(SIGKILL);
    if (watch_ >= 0) watched[watch_].pid = 0;
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str())) {}
}

bool SimProcess::start(const std::vector<std::string>& args) {
    ++runs_;
    out_path_ = dir_ + "/out" + std::to_string(runs_);
    err_path_ = dir_ + "/err" + std::to_string(runs_);
    if (watch_ < 0) watch_ = watch(dir_ + "/err");
    if (watch_ >= 0) {
        watched[watch_].may_end = true;
        snprintf(watched[watch_].err, sizeof watched[watch_].err, "%s", err_path_.c_str());
    }
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that crashed
        const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        setenv("APISIM_STATE", state().c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(APISIM_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(APISIM_PATH, argv.data());
        _exit(127);
    }
    for (int i = 0; i < 1000; ++i) {  // up to 10 s
        if (out().find("apisim: serving (pid ") != std::string::npos) {
            if (watch_ >= 0) watched[watch_].pid = pid_, watched[watch_].may_end = false;
            return true;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            last_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        usleep(10000);
    }
    return false;
}

void SimProcess::expect_end() {
    if (watch_ >= 0) watched[watch_].may_end = true;
}

int SimProcess::wait_exit(int seconds) {
    if (pid_ < 0) return last_status_;
    expect_end();
    for (int i = 0; i < seconds * 100; ++i) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return last_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(10000);
    }
    return -1;
}

int SimProcess::stop(int sig) {
    if (pid_ < 0) return last_status_;
    expect_end();
    kill(pid_, sig);
    const int status = wait_exit(10);
    if (status < 0) {
        kill(pid_, SIGKILL);
        wait_exit(10);
        return -1;
    }
    return status;
}

bool SimProcess::running() const { return pid_ > 0; }
std::string SimProcess::out() const { return read_file(out_path_); }
std::string SimProcess::err() const { return read_file(err_path_); }
