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

// Texts for parameters declared `char*` that the operation only reads.
inline char* S(const char* s) { return const_cast<char*>(s); }

// Rows for the common pairs; `got` is the including test's reply buffer.
// A text setting: the set copies "v" with its NUL, the get fills `got`.
#define TEXT_PAIR(get, set, cget, cset)                                            \
    {#get, [] { return get(got); }, cget, {}, Reply::text(#get), 0, -1,           \
     [] { EXPECT_STREQ(got, #get); }},                                             \
    {#set, [] { return set(S("v")); }, cset, text("v"), Reply::bytes({}), 1, 0}
// A one-byte setting: 300 travels as 44, a reply byte 0xC8 reads 200.
#define BYTE_PAIR(get, set, cget, cset)                                            \
    {#get, [] { return get(); }, cget, {}, Reply::bytes({0xC8}), 200, -1},         \
    {#set, [] { return set(300); }, cset, {44}, Reply::bytes({}), 1, 0}
