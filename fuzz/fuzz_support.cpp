#include "fuzz_support.h"

#include <stdio.h>
#include <unistd.h>

int fuzz_diag_fd = 2;
bool fuzz_verbose = false;

void fuzz_fail(const char* target, const char* what, const char* detail) {
    char line[512];
    const int n = snprintf(line, sizeof line, "FINDING in %s: %s (%s)\n", target, what,
                           detail ? detail : "");
    if (n > 0 && write(fuzz_diag_fd, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1) < 0) {
    }
    abort();
}

// libFuzzer calls this before it closes standard error (-close_fd_mask=2),
// so the reports keep a way out.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_diag_fd = dup(2);
    return 0;
}
