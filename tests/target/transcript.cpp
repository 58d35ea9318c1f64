// The transcript program's frame: the line writer, the capture of the
// library's output, the comparison with a reference, and main.
//
//   transcript [--out FILE] [--expect FILE]
//
// It enters private IPC and network namespaces first (77 without the
// privilege), writes the transcript to FILE with --out, compares it line by
// line with FILE with --expect, and ends with one summary line.
#include "transcript.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

char scratch[64];

namespace {

char* lines;  // the whole transcript, lines ending in '\n'
size_t used, room;
int line_count, failed_checks;

void append(const char* text, size_t n) {
    if (used + n + 1 > room) {
        room = (used + n + 1) * 2;
        lines = static_cast<char*>(realloc(lines, room));
        if (!lines) {
            fprintf(stderr, "transcript: out of memory\n");
            exit(1);
        }
    }
    memcpy(lines + used, text, n);
    used += n;
    lines[used] = 0;
}

uint32_t checksum(const void* data, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const unsigned char*>(data)[i]) * 16777619u;
    return h;
}

}  // namespace

void put(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) append(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

void put_bytes(const void* data, size_t n) {
    if (n > 128) {
        put("<%zu bytes %08x>", n, checksum(data, n));
        return;
    }
    for (size_t i = 0; i < n; ++i) put("%02x", static_cast<const unsigned char*>(data)[i]);
}

void put_text(const char* text, size_t n) {
    if (n > 160) {
        put("<%zu characters %08x>", n, checksum(text, n));
        return;
    }
    put("\"");
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') put("\\n");
        else if (c == '\t') put("\\t");
        else if (c == '"' || c == '\\') put("\\%c", c);
        else if (c < 0x20 || c >= 0x7f) put("\\x%02x", c);
        else put("%c", c);
    }
    put("\"");
}

void end_line() {
    append("\n", 1);
    ++line_count;
}

void check(bool ok, const char* what, int line) {
    if (ok) return;
    ++failed_checks;
    // The line being written says which call it was.
    const char* start = used ? static_cast<const char*>(memrchr(lines, '\n', used)) : nullptr;
    start = start ? start + 1 : lines;
    fprintf(stderr, "check failed (line %d): %s\n  at: %.200s\n", line, what, start ? start : "");
}

// ---- the library's standard output and error during a call ----

namespace {
int saved_fd[3] = {-1, -1, -1}, file_fd[3] = {-1, -1, -1};

void read_back(int fd, const char* name) {
    char text[4096];
    const off_t size = lseek(file_fd[fd], 0, SEEK_END);
    if (size <= 0) return;
    const ssize_t got = pread(file_fd[fd], text, sizeof text, 0);
    put(" %s ", name);
    put_text(text, got > 0 ? static_cast<size_t>(got) : 0);
    if (size > static_cast<off_t>(sizeof text)) put("...");
}
}  // namespace

void capture_begin() {
    fflush(stdout);
    for (int fd = 1; fd <= 2; ++fd) {
        if (file_fd[fd] < 0) {
            char path[96];
            snprintf(path, sizeof path, "%s/fd%d", scratch, fd);
            file_fd[fd] = open(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
            saved_fd[fd] = dup(fd);
        }
        CHECK(ftruncate(file_fd[fd], 0) == 0 && lseek(file_fd[fd], 0, SEEK_SET) == 0);
        dup2(file_fd[fd], fd);
    }
}

void capture_end() {
    fflush(stdout);
    for (int fd = 1; fd <= 2; ++fd) dup2(saved_fd[fd], fd);
    read_back(1, "stdout");
    read_back(2, "stderr");
}

// ---- comparison with the reference ----

namespace {

// Compares line by line; prints the first differences. True when equal.
bool same_as(const char* path, int* differing) {
    FILE* f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "transcript: cannot read the reference %s: %s\n", path, strerror(errno));
        return false;
    }
    struct stat st;
    char* want = nullptr;
    size_t want_size = 0;
    if (fstat(fileno(f), &st) == 0 && (want = static_cast<char*>(malloc(static_cast<size_t>(st.st_size) + 1))))
        want_size = fread(want, 1, static_cast<size_t>(st.st_size), f);
    fclose(f);
    if (!want) return false;
    want[want_size] = 0;

    const char *a = want, *b = lines ? lines : "";
    int number = 1;
    *differing = 0;
    while (*a || *b) {
        const char* a_end = strchrnul(a, '\n');
        const char* b_end = strchrnul(b, '\n');
        if (a_end - a != b_end - b || memcmp(a, b, static_cast<size_t>(a_end - a)) != 0) {
            if (++*differing <= 10)
                fprintf(stderr, "line %d differs:\n  reference: %.*s\n  here:      %.*s\n", number,
                        static_cast<int>(a_end - a), a, static_cast<int>(b_end - b), b);
        }
        a = *a_end ? a_end + 1 : a_end;
        b = *b_end ? b_end + 1 : b_end;
        ++number;
    }
    free(want);
    return *differing == 0;
}

void remove_scratch() {
    for (int fd = 1; fd <= 2; ++fd) {
        if (file_fd[fd] >= 0) close(file_fd[fd]), close(saved_fd[fd]);
        char path[96];
        snprintf(path, sizeof path, "%s/fd%d", scratch, fd);
        unlink(path);
    }
    rmdir(scratch);
}

}  // namespace

int main(int argc, char** argv) {
    const char *out = nullptr, *expect = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--out") && i + 1 < argc) out = argv[++i];
        else if (!strcmp(argv[i], "--expect") && i + 1 < argc) expect = argv[++i];
        else {
            fprintf(stderr, "usage: transcript [--out FILE] [--expect FILE]\n");
            return 2;
        }
    }
    // Never the real clock or shell: refuse to run if the library would reach them.
    if (!interposers_in_place()) {
        fprintf(stderr, "transcript: the library does not reach this program's time, clock_settime, system and crypt\n");
        return 1;
    }
    if (unshare(CLONE_NEWIPC | CLONE_NEWNET) != 0) {
        printf("transcript: skipped: cannot enter private IPC and network namespaces (%s); run as root\n",
               strerror(errno));
        return 77;
    }
    strcpy(scratch, "/tmp/transcript.XXXXXX");
    if (!mkdtemp(scratch)) {
        fprintf(stderr, "transcript: no scratch folder: %s\n", strerror(errno));
        return 1;
    }
    // Summer time in force at the fixed clock: the zone rules are exercised too.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();

    walk_daemon_operations();
    walk_local_operations();
    remove_scratch();

    if (out) {
        FILE* f = fopen(out, "wb");
        if (!f || fwrite(lines, 1, used, f) != used || fclose(f) != 0) {
            fprintf(stderr, "transcript: cannot write %s\n", out);
            return 1;
        }
    }
    int differing = 0;
    const bool equal = !expect || same_as(expect, &differing);
    printf("transcript: %d lines, %d failed checks", line_count, failed_checks);
    if (expect) printf(", %s the reference (%d lines differ)", equal ? "equal to" : "NOT equal to", differing);
    printf("\n");
    return failed_checks == 0 && equal ? 0 : 1;
}
