// Table-driven checks of operations against the stand-in daemon: one row per
// operation says what it must send and what it must make of a reply.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fake_daemon.h"

struct OpCase {
    const char* name;
    std::function<int()> call;
    int command;
    std::vector<unsigned char> request;  // mtext from byte 0; every later byte must be zero
    Reply reply;                         // the daemon's scripted answer
    int result;                          // the operation's result with that answer
    int failure;                         // its result when the request cannot be sent
    std::function<void()> check = {};    // optional: checks the outputs after the call
};

// Request payloads as the rows state them.
std::vector<unsigned char> bytes(std::initializer_list<unsigned char> b);
std::vector<unsigned char> text(const std::string& s);                    // text and its NUL
std::vector<unsigned char> chan_text(unsigned char channel, const std::string& s);
std::vector<unsigned char> int32(int v);                                  // host order
std::vector<unsigned char> concat(std::vector<unsigned char> a, const std::vector<unsigned char>& b);

// Runs every row against the daemon (command, mtype, size 2024, request bytes,
// result, outputs, the lock given back), then every row again with sends
// failing (failure result, nothing sent, the lock given back).
void run_op_table(FakeDaemon& daemon, const std::vector<OpCase>& table);
