// The local-operation tests run in private IPC, network and mount namespaces,
// entered before any test: interfaces and routes are made with iproute2 inside
// them, and /sbin/hwclock and /dev/console are replaced by files of the test
// (bind mounts seen by this process only). When the namespaces cannot be had,
// every test is skipped with the reason and the program exits with 77.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <limits.h>
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

// The optional fields ("shared:N" and the like) of the mount at PATH, or
// "none" when nothing is mounted there.
std::string mount_tags(const std::string& path) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line, tags = "none";
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, options, tag;
        fields >> id >> parent >> device >> root >> point >> options;
        if (point != path) continue;
        tags.clear();
        while (fields >> tag && tag != "-") tags += " " + tag;
    }
    return tags;
}

// Makes every mount of this new namespace private. In a plain chroot "/" is
// not a mount point and cannot be made private as it is: the root is bound
// onto itself and entered first, once a scratch mount has shown that nothing
// mounted on the file system that holds it would reach other namespaces.
std::string make_mounts_private() {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return "";
    const std::string cause = std::string("cannot make mounts private (") + strerror(errno) + ")";
    if (access("/proc/self/mountinfo", R_OK) != 0) return cause + " and /proc is not mounted";
    if (mount_tags("/") != "none") return cause;
    const std::string chroot_cause = "cannot make mounts private: / is not a mount point (a plain chroot?)";
    char probe[] = "/.local_test.XXXXXX";
    const bool made = mkdtemp(probe) != nullptr;
    const bool probed = made && mount("local_test_probe", probe, "tmpfs", 0, nullptr) == 0;
    const std::string tags = probed ? mount_tags(probe) : "";
    if (probed) umount(probe);
    if (made) rmdir(probe);
    if (!probed) return chroot_cause + " and it cannot be told whether the mount that holds it is shared";
    if ((tags + " ").find(" shared:") != std::string::npos)
        return chroot_cause + " and the mount that holds it is shared with other namespaces";
    char cwd[PATH_MAX];
    // "/.." leads onto the bind just made, whose root is this same directory.
    if (!getcwd(cwd, sizeof cwd) || mount("/", "/", nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
        chroot("/..") != 0 || chdir(cwd) != 0)
        return chroot_cause + " and it cannot be bound onto itself";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("cannot make mounts private (") + strerror(errno) + ")";
    return "";
}

std::string enter_namespaces() {
    if (unshare(CLONE_NEWIPC | CLONE_NEWNET | CLONE_NEWNS) != 0) {
        const int error = errno;
        return std::string("cannot enter private namespaces (") + strerror(error) + ")" +
               (error == EPERM ? "; run as root" : "");
    }
    const std::string mounts = make_mounts_private();
    if (!mounts.empty()) return mounts;
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
    return skip_reason.empty() ? status : 77;
}
