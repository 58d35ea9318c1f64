// The local-operation tests run in private IPC, network and mount namespaces,
// entered before any test: interfaces and routes are made with iproute2 inside
// them, and /sbin/hwclock and /dev/console are replaced by files of the test
// (bind mounts seen by this process only). Without the privilege for that,
// every test is skipped with the reason.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "local_support.h"

bool sh(const std::string& command) { return system(command.c_str()) == 0; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool fresh_net() { return unshare(CLONE_NEWNET) == 0; }

Capture::Capture(int fd) : fd_(fd), path_(std::string(local_dir) + "/capture") {
    fflush(stdout);
    const int out = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    saved_ = dup(fd);
    dup2(out, fd);
    close(out);
}

std::string Capture::text() {
    if (saved_ >= 0) {
        fflush(stdout);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    return read_file(path_);
}

Capture::~Capture() { text(); }

namespace {
std::string skip_reason;

class PrivateNamespaces : public testing::Environment {
public:
    void SetUp() override {
        if (!skip_reason.empty()) GTEST_SKIP() << skip_reason;
    }
};

// Puts a test file over an existing path, in this mount namespace only.
bool replace(const char* target, const std::string& file, const std::string& content, mode_t mode) {
    std::ofstream(file) << content;
    return chmod(file.c_str(), mode) == 0 && mount(file.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
}

std::string enter_namespaces() {
    if (unshare(CLONE_NEWIPC | CLONE_NEWNET | CLONE_NEWNS) != 0)
        return std::string("cannot enter private namespaces (") + strerror(errno) + "); run as root";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "cannot make the mounts private";
    strcpy(local_dir, "/tmp/local_test.XXXXXX");
    if (!mkdtemp(local_dir)) return local_dir[0] = 0, "no scratch directory";
    const std::string dir = local_dir;
    // The hardware-clock stand-in notes its arguments and the clock it finds.
    if (!replace("/sbin/hwclock", dir + "/hwclock",
                 "#!/bin/sh\necho \"$* $(cat " + dir + "/clock)\" >> " + dir + "/hwclock.log\n", 0755) ||
        !replace("/dev/console", dir + "/console", "", 0644))
        return "cannot replace /sbin/hwclock and /dev/console";
    return "";
}
}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    setenv("TZ", "UTC0", 1);
    skip_reason = enter_namespaces();
    if (!skip_reason.empty()) fprintf(stderr, "skipping all tests: %s\n", skip_reason.c_str());
    testing::AddGlobalTestEnvironment(new PrivateNamespaces);
    const int status = RUN_ALL_TESTS();
    if (local_dir[0]) {
        umount("/sbin/hwclock");
        umount("/dev/console");
        sh(std::string("rm -rf ") + local_dir);
    }
    return status;
}
