/* Preloaded into apictl by the end-to-end test: the clock setters reach this
 * clock_settime, which notes the new time in $APICTL_CLOCK_LOG and leaves the
 * machine's clock alone. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int clock_settime(clockid_t id, const struct timespec* ts) {
    const char* log = getenv("APICTL_CLOCK_LOG");
    FILE* f = log ? fopen(log, "a") : NULL;
    if (!f || id != CLOCK_REALTIME) {
        if (f) fclose(f);
        errno = EPERM;
        return -1;
    }
    fprintf(f, "%lld\n", (long long)ts->tv_sec);
    fclose(f);
    return 0;
}
