// apisim's control channel: a socket of its own, beside the camera's queues,
// through which apictl sets fault rules, attaches monitors and runs the
// commands that apisim's modules add. It runs on a thread of its own; the
// transaction path only consults the rules and writes monitor lines without
// ever waiting for a client.
//
// Commands built in: "sim" (fault rules) and "monitor" (a stream of lines).
// Modules add theirs with add_command() and report events with publish().
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace apisim::control {

// ---- start-up and the transaction path (main.cpp, serve.cpp) ----

// Opens the channel and starts its thread. False, with the reason (who holds
// its name, when another process does), when the channel cannot be opened:
// apisim then does not start, as callers would meet an impostor there.
bool start(std::string& why);

// Serve.cpp reports how it read the request and what it did, once per
// request, before the reply is sent: the operation's name, the decoded
// request and the result as the trace shows them.
void describe(const char* name, const std::string& request, const std::string& result);

// Before the reply is sent: applies the fault rule of `command`, if any. A
// delay sleeps here (cut short when a signal arrives or the rule is cleared);
// a failure or raw reply overwrites `reply_mtext` (MSG_TEXT_SIZE bytes). False
// when the reply must be withheld. Also notes the caller's pid from the
// control queue while the request is the last one on it.
bool before_reply(int control_queue, int command, char* reply_mtext);

// After the reply was sent or withheld: one line for every monitor whose
// pattern matches. `trace_line` stands in when describe() was not called.
void after_reply(int command, const std::string& trace_line);

// ---- for other modules ----

// A command's answer: its exit status for apictl (0 done, 1 failed, 2 usage
// error) and its text: printed on apictl's standard output when the status
// is 0, on standard error (after "apictl: ") otherwise. `json` is true when
// the user asked for JSON: a successful answer is then one JSON document.
struct Answer {
    int status = 0;
    std::string text;
};

// Runs on the channel's thread, never on the transaction path. `args` are the
// words after the command's name, as the user typed them: check them.
using Handler = std::function<Answer(const std::vector<std::string>& args, bool json)>;

// Adds `name` to the channel's commands (apictl reaches it as `apictl NAME
// ARGS...` where apictl has a client for it, e.g. `apictl outbox`). A second
// command of the same name replaces the first. Callable at any time, from any
// thread.
void add_command(const std::string& name, Handler handler);

// One event line for every monitor whose pattern matches `name`, like a
// transaction's: the time is now, `pid` 0 when no process stands behind it.
// Callable from any thread; it never waits for a monitor (a monitor that
// cannot take the line loses it, and is told how many it lost).
void publish(const std::string& name, const std::string& request, const std::string& result,
             pid_t pid = 0);

// `bytes` as a JSON string with its quotes. Valid UTF-8 passes unchanged
// (control characters, '"' and '\\' escaped); a byte that is not part of
// valid UTF-8 becomes \udcXX (XX its value, 80 to ff), the form Python's
// "surrogateescape" reads back to the very same byte.
std::string json_string(const std::string& bytes);

}  // namespace apisim::control
