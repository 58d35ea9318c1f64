// Every exported name of libapi_arch as apictl knows it (the ordinary
// operations from the operation list, the hand-written ones, the exported
// data), their parameters, and the one path by which an operation is called
// by name with argument strings: parse and check the arguments, call, collect
// the result and the outputs. Subcommands that call operations in bulk use
// the same path.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "api_arch.h"
#include "op_facts.h"

namespace apictl {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kTimedOut = 3 };

// The C types that parameters have.
enum class CType : uint8_t {
    UChar, Int, Text, ConstText, UCharPtr, IntPtr, Position, PositionPtr, NetlinkMsg, RouteInfo
};
const char* ctype_name(CType t);

// How a result reads as a failure: equal to the failure value, anything but
// 1, or never.
enum class Fail : uint8_t { Equal, NotOne, Never };

struct Hand;
struct Datum;

// One exported name: an ordinary operation, a hand-written one or a datum.
struct Entry {
    const char* name;
    const op_facts::Facts* facts;
    const Hand* hand;
    const Datum* datum;
};

// What a parameter carries and how its argument is read.
enum class Shape : uint8_t {
    Value,    // an integer, or POSITION_T's three, passed by value
    Text,     // a NUL-terminated text
    Numbers,  // an array or record of integers, comma-separated
    Counted,  // a record list: two integers per record, the count in the parameter before
    Binary,   // bytes whose count is the result
    Hex,      // a record in hexadecimal
};

struct Param {
    const char* name;  // into the C parameter list; name_len characters
    int name_len;
    CType type;
    Shape shape;
    char dir;           // 'i' read by the operation, 'o' written by it, 'x' both
    uint32_t size;      // buffer bytes: a text's field (NUL included; 0: none), a record's size
    long long min, max; // range of the value or of each element
    const char* forbid; // characters a text may not contain
};

size_t entry_count();
const Entry& entry_at(size_t i);  // in name order

// The entry of a name given as exact, without "API_", or in any case; null
// with a one-line message in `why` (nearest names suggested).
const Entry* find_entry(const char* name, char* why, size_t room);

int params_of(const Entry& e, Param* out);  // out: room for kMaxParams
constexpr int kMaxParams = 8;
const char* return_type(const Entry& e);
const char* params_text(const Entry& e);  // "(type name, ...)" as declared
// The command a hand-written operation sends (0: none, it works locally).
int command_of(const Entry& e);
bool talks_to_daemon(const Entry& e);
Fail fail_of(const Entry& e);
int failure_of(const Entry& e);
const char* note_of(const Entry& e);  // hand-written operations and data
const char* datum_decl(const Entry& e);
// The request is the parameters joined by one separator each, bounded to 2016 characters.
bool joined_request(const Entry& e);

union Arg {
    long long i;
    void* p;
    POSITION_T pos;
};

// One call by name: prepare() parses and checks the arguments, invoke()
// calls the operation, print_call() shows the outcome.
struct Call {
    const Entry* entry = nullptr;
    void* fn = nullptr;
    int param_count = 0;
    Param params[kMaxParams];
    Arg args[kMaxParams];
    enum Kind { Int, Text, Void, Data } kind = Void;
    long long result = 0;
    const char* text = nullptr;  // Kind::Text
    bool failed = false;
    char error[320];  // the usage error, when prepare() refuses
};

bool prepare(Call& c, const Entry& e, int argc, char** argv);
void invoke(Call& c);

// The function of the entry's name in the loaded library, or null.
void* resolve(const Entry& e);
// Calls fn through the entry's C signature with c.args; sets kind, result, text.
void call_through_signature(Call& c, void* fn);

// The outcome: text (the result, then "name: value" per output) or one JSON
// object {"name", "result", "outputs"} on one line.
void print_call(const Call& c, FILE* out, bool json);
// Its pieces: the result, and what the operation wrote into parameter i
// (params[i].dir 'o' or 'x'), as text or as a JSON value.
void print_result(FILE* out, const Call& c, bool json);
void print_output(FILE* out, const Call& c, int i, bool json);

// The length of the valid UTF-8 sequence at s (at most n bytes, n > 0), or 0.
size_t utf8_length(const unsigned char* s, size_t n);

// JSON text of a byte string: valid UTF-8 as it is, every other byte as the
// escape \udcXX (XX its value), so that the exact bytes come back.
void json_string(FILE* out, const char* s, size_t n);
inline void json_string(FILE* out, const char* s) { json_string(out, s, s ? __builtin_strlen(s) : 0); }

}  // namespace apictl
