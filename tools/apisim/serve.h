// Turns one request of the control queue into its reply, from and into the
// store.
#pragma once

#include <sys/types.h>

#include <string>

#include "store.h"

namespace apisim {

// Answers one request: `request` is its mtext (2018 bytes; bytes past a short
// record are zero), `reply` the reply's mtext (2018 bytes, cleared by the
// caller). `line` receives the transaction's trace line: the operation's
// name, the decoded request and the result.
// `caller` is the process that sent the request, 0 when it is not known: the
// outbox reads attachments and uploads with its rights.
void handle(Store& store, int command, const char* request, char* reply, std::string& line,
            pid_t caller = 0);

// `text` with control characters as '?': fit for one line of a log.
std::string printable(std::string text);

// Notes what the stand-in did that no setting records (actions, live values,
// refusals) on standard error.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Renders the test pattern of a channel at the current time as a JPEG into
// out; its length, or -1 when it does not fit.
int render_snapshot(int channel, unsigned char* out, size_t room);

}  // namespace apisim
