// Runs apisim as a child of the test, in the test's private IPC namespace.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class SimProcess {
public:
    SimProcess();
    ~SimProcess();

    // Starts apisim with the arguments (its state file defaults to one in
    // dir()); true once it said it serves. False when it exited first.
    bool start(const std::vector<std::string>& args = {});
    // Another program of the test (a server), not watched: true once its
    // standard output has `ready`.
    bool launch(const char* program, const std::vector<std::string>& args, const char* ready);
    // Sends the signal and waits: the exit status, or 128 + signal.
    int stop(int sig = 15);
    // Waits for a child that ends by itself: its status.
    int wait_exit();
    // From now until the next start its end is no fault. An end not expected
    // so ends the test program at once, with apisim's log, instead of leaving
    // a call waiting for an answer for good.
    void expect_end();
    bool running() const;
    pid_t pid() const { return pid_; }

    std::string out() const;  // its standard output so far
    std::string err() const;  // its standard error so far
    const std::string& dir() const { return dir_; }
    std::string state() const { return dir_ + "/apisim.state"; }

private:
    pid_t pid_ = -1;
    std::string dir_;
    int runs_ = 0;
    int last_status_ = -1;
    struct Watched* watch_ = nullptr;  // while an end would be a fault
    std::string out_path_, err_path_;
};

std::string read_file(const std::string& path);
