/* The clock, the shell and crypt, taken over by the transcript program: the
 * library's calls of time, clock_settime, system and crypt land here, so a run
 * never reads or sets the real clock and never runs a command (the console,
 * the hardware clock). crypt differs between C libraries (Debian's musl has
 * none); the library's own part is the salt and the call. localtime, socket,
 * ioctl and remove pass through unless the walk asks for a failure. Written in
 * C: the C libraries declare these differently for C++ (no <sys/ioctl.h>:
 * musl's ioctl takes an int request). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

long long fake_now = 1715329815; /* 2024-05-10 08:30:15 UTC */
char shell_log[1024];
int clock_refused, localtime_fails, socket_fails, remove_fails, ifconf_calls, ifconf_lengths[8];
long long localtime_year;
unsigned long ioctl_fails;

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, #name))

time_t time(time_t* t) {
    if (t) *t = (time_t)fake_now;
    return (time_t)fake_now;
}

int clock_settime(clockid_t id, const struct timespec* ts) {
    if (clock_refused || id != CLOCK_REALTIME || ts->tv_sec < 0) {
        errno = clock_refused ? EPERM : EINVAL;
        return -1;
    }
    fake_now = ts->tv_sec;
    return 0;
}

int system(const char* command) {
    size_t used = strlen(shell_log);
    if (command && used + strlen(command) + 2 < sizeof shell_log) {
        strcpy(shell_log + used, command);
        strcat(shell_log, "\n");
    }
    return 0;
}

struct tm* localtime(const time_t* t) {
    static struct tm tm;
    if (localtime_fails || !localtime_r(t, &tm)) return NULL;
    if (localtime_year) tm.tm_year = (int)(localtime_year - 1900);
    return &tm;
}

int socket(int family, int type, int protocol) {
    if (family == socket_fails) {
        errno = EMFILE;
        return -1;
    }
    return REAL(socket, int (*)(int, int, int))(family, type, protocol);
}

/* Notes the buffer lengths offered to SIOCGIFCONF. */
int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == ioctl_fails) {
        errno = EINVAL;
        return -1;
    }
    if (request == SIOCGIFCONF && ifconf_calls < 8) ifconf_lengths[ifconf_calls++] = ((struct ifconf*)arg)->ifc_len;
    return REAL(ioctl, int (*)(int, unsigned long, void*))(fd, request, arg);
}

int remove(const char* path) {
    if (remove_fails) {
        errno = EBUSY;
        return -1;
    }
    return REAL(remove, int (*)(const char*))(path);
}

/* The salt, then 11 characters of the salt alphabet from a hash of both. */
char* crypt(const char* key, const char* salt) {
    static const char alphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    static char out[14];
    unsigned long h = 5381;
    const char* p;
    int i;
    for (p = key; *p; ++p) h = h * 33 + (unsigned char)*p;
    h = h * 33 + (unsigned char)salt[0];
    h = h * 33 + (unsigned char)salt[1];
    out[0] = salt[0], out[1] = salt[1];
    for (i = 2; i < 13; ++i, h = h * 69069 + 1) out[i] = alphabet[(h >> 16) % 64];
    out[13] = 0;
    return out;
}

/* True when the global lookup, which the library's calls use, finds fn under
 * the name it has here (musl's headers rename time to __time64 and the like). */
static int reached(void* fn) {
    Dl_info info;
    return dladdr(fn, &info) && info.dli_sname && dlsym(RTLD_DEFAULT, info.dli_sname) == fn;
}

int interposers_in_place(void) {
    return reached((void*)time) && reached((void*)clock_settime) && reached((void*)system) &&
           reached((void*)crypt);
}
