/* Preloaded into apictl by the end-to-end test: a msgrcv that goes back to
 * waiting when a signal interrupts it, so that a call never returns on its
 * own and only the end of the process stops it. */
#define _GNU_SOURCE
#include <errno.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

ssize_t msgrcv(int id, void* buf, size_t size, long type, int flags) {
    long got;
    do got = syscall(SYS_msgrcv, id, buf, size, type, flags);
    while (got < 0 && errno == EINTR);
    return got;
}
