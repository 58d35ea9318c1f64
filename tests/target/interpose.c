/* The clock, the shell and crypt, taken over by the transcript program: the
 * library's calls of time, clock_settime, system and crypt land here, so a run
 * never reads or sets the real clock and never runs a command (the console,
 * the hardware clock). crypt differs between C libraries (Debian's musl has
 * none); the library's own part is the salt and the call. Written in C: the C
 * libraries declare these differently for C++. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

long long fake_now = 1715329815; /* 2024-05-10 08:30:15 UTC */
char shell_log[1024];

time_t time(time_t* t) {
    if (t) *t = (time_t)fake_now;
    return (time_t)fake_now;
}

int clock_settime(clockid_t id, const struct timespec* ts) {
    if (id != CLOCK_REALTIME || ts->tv_sec < 0) {
        errno = EINVAL;
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
