// Running a prepared call (catalog.h) as scripts need it: not at all when the
// control daemon is not there, never longer than the timeout, and with the
// reason when there was no answer. Every command that calls operations runs
// them through run_call.
#pragma once

#include "catalog.h"

namespace apictl {

// Seconds, fractions allowed, 0 for no limit; false when the text is not one.
bool parse_timeout(const char* text, double& seconds);

struct Run {
    double seconds = 10;          // 0: no limit
    const char* seconds_text = "10";  // as given, for the messages
    bool trace_aside = false;     // the operation's own printing goes to standard error
};

struct Outcome {
    int status = kOk;  // kOk, kFailed (the failure value), kTimedOut (no answer)
    bool timer_fired = false;
    char why[240] = "";  // kTimedOut: "NAME: no answer within 10 s" and the like
};

// At once and without creating anything: are the daemon's queues and lock
// there? False with the reason ("no control daemon: ...") in why.
bool daemon_present(char* why, size_t room);

// Runs c under the timer, `name` naming it in the messages: refuses at once
// when c talks to the daemon and it is not there, fills BufferEncode for the
// snapshot, and tells the three kinds of no answer apart (the API lock held
// by another process, no answer, a call that returned after the timer fired).
// A call that has not returned 2 s after its time is ended with the process
// (status 3; with a JSON descriptor set, its object is written there).
Outcome run_call(Call& c, const char* name, const Run& how);
void set_json_fd(int fd);

// The object of a call that ended with status 3, on one line.
void print_no_answer_json(FILE* out, const char* name, const Call* c, const Outcome& o);

// The shared state record behind the snapshot, from a provider loaded with
// apictl or the stand-in's record; null when there is neither (then
// kNoStateRecord says so).
BUFFER_ENCODE_T* find_state_record();
extern const char* const kNoStateRecord;

}  // namespace apictl
