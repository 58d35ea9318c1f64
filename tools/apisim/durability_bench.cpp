// Acknowledged sets per second against apisim with every change kept on the
// disk before its reply, and the same without a state file, in one run; and
// what the disk itself allows: appends of a journal record's size, each
// flushed with fdatasync, to a file in the same folder.
// Runs in a private IPC namespace (as root); the state goes to a fresh folder
// under FOLDER (default: the current one), which should be on the disk that
// is to be measured: on a tmpfs a flush costs nothing.
//   apisim_durability_bench [seconds-per-run] [FOLDER]
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "api_arch.h"

namespace {

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Starts apisim with the arguments; its pid once it serves, or -1.
pid_t start_apisim(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        std::vector<char*> argv{const_cast<char*>(APISIM_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(APISIM_PATH, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string said;
    char buf[256];
    for (ssize_t n; said.find("serving") == std::string::npos && (n = read(out[0], buf, sizeof buf)) > 0;)
        said.append(buf, static_cast<size_t>(n));
    close(out[0]);
    return said.find("serving") == std::string::npos ? -1 : pid;
}

struct Figures {
    long sets = 0;
    double seconds = 0, median_us = 0, p99_us = 0;
};

Figures run(double seconds) {
    Figures f;
    std::vector<double> took;
    const double start = now();
    for (double t = start; t - start < seconds;) {
        const double before = t;
        if (API_Video_SetBrightness(static_cast<unsigned char>(f.sets % 4), static_cast<unsigned char>(f.sets)) != 1) {
            fprintf(stderr, "a set failed\n");
            exit(1);
        }
        t = now();
        took.push_back((t - before) * 1e6);
        ++f.sets;
    }
    f.seconds = now() - start;
    std::sort(took.begin(), took.end());
    f.median_us = took[took.size() / 2];
    f.p99_us = took[took.size() * 99 / 100];
    return f;
}

// The disk alone: appends of `size` bytes, each flushed.
Figures flushes(const std::string& path, double seconds, size_t size) {
    Figures f;
    std::vector<double> took;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return f;
    std::vector<char> record(size, 'r');
    const double start = now();
    for (double t = start; t - start < seconds;) {
        const double before = t;
        if (pwrite(fd, record.data(), size, static_cast<off_t>(f.sets * size)) != static_cast<ssize_t>(size) ||
            fdatasync(fd) != 0)
            break;
        t = now();
        took.push_back((t - before) * 1e6);
        ++f.sets;
    }
    f.seconds = now() - start;
    close(fd);
    unlink(path.c_str());
    if (took.empty()) return f;
    std::sort(took.begin(), took.end());
    f.median_us = took[took.size() / 2];
    f.p99_us = took[took.size() * 99 / 100];
    return f;
}

void print(const char* what, const Figures& f) {
    printf("%-30s %8ld in %.1f s: %7.0f a second (median %.0f us, 99th percentile %.0f us)\n", what, f.sets,
           f.seconds, f.sets / f.seconds, f.median_us, f.p99_us);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 3;
    const std::string parent = argc > 2 ? argv[2] : ".";
    if (unshare(CLONE_NEWIPC) != 0) {
        fprintf(stderr, "cannot enter a private IPC namespace (%s): run as root\n", strerror(errno));
        return 1;
    }
    std::string folder = parent + "/apisim-bench-XXXXXX";
    if (!mkdtemp(folder.data())) {
        fprintf(stderr, "cannot make a folder in %s: %s\n", parent.c_str(), strerror(errno));
        return 1;
    }
    struct statfs fs;
    if (statfs(folder.c_str(), &fs) == 0 && fs.f_type == 0x01021994)
        printf("note: %s is on a tmpfs, where a flush costs nothing\n", folder.c_str());

    const std::string state = folder + "/apisim.state";
    pid_t sim = start_apisim({"--state", state});
    if (sim < 0) return fprintf(stderr, "apisim did not start\n"), 1;
    const Figures kept = run(seconds);
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    struct stat st;
    const long journal = stat((state + ".journal").c_str(), &st) == 0 ? st.st_size : -1;

    sim = start_apisim({"--no-state"});
    if (sim < 0) return fprintf(stderr, "apisim did not start\n"), 1;
    const Figures bare = run(seconds);
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);

    // A set's journal record: its header, one range header and 4 bytes.
    const Figures disk = flushes(folder + "/flush-test", seconds, 24 + 8 + 4);

    print("durable (journal, fdatasync)", kept);
    print("no state file", bare);
    print("the disk: append + fdatasync", disk);
    printf("state folder: %s (journal after the stop: %ld bytes)\n", folder.c_str(), journal);
    const std::string rm = "rm -rf '" + folder + "'";
    if (system(rm.c_str())) {}
    return 0;
}
