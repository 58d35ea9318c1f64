// A bound on each call of a test program: one that has not returned within
// 120 seconds (a hang: a request never answered, a wait that never ends) ends
// the program with a failure and the call's name, well before the test
// runner's time limit. Generous, so that no emulator or loaded machine trips
// it: an answered call takes milliseconds. SIGUSR2 from a monotonic timer: the tests
// interrupt their own calls with SIGALRM.
#pragma once

#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char* watchdog_call = "";

static void watchdog_fire(int) {
    static const char says[] = "watchdog: no return within 120 s from ";
    (void)!write(2, says, sizeof says - 1);
    (void)!write(2, watchdog_call, strlen(watchdog_call));
    (void)!write(2, "\n", 1);
    _exit(1);
}

// Starts the bound for the call named `what` (a text that outlives it); a
// null name stops it.
static inline void watchdog(const char* what) {
    static timer_t timer;
    static bool made = false;
    if (!made) {
        struct sigaction on_fire;
        memset(&on_fire, 0, sizeof on_fire);
        on_fire.sa_handler = watchdog_fire;
        sigaction(SIGUSR2, &on_fire, nullptr);
        struct sigevent fire;
        memset(&fire, 0, sizeof fire);
        fire.sigev_notify = SIGEV_SIGNAL;
        fire.sigev_signo = SIGUSR2;
        made = timer_create(CLOCK_MONOTONIC, &fire, &timer) == 0;
        if (!made) return;
    }
    if (what) watchdog_call = what;
    struct itimerspec bound;
    memset(&bound, 0, sizeof bound);
    bound.it_value.tv_sec = what ? 120 : 0;
    timer_settime(timer, 0, &bound, nullptr);
}
