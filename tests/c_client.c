/* A C99 program that uses the library as a camera program would: it includes
 * the public header, checks a few shared layouts at run time and makes one
 * transaction against a small responder of its own. It enters a private IPC
 * namespace first; without the privilege it reports a skip (77). */
#define _GNU_SOURCE
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

/* Answers one request with its channel byte plus one. */
static void respond_once(void) {
    MSGBUF m;
    int control = msgget(MSG_CONTROL_KEY, IPC_PERM_WORD);
    int response = msgget(MSG_RESPONSE_KEY, IPC_PERM_WORD);
    if (msgrcv(control, &m, MSG_SIZE, MSG_TYPE_REQUEST, 0) < 0) _exit(1);
    m.mtype = MSG_TYPE_REPLY;
    m.mtext[0] = (char)(m.Command == 393 ? m.mtext[0] + 1 : 0);
    _exit(msgsnd(response, &m, MSG_SIZE, 0) == 0 ? 0 : 1);
}

int main(void) {
    BUFFER_ENCODE_T *none = NULL;
    pid_t child;
    int status = 0;
    union { int val; } one;

    CHECK(sizeof(BUFFER_ENCODE_T) == 1072016);
    CHECK(offsetof(BUFFER_ENCODE_T, JPGSnapLen) == 525224);
    CHECK(offsetof(BUFFER_ENCODE_T, VeldaConfigs) == 765148);
    CHECK(offsetof(BUFFER_ENCODE_T, wlan_ip) == 1071984);
    CHECK(sizeof(none->IPCAMConfig) == 294960);
    CHECK(sizeof(POSITION_T) == 12);
    CHECK(sizeof(MSGBUF) == sizeof(long) + MSG_SIZE);

    if (unshare(CLONE_NEWIPC) != 0) {
        printf("skipped: cannot enter a private IPC namespace\n");
        return 77;
    }
    one.val = 1;
    semctl(SemAPIInit(), 0, SETVAL, one);
    child = fork();
    if (child == 0) respond_once();
    CHECK(API_Video_GetFrequency(41) == 42);
    waitpid(child, &status, 0);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(semctl(SemAPIInit(), 0, GETVAL) == 1);

    printf("%s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
