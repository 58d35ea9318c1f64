/* Preloaded into apisim by its test: once the file named by $IO_FAULT_FILE
 * exists, the journal's write (pwrite: ENOSPC, a full disk) or its flush
 * (fdatasync: EIO) fails, as $IO_FAULT_CALL says. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failing(const char* call) {
    const char* file = getenv("IO_FAULT_FILE");
    const char* which = getenv("IO_FAULT_CALL");
    return file && which && strcmp(which, call) == 0 && access(file, F_OK) == 0;
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
    static ssize_t (*real)(int, const void*, size_t, off_t);
    if (failing("pwrite")) return errno = ENOSPC, -1;
    if (!real) real = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    return real(fd, buf, n, at);
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (failing("fdatasync")) return errno = EIO, -1;
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    return real(fd);
}
