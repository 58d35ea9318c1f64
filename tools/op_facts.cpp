#include "op_facts.h"

#include <string.h>

#include "api_arch.h"
#include "meta.h"

namespace op_facts {
namespace {

// Each parameter of a described row gets a value that names it: integers
// 1..8, pointers into `slot<T>`. The recorder maps what it is handed back to
// the parameter. All of it runs at compile time.
template <class T>
T slot[8];

template <class T>
constexpr T sentinel(size_t i) {
    if constexpr (meta::Pointer<T>::value)
        return slot<typename meta::Pointer<T>::pointee> + i;
    else if constexpr (meta::same<T, POSITION_T>)
        return T{};
    else
        return static_cast<T>(i + 1);
}

constexpr int param_of(intptr_t value) { return value >= 1 && value <= 8 ? static_cast<int>(value - 1) : kConstant; }

template <class T>
constexpr int param_of(const T* p) {
    for (int i = 0; i < 8; ++i)
        if (p == slot<T> + i) return i;
    return kRecordByValue;
}

// Mirrors the library's request and reply builders, recording instead of sending.
class Recorder {
    // The helpers come first: clang evaluates a member template in a constant
    // expression only when its definition has been seen.
    constexpr Recorder& req(Req r) {
        f_.req = r;
        return *this;
    }
    constexpr Recorder& fmt(const char* f) {
        f_.format = f;
        return req(Req::Format);
    }
    constexpr Recorder& arg(intptr_t v) {
        f_.req_param[f_.req_args++] = static_cast<int8_t>(param_of(v));
        return *this;
    }
    template <class T>
    constexpr Recorder& ptr(const T* p) {
        f_.req_param[f_.req_args++] = static_cast<int8_t>(param_of(p));
        return *this;
    }
    template <class T>
    constexpr Recorder& out(const T* p, unsigned size) {
        f_.out_param = static_cast<int8_t>(param_of(p));
        f_.reply_size = static_cast<uint16_t>(size);
        return *this;
    }
    constexpr Facts rep(Rep r, int ok, int failure) {
        f_.rep = r;
        f_.ok = static_cast<int8_t>(ok);
        f_.failure = static_cast<int8_t>(failure);
        return f_;
    }

public:
    constexpr explicit Recorder(int command) { f_.command = static_cast<int16_t>(command); }

    constexpr Recorder& none() { return req(Req::None); }
    constexpr Recorder& bytes(intptr_t x) { return req(Req::Bytes).arg(x); }
    constexpr Recorder& bytes(intptr_t x, intptr_t y) { return req(Req::Bytes).arg(x).arg(y); }
    constexpr Recorder& bytes(intptr_t x, intptr_t y, intptr_t z) { return req(Req::Bytes).arg(x).arg(y).arg(z); }
    constexpr Recorder& raw(int v) { return req(Req::Int32).arg(v); }
    template <class T>
    constexpr Recorder& raw(const T* record, unsigned size) {
        f_.record_size = static_cast<uint16_t>(size);
        return req(Req::Block).ptr(record);
    }
    template <class T>
    constexpr Recorder& raw(int channel, const T* record, unsigned size) {
        f_.record_size = static_cast<uint16_t>(size);
        return req(Req::ChanBlock).arg(channel).ptr(record);
    }
    constexpr Recorder& dec(int v) { return req(Req::Dec).arg(v); }
    constexpr Recorder& dec(int channel, int v) { return req(Req::ChanDec).arg(channel).arg(v); }
    constexpr Recorder& str(const char* text) { return req(Req::Str).ptr(text); }
    constexpr Recorder& copy(const char* text) { return req(Req::Copy).ptr(text); }
    constexpr Recorder& format(const char* f, int x) { return fmt(f).arg(x); }
    constexpr Recorder& format(const char* f, int x, int y) { return fmt(f).arg(x).arg(y); }
    constexpr Recorder& format(const char* f, int x, int y, int z) { return fmt(f).arg(x).arg(y).arg(z); }

    constexpr Facts ack(int ok = 1, int failure = 0) { return rep(Rep::Ack, ok, failure); }
    constexpr Facts byte() { return rep(Rep::Byte, 0, -1); }
    constexpr Facts sbyte() { return rep(Rep::SByte, 0, -1); }
    constexpr Facts integer() { return rep(Rep::Int, 0, -1); }
    constexpr Facts decimal() { return rep(Rep::Decimal, 0, -1); }
    template <class T>
    constexpr Facts text(T* buffer, unsigned size, int ok = 0) {
        return out(buffer, size).rep(Rep::Text, ok, -1);
    }
    template <class T>
    constexpr Facts block(T* record, unsigned size) {
        return out(record, size).rep(Rep::Block, 0, -1);
    }

private:
    Facts f_{};
};

#define OP(name, command, params, request, reply) \
    constexpr Facts describe_##name params { return Recorder(command).request.reply; }
#include "api_ops.def"
#undef OP

template <class... P, size_t... I>
constexpr Facts call_with_sentinels(Facts (*fn)(P...), meta::Indices<I...>) {
    return fn(sentinel<P>(I)...);
}

template <class... P>
constexpr Facts describe(const char* name, const char* params, Facts (*fn)(P...)) {
    Facts f = call_with_sentinels(fn, typename meta::MakeIndices<sizeof...(P)>::type{});
    f.name = name;
    f.params = params;
    f.param_count = sizeof...(P);
    return f;
}

constexpr Facts table[] = {
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

bool get_name_of(const char* set_name, char* out, size_t room) {
    static const char* const odd[][2] = {{"API_Net_FTPSetUserPassword", "API_Net_FTPGetPassword"},
                                         {"API_DDNS_SetDDNSSever", "API_DDNS_GetDDNSServer"}};
    const size_t len = strlen(set_name);
    if (len >= room) return false;
    for (const auto& pair : odd)
        if (strcmp(set_name, pair[0]) == 0) return memcpy(out, pair[1], strlen(pair[1]) + 1), true;
    const char* at = strstr(set_name, "Set");
    const char* upper = strstr(set_name, "SET");
    if (!at || (upper && upper < at)) at = upper;
    if (!at) return false;
    memcpy(out, set_name, len + 1);
    out[at - set_name] = 'G';
    out[at - set_name + 1] = at == upper ? 'E' : 'e';
    return true;
}

const Facts* get_of(const Facts& set) {
    char name[64];
    return get_name_of(set.name, name, sizeof name) ? find(name) : nullptr;
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
