// The HTTP gateway's request reader and dispatcher (tools/apiweb/rpc.cpp)
// with an administrator's rights, against a fake daemon: this program
// defines semget, semop, semctl, msgget, msgsnd and msgrcv, so the library's
// transactions land here and are answered at once.
//
// The clock setters and the library's shell commands (hwclock, the console
// echo) are defined here too: the real clock and console are never touched.
//
// Input: one byte that picks the daemon's answer text, then the request body.
// Checked beyond the sanitizers: whatever the body, the answer is one strict
// JSON document (read back with the same reader), or nothing for
// notifications only.
#define FUZZ_TARGET "apiweb"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <time.h>

#include "fuzz_support.h"
#include "gateway.h"

namespace {

const char* const kAnswers[] = {"1", "none", "viewer:pw:1", "128", ""};
const char* answer = "1";
int last_command = 0;

}  // namespace

// Exported (the call path's flags hide symbols by default), so that the
// library binds to them.
#define FAKE extern "C" __attribute__((visibility("default")))
FAKE int semget(key_t, int, int) { return 100; }
FAKE int semop(int, struct sembuf*, size_t) { return 0; }
FAKE int semctl(int, int, int, ...) { return 1; }
FAKE int msgget(key_t, int) { return 200; }
FAKE int clock_settime(clockid_t, const struct timespec*) noexcept { return 0; }
FAKE int system(const char*) { return 0; }
FAKE int msgsnd(int, const void* msg, size_t, int) {
    last_command = static_cast<const MSGBUF*>(msg)->Command;
    return 0;
}
FAKE ssize_t msgrcv(int, void* msg, size_t size, long, int flags) {
    if (flags & IPC_NOWAIT) return errno = ENOMSG, -1;  // no stale answers
    auto* m = static_cast<MSGBUF*>(msg);
    memset(&m->Command, 0, size);
    m->mtype = 2;
    m->Command = last_command;
    snprintf(m->mtext, sizeof m->mtext, "%s", answer);
    return static_cast<ssize_t>(size);
}

extern "C" BUFFER_ENCODE_T* BufferEncode;  // apictl's call path defines it
static BUFFER_ENCODE_T record;

const char* const* fuzz_names() {
    static const char* const names[] = {nullptr};
    return names;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        char dir[] = "/tmp/fuzz_apiweb.XXXXXX";
        if (mkdtemp(dir)) setenv("APIWEB_STATE_DIR", dir, 1);
        BufferEncode = &record;
        record.JPGSnapLen = 4;
        ready = true;
    }
    if (size == 0 || size > (1 << 20)) return 0;
    answer = kAnswers[data[0] % (sizeof kAnswers / sizeof kAnswers[0])];
    static char body[(1 << 20) + 1];
    memcpy(body, data + 1, size - 1);
    apiweb::Exchange x;
    x.authenticated = true;
    x.who.role = apiweb::kAdmin;
    x.who.level = 3;
    strcpy(x.who.user, "admin");
    char* text = nullptr;
    size_t n = 0;
    FILE* out = open_memstream(&text, &n);
    if (!out) return 0;
    const bool answered = apiweb::handle_rpc(body, size - 1, x, out);
    fclose(out);
    const char* error = "";
    size_t at = 0;
    FUZZ_CHECK(!answered || apictl::json_read(text, n, &error, &at) != 0, "the answer is not one JSON document", error);
    FUZZ_CHECK(answered || n == 0, "nothing answered, yet something written", text);
    free(text);
    return 0;
}
