// Shared pieces of the local-operation tests: shell commands inside the
// private namespaces, captured output, and the interposed C library calls.
#pragma once

#include <time.h>

#include <string>

#ifdef __cplusplus
extern "C" {
#endif
// Controls of local_interpose.c; every one is off at 0.
extern time_t local_now;              // what time() answers; clock_settime sets it
extern int local_settime_errno;       // clock_settime fails with this errno
extern int local_fail_localtime;      // localtime returns null
extern long long local_year;          // localtime's answer is in this year
extern int local_fail_socket;         // socket() of this family fails
extern unsigned long local_fail_ioctl;  // this ioctl request fails
extern char local_zero_flags[16];     // SIOCGIFFLAGS reports 0 for this name
extern int local_ifconf_calls, local_ifconf_sizes[16];  // buffer lengths given to SIOCGIFCONF
extern int local_merge_done;          // recv hands the done message with the last route datagram
extern int local_merged, local_recv_calls;
extern char local_dir[64];            // the program's scratch directory
#ifdef __cplusplus
}
#endif

// Runs a shell command (ip from iproute2 and the like); true when it exits 0.
bool sh(const std::string& command);
std::string read_file(const std::string& path);
// Fresh network namespace (private already; this makes it empty) with lo down.
bool fresh_net();

// Collects what is written on fd 1 or 2 while it lives.
class Capture {
public:
    explicit Capture(int fd);
    ~Capture();
    std::string text();  // ends the capture
private:
    int fd_, saved_ = -1;
    std::string path_;
};
