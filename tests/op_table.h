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
std::vector<unsigned char> chan_text(unsigned char channel, const std::string& s);
std::vector<unsigned char> int32(int v);                                  // host order
std::vector<unsigned char> concat(std::vector<unsigned char> a, const std::vector<unsigned char>& b);

// Runs every row against the daemon (command, mtype, size 2024, request bytes,
// result, outputs, the lock given back) and at its limits: a text get answered
// with field - 1 characters copies them and stops at the NUL, one answered
// with field characters fails and leaves the buffer; a signed-byte get
// answered 0xFF gives -1. Then every row again with sends failing (failure
// result, nothing sent, the lock given back).
void run_op_table(FakeDaemon& daemon, const std::vector<OpCase>& table);

// Texts for parameters declared `char*` that the operation only reads.
inline char* S(const char* s) { return const_cast<char*>(s); }

#define CALL(expr) [] { return expr; }
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
// A byte set, answered 1.
template <class F> OpCase byte_set(const char* name, F f, int command) {
    return {name, [f] { return call_with_bytes(f); }, command, bytes_sent<F>(), Reply::bytes({}), 1, 0};
}
// An operation without arguments whose answer is only awaited.
template <class F> OpCase action(const char* name, F f, int command) {
    return {name, f, command, {}, Reply::bytes({9}), 1, 0};
}
// A raw 32-bit get and set.
template <class F> OpCase int_get(const char* name, F f, int command) {
    return {name, f, command, {}, Reply::int32(-123456), -123456, -1};
}
template <class F> OpCase int_set(const char* name, F f, int command, int ok = 1, int failure = 0) {
    return {name, [f] { return f(0x01020304); }, command, {4, 3, 2, 1}, Reply::bytes({}), ok, failure};
}
// A decimal get and a "%d" set.
template <class F> OpCase decimal_get(const char* name, F f, int command) {
    return {name, f, command, {}, Reply::text("8080"), 8080, -1};
}
template <class F> OpCase decimal_set(const char* name, F f, int command) {
    return {name, [f] { return f(-554); }, command, text("-554"), Reply::bytes({}), 1, 0};
}
// A text set by copy: separators reach the daemon unchanged.
template <class F> OpCase copy_set(const char* name, F f, int command, int ok = 1, int failure = 0) {
    return {name, [f] { return f(S("a,b:c")); }, command, text("a,b:c"), Reply::bytes({}), ok, failure};
}
// A text get into `out` from a daemon field of `size` bytes: answered with a
// short text, then at the field's limit.
OpCase text_get(const char* name, std::function<int()> call, int command, size_t size, char* out,
                std::vector<unsigned char> request = {}, int ok = 0);
template <class F, class = std::enable_if_t<std::is_invocable_v<F, char*>>>
OpCase text_get(const char* name, F f, int command, size_t size, char* out) {
    return text_get(name, [f, out] { return f(out); }, command, size, out);
}
