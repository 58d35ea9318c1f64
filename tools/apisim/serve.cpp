#include "serve.h"

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <vector>

#include "control.h"  // [control]
#include "delivery.h"
#include "init_ipc.h"
#include "op_facts.h"

namespace apisim {

using op_facts::Facts;
using op_facts::Rep;
using op_facts::Req;

std::string printable(std::string text) {
    for (char& ch : text)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
    return text;
}

void note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char small[512];
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(small, sizeof small, format, args);
    std::string text = small;
    if (n >= static_cast<int>(sizeof small)) {
        text.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    va_end(args);
    fprintf(stderr, "apisim: %s\n", printable(text).c_str());
}

namespace {

constexpr int kTextMax = MSG_TEXT_SIZE - 1;  // the longest text mtext carries with its NUL

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

// The text's own bytes: the monitor's JSON shows them exactly, the log and
// the trace through printable().
std::string quoted(const char* text, size_t max = 60) {
    const size_t len = strnlen(text, max + 1);
    return "\"" + std::string(text, len < max ? len : max) + (len > max ? "...\"" : "\"");
}

// One request as the stand-in sees it.
struct Request {
    int command;
    const unsigned char* bytes;
    const char* text;  // mtext, terminated within its 2018 bytes
    std::string args;  // decoded, for the trace
};

// The hand-written operations whose request and reply still have one of the
// ordinary shapes: served like a row.
const Facts kHandFacts[] = {
    {.name = "API_Video_GetPIRatio", .command = 8, .params = "(unsigned char channel)",
     .param_count = 1, .req = Req::Bytes, .req_args = 1, .req_param = {0, -1, -1},
     .rep = Rep::Decimal},
    {.name = "API_Net_GetFixIP", .command = 23, .params = "(char* ip)", .param_count = 1,
     .rep = Rep::Text, .reply_size = 32},
    {.name = "API_Net_SetMacAddress", .command = 28, .params = "(char* mac)", .param_count = 1,
     .req = Req::Copy, .req_args = 1, .req_param = {0, -1, -1}},
    {.name = "API_SNTP_Get_Zone", .command = 33, .params = "(char* zoneBuf)", .param_count = 1,
     .rep = Rep::Text, .reply_size = 128},
    {.name = "API_Net_FTPGetCommandPort", .command = 74, .params = "(void)", .rep = Rep::Decimal},
    {.name = "API_MOD_SetGPIOValueOut", .command = 173, .params = "(int pin, int level)",
     .param_count = 2, .req = Req::Bytes, .req_args = 2, .req_param = {0, 1, -1}},
    {.name = "API_Linkway_GetMapStatus", .command = 386, .params = "(char* status)",
     .param_count = 1, .rep = Rep::Text, .reply_size = 128},
};

const Facts* facts_of(int command) {
    for (const Facts& f : kHandFacts)
        if (f.command == command) return &f;
    return op_facts::find(command);
}

// The parameter names of a C parameter list.
const std::vector<std::string>& names_of(const Facts& f) {
    static std::map<const Facts*, std::vector<std::string>> cache;
    auto [it, fresh] = cache.try_emplace(&f);
    if (!fresh) return it->second;
    std::string p = f.params ? f.params : "";
    size_t start = 1;
    while (start < p.size()) {
        size_t end = p.find_first_of(",)", start);
        if (end == std::string::npos) end = p.size();
        std::string one = p.substr(start, end - start);
        const size_t last = one.find_last_of(" *");
        it->second.push_back(last == std::string::npos ? one : one.substr(last + 1));
        start = end + 1;
    }
    return it->second;
}

// A request of an ordinary shape, decoded.
struct Decoded {
    int index = -1;         // channel, line or entry; -1 when the request has none
    int32_t value = 0;      // the number a set carries
    const char* text = "";  // the text a set carries
    const unsigned char* block = nullptr;
    unsigned block_size = 0;
};

int32_t number_at(const char* text, bool& found) {
    int v = 0;
    found = sscanf(text, "%d", &v) == 1;
    return v;
}

Decoded decode(const Facts& f, Request& q) {
    Decoded d;
    int32_t arg[3] = {0, 0, 0};
    int n = f.req_args;
    bool found = true;
    switch (f.req) {
    case Req::None: n = 0; break;
    case Req::Bytes:
        for (int i = 0; i < n; ++i) arg[i] = q.bytes[i];
        break;
    case Req::Int32: memcpy(&arg[0], q.bytes, 4); break;
    case Req::Dec: arg[0] = number_at(q.text, found); break;
    case Req::ChanDec:
        arg[0] = q.bytes[0];
        arg[1] = number_at(q.text + 1, found);
        break;
    case Req::Format:
        found = sscanf(q.text, f.format, &arg[0], &arg[1], &arg[2]) == n;
        break;
    case Req::Block: d.block = q.bytes; d.block_size = f.record_size; break;
    case Req::ChanBlock:
        arg[0] = q.bytes[0];
        d.block = q.bytes + 1;
        d.block_size = f.record_size;
        break;
    case Req::Str:
    case Req::Copy: d.text = q.text; break;
    }
    const auto& names = names_of(f);
    auto name = [&](int i) {
        const int p = f.req_param[i];
        return p >= 0 && p < static_cast<int>(names.size()) ? names[p] : std::string("arg");
    };
    for (int i = 0; i < n; ++i) {
        if (!q.args.empty()) q.args += ", ";
        if (d.block && i == n - 1)
            q.args += fmt("%s=<%u bytes>", name(i).c_str(), d.block_size);
        else if ((f.req == Req::Str || f.req == Req::Copy) && i == 0)
            q.args += name(i) + "=" + quoted(d.text);
        else
            q.args += fmt("%s=%d", name(i).c_str(), arg[i]);
    }
    if (!found) q.args += " (no number)";
    const bool indexed = f.req == Req::ChanDec || f.req == Req::ChanBlock ||
                         ((f.req == Req::Bytes || f.req == Req::Format) &&
                          (n >= 2 || (n == 1 && f.rep != Rep::Ack)));
    if (indexed) d.index = arg[0];
    if (n >= 1) d.value = arg[n - 1];
    return d;
}

std::string field_name(const Home& h) {
    std::string s = h.field;
    if (s.rfind("r.", 0) == 0) return s.substr(2);
    if (s.rfind("x.", 0) == 0) return "(stand-in's own) " + s.substr(2);
    if (s.rfind("numtext(r.", 0) == 0) return s.substr(10, s.size() - 11) + " (as text)";
    return s;
}

// Writes a field's value into the reply the way the get's reply kind reads it;
// the value as the library will see it.
std::string answer(const Facts& f, const Field& field, char* reply) {
    if (field.kind == Field::None) return "no such entry (empty answer)";
    if (f.rep == Rep::Text) {
        const char* text = field.kind == Field::Text ? static_cast<const char*>(field.p) : "";
        size_t len = strnlen(text, field.size);
        if (len >= field.size) len = field.size - 1;
        if (len > kTextMax) len = kTextMax;
        memcpy(reply, text, len);
        reply[len] = 0;
        return quoted(reply);
    }
    if (f.rep == Rep::Block) {
        unsigned size = field.kind == Field::Raw ? field.size : 0;
        if (size > f.reply_size) size = f.reply_size;
        memcpy(reply, field.p, size);
        return fmt("<%u bytes>", size);
    }
    const int32_t v = field_int(field);
    switch (f.rep) {
    case Rep::Byte: reply[0] = static_cast<char>(v); return fmt("%d", v & 0xff);
    case Rep::SByte: reply[0] = static_cast<char>(v); return fmt("%d", static_cast<signed char>(v));
    case Rep::Int: memcpy(reply, &v, 4); return fmt("%d", v);
    case Rep::Decimal: snprintf(reply, kTextMax, "%d", v); return reply;
    default: return "ack";
    }
}

std::string store_value(Store& s, const Decoded& d, const Field& field) {
    if (field.kind != Field::None) s.mark(field.p, field.size);
    switch (field.kind) {
    case Field::None: return "not stored: no such entry";
    case Field::Raw:
        memcpy(field.p, d.block, d.block_size < field.size ? d.block_size : field.size);
        return "stored";
    case Field::Text: return store_text(field, d.text) ? "stored" : "stored, cut to the field";
    default: store_int(field, d.value); return "stored";
    }
}

// Values that the camera measures rather than keeps; the stand-in answers
// what an idle camera on a wired network would.
struct Live {
    int command;
    int value;
    const char* text;
};
const Live kLive[] = {
    {136, 0, nullptr},  // wireless not linked
    {137, 0, nullptr},  // no signal
    {138, 0, nullptr},  // no bit rate
    {350, 1, nullptr},  // time synchronised at start-up
    {370, 0, "0.0.0.0"},
    {418, 0, nullptr},
    {455, 1, nullptr},  // wired link up
};

std::string live_answer(Store& s, const Facts& f, char* reply) {
    int value = 0;
    const char* text = "";
    if (f.command == 212) value = s.rec->total_http_sessions;
    if (f.command == 276) value = s.rec->total_rtsp_sessions;
    for (const Live& l : kLive)
        if (l.command == f.command) value = l.value, text = l.text ? l.text : "";
    Field field;
    char buf[32];
    int32_t v = value;
    if (f.rep == Rep::Text) {
        snprintf(buf, sizeof buf, "%s", text);
        field = {Field::Text, buf, sizeof buf};
    } else {
        field = {Field::Int, &v, 4};
    }
    return answer(f, field, reply);
}

std::string serve_ordinary(Store& s, const Facts& f, Request& q, char* reply) {
    const Decoded d = decode(f, q);
    const Home* h = home_of(f.command);
    if (h && h->set == f.command) {
        if (h->field[0] == 'x') note("%s: kept by the stand-in (the state record has no field for it)", f.name);
        return store_value(s, d, h->at(s, d.index)) + " in " + field_name(*h);
    }
    if (h && h->get == f.command) return answer(f, h->at(s, d.index), reply);
    if (f.rep == Rep::Ack) {
        note("%s: action (%s)", f.name, q.args.c_str());
        return "done";
    }
    std::string r = live_answer(s, f, reply);
    note("%s: live value %s", f.name, r.c_str());
    return r + " (live)";
}

// ---- the hand-written operations ----

struct Ctx {
    Store& s;
    Request& q;
    char* reply;
    pid_t caller;
    BUFFER_ENCODE_T& r() { return *s.rec; }
};
using Handler = std::string (*)(Ctx&);

bool channel_ok(int ch) { return ch >= 0 && ch < 4; }

// "a,b,c" split at the first separators: parts[i] points into buf.
int split(const char* text, char sep, char* buf, size_t room, const char** parts, int max) {
    snprintf(buf, room, "%s", text);
    int n = 0;
    parts[n++] = buf;
    for (char* p = buf; *p && n < max; ++p)
        if (*p == sep) *p = 0, parts[n++] = p + 1;
    return n;
}

// A text field of the record holds exactly `text` (the field may lack its NUL).
template <size_t N>
bool field_is(const char (&field)[N], const char* text) {
    const size_t len = strnlen(field, N);
    return len == strlen(text) && memcmp(field, text, len) == 0;
}

int find_user(BUFFER_ENCODE_T& r, const char* name) {
    for (int i = 0; i < 10; ++i)
        if (r.UserConfigs.entry[i].name[0] && field_is(r.UserConfigs.entry[i].name, name)) return i;
    return -1;
}

// A look-up answer must stay below 256 bytes for the library's splitter.
bool account_fits(const char* name, const char* pass) {
    return name[0] && !strchr(name, ':') && strlen(name) < 128 && strlen(pass) < 128 &&
           strlen(name) + strlen(pass) + 14 < 256;
}

std::string put_account(Ctx& c, int id, const char* name, const char* pass, int level) {
    USER_ENTRY_T& e = c.r().UserConfigs.entry[id];
    c.s.mark(&e, sizeof e);
    snprintf(e.name, sizeof e.name, "%s", name);
    snprintf(e.password, sizeof e.password, "%s", pass);
    e.level = level;
    snprintf(c.reply, kTextMax, "ok");
    return fmt("user %d is %s, level %d", id, quoted(name).c_str(), level);
}

std::string refuse(Ctx& c, const std::string& why) {
    snprintf(c.reply, kTextMax, "error");
    note("%s", why.c_str());
    return "refused: " + why;
}

std::string add_user(Ctx& c) {
    c.q.args = quoted(c.q.text);
    char buf[MSG_TEXT_SIZE];
    snprintf(buf, sizeof buf, "%s", c.q.text);
    char* first = strchr(buf, ':');
    char* last = strrchr(buf, ':');
    if (!first || first == last) return refuse(c, "add user: not name:password:level");
    *first = *last = 0;
    if (!account_fits(buf, first + 1)) return refuse(c, "add user: name or password too long or empty");
    if (find_user(c.r(), buf) >= 0) return refuse(c, "add user: " + quoted(buf) + " exists");
    for (int i = 0; i < 10; ++i)
        if (!c.r().UserConfigs.entry[i].name[0]) return put_account(c, i, buf, first + 1, atoi(last + 1));
    return refuse(c, "add user: the table holds 10 users");
}

std::string delete_user(Ctx& c) {
    c.q.args = "User=" + quoted(c.q.text);
    const int id = find_user(c.r(), c.q.text);
    if (id < 0) return refuse(c, "delete user: no user " + quoted(c.q.text));
    memset(&c.r().UserConfigs.entry[id], 0, sizeof(USER_ENTRY_T));
    c.s.mark(&c.r().UserConfigs.entry[id], sizeof(USER_ENTRY_T));
    return fmt("user %d deleted", id);
}

std::string change_password(Ctx& c) {
    c.q.args = quoted(c.q.text);
    char buf[MSG_TEXT_SIZE];
    const char* part[2] = {"", ""};
    if (split(c.q.text, ',', buf, sizeof buf, part, 2) < 2) return refuse(c, "change password: no ','");
    const int id = find_user(c.r(), part[0]);
    if (id < 0) return refuse(c, "change password: no user " + quoted(part[0]));
    USER_ENTRY_T& e = c.r().UserConfigs.entry[id];
    if (!account_fits(part[0], part[1])) return refuse(c, "change password: too long");
    return put_account(c, id, part[0], part[1], e.level);
}

std::string modify_user(Ctx& c) {
    c.q.args = quoted(c.q.text);
    char buf[MSG_TEXT_SIZE];
    const char* part[4] = {"", "", "", ""};
    if (split(c.q.text, ':', buf, sizeof buf, part, 4) < 4) return refuse(c, "modify: not id:level:name:password");
    const int id = atoi(part[0]);
    if (id < 0 || id >= 10) return refuse(c, fmt("modify: no user ID %d", id));
    const int other = find_user(c.r(), part[2]);
    if (other >= 0 && other != id) return refuse(c, "modify: " + quoted(part[2]) + " exists");
    if (!account_fits(part[2], part[3])) return refuse(c, "modify: name or password too long or empty");
    return put_account(c, id, part[2], part[3], atoi(part[1]));
}

std::string tell_account(Ctx& c, int id) {
    if (id < 0 || id >= 10 || !c.r().UserConfigs.entry[id].name[0]) {
        strcpy(c.reply, "none");
        return "none";
    }
    const USER_ENTRY_T& e = c.r().UserConfigs.entry[id];
    snprintf(c.reply, kTextMax, "%.127s:%.127s:%d", e.name, e.password, e.level);
    return fmt("user %d %s", id, quoted(e.name).c_str());
}

std::string user_by_name(Ctx& c) {
    c.q.args = "User=" + quoted(c.q.text);
    return tell_account(c, find_user(c.r(), c.q.text));
}

std::string user_by_id(Ctx& c) {
    c.q.args = fmt("ID=%d", c.q.bytes[0]);
    return tell_account(c, c.q.bytes[0]);
}

std::string snapshot(Ctx& c) {
    const int ch = c.q.bytes[0];
    c.q.args = fmt("channel=%d", ch);
    BUFFER_ENCODE_T& r = c.r();
    const int len = render_snapshot(ch, reinterpret_cast<unsigned char*>(r.JPGBSnapBuffer),
                                    sizeof r.JPGBSnapBuffer);
    r.JPGSnapLen = len < 0 ? 0 : len;
    c.s.mark(&r.JPGSnapLen, sizeof r.JPGSnapLen);
    if (len > 0) c.s.mark(r.JPGBSnapBuffer, static_cast<size_t>(len));
    if (len < 0) return refuse(c, "snapshot: the picture does not fit the buffer");
    return fmt("JPEG of %d bytes in JPGBSnapBuffer", len);
}

std::string net_config(Ctx& c) {
    c.q.args = quoted(c.q.text);
    char buf[MSG_TEXT_SIZE];
    const char* part[3] = {"", "", ""};
    if (split(c.q.text, ',', buf, sizeof buf, part, 3) < 3) return refuse(c, "net config: not ip,netmask,gateway");
    NET_CONFIG& n = c.r().NetConfigs;
    char* fields[] = {n.ipaddr, n.netmask, n.gateway, n.real_ipaddr, n.real_netmask, n.real_gateway};
    for (int i = 0; i < 6; ++i) {
        store_text({Field::Text, fields[i], 32}, part[i % 3]);
        c.s.mark(fields[i], 32);
    }
    return "stored in NetConfigs.ipaddr, netmask, gateway";
}

// "%d,%s": a numbered text (DNS server, WEP key).
std::string numbered_text(Ctx& c) {
    c.q.args = quoted(c.q.text);
    const Home* h = home_of(c.q.command);
    char* end;
    const long n = strtol(c.q.text, &end, 10);
    if (end == c.q.text || *end != ',') return refuse(c, "not number,text");
    const Field f = h->at(c.s, static_cast<int>(n));
    if (f.kind == Field::None) return refuse(c, fmt("no entry %ld", n));
    c.s.mark(f.p, f.size);
    return (store_text(f, end + 1) ? "stored in " : "cut into ") + field_name(*h) + fmt(" %ld", n);
}

std::string set_deinterlace(Ctx& c) {
    const int ch = c.q.bytes[0];
    c.q.args = fmt("channel=%d, Mode=%d, Level=%d", ch, c.q.bytes[1], c.q.bytes[2]);
    if (!channel_ok(ch)) return refuse(c, fmt("deinterlace: no channel %d", ch));
    VIDEO_CONFIG& v = c.r().VideoConfig[ch];
    v.DeinterlaceMode = c.q.bytes[1];
    v.DeinterlaceLevel = c.q.bytes[2];
    c.s.mark(&v.DeinterlaceMode, sizeof v.DeinterlaceMode);
    c.s.mark(&v.DeinterlaceLevel, sizeof v.DeinterlaceLevel);
    return "stored in VideoConfig[i].DeinterlaceMode, DeinterlaceLevel";
}

std::string get_deinterlace(Ctx& c) {
    const int ch = c.q.bytes[0];
    c.q.args = fmt("channel=%d", ch);
    if (!channel_ok(ch)) return "no such entry (empty answer)";
    c.reply[0] = static_cast<char>(c.r().VideoConfig[ch].DeinterlaceMode);
    c.reply[1] = static_cast<char>(c.r().VideoConfig[ch].DeinterlaceLevel);
    return fmt("mode %d, level %d", c.reply[0] & 0xff, c.reply[1] & 0xff);
}

std::string set_qp(Ctx& c) {
    int ch = -1, i = 0, p = 0;
    c.q.args = quoted(c.q.text);
    if (sscanf(c.q.text, "%d,%d,%d", &ch, &i, &p) != 3 || !channel_ok(ch))
        return refuse(c, "QP: not channel,QP_I,QP_P");
    VIDEO_CONFIG& v = c.r().VideoConfig[ch];
    v.QP_I = i;
    v.QP_P = p;
    c.s.mark(&v.QP_I, sizeof v.QP_I);
    c.s.mark(&v.QP_P, sizeof v.QP_P);
    return "stored in VideoConfig[i].QP_I, QP_P";
}

std::string get_qp(Ctx& c) {
    const int ch = c.q.bytes[0];
    c.q.args = fmt("channel=%d", ch);
    if (!channel_ok(ch)) return "no such entry (empty answer)";
    snprintf(c.reply, kTextMax, "%d,%d", c.r().VideoConfig[ch].QP_I, c.r().VideoConfig[ch].QP_P);
    return c.reply;
}

TypeCoordinate* region_at(Ctx& c, int ch, int region) {
    return channel_ok(ch) && region >= 0 && region < 16 ? &c.r().EventChannelConfigs.Region[ch][region]
                                                        : nullptr;
}

std::string set_region(Ctx& c) {
    int v[6];
    c.q.args = quoted(c.q.text);
    TypeCoordinate* t = nullptr;
    if (sscanf(c.q.text, "%d,%d,%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6 ||
        !(t = region_at(c, v[0], v[1])))
        return refuse(c, "motion region: not channel,region,Lx,Ly,Rx,Ry");
    *t = {1, v[2], v[3], v[4], v[5]};
    c.s.mark(t, sizeof *t);
    return "stored in EventChannelConfigs.Region[ch][region]";
}

std::string get_region(Ctx& c) {
    c.q.args = fmt("Channel=%d, Region=%d", c.q.bytes[0], c.q.bytes[1]);
    const TypeCoordinate* t = region_at(c, c.q.bytes[0], c.q.bytes[1]);
    if (!t) return "no such entry (empty answer)";
    snprintf(c.reply, kTextMax, "%d,%d,%d,%d", t->Lx, t->Ly, t->Rx, t->Ry);
    return c.reply;
}

// A preset position lives in Pos at the index its count field gives.
std::string set_position(Ctx& c) {
    POSITION_T p;
    memcpy(&p, c.q.bytes, sizeof p);
    c.q.args = fmt("count=%d, A=%d, B=%d", p.count, p.A, p.B);
    if (p.count < 0 || p.count >= 16) return refuse(c, fmt("position: no preset %d", p.count));
    c.r().Pos[p.count] = p;
    c.s.mark(&c.r().Pos[p.count], sizeof p);
    return "stored in Pos[count]";
}

std::string get_position(Ctx& c) {
    POSITION_T p;
    memcpy(&p, c.q.bytes, sizeof p);
    c.q.args = fmt("count=%d", p.count);
    if (p.count >= 0 && p.count < 16) {
        p = c.r().Pos[p.count];
        p.count = c.q.bytes[0] | c.q.bytes[1] << 8 | c.q.bytes[2] << 16 | c.q.bytes[3] << 24;
    }
    memcpy(c.reply, &p, sizeof p);
    return fmt("count=%d, A=%d, B=%d", p.count, p.A, p.B);
}

// Record lists: a header, then chunks of at most 12 eight-byte records.
constexpr int kChunk = 12;

int32_t int_at(const unsigned char* b) {
    int32_t v;
    memcpy(&v, b, 4);
    return v;
}

std::string list_header(Ctx& c) {
    const int32_t ch = int_at(c.q.bytes), count = int_at(c.q.bytes + 4);
    c.q.args = fmt("channel=%d, RecordCount=%d", ch, count);
    if (!channel_ok(ch) || count < 0 || count > kMaxRecords)
        return refuse(c, fmt("record list: channel %d or count %d out of range", ch, count));
    c.r().RecordCount[ch] = count;
    memset(c.r().RecordTime[ch], 0, sizeof c.r().RecordTime[ch]);
    c.s.mark(&c.r().RecordCount[ch], sizeof c.r().RecordCount[ch]);
    c.s.mark(c.r().RecordTime[ch], sizeof c.r().RecordTime[ch]);
    return "RecordCount set";
}

// The channel's record count, checked: the record may have been written by
// another hand.
int checked_count(Ctx& c, int32_t ch) {
    bool damaged;
    const int count = record_count(c.r(), ch, &damaged);
    if (damaged) note("record list: RecordCount[%d] holds %d, outside 0..%d: read as 0", ch, c.r().RecordCount[ch], kMaxRecords);
    return count;
}

std::string list_chunk(Ctx& c) {
    const int32_t ch = int_at(c.q.bytes), first = int_at(c.q.bytes + 4);
    c.q.args = fmt("channel=%d, index=%d", ch, first);
    const int count = checked_count(c, ch);
    if (!channel_ok(ch) || first < 0 || first >= count)
        return refuse(c, fmt("record list: chunk at %d outside channel %d's list", first, ch));
    const int n = count - first < kChunk ? count - first : kChunk;
    memcpy(&c.r().RecordTime[ch][2 * first], c.q.bytes + 8, 8 * n);
    c.s.mark(&c.r().RecordTime[ch][2 * first], 8 * n);
    return fmt("%d records stored", n);
}

std::string list_count(Ctx& c) {
    const int32_t ch = int_at(c.q.bytes);
    c.q.args = fmt("channel=%d", ch);
    const int32_t count = checked_count(c, ch);
    memcpy(c.reply, &count, 4);
    return fmt("%d records", count);
}

std::string list_records(Ctx& c) {
    const int32_t ch = int_at(c.q.bytes), first = int_at(c.q.bytes + 4);
    c.q.args = fmt("channel=%d, index=%d", ch, first);
    const int count = checked_count(c, ch);
    if (!channel_ok(ch) || first < 0 || first >= count) return "no records";
    const int n = count - first < kChunk ? count - first : kChunk;
    memcpy(c.reply, &c.r().RecordTime[ch][2 * first], 8 * n);
    return fmt("%d records", n);
}

// ---- delivery hook: mails and uploads go to the outbox (delivery.h) ----
std::string deliver(Ctx& c) { return queue_delivery(c.q.command, c.q.text, c.r(), c.q.args, c.caller); }
// ---- end of delivery hook ----

// A recording trigger: noted, and its source kept in the channel's
// RecordTrigger (1 input line, 2 motion, 3 network alarm).
std::string trigger(Ctx& c) {
    const int ch = c.q.bytes[0];
    const int source = c.q.command == 261 ? 1 : c.q.command == 262 ? 2 : 3;
    c.q.args = fmt("channel=%d", ch);
    note("recording triggered on channel %d (source %d)", ch, source);
    if (!channel_ok(ch)) return "no such channel";
    c.r().RecordTrigger[ch] = source;
    c.s.mark(&c.r().RecordTrigger[ch], sizeof(int32_t));
    return fmt("RecordTrigger[%d] = %d", ch, source);
}

// ---- whole-device actions ----

std::string system_boot(Ctx& c) {
    c.s.action = Action::Boot;
    note("boot: the kept settings are read back from the state, live values cleared");
    return "boot: kept settings reloaded, live values cleared";
}

std::string system_restore(Ctx& c) {
    restore_factory(c.s, true);
    note("restore: factory settings, the network settings kept");
    return "factory settings, network settings, record lists and SD card status kept";
}

std::string system_default(Ctx& c) {
    restore_factory(c.s, false);
    note("default: factory settings");
    return "factory settings, record lists and SD card status kept";
}

std::string system_sync_flash(Ctx& c) {
    c.s.action = Action::SyncFlash;
    return "state file rewritten";
}

// "name,length": the name runs to the last comma (it may hold commas).
std::string system_update(Ctx& c) {
    c.q.args = quoted(c.q.text);
    char name[MSG_TEXT_SIZE];
    snprintf(name, sizeof name, "%s", c.q.text);
    char* comma = strrchr(name, ',');
    if (!comma || comma == name) return refuse(c, "update: not file,length");
    *comma = 0;
    char* end;
    errno = 0;
    const long long length = strtoll(comma + 1, &end, 10);
    if (end == comma + 1 || *end || errno == ERANGE || length < 0 || length > INT32_MAX)
        return refuse(c, "update: " + quoted(comma + 1) + " is no length");
    struct stat st;
    if (stat(name, &st) != 0) return refuse(c, "update: " + quoted(name) + ": " + strerror(errno));
    if (!S_ISREG(st.st_mode)) return refuse(c, "update: " + quoted(name) + " is not a file");
    if (st.st_size != length)
        return refuse(c, fmt("update: %s has %lld bytes, not %lld", quoted(name).c_str(),
                             static_cast<long long>(st.st_size), length));
    snprintf(c.reply, kTextMax, "ok");
    note("update: %s of %lld bytes accepted (the stand-in installs nothing)", quoted(name).c_str(), length);
    return "accepted";
}

struct Custom {
    int command;
    const char* name;
    Handler handle;
};
const Custom kCustom[] = {
    {17, "API_Video_SetJPGSnapShot", snapshot},
    {27, "API_Net_SetNetConfig", net_config},
    {30, "API_Net_SetDNS", numbered_text},
    {64, "API_SMTP_Send_Text", deliver},
    {65, "API_SMTP_Send_Attach", deliver},
    {80, "API_Net_FTPContextPut", deliver},
    {123, "API_WLAN_SetWepKey", numbered_text},
    {140, "API_System_Boot", system_boot},
    {141, "API_System_Restore", system_restore},
    {142, "API_System_Default", system_default},
    {143, "API_System_SyncFlash", system_sync_flash},
    {144, "API_System_Update", system_update},
    {158, "API_Video_SetDeinterlace", set_deinterlace},
    {159, "API_Video_GetDeinterlace", get_deinterlace},
    {178, "API_EVENT_GetMotionRegion", get_region},
    {179, "API_EVENT_SetMotionRegion", set_region},
    {214, "API_USER_SetAddUser", add_user},
    {215, "API_USER_SetDelUser", delete_user},
    {216, "API_USER_SetChangePassword", change_password},
    {217, "API_USER_GetUserInfoByName", user_by_name},
    {218, "API_USER_GetUserInfoByID", user_by_id},
    {219, "API_USER_Modify", modify_user},
    {257, "API_MOD_SetRecordList (chunk)", list_chunk},
    {258, "API_MOD_GetRecordList (chunk)", list_records},
    {259, "API_MOD_SetRecordList (header)", list_header},
    {260, "API_MOD_GetRecordList (header)", list_count},
    {261, "API_MOD_SetRecordGPIOTrig", trigger},
    {262, "API_MOD_SetRecordMotionTrig", trigger},
    {330, "API_Video_SetQP", set_qp},
    {331, "API_Video_GetQP", get_qp},
    {394, "API_GET_POSITION", get_position},
    {395, "API_SET_POSITION", set_position},
    {440, "API_MOD_SetRecordLanTrig", trigger},
};

// ---- secrets hook: passwords and keys never reach a trace or log line ----
// The commands whose request (a set) or answer (a get) carries a password or
// a key: the SMTP, FTP, PPPoE, VPN and dynamic-DNS passwords, the inner
// credentials, the wireless keys, and the user accounts' texts.
bool carries_secret(int command) {
    static const int kSecret[] = {60, 61, 72, 73, 38, 39, 447, 448, 86, 87, 471, 472,
                                  122, 123, 124, 125, 214, 216, 219};
    for (int c : kSecret)
        if (c == command) return true;
    return false;
}
// ---- end of secrets hook ----

}  // namespace

void handle(Store& store, int command, const char* request, char* reply, std::string& line, pid_t caller) {
    char text[MSG_TEXT_SIZE];
    memcpy(text, request, sizeof text);
    text[sizeof text - 1] = 0;
    Request q{command, reinterpret_cast<const unsigned char*>(request), text, {}};
    std::string result;
    const char* name = nullptr;
    for (const Custom& c : kCustom) {
        if (c.command != command) continue;
        Ctx ctx{store, q, reply, caller};
        result = c.handle(ctx);
        name = c.name;
    }
    if (!name) {
        if (const Facts* f = facts_of(command)) {
            result = serve_ordinary(store, *f, q, reply);
            name = f->name;
        }
    }
    if (!name) {
        note("unknown command %d: answered with an empty reply", command);
        line = fmt("unknown command %d -> empty reply", command);
        return;
    }
    if (carries_secret(command)) {  // secrets hook
        if (!q.args.empty()) q.args = "<withheld>";
        const Home* h = home_of(command);
        if (h && h->get == command) result = "<withheld>";
    }
    control::describe(name, q.args, result);  // [control] the monitors' view of it
    line = std::string(name) + "(" + q.args + ") -> " + result;
}

}  // namespace apisim
