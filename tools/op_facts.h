// The facts of every ordinary operation (name, command, C parameters, how the
// request is laid out, what the reply is), read from app/api_ops.def: the same
// list the library expands, so the desk tools cannot drift from it. The table
// is worked out at compile time and kept small: apictl carries it on the camera.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace op_facts {

enum class Req : uint8_t { None, Bytes, Int32, Block, ChanBlock, Dec, ChanDec, Str, Copy, Format };
enum class Rep : uint8_t { Ack, Byte, SByte, Int, Decimal, Text, Block };

// Where a request argument comes from.
constexpr int kConstant = -1;       // a value written in the row itself (no row has one)
constexpr int kRecordByValue = -2;  // the address of a record passed by value

// Fields in declaration order name, command, params, param_count, req,
// req_args, req_param, rep, reply_size (designated initializers rely on it).
struct Facts {
    const char* name;
    int16_t command;
    uint16_t record_size = 0;      // Req::Block, Req::ChanBlock
    const char* params;            // the C parameter list as written: "(unsigned char channel, ...)"
    const char* format = nullptr;  // Req::Format
    uint8_t param_count;
    Req req = Req::None;
    uint8_t req_args = 0;  // arguments of the request, in order
    int8_t req_param[3] = {kConstant, kConstant, kConstant};  // the parameter behind each
    Rep rep = Rep::Ack;
    int8_t ok = 1, failure = 0;    // result when answered (Ack, Text, Block) and on failure
    int8_t out_param = kConstant;  // Rep::Text, Rep::Block: the parameter that receives it
    uint16_t reply_size = 0;       // Rep::Text: the daemon's field size; Rep::Block: bytes
};

extern const Facts* const kOps;
extern const size_t kOpCount;

// The operation of that exported name, or null.
const Facts* find(const char* name);
// The operation of that command number (the first, where two share one), or null.
const Facts* find(int command);

// The name of the get that reads what a set writes: Set -> Get (SET -> GET),
// and the two whose names differ otherwise. False when the name has no Set.
bool get_name_of(const char* set_name, char* out, size_t room);
// That get among the ordinary operations, or null.
const Facts* get_of(const Facts& set);

const char* req_name(Req r);
const char* rep_name(Rep r);

}  // namespace op_facts
