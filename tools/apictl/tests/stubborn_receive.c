/* Preloaded into apictl by the end-to-end test: a msgrcv that goes back to
 * waiting when a signal interrupts it, so that a call never returns on its
 * own and only the end of the process stops it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/msg.h>

ssize_t msgrcv(int id, void* buf, size_t size, long type, int flags) {
    static ssize_t (*real)(int, void*, size_t, long, int);
    if (!real) real = (ssize_t(*)(int, void*, size_t, long, int))dlsym(RTLD_NEXT, "msgrcv");
    ssize_t got;
    do got = real(id, buf, size, type, flags);
    while (got < 0 && errno == EINTR);
    return got;
}
