// Table-driven checks of operations against the stand-in daemon: one row per
// operation says what it must send and what it must make of a reply.
#pragma once

#include <functional>
#include <string>
#include <type_traits>
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

// A row of a shared shape, named after its operation: ROW(byte_get, API_Video_GetHue, 157).
#define ROW(make, op, ...) make(#op, op, __VA_ARGS__)

// ---- row makers for the shapes that many operations share ----
//
// A byte-field operation is called with no argument, with 0x102, or with
// 0x103 and 0x181, as its parameters ask: only the low 8 bits of each may
// reach the wire.
template <class F> int call_with_bytes(F f) {
    int a = 0x102, b = 0x103, c = 0x181;  // through ints: a parameter may be a byte
    if constexpr (std::is_invocable_v<F>) return f();
    else if constexpr (std::is_invocable_v<F, int>) return f(a);
    else return f(b, c);
}
template <class F> std::vector<unsigned char> bytes_sent() {
    if constexpr (std::is_invocable_v<F>) return {};
    else if constexpr (std::is_invocable_v<F, int>) return {2};
    else return {3, 0x81};
}

// A byte get: the reply byte 0xC8 reads 200.
template <class F> OpCase byte_get(const char* name, F f, int command) {
    return {name, [f] { return call_with_bytes(f); }, command, bytes_sent<F>(), Reply::bytes({0xC8}), 200, -1};
}
// A signed-byte get: 0xC8 reads -56, and 0xFF -1.
template <class F> OpCase signed_byte_get(const char* name, F f, int command) {
    OpCase c = byte_get(name, f, command);
    c.result = -56;
    c.signed_byte = true;
    return c;
}
