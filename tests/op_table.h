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
    // The limits of a get, checked by the walk as well:
    size_t text_field = 0;               // a text reply's field size, and the buffer the
    char* text_out = nullptr;            //   call fills (text_field + 1 bytes or more)
    bool signed_byte = false;            // a reply byte read signed: 0xFF gives -1
};

// Request payloads as the rows state them.
std::vector<unsigned char> bytes(std::initializer_list<unsigned char> b);
std::vector<unsigned char> text(const std::string& s);                    // text and its NUL

// Runs every row against the daemon (command, mtype, size 2024, request bytes,
// result, outputs, the lock given back) and at its limits: a text get answered
// with field - 1 characters copies them and stops at the NUL, one answered
// with field characters fails and leaves the buffer; a signed-byte get
// answered 0xFF gives -1. Then every row again with sends failing (failure
// result, nothing sent, the lock given back).
void run_op_table(FakeDaemon& daemon, const std::vector<OpCase>& table);
