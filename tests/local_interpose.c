/* C library calls that the local-operation tests take over: defined in the
 * test program, they are what the library's calls reach. The clock is a fake
 * one (the real clock never changes); the socket calls pass through unless a
 * test asks for a failure or a changed answer. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

time_t local_now = 1715329815; /* 2024-05-10 08:30:15 UTC */
int local_settime_errno, local_fail_localtime, local_fail_socket;
long long local_year;
unsigned long local_fail_ioctl;
char local_zero_flags[16];
int local_ifconf_calls, local_ifconf_sizes[16];
int local_merge_done, local_merged, local_recv_calls;
char local_dir[64];

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

time_t time(time_t* t) {
    if (t) *t = local_now;
    return local_now;
}

/* Keeps the new value, and leaves it in <dir>/clock for the hardware-clock stand-in. */
int clock_settime(clockid_t id, const struct timespec* ts) {
    if (local_settime_errno || id != CLOCK_REALTIME || ts->tv_sec < 0) {
        errno = local_settime_errno ? local_settime_errno : EINVAL;
        return -1;
    }
    local_now = ts->tv_sec;
    char path[96];
    snprintf(path, sizeof path, "%s/clock", local_dir);
    FILE* f = fopen(path, "w");
    if (f) fprintf(f, "%lld\n", (long long)local_now), fclose(f);
    return 0;
}

struct tm* localtime(const time_t* t) {
    struct tm* tm = local_fail_localtime ? NULL : REAL(localtime)(t);
    if (tm && local_year) tm->tm_year = (int)(local_year - 1900);
    return tm;
}

int socket(int family, int type, int protocol) {
    if (local_fail_socket == family) {
        errno = EMFILE;
        return -1;
    }
    return REAL(socket)(family, type, protocol);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == local_fail_ioctl) {
        errno = EINVAL;
        return -1;
    }
    if (request == SIOCGIFCONF && local_ifconf_calls < 16)
        local_ifconf_sizes[local_ifconf_calls++] = ((struct ifconf*)arg)->ifc_len;
    int rc = REAL(ioctl)(fd, request, arg);
    struct ifreq* r = arg;
    if (rc == 0 && request == SIOCGIFFLAGS && strcmp(r->ifr_name, local_zero_flags) == 0) r->ifr_flags = 0;
    return rc;
}

/* With local_merge_done at 1, a datagram of route messages is handed out
 * together with a done datagram that follows it, as newer kernels send it;
 * after the done message (local_merge_done now 2) reading on fails instead of
 * blocking forever. */
ssize_t recv(int fd, void* buf, size_t len, int flags) {
    static char next[8192];
    static ssize_t held = -1;
    ++local_recv_calls;
    if (!local_merge_done) return REAL(recv)(fd, buf, len, flags);
    if (local_merge_done == 2) {
        errno = EAGAIN;
        return -1;
    }
    ssize_t got = held;
    if (held >= 0) memcpy(buf, next, (size_t)(got = (size_t)held < len ? held : (ssize_t)len));
    else got = REAL(recv)(fd, buf, len, flags);
    held = -1;
    if (got < 16) return got;
    if (((struct nlmsghdr*)buf)->nlmsg_type == NLMSG_DONE) return local_merge_done = 2, got;
    held = REAL(recv)(fd, next, sizeof next, MSG_DONTWAIT);
    if (held >= 16 && ((struct nlmsghdr*)next)->nlmsg_type == NLMSG_DONE && (size_t)(got + held) <= len) {
        memcpy((char*)buf + got, next, (size_t)held);
        got += held, held = -1, local_merge_done = 2, local_merged = 1;
    }
    return got;
}
