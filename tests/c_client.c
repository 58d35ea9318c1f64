/* A C99 program that uses the library as a camera program would: it includes
 * the public header (whose shared layouts are checked as it compiles) and
 * calls a few operations against a small responder of its own.
 * It defines no BufferEncode: the library still loads, and a snapshot asks the
 * daemon but copies nothing.
 * It enters a private IPC namespace first; without the privilege it reports a
 * skip (77). */
#define _GNU_SOURCE
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include "api_arch.h"

static int failures;

#define CHECK(cond)                                                      \
    do {                                                                 \
        if (!(cond)) {                                                   \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                  \
        }                                                                \
    } while (0)

/* Answers `count` requests, each with its first byte plus one. */
static void respond(int count) {
    MSGBUF m;
    int control = msgget(MSG_CONTROL_KEY, IPC_PERM_WORD);
    int response = msgget(MSG_RESPONSE_KEY, IPC_PERM_WORD);
    for (; count > 0; count--) {
        if (msgrcv(control, &m, MSG_SIZE, MSG_TYPE_REQUEST, 0) < 0) _exit(1);
        m.mtype = MSG_TYPE_REPLY;
        m.mtext[0] = (char)(m.mtext[0] + 1);
        if (msgsnd(response, &m, MSG_SIZE, 0) != 0) _exit(1);
    }
    _exit(0);
}

int main(void) {
    pid_t child;
    int status = 0;
    union { int val; } one;
    unsigned char picture[8];

    if (unshare(CLONE_NEWIPC) != 0) {
        printf("skipped: cannot enter a private IPC namespace (%s)\n", strerror(errno));
        return 77;
    }
    one.val = 1;
    semctl(SemAPIInit(), 0, SETVAL, one);
    child = fork();
    if (child == 0) respond(5);
    /* A few operations as a camera program calls them (the reviewed transcript
     * has every one). */
    CHECK(API_Video_GetFrequency(41) == 42);
    CHECK(API_Video_SetBrightness(0, 128) == 1);
    CHECK(API_SNTP_Set_Zone("CST-8") == 1);
    CHECK(API_MOD_SetSdLock(0) == 0); /* succeeds with 0 */
    memset(picture, 0x11, sizeof picture);
    CHECK(API_Video_SetJPGSnapShot(0, picture) == 0 && picture[0] == 0x11 && picture[7] == 0x11);
    waitpid(child, &status, 0);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(semctl(SemAPIInit(), 0, GETVAL) == 1);

    printf("%s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
