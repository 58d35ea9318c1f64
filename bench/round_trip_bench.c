/* Round trip of one library call against the same system calls written by
 * hand, against one responder, in one run. The caller and the responder share
 * one CPU: a cross-CPU wake-up on a virtual machine costs far more than the
 * call itself. Runs in a private IPC namespace.
 *   round_trip_bench [rounds] [calls-per-round] */
#define _GNU_SOURCE
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "api_arch.h"

static void pin_to_cpu0(void) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);
}

static void serve(void) {
    MSGBUF m;
    int control = msgget(MSG_CONTROL_KEY, IPC_PERM_WORD);
    int response = msgget(MSG_RESPONSE_KEY, IPC_PERM_WORD);
    for (;;) {
        if (msgrcv(control, &m, MSG_SIZE, MSG_TYPE_REQUEST, 0) < 0) _exit(0);
        m.mtype = MSG_TYPE_REPLY;
        msgsnd(response, &m, MSG_SIZE, 0);
    }
}

/* The same transaction as API_Video_GetFrequency, as bare system calls. */
static int by_hand(unsigned char channel, MSGBUF *m) {
    struct sembuf take = {0, -1, SEM_UNDO}, give = {0, 1, SEM_UNDO};
    int sem = semget(SEM_API_KEY, 1, IPC_PERM_WORD);
    semop(sem, &take, 1);
    int control = msgget(MSG_CONTROL_KEY, IPC_PERM_WORD);
    int response = msgget(MSG_RESPONSE_KEY, IPC_PERM_WORD);
    m->mtype = MSG_TYPE_REQUEST;
    m->Command = 393;
    m->mtext[0] = (char)channel;
    int result = -1;
    if (msgsnd(control, m, MSG_SIZE, 0) == 0 && msgrcv(response, m, MSG_SIZE, MSG_TYPE_REPLY, 0) >= 0)
        result = (unsigned char)m->mtext[0];
    semop(sem, &give, 1);
    return result;
}

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int by_value(const void *a, const void *b) {
    long long x = *(const long long *)a, y = *(const long long *)b;
    return (x > y) - (x < y);
}

static double median(long long *v, int n) {
    qsort(v, (size_t)n, sizeof *v, by_value);
    return n % 2 ? (double)v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 20;
    int calls = argc > 2 ? atoi(argv[2]) : 2000;
    if (unshare(CLONE_NEWIPC) != 0) {
        perror("unshare(CLONE_NEWIPC) (run as root)");
        return 1;
    }
    pin_to_cpu0();
    union { int val; } one = {1};
    semctl(semget(SEM_API_KEY, 1, IPC_PERM_WORD), 0, SETVAL, one);
    pid_t responder = fork();
    if (responder == 0) serve();

    long long *lib = malloc(sizeof *lib * (size_t)rounds * (size_t)calls);
    long long *raw = malloc(sizeof *raw * (size_t)rounds * (size_t)calls);
    MSGBUF m;
    memset(&m, 0, sizeof m);
    int bad = 0, n = 0;
    for (int i = 0; i < 1000; ++i) bad += API_Video_GetFrequency(7) != 7 || by_hand(7, &m) != 7;  /* warm up */
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < calls; ++i) {  /* interleaved, so drift hits both alike */
            long long t0 = now_ns();
            bad += API_Video_GetFrequency(5) != 5;
            long long t1 = now_ns();
            bad += by_hand(5, &m) != 5;
            long long t2 = now_ns();
            lib[n] = t1 - t0;
            raw[n++] = t2 - t1;
        }
    }
    kill(responder, SIGKILL);
    waitpid(responder, NULL, 0);
    double ml = median(lib, n), mr = median(raw, n);
    printf("round trips: %d each, caller and responder on CPU 0\n", n);
    printf("library API_Video_GetFrequency: median %.0f ns\n", ml);
    printf("hand-written system calls:      median %.0f ns\n", mr);
    printf("ratio library / hand-written:   %.3f\n", ml / mr);
    if (bad) printf("WRONG ANSWERS: %d\n", bad);
    return bad ? 1 : 0;
}
