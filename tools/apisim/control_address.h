/* Where apisim's control channel is found, and the limits of its packets.
 * Shared by apisim and apictl; C library only (apictl has no C++ runtime). */
#ifndef APISIM_CONTROL_ADDRESS_H
#define APISIM_CONTROL_ADDRESS_H

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

/* A request: one packet of NUL-terminated fields (the output format "text" or
 * "json", the command, its arguments). An answer: a first packet "STATUS\n"
 * followed by the text, then more packets of text, then the end of the
 * connection; a monitor gets one packet per line instead, until it leaves. */
#define APISIM_CONTROL_REQUEST_MAX 16384
#define APISIM_CONTROL_PACKET_MAX 32768

/* apisim serves the queues and semaphores of one IPC namespace (the keys are
 * looked up there), and several instances run side by side in private
 * namespaces during tests. So the channel is named after the IPC namespace's
 * inode: an apictl reaches the apisim of its own namespace and no other. The
 * name is an abstract one: nothing is left in the file system after kill -9,
 * and no directory has to be shared or agreed on. Abstract names belong to the
 * network namespace, so apictl must share that one with apisim too, as every
 * process started under one `unshare --ipc --net` does (without /proc both
 * sides use inode 0). Fills `a`; returns the length to bind or connect with. */
static inline socklen_t apisim_control_address(struct sockaddr_un* a) {
    struct stat ns;
    unsigned long long inode = 0;
    if (stat("/proc/self/ns/ipc", &ns) == 0) inode = (unsigned long long)ns.st_ino;
    memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    /* sun_path[0] stays 0: the abstract namespace. */
    const int n = snprintf(a->sun_path + 1, sizeof a->sun_path - 1, "apisim-control-%llu", inode);
    return (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + (size_t)n);
}

#endif /* APISIM_CONTROL_ADDRESS_H */
