#include "op_facts.h"

#include <string.h>

#include <type_traits>
#include <utility>

#include "api_arch.h"

namespace op_facts {
namespace {

// Each parameter of a described row gets a value that names it: integers
// 1..8, pointers into `slots`. The recorder maps what it is handed back to
// the parameter.
char slots[8];
Facts current;

template <class T>
T sentinel(size_t i) {
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<T>(slots + i);
    else if constexpr (std::is_integral_v<T>)
        return static_cast<T>(i + 1);
    else
        return T{};
}

int param_of(intptr_t value) { return value >= 1 && value <= 8 ? static_cast<int>(value - 1) : kConstant; }

int param_of(const void* p) {
    const char* c = static_cast<const char*>(p);
    return c >= slots && c < slots + sizeof slots ? static_cast<int>(c - slots) : kRecordByValue;
}

// Mirrors the library's request and reply builders, recording instead of sending.
class Recorder {
public:
    explicit Recorder(int command) { current.command = command; }

    Recorder& none() { return req(Req::None); }
    Recorder& bytes(intptr_t x) { return req(Req::Bytes).arg(x); }
    Recorder& bytes(intptr_t x, intptr_t y) { return req(Req::Bytes).arg(x).arg(y); }
    Recorder& bytes(intptr_t x, intptr_t y, intptr_t z) { return req(Req::Bytes).arg(x).arg(y).arg(z); }
    Recorder& raw(int v) { return req(Req::Int32).arg(v); }
    Recorder& raw(const void* record, unsigned size) {
        current.record_size = size;
        return req(Req::Block).ptr(record);
    }
    Recorder& raw(int channel, const void* record, unsigned size) {
        current.record_size = size;
        return req(Req::ChanBlock).arg(channel).ptr(record);
    }
    Recorder& dec(int v) { return req(Req::Dec).arg(v); }
    Recorder& dec(int channel, int v) { return req(Req::ChanDec).arg(channel).arg(v); }
    Recorder& str(const char* text) { return req(Req::Str).ptr(text); }
    Recorder& copy(const char* text) { return req(Req::Copy).ptr(text); }
    Recorder& format(const char* f, int x) { return fmt(f).arg(x); }
    Recorder& format(const char* f, int x, int y) { return fmt(f).arg(x).arg(y); }
    Recorder& format(const char* f, int x, int y, int z) { return fmt(f).arg(x).arg(y).arg(z); }

    int ack(int ok = 1, int failure = 0) { return rep(Rep::Ack, ok, failure); }
    int byte() { return rep(Rep::Byte, 0, -1); }
    int sbyte() { return rep(Rep::SByte, 0, -1); }
    int integer() { return rep(Rep::Int, 0, -1); }
    int decimal() { return rep(Rep::Decimal, 0, -1); }
    int text(char* buffer, unsigned size, int ok = 0) { return out(buffer, size).rep(Rep::Text, ok, -1); }
    int block(void* record, unsigned size) { return out(record, size).rep(Rep::Block, 0, -1); }

private:
    Recorder& req(Req r) {
        current.req = r;
        return *this;
    }
    Recorder& fmt(const char* f) {
        current.format = f;
        return req(Req::Format);
    }
    Recorder& arg(intptr_t v) {
        current.req_param[current.req_args] = param_of(v);
        current.req_value[current.req_args++] = v;
        return *this;
    }
    Recorder& ptr(const void* p) {
        current.req_param[current.req_args++] = param_of(p);
        return *this;
    }
    Recorder& out(void* p, unsigned size) {
        current.out_param = param_of(p);
        current.reply_size = size;
        return *this;
    }
    int rep(Rep r, int ok, int failure) {
        current.rep = r;
        current.ok = ok;
        current.failure = failure;
        return 0;
    }
};

#define OP(name, command, params, request, reply) \
    int describe_##name params { return Recorder(command).request.reply; }
#include "api_ops.def"
#undef OP

template <class... P, size_t... I>
void call_with_sentinels(int (*fn)(P...), std::index_sequence<I...>) {
    fn(sentinel<P>(I)...);
}

template <class... P>
Facts describe(const char* name, const char* params, int (*fn)(P...)) {
    current = Facts{};
    call_with_sentinels(fn, std::index_sequence_for<P...>{});
    current.name = name;
    current.params = params;
    current.param_count = sizeof...(P);
    return current;
}

const Facts table[] = {
#define OP(name, command, params, request, reply) describe(#name, #params, describe_##name),
#include "api_ops.def"
#undef OP
};

}  // namespace

const Facts* const kOps = table;
const size_t kOpCount = sizeof table / sizeof table[0];

const Facts* find(const char* name) {
    for (const Facts& f : table)
        if (strcmp(f.name, name) == 0) return &f;
    return nullptr;
}

const Facts* find(int command) {
    for (const Facts& f : table)
        if (f.command == command) return &f;
    return nullptr;
}

const char* req_name(Req r) {
    static const char* const names[] = {"none", "bytes", "int32", "record", "channel+record",
                                        "decimal", "channel+decimal", "text(%s)", "text", "format"};
    return names[static_cast<int>(r)];
}

const char* rep_name(Rep r) {
    static const char* const names[] = {"ack", "byte", "signed byte", "int", "decimal", "text", "record"};
    return names[static_cast<int>(r)];
}

}  // namespace op_facts
