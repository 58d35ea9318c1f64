// The catalog of exported names, and the calls through their C signatures.
//
// Functions are found by name in the loaded library (dlsym) rather than
// linked one by one: the names are in the catalog anyway, and 375 imported
// symbols would cost the camera build about a third of its size. Each C
// signature has one caller, chosen at compile time from the declaration in
// api_arch.h, so every call goes through the function's real type.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // RTLD_DEFAULT
#endif
#include "catalog.h"

#include <ctype.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include "meta.h"

namespace apictl {

struct Returned {
    long long value;
    char* text;
};

struct Hand {
    const char* name;
    const char* params;
    // One word per parameter: '-' a value, 'B' an int the request carries as
    // one byte, 'i' read, 'o' written, 'x' both, 'b' binary written (the
    // result is its length), 'l' / 'L' a record list read / written (count in
    // the parameter before); then the buffer's bytes (a text's field, NUL
    // included), then after '!' the characters a text may not contain.
    const char* roles;
    Fail fail;
    int8_t failure;
    bool joined;  // the request is the parameters joined by one separator each, bounded to 2016
    uint16_t command;
    uint8_t sig;
    const char* note;
};

struct Datum {
    const char* name;
    const char* decl;
};

namespace {

// ---- signatures ----

template <class... F>
struct List {};

// Every C signature among the exported functions. A new one fails the build
// below ("add its signature to Signatures").
using Signatures = List<
    int (*)(void), int (*)(int), int (*)(unsigned char), int (*)(char*), int (*)(int, int),
    int (*)(unsigned char, unsigned char), int (*)(unsigned char, unsigned char, unsigned char),
    int (*)(unsigned char, int), int (*)(char*, char*), int (*)(char*, char*, char*), int (*)(char*, int),
    int (*)(int, char*), int (*)(int, int*), int (*)(int, char*, int), int (*)(int, char*, char*),
    int (*)(int, int, int*), int (*)(int, int*, int*), int (*)(int, int, char*, char*),
    int (*)(int, int*, char*, char*), int (*)(char*, int*, char*), int (*)(int, char*, int, int),
    int (*)(int, int, int*, int*, int*, int*), int (*)(int, int, int, int, int, int),
    int (*)(unsigned char, unsigned char*), int (*)(unsigned char, unsigned char*, unsigned char*),
    int (*)(POSITION_T), int (*)(POSITION_T*), char* (*)(char*),
    void (*)(struct nlmsghdr*, struct route_info*, char*), void (*)(const char*, char*, char*, int*)>;

template <class F, class L>
struct IndexOf;
template <class F, class... R>
struct IndexOf<F, List<F, R...>> {
    static constexpr int value = 0;
};
template <class F, class G, class... R>
struct IndexOf<F, List<G, R...>> {
    static constexpr int value = 1 + IndexOf<F, List<R...>>::value;
};
template <class F>
struct IndexOf<F, List<>> {
    static_assert(sizeof(F) == 0, "add its signature to Signatures");
    static constexpr int value = 0;
};

template <class T>
constexpr CType ctype() {
    using meta::same;
    if constexpr (same<T, unsigned char>) return CType::UChar;
    else if constexpr (same<T, int>) return CType::Int;
    else if constexpr (same<T, char*>) return CType::Text;
    else if constexpr (same<T, const char*>) return CType::ConstText;
    else if constexpr (same<T, unsigned char*>) return CType::UCharPtr;
    else if constexpr (same<T, int*>) return CType::IntPtr;
    else if constexpr (same<T, POSITION_T>) return CType::Position;
    else if constexpr (same<T, POSITION_T*>) return CType::PositionPtr;
    else if constexpr (same<T, struct nlmsghdr*>) return CType::NetlinkMsg;
    else if constexpr (same<T, struct route_info*>) return CType::RouteInfo;
    else static_assert(sizeof(T) == 0, "a parameter type apictl does not know");
}

template <class P>
P take(const Arg& a) {
    if constexpr (meta::Pointer<P>::value) return static_cast<P>(a.p);
    else if constexpr (meta::same<P, POSITION_T>) return a.pos;
    else return static_cast<P>(a.i);
}

enum Ret : uint8_t { kRetInt, kRetText, kRetVoid };

struct Sig {
    void (*call)(void* fn, const Arg* args, Returned& r);
    uint8_t count;
    Ret ret;
    CType types[6];
};

template <class F>
struct Caller;
template <class R, class... P>
struct Caller<R (*)(P...)> {
    template <size_t... I>
    static void go(void* fn, const Arg* a, Returned& r, meta::Indices<I...>) {
        const auto f = reinterpret_cast<R (*)(P...)>(fn);
        if constexpr (meta::same<R, void>) f(take<P>(a[I])...);
        else if constexpr (meta::same<R, char*>) r.text = f(take<P>(a[I])...);
        else r.value = f(take<P>(a[I])...);
    }
    static void call(void* fn, const Arg* a, Returned& r) {
        go(fn, a, r, typename meta::MakeIndices<sizeof...(P)>::type{});
    }
    static constexpr Sig sig() {
        static_assert(sizeof...(P) <= 6, "more parameters than Sig holds");
        Ret ret = meta::same<R, void> ? kRetVoid : meta::same<R, char*> ? kRetText : kRetInt;
        return Sig{&call, sizeof...(P), ret, {ctype<P>()...}};
    }
};

template <class L>
struct SigTable;
template <class... F>
struct SigTable<List<F...>> {
    static constexpr Sig sigs[] = {Caller<F>::sig()...};
};
constexpr const Sig* kSigs = SigTable<Signatures>::sigs;

template <class F>
constexpr uint8_t sig_of = static_cast<uint8_t>(IndexOf<F, Signatures>::value);

// ---- the C parameter lists as written, checked against the declarations ----

constexpr const char* kTypeNames[] = {"unsigned char", "int", "char*", "const char*", "unsigned char*",
                                      "int*", "POSITION_T", "POSITION_T*", "struct nlmsghdr*",
                                      "struct route_info*"};

constexpr bool ident(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// "(type name, type name)": every type as the declaration has it.
constexpr bool params_match(const char* text, const Sig& sig) {
    if (text[0] != '(') return false;
    const char* p = text + 1;
    if (sig.count == 0) return p[0] == 'v' && p[1] == 'o' && p[2] == 'i' && p[3] == 'd' && p[4] == ')' && !p[5];
    for (int i = 0; i < sig.count; ++i) {
        while (*p == ' ') ++p;
        const char* end = p;
        while (*end && *end != ',' && *end != ')') ++end;
        const char* name = end;
        while (name > p && ident(name[-1])) --name;
        const char* type_end = name;
        while (type_end > p && type_end[-1] == ' ') --type_end;
        const char* want = kTypeNames[static_cast<int>(sig.types[i])];
        int n = 0;
        for (; want[n]; ++n)
            if (p + n >= type_end || p[n] != want[n]) return false;
        if (p + n != type_end || name == end) return false;
        if (*end != (i + 1 == sig.count ? ')' : ',')) return false;
        p = end + 1;
    }
    return !*p;
}

// ---- the hand-written operations ----
// name, C parameters, roles, failure reading and value, joined request,
// command (0: local), what it does beyond one ordinary transaction.
#define HAND_ROWS                                                                                             \
    X(MsgControlInit, "(void)", "", Equal, -1, 0, 0, "opens (creates) the control queue; its identifier")     \
    X(MsgResponseInit, "(void)", "", Equal, -1, 0, 0, "opens (creates) the response queue; its identifier")  \
    X(MsgEventInit, "(void)", "", Equal, -1, 0, 0, "opens (creates) the event queue; its identifier")        \
    X(SemAPIInit, "(void)", "", Equal, -1, 0, 0, "opens (creates) the API lock; its identifier")             \
    X(SemAPIGet, "(int SemAPIID)", "-", Never, 0, 0, 0, "takes the API lock (undone when the process ends)") \
    X(SemAPIPost, "(int SemAPIID)", "-", Never, 0, 0, 0, "gives the API lock back")                           \
    X(SemSnapShotInit, "(void)", "", Equal, -1, 0, 0, "opens (creates) the snapshot semaphore")              \
    X(SemSnapShotGet, "(int SemID)", "-", Never, 0, 0, 0, "takes the snapshot semaphore (blocks at 0)")      \
    X(SemSnapShotPost, "(int SemID)", "-", Never, 0, 0, 0, "gives the snapshot semaphore")                   \
    X(SemMotionHandleInit, "(void)", "", Equal, -1, 0, 0, "opens (creates) the motion semaphore")            \
    X(SemMotionHandleGet, "(int SemID)", "-", Never, 0, 0, 0, "takes the motion semaphore (blocks at 0)")    \
    X(SemMotionHandlePost, "(int SemID)", "-", Never, 0, 0, 0, "gives the motion semaphore")                 \
    X(API_Video_GetPIRatio, "(unsigned char channel)", "-", Equal, -1, 0, 8, "decimal reply; trace line")    \
    X(API_Video_GetDeinterlace, "(unsigned char channel, unsigned char* level)", "- o1", Equal, -1, 0, 159,  \
      "mode is the result, level the second byte")                                                          \
    X(API_Video_GetQP, "(unsigned char channel, unsigned char* QP_I, unsigned char* QP_P)", "- o1 o1", Equal, \
      -1, 0, 331, "\"I,P\" numbers; 1 when answered")                                                       \
    X(API_Video_SetJPGSnapShot, "(unsigned char channel, unsigned char* Buffer)", "- b102400", Equal, 0, 0,  \
      17, "then copies the JPEG from the shared state record; the byte count")                             \
    X(API_NET_GetState, "(char* inter)", "i", Equal, -1, 0, 0, "interface flags")                            \
    X(API_Net_GetIP, "(char* ip, char* netinterface)", "o32 i", Equal, -1, 0, 0, "interface address")        \
    X(API_Net_GetNetMask, "(char* netmask, char* netinterface)", "o32 i", Equal, -1, 0, 0, "netmask")         \
    X(API_Net_GetMac, "(char* mac, char* netinterface)", "o18 i", Equal, -1, 0, 0, "hardware address")       \
    X(API_PPPOE_GetState, "(void)", "", Equal, -1, 0, 0, "API_NET_GetState(\"ppp0\")")                       \
    X(API_PPPOE_GetVPNState, "(void)", "", Never, 0, 0, 0, "1 when a VPN link is up")                        \
    X(API_PPPOE_vpnip, "(char* buf)", "o32", Never, 0, 0, 0, "the VPN-side address")                         \
    X(API_Net_GetGateWay, "(char* gateway, char* netinterface)", "o16 i", Equal, -1, 0, 0,                   \
      "default gateway from a route dump")                                                                 \
    X(get_gateway, "(char* gateway)", "o16", Equal, -1, 0, 0, "default gateway from a route dump")           \
    X(readNlSock, "(int sockFd, char* bufPtr, int seqNum, int pId)", "- b8192 - -", Equal, -1, 0, 0,         \
      "reads one route dump from a netlink socket")                                                        \
    X(parseRoutes, "(struct nlmsghdr* nlHdr, struct route_info* rtInfo, char* gateway)", "i8192 o28 o16",    \
      Never, 0, 0, 0, "decodes one route message (hexadecimal)")                                           \
    X(API_Net_GetFixIP, "(char* ip)", "o32", Equal, -1, 0, 23, "text; also printed")                         \
    X(API_Net_SetNetConfig, "(char* ip, char* netmask, char* gateway)", "i32!, i32!, i32!,", Equal, 0, 1,    \
      27, "\"ip,netmask,gateway\"; empty texts are not sent")                                              \
    X(API_Net_SetMacAddress, "(char* mac)", "i18", Equal, 0, 1, 28, "the text")                              \
    X(API_Net_SetDNS, "(int ServerNumber, char* ip_addr)", "- i128", Equal, 0, 1, 30, "\"n,ip\"")            \
    X(API_Net_FTPGetCommandPort, "(void)", "", Equal, -1, 0, 74, "decimal reply, low 8 bits")                \
    X(API_Linkway_GetMapStatus, "(char* status)", "o128", Equal, -1, 0, 386, "text of 2+ characters")        \
    X(API_WLAN_SetWepKey, "(int id, char* key)", "- i128", Equal, 0, 1, 123, "\"id,key\"")                   \
    X(API_SMTP_Send_Text, "(char* subject, char* content)", "i64 i1954", Equal, 0, 0, 64,                    \
      "subject at byte 0, content from byte 64")                                                          \
    X(API_SMTP_Send_Attach, "(char* subject, char* content, char* path)", "i!, i i!,", Equal, 0, 1, 65,      \
      "\"subject,content,path\"")                                                                          \
    X(API_SNTP_Get_Date, "(char* dateBuf)", "o11", Never, 0, 0, 0, "local clock: YYYY-MM-DD")               \
    X(API_SNTP_Set_Date, "(char* dateBuf)", "i", Equal, -1, 0, 0, "local clock, then /sbin/hwclock -w")      \
    X(API_SNTP_Get_Time, "(char* timeBuf)", "o9", Never, 0, 0, 0, "local clock: HH:MM:SS; echoes to /dev/console") \
    X(API_SNTP_Set_Time, "(char* timeBuf)", "i", Equal, -1, 0, 0, "local clock, then /sbin/hwclock -w")      \
    X(API_SNTP_Get_Zone, "(char* zoneBuf)", "o64", Equal, -1, 0, 33, "first word of the reply")              \
    X(sntp_timezone, "(int time_zone, char* str_GMT, int key)", "- x10 -", Equal, -1, 0, 0,                  \
      "zone number <-> TZ text")                                                                          \
    X(API_System_Update, "(char* fname, int flen)", "i -", Equal, 0, 1, 144, "\"fname,flen\"")               \
    X(CryptPassword, "(char* pass)", "i", Never, 0, 0, 0, "DES crypt under a fresh salt")                    \
    X(AuthSlim, "(const char* orgin, char* name, char* pass, int* level)", "i o256 o256 o4", Never, 0, 0, 0, \
      "splits name:password:level")                                                                       \
    X(API_USER_SetAddUser, "(int Level, char* User, char* Password)", "- i128!: i128!:", Equal, 0, 1, 214,   \
      "\"user:password:level\"")                                                                          \
    X(API_USER_SetChangePassword, "(char* User, char* NewPassword)", "i128!:, i128!:", Equal, 0, 1, 216,     \
      "\"user,password\"")                                                                                \
    X(API_USER_GetUserInfoByName, "(char* User, int* Level, char* Password)", "i128!: o4 o128", Equal, -1, 0, \
      217, "the answer \"user:password:level\" split")                                                     \
    X(API_USER_GetUserInfoByID, "(int ID, int* Level, char* User, char* Password)", "B o4 o128 o128", Equal,  \
      -1, 0, 218, "the answer split; trace line")                                                          \
    X(API_USER_Modify, "(int ID, int Level, char* User, char* Password)", "- - i128!: i128!:", Equal, -1, 1, \
      219, "\"id:level:user:password\"")                                                                   \
    X(WriteLogFile, "(char* path, char* string)", "i i", Equal, -1, 0, 0, "appends a line to the file")      \
    X(API_EVENT_GetMotionRegion, "(int Channel, int Region, int* Lx, int* Ly, int* Rx, int* Ry)",            \
      "B B o4 o4 o4 o4", Equal, -1, 0, 178, "\"Lx,Ly,Rx,Ry\"")                                              \
    X(API_EVENT_SetMotionRegion, "(int channel, int Region, int Lx, int Ly, int Rx, int Ry)", "- - - - - -", \
      Equal, 0, 1, 179, "six numbers")                                                                     \
    X(API_MOD_SetGPIOValueOut, "(int pin, int level)", "B B", Equal, 0, 0, 173,                             \
      "API_GPIO_Set_Value first, then its own transaction")                                                \
    X(API_MOD_SetRecordList, "(int channel, int RecordCount, int* RecordList)", "- - l32768", NotOne, 0, 0,  \
      259, "header, then command 257 per chunk of 12 records, under one hold")                             \
    X(API_MOD_GetRecordList, "(int channel, int* RecordCount, int* RecordList)", "B o4 L32768", NotOne, 0, 0, \
      260, "count, then command 258 per chunk of 12 records, under one hold")

#define X(name, params, roles, fail, failure, joined, command, note)                                       \
    Hand{#name, params, roles, Fail::fail, failure, joined, command, sig_of<decltype(&name)>, note},
constexpr Hand kHand[] = {HAND_ROWS};
#undef X
#define X(name, params, roles, fail, failure, joined, command, note) \
    static_assert(params_match(params, kSigs[sig_of<decltype(&name)>]), #name ": parameter list");
HAND_ROWS
#undef X

// The ordinary operations' signatures, in the order of op_facts::kOps.
constexpr uint8_t kRowSig[] = {
#define OP(name, command, params, request, reply) sig_of<decltype(&name)>,
#include "api_ops.def"
#undef OP
};
#define OP(name, command, params, request, reply) \
    static_assert(params_match(#params, kSigs[sig_of<decltype(&name)>]), #name ": parameter list");
#include "api_ops.def"
#undef OP

constexpr Datum kData[] = {{"MORIK_SIZE_T", "int MORIK_SIZE_T[10][2]"}, {"zoneList", "const char* zoneList[70]"}};

constexpr size_t kHandCount = sizeof kHand / sizeof kHand[0];
constexpr size_t kDataCount = sizeof kData / sizeof kData[0];
constexpr size_t kEntries = sizeof kRowSig + kHandCount + kDataCount;

Entry entries[kEntries];
bool sorted = false;

void sort_entries() {
    if (sorted) return;
    size_t n = 0;
    for (size_t i = 0; i < op_facts::kOpCount; ++i) entries[n++] = {op_facts::kOps[i].name, &op_facts::kOps[i], nullptr, nullptr};
    for (const Hand& h : kHand) entries[n++] = {h.name, nullptr, &h, nullptr};
    for (const Datum& d : kData) entries[n++] = {d.name, nullptr, nullptr, &d};
    qsort(entries, n, sizeof entries[0], [](const void* a, const void* b) {
        return strcmp(static_cast<const Entry*>(a)->name, static_cast<const Entry*>(b)->name);
    });
    sorted = true;
}

const Sig& sig_of_entry(const Entry& e) {
    return kSigs[e.facts ? kRowSig[e.facts - op_facts::kOps] : e.hand->sig];
}

// ---- names ----

// A name compared without regard to case and without its "API_" prefix.
const char* bare(const char* name) { return strncasecmp(name, "API_", 4) == 0 ? name + 4 : name; }

// Optimal string alignment distance of two bare names, case folded; large
// for names too long to compare.
int distance(const char* a, const char* b) {
    constexpr int kLong = 48;
    const int n = static_cast<int>(strlen(a)), m = static_cast<int>(strlen(b));
    if (n >= kLong || m >= kLong) return 99;
    int d[kLong + 1][kLong + 1];
    for (int i = 0; i <= n; ++i) d[i][0] = i;
    for (int j = 0; j <= m; ++j) d[0][j] = j;
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= m; ++j) {
            const int cost = tolower(static_cast<unsigned char>(a[i - 1])) != tolower(static_cast<unsigned char>(b[j - 1]));
            int best = d[i - 1][j - 1] + cost;
            if (d[i - 1][j] + 1 < best) best = d[i - 1][j] + 1;
            if (d[i][j - 1] + 1 < best) best = d[i][j - 1] + 1;
            if (i > 1 && j > 1 && tolower(static_cast<unsigned char>(a[i - 1])) == tolower(static_cast<unsigned char>(b[j - 2])) &&
                tolower(static_cast<unsigned char>(a[i - 2])) == tolower(static_cast<unsigned char>(b[j - 1])) &&
                d[i - 2][j - 2] + 1 < best)
                best = d[i - 2][j - 2] + 1;
            d[i][j] = best;
        }
    return d[n][m];
}

// Up to three nearest names: within a few edits, else those containing the
// name given.
void suggest(const char* name, char* out, size_t room) {
    const char* want = bare(name);
    const int len = static_cast<int>(strlen(want));
    const int limit = len < 8 ? 1 : len < 16 ? 2 : 3;
    const Entry* best[3] = {};
    int best_d[3] = {99, 99, 99};
    for (const Entry& e : entries) {
        int d = distance(want, bare(e.name));
        if (d > limit) d = len >= 3 && strcasestr(e.name, want) ? limit + 1 : 99;
        for (int k = 0; k < 3 && d < 99; ++k)
            if (d < best_d[k]) {
                for (int s = 2; s > k; --s) best[s] = best[s - 1], best_d[s] = best_d[s - 1];
                best[k] = &e, best_d[k] = d;
                break;
            }
    }
    size_t used = 0;
    for (int k = 0; k < 3 && best[k] && used < room; ++k)
        used += static_cast<size_t>(snprintf(out + used, room - used, "%s%s", k ? ", " : "; did you mean ", best[k]->name));
    if (used < room) snprintf(out + used, room - used, "%s", best[0] ? "?" : "");
}

// ---- parameters ----

int parse_names(const char* text, Param* out) {
    int n = 0;
    if (strcmp(text, "(void)") == 0) return 0;
    for (const char* p = text + 1; *p && n < kMaxParams; ++n) {
        const char* end = p + strcspn(p, ",)");
        const char* name = end;
        while (name > p && ident(name[-1])) --name;
        out[n].name = name;
        out[n].name_len = static_cast<int>(end - name);
        p = *end ? end + 1 : end;
    }
    return n;
}

// The range of an element of the type, or of the value.
void set_range(Param& p) {
    switch (p.type) {
    case CType::UChar: case CType::UCharPtr: p.min = 0, p.max = 255; break;
    default: p.min = INT32_MIN, p.max = INT32_MAX; break;
    }
}

void set_shape(Param& p) {
    switch (p.type) {
    case CType::UChar: case CType::Int: case CType::Position: p.shape = Shape::Value; break;
    case CType::Text: case CType::ConstText: p.shape = Shape::Text; break;
    case CType::NetlinkMsg: case CType::RouteInfo: p.shape = Shape::Hex; break;
    default: p.shape = Shape::Numbers; break;
    }
}

void carried_as_byte(Param& p) {
    if (p.type == CType::Int) p.min = -128, p.max = 255;
}

int params_of(const Entry& e, Param* out, bool with_fields);

// The field a set's text lands in: the text its get answers with.
uint32_t text_field(const char* set_name) {
    char get[64];
    const Entry* twin = nullptr;
    if (op_facts::get_name_of(set_name, get, sizeof get))
        for (const Entry& e : entries)
            if (strcmp(e.name, get) == 0) twin = &e;
    if (!twin || twin->datum) return 0;
    Param params[kMaxParams];
    const int n = params_of(*twin, params, false);
    for (int i = 0; i < n; ++i)
        if (params[i].dir == 'o' && params[i].shape == Shape::Text) return params[i].size;
    return 0;
}

void row_params(const op_facts::Facts& f, Param* out, int n, bool with_fields) {
    using op_facts::Req;
    for (int a = 0; a < f.req_args; ++a) {
        const int i = f.req_param[a];
        if (i < 0 || i >= n) continue;
        Param& p = out[i];
        if (f.req == Req::Bytes || ((f.req == Req::ChanBlock || f.req == Req::ChanDec) && a == 0)) carried_as_byte(p);
        if (f.req == Req::Block || f.req == Req::ChanBlock) p.size = f.record_size;
        if ((f.req == Req::Copy || f.req == Req::Str) && with_fields) p.size = text_field(f.name);
    }
    if (f.out_param >= 0 && f.out_param < n) {
        Param& p = out[f.out_param];
        p.dir = 'o';
        for (int a = 0; a < f.req_args; ++a)
            if (f.req_param[a] == f.out_param) p.dir = 'x';
        p.size = f.reply_size;
    }
}

void hand_params(const Hand& h, Param* out, int n) {
    const char* r = h.roles;
    for (int i = 0; i < n; ++i) {
        Param& p = out[i];
        while (*r == ' ') ++r;
        const char kind = *r ? *r++ : '-';
        p.size = static_cast<uint32_t>(strtoul(r, const_cast<char**>(&r), 10));
        if (*r == '!') {
            p.forbid = ++r;
            while (*r && *r != ' ') ++r;
        }
        switch (kind) {
        case 'B': carried_as_byte(p); break;
        case 'o': case 'x': p.dir = kind; break;
        case 'b': p.dir = 'o', p.shape = Shape::Binary; break;
        case 'l': p.shape = Shape::Counted; break;
        case 'L': p.dir = 'o', p.shape = Shape::Counted; break;
        }
    }
}

int params_of(const Entry& e, Param* out, bool with_fields) {
    if (e.datum) return 0;
    const Sig& sig = sig_of_entry(e);
    const int n = parse_names(e.facts ? e.facts->params : e.hand->params, out);
    for (int i = 0; i < n; ++i) {
        Param& p = out[i];
        p.type = sig.types[i];
        p.dir = 'i';
        p.size = p.type == CType::Position || p.type == CType::PositionPtr ? sizeof(POSITION_T) : 0;
        p.forbid = nullptr;
        set_shape(p);
        set_range(p);
    }
    if (e.facts) row_params(*e.facts, out, n, with_fields);
    else hand_params(*e.hand, out, n);
    // A record list's count: as many records as the list holds.
    for (int i = 1; i < n; ++i)
        if (out[i].shape == Shape::Counted && out[i].dir == 'i') out[i - 1].min = 0, out[i - 1].max = out[i].size / 8;
    return n;
}

}  // namespace

const char* ctype_name(CType t) { return kTypeNames[static_cast<int>(t)]; }

size_t entry_count() {
    sort_entries();
    return kEntries;
}

const Entry& entry_at(size_t i) {
    sort_entries();
    return entries[i];
}

const Entry* find_entry(const char* name, char* why, size_t room) {
    sort_entries();
    const Entry* found[2] = {};
    int count = 0;
    for (const Entry& e : entries) {
        if (strcmp(e.name, name) == 0) return &e;
        if (strncmp(e.name, "API_", 4) == 0 && strcmp(e.name + 4, name) == 0) return &e;
        if (strcasecmp(bare(e.name), bare(name)) == 0 && count < 2) found[count++] = &e;
    }
    if (count == 1) return found[0];
    if (count == 2) {
        snprintf(why, room, "'%s' is ambiguous: %s or %s (give the exact name)", name, found[0]->name, found[1]->name);
        return nullptr;
    }
    char hint[160] = "";
    suggest(name, hint, sizeof hint);
    snprintf(why, room, "unknown operation '%s'%s (see apictl list)", name, hint);
    return nullptr;
}

int params_of(const Entry& e, Param* out) {
    sort_entries();
    return params_of(e, out, true);
}

const char* return_type(const Entry& e) {
    if (e.datum) return "";
    static const char* const names[] = {"int", "char*", "void"};
    return names[sig_of_entry(e).ret];
}

const char* params_text(const Entry& e) { return e.facts ? e.facts->params : e.hand ? e.hand->params : ""; }

int command_of(const Entry& e) { return e.facts ? e.facts->command : e.hand ? e.hand->command : 0; }
bool talks_to_daemon(const Entry& e) { return command_of(e) > 0; }
Fail fail_of(const Entry& e) { return e.hand ? e.hand->fail : e.facts ? Fail::Equal : Fail::Never; }
int failure_of(const Entry& e) { return e.facts ? e.facts->failure : e.hand ? e.hand->failure : 0; }
const char* note_of(const Entry& e) { return e.hand ? e.hand->note : nullptr; }
const char* datum_decl(const Entry& e) { return e.datum ? e.datum->decl : nullptr; }
bool joined_request(const Entry& e) { return e.hand && e.hand->joined; }

void* resolve(const Entry& e) { return dlsym(RTLD_DEFAULT, e.name); }

void call_through_signature(Call& c, void* fn) {
    const Sig& sig = sig_of_entry(*c.entry);
    Returned r{0, nullptr};
    sig.call(fn, c.args, r);
    c.kind = sig.ret == kRetVoid ? Call::Void : sig.ret == kRetText ? Call::Text : Call::Int;
    c.result = r.value;
    c.text = r.text;
}

}  // namespace apictl
