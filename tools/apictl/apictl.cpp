// apictl: lists and calls every exported operation of libapi_arch from the
// command line, with arguments parsed by the parameter types of the real
// declarations (see usage() for the commands and the exit statuses).
#include <errno.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <concepts>
#include <limits>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "api_arch.h"
#include "op_facts.h"
#include "sim_client.h"

// Defined by the apisim_state library (the stand-in's shared state record);
// a build without it leaves the reference weak, and the snapshot says so.
#ifndef APICTL_STATE_LIBRARY
#pragma weak BufferEncode
#endif

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kTimedOut = 3 };

constexpr unsigned kSnapshotBytes = 102400;
constexpr unsigned kTextRoom = 4096;  // every text field of the daemon fits (the largest is 2018)
constexpr int kMaxParams = 8;

// What a pointer parameter is for: 'i' read by the operation, 'o' written,
// 'x' both, 'b' written with binary data (the result is its length), 'L' a
// record list written (two ints per record, the count from the previous output).
struct Role {
    char kind = 'i';
    unsigned size = 0;  // bytes
};

// How a result reads as a failure.
enum class Fail { Equal, NotOne, Never };

struct Call {
    const char* name;
    std::vector<const char*> args;
    Role roles[kMaxParams];
    std::vector<std::string> names;  // parameter names
    Fail fail = Fail::Equal;
    int failure = 0;
    bool failed = false;
    std::string error;       // usage error
    std::string result;      // as text
    std::string result_json;
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> outputs;  // name, (text, json)
    long long last_int = 0;  // the latest integer output (a record count)

    bool usage(int i, const std::string& what) {
        error = std::string(name) + ": argument " + std::to_string(i + 1) + " (" + names[i] + "): " + what;
        return false;
    }
    void output(int i, std::string text, std::string json) {
        outputs.push_back({names[i], {std::move(text), std::move(json)}});
    }
    void set(long long r) {
        result = result_json = std::to_string(r);
        failed = fail == Fail::Equal ? r == failure : fail == Fail::NotOne ? r != 1 : false;
        last_result = r;
    }
    long long last_result = 0;
};

std::string json_string(const char* s, size_t n = std::string::npos) {
    std::string out = "\"";
    for (size_t i = 0; i < n && s[i]; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        char esc[8];
        if (c == '"' || c == '\\') out += '\\', out += static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7f) snprintf(esc, sizeof esc, "\\u%04x", c), out += esc;
        else out += static_cast<char>(c);
    }
    return out + "\"";
}

// Decimal, or hexadecimal after "0x"; an optional leading minus.
template <class T>
bool parse_int(const char* s, T& out) {
    const char* p = s;
    const bool neg = *p == '-';
    if (neg || *p == '+') ++p;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) base = 16, p += 2;
    if (!*p || !(base == 16 ? isxdigit(static_cast<unsigned char>(*p)) : isdigit(static_cast<unsigned char>(*p))))
        return false;
    errno = 0;
    char* end;
    const unsigned long long mag = strtoull(p, &end, base);
    if (*end || errno) return false;
    const long long v = neg ? -static_cast<long long>(mag) : static_cast<long long>(mag);
    if (mag > 0x7fffffffffffffffULL) return false;
    // Either reading of the parameter's width: 0xff and -1 for a byte,
    // 0xffffffff and -1 for an int.
    using U = std::make_unsigned_t<T>;
    using S = std::make_signed_t<T>;
    if (v < static_cast<long long>(std::numeric_limits<S>::min()) ||
        v > static_cast<long long>(std::numeric_limits<U>::max()))
        return false;
    out = static_cast<T>(static_cast<U>(v));
    return true;
}

template <class T>
bool parse_list(const char* s, T* out, size_t room, size_t& count) {
    count = 0;
    std::string all(s);
    if (all.empty()) return true;
    size_t start = 0;
    for (;;) {
        const size_t comma = all.find(',', start);
        const std::string item = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (count == room || !parse_int(item.c_str(), out[count])) return false;
        ++count;
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

template <class T>
std::pair<std::string, std::string> show_list(const T* v, size_t n) {
    std::string text, json = "[";
    for (size_t i = 0; i < n; ++i) {
        const std::string one = std::to_string(static_cast<long long>(v[i]));
        text += (i ? "," : "") + one;
        json += (i ? "," : "") + one;
    }
    return {text, json + "]"};
}

std::string hex(const unsigned char* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) snprintf(b, sizeof b, "%02x", p[i]), s += b;
    return s;
}

bool parse_hex(const char* s, unsigned char* out, size_t room) {
    const size_t len = strlen(s);
    if (len % 2 || len / 2 > room) return false;
    for (size_t i = 0; i < len; i += 2) {
        char b[3] = {s[i], s[i + 1], 0};
        char* end;
        if (!isxdigit(static_cast<unsigned char>(b[0])) || !isxdigit(static_cast<unsigned char>(b[1]))) return false;
        out[i / 2] = static_cast<unsigned char>(strtoul(b, &end, 16));
    }
    return true;
}

// One argument slot per parameter type: parses its argument, hands the value
// to the operation and reports what the operation wrote.
template <class T>
struct Slot;

template <std::integral T>
struct Slot<T> {
    T v{};
    bool parse(Call& c, int i) {
        return parse_int(c.args[i], v) || c.usage(i, std::string("not an integer of its type: '") + c.args[i] + "'");
    }
    T get() { return v; }
    void emit(Call&, int) {}
};

// A record passed by value: POSITION_T, three ints.
template <>
struct Slot<POSITION_T> {
    POSITION_T v{};
    bool parse(Call& c, int i) {
        int32_t n[3] = {0, 0, 0};
        size_t count;
        if (!parse_list(c.args[i], n, 3, count)) return c.usage(i, "expects count,A,B");
        v.count = n[0], v.A = n[1], v.B = n[2];
        return true;
    }
    POSITION_T get() { return v; }
    void emit(Call&, int) {}
};

template <class E>
struct Slot<E*> {
    using B = std::remove_cv_t<E>;
    static constexpr bool is_text = std::is_same_v<B, char>;
    static constexpr bool is_number = std::is_same_v<B, unsigned char> || std::is_same_v<B, int>;
    std::vector<long long> mem;  // aligned for any element
    E* p = nullptr;
    Role role;

    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(mem.data()); }
    bool parse(Call& c, int i) {
        role = c.roles[i];
        const char* a = c.args[i];
        if (is_text && role.kind == 'i') {  // texts as given
            p = const_cast<E*>(reinterpret_cast<const E*>(a));
            return true;
        }
        unsigned room = role.size;
        if (is_text) room = std::max(room, kTextRoom);
        mem.assign(room / sizeof(long long) + 2, 0);
        p = reinterpret_cast<E*>(mem.data());
        // Outputs take a placeholder argument ("-" by convention); it is not read.
        if (role.kind != 'i' && role.kind != 'x') return true;
        if constexpr (is_text) {
            if (strlen(a) >= room) return c.usage(i, "text too long");
            strcpy(reinterpret_cast<char*>(bytes()), a);
        } else if constexpr (std::is_same_v<B, POSITION_T>) {
            int32_t* n = reinterpret_cast<int32_t*>(bytes());
            size_t count;
            if (!parse_list(a, n, 3, count)) return c.usage(i, "expects count,A,B");
        } else if constexpr (is_number) {
            size_t count;
            if (!parse_list(a, reinterpret_cast<B*>(bytes()), room / sizeof(B), count))
                return c.usage(i, "expects at most " + std::to_string(room / sizeof(B)) +
                                      " comma-separated integers of its type");
        } else if (!parse_hex(a, bytes(), room)) {
            return c.usage(i, "expects at most " + std::to_string(room) + " bytes in hexadecimal");
        }
        return true;
    }
    E* get() { return p; }
    void emit(Call& c, int i) {
        if (role.kind == 'i') return;
        if (role.kind == 'b') {
            const long long n = std::max(0LL, c.last_result);
            c.output(i, std::to_string(n) + " bytes", std::to_string(n));
        } else if constexpr (is_text) {
            const char* t = reinterpret_cast<const char*>(bytes());
            c.output(i, std::string(t, strnlen(t, mem.size() * sizeof(long long))), json_string(t));
        } else if constexpr (std::is_same_v<B, POSITION_T>) {
            auto l = show_list(reinterpret_cast<const int32_t*>(bytes()), 3);
            c.output(i, l.first, l.second);
        } else if constexpr (is_number) {
            const B* v = reinterpret_cast<const B*>(bytes());
            if (role.size == sizeof(B)) {
                c.last_int = v[0];
                c.output(i, std::to_string(static_cast<long long>(v[0])), std::to_string(static_cast<long long>(v[0])));
                return;
            }
            size_t n = role.size / sizeof(B);
            if (role.kind == 'L') n = std::min<size_t>(n, static_cast<size_t>(std::max(0LL, c.last_int)) * 2);
            auto l = show_list(v, n);
            c.output(i, l.first, l.second);
        } else {
            const std::string h = hex(bytes(), role.size);
            c.output(i, h, json_string(h.c_str()));
        }
    }
};

template <class F>
struct Arity;
template <class R, class... P>
struct Arity<R (*)(P...)> {
    static constexpr int value = sizeof...(P);
};

template <class R>
const char* type_name() {
    if constexpr (std::is_void_v<R>) return "void";
    else if constexpr (std::is_same_v<R, char*>) return "char*";
    else return "int";
}

template <auto F, class R, class... P, size_t... I>
void run(Call& c, R (*)(P...), std::index_sequence<I...>) {
    std::tuple<Slot<P>...> s;
    if (!(std::get<I>(s).parse(c, static_cast<int>(I)) && ...)) return;
    if constexpr (std::is_void_v<R>) {
        F(std::get<I>(s).get()...);
        c.result = "void", c.result_json = "null";
    } else if constexpr (std::is_same_v<R, char*>) {
        const char* r = F(std::get<I>(s).get()...);
        c.failed = !r || !*r;  // a null or empty text: the operation could not answer
        c.result = r ? r : "(null)";
        c.result_json = r ? json_string(r) : "null";
    } else {
        c.set(F(std::get<I>(s).get()...));
    }
    if (!c.failed) (std::get<I>(s).emit(c, static_cast<int>(I)), ...);
}

template <auto F>
void invoke(Call& c) {
    run<F>(c, F, std::make_index_sequence<Arity<decltype(F)>::value>{});
}

constexpr int count_params(const char* p) {
    if (p[0] == '(' && p[1] == 'v' && p[2] == 'o' && p[3] == 'i' && p[4] == 'd' && p[5] == ')') return 0;
    int n = 1;
    for (; *p; ++p) n += *p == ',';
    return n;
}

// The hand-written operations: C parameter list, the role of each pointer
// parameter ("-" for a non-pointer), how the result reads as a failure, and
// what the operation does beyond one transaction.
struct Hand {
    const char* name;
    const char* ret;
    const char* params;
    const char* roles;
    Fail fail;
    int failure;
    const char* note;
    void (*call)(Call&);
    int arity;
};

// The return type text comes from the function type itself.
template <class F>
struct Ret;
template <class R, class... P>
struct Ret<R (*)(P...)> {
    static const char* text() { return type_name<R>(); }
};

#define HAND_ROWS                                                                                               \
    X(MsgControlInit, "(void)", "", Equal, -1, "opens (creates) the control queue; its identifier")            \
    X(MsgResponseInit, "(void)", "", Equal, -1, "opens (creates) the response queue; its identifier")         \
    X(MsgEventInit, "(void)", "", Equal, -1, "opens (creates) the event queue; its identifier")               \
    X(SemAPIInit, "(void)", "", Equal, -1, "opens (creates) the API lock; its identifier")                    \
    X(SemAPIGet, "(int SemAPIID)", "-", Never, 0, "takes the API lock (undone when the process ends)")        \
    X(SemAPIPost, "(int SemAPIID)", "-", Never, 0, "gives the API lock back")                                  \
    X(SemSnapShotInit, "(void)", "", Equal, -1, "opens (creates) the snapshot semaphore")                     \
    X(SemSnapShotGet, "(int SemID)", "-", Never, 0, "takes the snapshot semaphore (blocks at 0)")             \
    X(SemSnapShotPost, "(int SemID)", "-", Never, 0, "gives the snapshot semaphore")                          \
    X(SemMotionHandleInit, "(void)", "", Equal, -1, "opens (creates) the motion semaphore")                   \
    X(SemMotionHandleGet, "(int SemID)", "-", Never, 0, "takes the motion semaphore (blocks at 0)")           \
    X(SemMotionHandlePost, "(int SemID)", "-", Never, 0, "gives the motion semaphore")                        \
    X(API_Video_GetPIRatio, "(unsigned char channel)", "-", Equal, -1, "command 8, decimal reply; trace line") \
    X(API_Video_GetDeinterlace, "(unsigned char channel, unsigned char* level)", "- o1", Equal, -1,            \
      "command 159: mode is the result, level the second byte")                                              \
    X(API_Video_GetQP, "(unsigned char channel, unsigned char* QP_I, unsigned char* QP_P)", "- o1 o1", Equal, \
      -1, "command 331: \"I,P\" numbers")                                                                     \
    X(API_Video_SetJPGSnapShot, "(unsigned char channel, unsigned char* Buffer)", "- b102400", Equal, 0,      \
      "command 17, then copies the JPEG from the shared state record; the byte count")                      \
    X(API_NET_GetState, "(char* inter)", "i", Equal, -1, "local: interface flags")                           \
    X(API_Net_GetIP, "(char* ip, char* netinterface)", "o32 i", Equal, -1, "local: interface address")       \
    X(API_Net_GetNetMask, "(char* netmask, char* netinterface)", "o32 i", Equal, -1, "local: netmask")        \
    X(API_Net_GetMac, "(char* mac, char* netinterface)", "o18 i", Equal, -1, "local: hardware address")      \
    X(API_PPPOE_GetState, "(void)", "", Equal, -1, "local: API_NET_GetState(\"ppp0\")")                      \
    X(API_PPPOE_GetVPNState, "(void)", "", Never, 0, "local: 1 when a VPN link is up")                       \
    X(API_PPPOE_vpnip, "(char* buf)", "o32", Never, 0, "local: the VPN-side address")                        \
    X(API_Net_GetGateWay, "(char* gateway, char* netinterface)", "o16 i", Equal, -1,                         \
      "local: default gateway from a route dump")                                                            \
    X(get_gateway, "(char* gateway)", "o16", Equal, -1, "local: default gateway from a route dump")          \
    X(readNlSock, "(int sockFd, char* bufPtr, int seqNum, int pId)", "- b8192 - -", Equal, -1,               \
      "local: reads one route dump from a netlink socket")                                                   \
    X(parseRoutes, "(struct nlmsghdr* nlHdr, struct route_info* rtInfo, char* gateway)", "i8192 o28 o16",    \
      Never, 0, "local: decodes one route message (hexadecimal)")                                            \
    X(API_Net_GetFixIP, "(char* ip)", "o32", Equal, -1, "command 23, text; also printed")                    \
    X(API_Net_SetNetConfig, "(char* ip, char* netmask, char* gateway)", "i i i", Equal, 0,                   \
      "command 27, \"ip,netmask,gateway\"; empty texts are not sent")                                        \
    X(API_Net_SetMacAddress, "(char* mac)", "i", Equal, 0, "command 28")                                      \
    X(API_Net_SetDNS, "(int ServerNumber, char* ip_addr)", "- i", Equal, 0, "command 30, \"n,ip\"")           \
    X(API_Net_FTPGetCommandPort, "(void)", "", Equal, -1, "command 74, low 8 bits")                          \
    X(API_Linkway_GetMapStatus, "(char* status)", "o128", Equal, -1, "command 386, text of 2+ characters")   \
    X(API_WLAN_SetWepKey, "(int id, char* key)", "- i", Equal, 0, "command 123, \"id,key\"")                  \
    X(API_SMTP_Send_Text, "(char* subject, char* content)", "i i", Equal, 0, "command 64")                    \
    X(API_SMTP_Send_Attach, "(char* subject, char* content, char* path)", "i i i", Equal, 0, "command 65")    \
    X(API_SNTP_Get_Date, "(char* dateBuf)", "o11", Never, 0, "local clock: YYYY-MM-DD")                      \
    X(API_SNTP_Set_Date, "(char* dateBuf)", "i", Equal, -1, "local clock, then /sbin/hwclock -w")            \
    X(API_SNTP_Get_Time, "(char* timeBuf)", "o9", Never, 0, "local clock: HH:MM:SS; echoes to /dev/console") \
    X(API_SNTP_Set_Time, "(char* timeBuf)", "i", Equal, -1, "local clock, then /sbin/hwclock -w")            \
    X(API_SNTP_Get_Zone, "(char* zoneBuf)", "o2048", Equal, -1, "command 33, first word")                    \
    X(sntp_timezone, "(int time_zone, char* str_GMT, int key)", "- x10 -", Equal, -1,                        \
      "local: zone number <-> TZ text")                                                                      \
    X(API_System_Update, "(char* fname, int flen)", "i -", Equal, 0, "command 144, \"fname,flen\"")           \
    X(CryptPassword, "(char* pass)", "i", Never, 0, "local: DES crypt under a fresh salt")                   \
    X(AuthSlim, "(const char* orgin, char* name, char* pass, int* level)", "i o256 o256 o4", Never, 0,       \
      "local: splits name:password:level")                                                                   \
    X(API_USER_SetAddUser, "(int Level, char* User, char* Password)", "- i i", Equal, 0,                      \
      "command 214, \"user:password:level\"")                                                                \
    X(API_USER_SetChangePassword, "(char* User, char* NewPassword)", "i i", Equal, 0, "command 216")          \
    X(API_USER_GetUserInfoByName, "(char* User, int* Level, char* Password)", "i o4 o128", Equal, -1,         \
      "command 217")                                                                                         \
    X(API_USER_GetUserInfoByID, "(int ID, int* Level, char* User, char* Password)", "- o4 o128 o128", Equal,  \
      -1, "command 218; trace line")                                                                         \
    X(API_USER_Modify, "(int ID, int Level, char* User, char* Password)", "- - i i", Equal, -1,               \
      "command 219, \"id:level:user:password\"")                                                             \
    X(WriteLogFile, "(char* path, char* string)", "i i", Equal, -1, "local: appends a line to the file")     \
    X(API_EVENT_GetMotionRegion, "(int Channel, int Region, int* Lx, int* Ly, int* Rx, int* Ry)",            \
      "- - o4 o4 o4 o4", Equal, -1, "command 178, \"Lx,Ly,Rx,Ry\"")                                          \
    X(API_EVENT_SetMotionRegion, "(int channel, int Region, int Lx, int Ly, int Rx, int Ry)", "- - - - - -",  \
      Equal, 0, "command 179")                                                                               \
    X(API_MOD_SetGPIOValueOut, "(int pin, int level)", "- -", Equal, 0,                                       \
      "API_GPIO_Set_Value first, then command 173")                                                          \
    X(API_MOD_SetRecordList, "(int channel, int RecordCount, int* RecordList)", "- - i32768", NotOne, 0,     \
      "command 259 (header), then 257 per chunk of 12 records, under one hold")                                 \
    X(API_MOD_GetRecordList, "(int channel, int* RecordCount, int* RecordList)", "- o4 L32768", NotOne, 0,    \
      "command 260 (count), then 258 per chunk of 12 records, under one hold")

#define X(name, params, roles, fail, failure, note) \
    Hand{#name, Ret<decltype(&name)>::text(), params, roles, Fail::fail, failure, note, &invoke<&name>, \
         Arity<decltype(&name)>::value},
const Hand kHand[] = {HAND_ROWS};
#undef X
#define X(name, params, roles, fail, failure, note) \
    static_assert(count_params(params) == Arity<decltype(&name)>::value, #name ": parameter list");
HAND_ROWS
#undef X

// The exported data, shown by name.
void show_sizes(Call& c) {
    std::string text, json = "[";
    for (int i = 0; i < 10; ++i) {
        text += std::to_string(MORIK_SIZE_T[i][0]) + "x" + std::to_string(MORIK_SIZE_T[i][1]) + (i < 9 ? " " : "");
        json += std::string(i ? "," : "") + "[" + std::to_string(MORIK_SIZE_T[i][0]) + "," +
                std::to_string(MORIK_SIZE_T[i][1]) + "]";
    }
    c.result = text, c.result_json = json + "]";
}
void show_zones(Call& c) {
    std::string text, json = "[";
    for (int i = 0; i < 70 && zoneList[i]; ++i) {
        text += std::string(i ? "\n" : "") + std::to_string(i + 1) + " " + zoneList[i];
        json += std::string(i ? "," : "") + json_string(zoneList[i]);
    }
    c.result = text, c.result_json = json + "]";
}
struct Datum {
    const char* name;
    const char* decl;
    void (*show)(Call&);
};
const Datum kData[] = {{"MORIK_SIZE_T", "int MORIK_SIZE_T[10][2]", show_sizes},
                       {"zoneList", "const char* zoneList[70]", show_zones}};

// The ordinary operations' callers, in the order of op_facts::kOps.
void (*const kRowCall[])(Call&) = {
#define OP(name, command, params, request, reply) &invoke<&name>,
#include "api_ops.def"
#undef OP
};

// One exported name: a row, a hand-written operation or a datum.
struct Entry {
    const char* name;
    const op_facts::Facts* facts = nullptr;
    const Hand* hand = nullptr;
    const Datum* datum = nullptr;
};

std::vector<Entry> entries() {
    std::vector<Entry> all;
    for (size_t i = 0; i < op_facts::kOpCount; ++i) all.push_back({op_facts::kOps[i].name, &op_facts::kOps[i]});
    for (const Hand& h : kHand) all.push_back({h.name, nullptr, &h});
    for (const Datum& d : kData) all.push_back({d.name, nullptr, nullptr, &d});
    std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) { return strcmp(a.name, b.name) < 0; });
    return all;
}

const Entry* find(const std::vector<Entry>& all, const char* name) {
    for (const Entry& e : all)
        if (strcmp(e.name, name) == 0) return &e;
    return nullptr;
}

std::vector<std::string> param_names(const char* params) {
    std::vector<std::string> names;
    if (count_params(params) == 0) return names;
    std::string p(params + 1);
    p.pop_back();
    size_t start = 0;
    for (;;) {
        const size_t comma = p.find(',', start);
        std::string one = p.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t end = one.find_last_not_of(" ");
        size_t begin = one.find_last_of(" *", end);
        names.push_back(one.substr(begin + 1, end - begin));
        if (comma == std::string::npos) return names;
        start = comma + 1;
    }
}

const char* params_of(const Entry& e) { return e.facts ? e.facts->params : e.hand->params; }

std::string signature(const Entry& e) {
    if (e.datum) return std::string("data ") + e.datum->decl;
    return std::string(e.facts ? "int" : e.hand->ret) + " " + e.name + params_of(e);
}

std::string facts_text(const op_facts::Facts& f) {
    using op_facts::Rep;
    const std::vector<std::string> names = param_names(f.params);
    std::string s = "command " + std::to_string(f.command) + "; request " + op_facts::req_name(f.req);
    if (f.format) s += std::string(" \"") + f.format + "\"";
    for (int a = 0; a < f.req_args; ++a) {
        const int p = f.req_param[a];
        s += a ? ", " : " (";
        s += p >= 0 && p < static_cast<int>(names.size()) ? names[p]
             : p == op_facts::kRecordByValue && names.size() == 1 ? names[0]
             : p == op_facts::kRecordByValue          ? "the record"
                                                      : std::to_string(f.req_value[a]);
        if (a + 1 == f.req_args) s += ")";
    }
    if (f.record_size) s += " of " + std::to_string(f.record_size) + " bytes";
    s += std::string("; reply ") + op_facts::rep_name(f.rep);
    if (f.rep == Rep::Text || f.rep == Rep::Block) s += " of " + std::to_string(f.reply_size) + " bytes";
    if (f.rep == Rep::Ack || f.rep == Rep::Text || f.rep == Rep::Block) s += ", " + std::to_string(f.ok) + " when answered";
    return s + "; failure " + std::to_string(f.failure);
}

// The roles of a row's parameters, from its facts.
void row_roles(const op_facts::Facts& f, Role* roles) {
    for (int i = 0; i < f.param_count && i < kMaxParams; ++i) {
        Role& r = roles[i];
        bool in = false;
        for (int a = 0; a < f.req_args; ++a) in |= f.req_param[a] == i;
        if (i == f.out_param) r = {in ? 'x' : 'o', f.reply_size};
        else r = {'i', f.record_size};
    }
}

void hand_roles(const Hand& h, Role* roles) {
    const char* p = h.roles;
    for (int i = 0; i < h.arity && i < kMaxParams; ++i) {
        while (*p == ' ') ++p;
        roles[i].kind = *p == '-' ? 'i' : *p;
        roles[i].size = static_cast<unsigned>(strtoul(p + 1, nullptr, 10));
        while (*p && *p != ' ') ++p;
    }
}

int usage_error(const std::string& message) {
    fprintf(stderr, "apictl: %s\n", message.c_str());
    return kUsage;
}

void usage(FILE* out) {
    fputs(
        "usage: apictl [--json] [--timeout SECONDS] NAME [ARGS...]\n"
        "       apictl list [-v] [PATTERN]\n"
        "       apictl [--json] [--timeout SECONDS] snapshot [-c CHANNEL] -o FILE\n"
        "\n"
        "Calls an exported operation of libapi_arch by its name; list shows every\n"
        "exported name with its C signature (-v: how it talks to the daemon),\n"
        "those containing PATTERN (a glob when it has * ? or [).\n"
        "\n"
        "Arguments, one per C parameter: integers in decimal or 0x hexadecimal;\n"
        "texts as given; arrays (unsigned char*, int*, POSITION_T) as comma-separated\n"
        "integers, other records in hexadecimal. A parameter the operation only\n"
        "writes takes a placeholder argument (by convention \"-\"); its value is\n"
        "printed after the result, one \"name: value\" line each.\n"
        "  --json             print {\"name\", \"result\", \"outputs\"} instead\n"
        "  --timeout SECONDS  break the call off when the daemon has not answered\n"
        "  snapshot           write the JPEG of the snapshot operation to FILE\n"
        "                     (- for standard output); needs the stand-in's state\n"
        "\n"
        "Exit status: 0 success; 1 the operation returned its failure value (or the\n"
        "snapshot could not be taken or written); 2 usage error (unknown name, wrong\n"
        "argument count, unparsable argument); 3 timed out: the call was broken off,\n"
        "it returned its failure value and the lock was given back.\n",
        out);
}

volatile sig_atomic_t timed_out = 0;
void on_alarm(int) { timed_out = 1; }

// The alarm interrupts the blocking wait (no SA_RESTART); it repeats, so that
// one landing just before the wait began is followed by another.
bool arm(const char* seconds) {
    char* end;
    const double s = strtod(seconds, &end);
    if (*end || !(s > 0) || s > 86400) return false;
    struct sigaction sa{};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGALRM, &sa, nullptr);
    itimerval it{};
    it.it_value.tv_sec = static_cast<time_t>(s);
    it.it_value.tv_usec = static_cast<suseconds_t>((s - static_cast<double>(it.it_value.tv_sec)) * 1e6);
    if (it.it_value.tv_sec == 0 && it.it_value.tv_usec == 0) it.it_value.tv_usec = 1;
    it.it_interval.tv_usec = 200000;
    return setitimer(ITIMER_REAL, &it, nullptr) == 0;
}

void disarm() {
    itimerval it{};
    setitimer(ITIMER_REAL, &it, nullptr);
}

int finish(const Call& c, bool json, const char* timeout) {
    if (c.failed && timed_out) {
        fprintf(stderr, "apictl: %s: no answer within %s s; the call was broken off and returned %s\n", c.name,
                timeout, c.result.c_str());
        if (json) printf("{\"name\":%s,\"result\":%s,\"outputs\":{},\"timeout\":true}\n", json_string(c.name).c_str(),
                         c.result_json.c_str());
        return kTimedOut;
    }
    if (json) {
        std::string o;
        for (const auto& out : c.outputs) o += (o.empty() ? "" : ",") + json_string(out.first.c_str()) + ":" + out.second.second;
        printf("{\"name\":%s,\"result\":%s,\"outputs\":{%s}}\n", json_string(c.name).c_str(), c.result_json.c_str(),
               o.c_str());
    } else {
        printf("%s\n", c.result.c_str());
        for (const auto& out : c.outputs) printf("%s: %s\n", out.first.c_str(), out.second.first.c_str());
    }
    return c.failed ? kFailed : kOk;
}

int list(const std::vector<Entry>& all, int argc, char** argv) {
    bool verbose = false;
    const char* pattern = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-v") == 0) verbose = true;
        else if (!pattern) pattern = argv[i];
        else return usage_error("list: one pattern at most");
    }
    for (const Entry& e : all) {
        if (pattern && (strpbrk(pattern, "*?[") ? fnmatch(pattern, e.name, 0) != 0 : !strcasestr(e.name, pattern)))
            continue;
        printf("%s\n", signature(e).c_str());
        if (!verbose) continue;
        if (e.facts) printf("    %s\n", facts_text(*e.facts).c_str());
        else if (e.hand) printf("    hand-written: %s\n", e.hand->note);
        else printf("    exported data: printed when called by name\n");
    }
    return kOk;
}

int snapshot(int argc, char** argv, bool json, const char* timeout) {
    unsigned char channel = 0;
    const char* file = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
            if (!parse_int(argv[++i], channel)) return usage_error(std::string("snapshot: bad channel '") + argv[i] + "'");
        } else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            file = argv[++i];
        } else {
            return usage_error(std::string("snapshot: unexpected argument '") + argv[i] + "'");
        }
    }
    if (!file) return usage_error("snapshot: -o FILE is required");
    if (&BufferEncode == nullptr || BufferEncode == nullptr) {
        fprintf(stderr, "apictl: snapshot: no shared state record (is apisim running?)\n");
        return kFailed;
    }
    std::vector<unsigned char> jpeg(kSnapshotBytes);
    if (timeout && !arm(timeout)) return usage_error(std::string("bad --timeout '") + timeout + "'");
    // The operation's trace line goes to standard error: standard output may be the picture.
    fflush(stdout);
    const int saved = dup(1);
    dup2(2, 1);
    const int n = API_Video_SetJPGSnapShot(channel, jpeg.data());
    disarm();
    fflush(stdout);
    dup2(saved, 1), close(saved);
    if (n <= 0) {
        if (timed_out) {
            fprintf(stderr, "apictl: snapshot: no answer within %s s; the call was broken off\n", timeout);
            return kTimedOut;
        }
        fprintf(stderr, "apictl: snapshot: the daemon gave no picture\n");
        return kFailed;
    }
    FILE* f = strcmp(file, "-") == 0 ? stdout : fopen(file, "wb");
    if (!f || fwrite(jpeg.data(), 1, static_cast<size_t>(n), f) != static_cast<size_t>(n) ||
        (f != stdout && fclose(f) != 0)) {
        fprintf(stderr, "apictl: snapshot: cannot write %s: %s\n", file, strerror(errno));
        return kFailed;
    }
    if (f == stdout) fflush(stdout);
    else if (json) printf("{\"name\":\"snapshot\",\"result\":%d,\"outputs\":{\"file\":%s}}\n", n, json_string(file).c_str());
    else printf("snapshot of channel %d: %d bytes written to %s\n", channel, n, file);
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    const char* timeout = nullptr;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (strcmp(argv[i], "--json") == 0) json = true;
        else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) timeout = argv[++i];
        else if (strcmp(argv[i], "--help") == 0) return usage(stdout), kOk;
        else return usage_error(std::string("unknown option '") + argv[i] + "' (see apictl --help)");
    }
    if (i == argc) return usage(stderr), kUsage;
    if (strcmp(argv[i], "-h") == 0) return usage(stdout), kOk;
    const std::vector<Entry> all = entries();
    if (strcmp(argv[i], "list") == 0) return list(all, argc - i - 1, argv + i + 1);
    if (strcmp(argv[i], "snapshot") == 0) return snapshot(argc - i - 1, argv + i + 1, json, timeout);
    if (strcmp(argv[i], "sim") == 0) return apictl_sim_main(argc - i, argv + i, json);
    if (strcmp(argv[i], "monitor") == 0) return apictl_monitor_main(argc - i, argv + i, json);
    if (strcmp(argv[i], "outbox") == 0) return apictl_outbox_main(argc - i, argv + i, json);

    const Entry* e = find(all, argv[i]);
    if (!e) return usage_error(std::string("unknown operation '") + argv[i] + "' (see apictl list)");
    Call c;
    c.name = e->name;
    c.args.assign(argv + i + 1, argv + argc);
    if (e->datum) {
        if (!c.args.empty()) return usage_error(std::string(c.name) + ": exported data takes no arguments");
        e->datum->show(c);
        return finish(c, json, timeout);
    }
    c.names = param_names(params_of(*e));
    if (c.args.size() != c.names.size())
        return usage_error(std::string(c.name) + ": expects " + std::to_string(c.names.size()) + " argument" +
                           (c.names.size() == 1 ? "" : "s") + " " + params_of(*e) + ", got " +
                           std::to_string(c.args.size()));
    void (*call)(Call&);
    if (e->facts) {
        row_roles(*e->facts, c.roles);
        c.failure = e->facts->failure;
        call = kRowCall[e->facts - op_facts::kOps];
    } else {
        hand_roles(*e->hand, c.roles);
        c.fail = e->hand->fail;
        c.failure = e->hand->failure;
        call = e->hand->call;
    }
    if (timeout && !arm(timeout)) return usage_error(std::string("bad --timeout '") + timeout + "'");
    // The operation's own printing (trace lines) comes before the result; with
    // --json it goes to standard error, so that standard output stays one object.
    fflush(stdout);
    const int saved = json ? dup(1) : -1;
    if (saved >= 0) dup2(2, 1);
    call(c);
    disarm();
    fflush(stdout);
    if (saved >= 0) dup2(saved, 1), close(saved);
    if (!c.error.empty()) return usage_error(c.error);
    return finish(c, json, timeout);
}
