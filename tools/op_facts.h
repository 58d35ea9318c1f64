// The facts of every ordinary operation (name, command, C parameters, how the
// request is laid out, what the reply is), read from app/api_ops.def: the same
// list the library expands, so the desk tools cannot drift from it.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace op_facts {

enum class Req { None, Bytes, Int32, Block, ChanBlock, Dec, ChanDec, Str, Copy, Format };
enum class Rep { Ack, Byte, SByte, Int, Decimal, Text, Block };

// Where a request argument comes from.
constexpr int kConstant = -1;       // a value written in the row itself
constexpr int kRecordByValue = -2;  // the address of a record passed by value

struct Facts {
    const char* name;
    int command;
    const char* params;     // the C parameter list as written: "(unsigned char channel, ...)"
    int param_count;
    Req req = Req::None;
    int req_args = 0;       // arguments of the request, in order
    int req_param[3] = {kConstant, kConstant, kConstant};  // the parameter behind each
    intptr_t req_value[3] = {0, 0, 0};                      // ... or its constant value
    const char* format = nullptr;  // Req::Format
    unsigned record_size = 0;      // Req::Block, Req::ChanBlock
    Rep rep = Rep::Ack;
    int ok = 1, failure = 0;       // result when answered (Ack, Text, Block) and on failure
    unsigned reply_size = 0;       // Rep::Text: the daemon's field size; Rep::Block: bytes
    int out_param = kConstant;     // Rep::Text, Rep::Block: the parameter that receives it
};

extern const Facts* const kOps;
extern const size_t kOpCount;

// The operation of that exported name, or null.
const Facts* find(const char* name);
// The operation of that command number (the first, where two share one), or null.
const Facts* find(int command);

const char* req_name(Req r);
const char* rep_name(Rep r);

}  // namespace op_facts
