/* IPC objects shared by the camera's processes: the keys every process uses,
 * the permission word they are opened with, and the message record of the
 * control protocol. Shared with the control daemon and the loading programs. */
#ifndef INIT_IPC_H
#define INIT_IPC_H

#include <stddef.h>
#include <stdint.h>

#include "layout_check.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Keys of the System V objects (1685 and 1688 are not used). */
#define SEM_API_KEY 1682           /* API lock: one semaphore, free at 1 */
#define MSG_CONTROL_KEY 1683       /* requests to the control daemon (mtype 1) */
#define MSG_RESPONSE_KEY 1684      /* the daemon's replies (mtype 2) */
#define SEM_SNAPSHOT_KEY 1686      /* snapshot semaphore, for other programs */
#define SEM_MOTION_HANDLE_KEY 1687 /* motion-handler semaphore, for other programs */
#define MSG_EVENT_KEY 1689         /* event queue, for other programs */

/* Every object is opened with IPC_CREAT | 0666 (octal 01666, decimal 950):
 * created by whichever process comes first, never exclusively. */
#define IPC_PERM_WORD 950

#define MSG_TYPE_REQUEST 1
#define MSG_TYPE_REPLY 2

#define MSG_TEXT_SIZE 2018
/* The System V message size: everything after mtype (Command, mtext and the
 * two padding bytes). Every request is sent with this size. */
#define MSG_SIZE 2024

/* One request or reply. mtype is a long because the kernel reads it as one:
 * the record is 2028 bytes on the 32-bit target and 2032 on a 64-bit host,
 * while the message size stays 2024 on both. */
typedef struct {
    long mtype;
    int32_t Command;
    char mtext[MSG_TEXT_SIZE];
    char pad[2];
} MSGBUF;

LAYOUT_CHECK(msgbuf_command, offsetof(MSGBUF, Command) == sizeof(long));
LAYOUT_CHECK(msgbuf_mtext, offsetof(MSGBUF, mtext) == sizeof(long) + 4);
LAYOUT_CHECK(msgbuf_pad, offsetof(MSGBUF, pad) == sizeof(long) + 4 + MSG_TEXT_SIZE);
LAYOUT_CHECK(msgbuf_size, sizeof(MSGBUF) == sizeof(long) + MSG_SIZE);

#ifdef __cplusplus
}
#endif

#endif /* INIT_IPC_H */
