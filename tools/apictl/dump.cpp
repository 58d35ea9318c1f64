// apictl dump and load. A setting is a set operation whose get reads back what
// it stores; the list is worked out from the catalog (the set -> get pairs,
// the get's parameters), not written out: what the daemon answers for the
// gets is the document, and load gives each value to the set through the one
// call path (prepare, run_call), with its checks.
#include "dump.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace apictl {
namespace {

// ---- the settings ----

// Families in the document's order; a set belongs to the first prefix that
// its name (without "API_") starts with.
enum Family : uint8_t { Video, Network, Wlan, Ppp, G3, Ddns, Time, Users, Mail, Ftp, System, Labels, Motion, Io, Ptz,
                        Recording, Sd, kFamilies };
const char* const kFamilyNames[kFamilies] = {"video", "network", "wlan",   "ppp",    "3g", "ddns",
                                             "time",  "users",   "mail",   "ftp",    "system", "labels",
                                             "motion", "io",     "ptz",    "recording", "sd"};
struct Prefix {
    const char* text;
    Family family;
};
const Prefix kPrefixes[] = {
    {"Net_FTP", Ftp},        {"NET_SetUpnp", Ddns},   {"Net_", Network},   {"NET_", Network},
    {"Video_", Video},       {"Audio_", Video},       {"Set_Snap", Video}, {"WLAN_", Wlan},
    {"PPPOE_", Ppp},         {"3G_", G3},             {"DDNS_", Ddns},     {"Linkway_", Ddns},
    {"SNTP_", Time},         {"Set_Inner", Users},    {"SMTP_", Mail},     {"System_", System},
    {"MULTI_", System},      {"Multi_", System},      {"VELDA_", Labels},  {"Motion_SetGPIO", Io},
    {"Motion_Setout", Io},   {"Motion_SetMotionGpio", Io}, {"GPIO", Io},   {"MOD_SetGPIO", Io},
    {"Motion_", Motion},     {"ALARM_", Motion},      {"EVENT_", Motion},  {"PTZ_", Ptz},
    {"SET_POS", Ptz},        {"MOD_SetSd", Sd},       {"MOD_", Recording},
};

// Pairs that are no settings: values that the camera's services report
// (status values, live line values, the SD card's figures, the buffer-empty
// flag) and the recorder's list of recordings.
const char kNotSettings[] =
    " DDNS_SetStatus Linkway_SetSearchStatus Linkway_SetMapStatus NET_SetUpnpStatus System_SetBufferEmpty"
    " GPIO_Set_Value GPIOB_Set_Value MOD_SetRecordList MOD_SetSdSize MOD_SetSdUseSize MOD_SetSdType"
    " MOD_SetSdEventCount MOD_SetSdWriteCount MOD_SetPreEventTime MOD_SetLastEventTime MOD_SetSdRdWriteStatus"
    " MOD_SetSdwriteCount MOD_SetSdLock ";

// The parameters that pick an entry of a setting, by name, and the entries
// that the daemon's tables hold.
struct Index {
    const char* param;
    uint8_t first, count;
};
const Index kIndexes[] = {{"channel", 0, 4}, {"Region", 0, 16}, {"ServerNumber", 0, 2}, {"WepID", 1, 4},
                          {"gpio", 0, 10},   {"pin", 0, 10},    {"type", 0, 8},         {"Pos", 0, 16}};
constexpr int kChannel = 0;

struct Setting {
    const Entry* set;
    const Entry* get[3];  // one, or several that each read one of the set's values
    uint8_t gets, family;
    uint8_t keys;         // parameters of the get that pick the entry
    uint8_t set_keys;     // of them, those that the set takes first (not a record's own index)
    uint8_t values;       // the set's parameters after its keys
    int8_t key[2];        // the kIndexes row of each key
    int8_t other;         // the row of the key that is not the channel, or -1
    bool channel, result_is_value, refuses_empty;
};
constexpr int kMaxSettings = 200;
Setting settings[kMaxSettings];
int setting_count = -1;

int family_of(const char* bare) {
    for (const Prefix& p : kPrefixes)
        if (strncmp(bare, p.text, strlen(p.text)) == 0) return p.family;
    return -1;
}

bool not_a_setting(const char* bare) {
    const size_t n = strlen(bare);
    for (const char* p = kNotSettings; (p = strstr(p + 1, bare));)
        if (p[-1] == ' ' && p[n] == ' ') return true;
    return false;
}

int index_row(const Param& p) {
    for (size_t r = 0; r < sizeof kIndexes / sizeof kIndexes[0]; ++r)
        if (strlen(kIndexes[r].param) == static_cast<size_t>(p.name_len) &&
            strncasecmp(kIndexes[r].param, p.name, static_cast<size_t>(p.name_len)) == 0)
            return static_cast<int>(r);
    return -1;
}

// The keys and values of the get(s) against the set's parameters: the set
// takes the keys first, then one value per output of the gets, the result
// first where the get returns a value.
bool fill_shape(Setting& s) {
    Param p[kMaxParams];
    int outputs = 0;
    s.other = -1;
    for (int g = 0; g < s.gets; ++g) {
        if (!s.get[g] || !talks_to_daemon(*s.get[g])) return false;
        const int n = params_of(*s.get[g], p);
        for (int i = 0; i < n; ++i) {
            if (p[i].dir != 'o') {
                const int row = index_row(p[i]);
                if (row < 0 || s.keys == 2 || (row != kChannel && s.other >= 0)) return false;
                s.key[s.keys++] = static_cast<int8_t>(row);
                s.set_keys += p[i].dir == 'i';
                if (row == kChannel) s.channel = true;
                else s.other = static_cast<int8_t>(row);
            }
            outputs += p[i].dir != 'i';
        }
    }
    s.values = static_cast<uint8_t>(params_of(*s.set, p) - s.set_keys);
    s.result_is_value = s.values == outputs + 1;
    return s.result_is_value || s.values == outputs;
}

void find_settings() {
    if (setting_count >= 0) return;
    setting_count = 0;
    char why[320], get[64];
    for (size_t k = 0; k < entry_count() && setting_count < kMaxSettings; ++k) {
        const Entry& e = entry_at(k);
        if (e.datum || strncmp(e.name, "API_", 4) != 0 || !op_facts::get_name_of(e.name, get, sizeof get)) continue;
        const char* bare = e.name + 4;
        const int family = family_of(bare);
        if (family < 0 || not_a_setting(bare)) continue;
        Setting s{};
        s.set = &e;
        s.family = static_cast<uint8_t>(family);
        // The wired address, netmask and gateway are set together and read one by one.
        static const char* const kFixed[] = {"API_Net_GetFixIP", "API_Net_GetFixNetMask", "API_Net_GetFixGateWay"};
        const bool fixed = strcmp(bare, "Net_SetNetConfig") == 0;
        for (int g = 0; g < (fixed ? 3 : 1); ++g) {
            const char* name = fixed ? kFixed[g] : get;
            const Entry* found = find_entry(name, why, sizeof why);
            s.get[s.gets++] = found && strcmp(found->name, name) == 0 ? found : nullptr;
        }
        // Sets that refuse an empty text without asking the daemon.
        s.refuses_empty = fixed || strcmp(bare, "Net_SetDNS") == 0;
        if (fill_shape(s)) settings[setting_count++] = s;
    }
}

// The setting's key in its family: the set's name without "API_", its family
// word and "Set" ("API_Video_SetHue": "Hue", "API_SMTP_Set_Port": "Port").
size_t setting_key(const Setting& s, char* out, size_t room) {
    const char* bare = s.set->name + 4;
    const char* p = strncasecmp(bare, "Set_", 4) == 0 ? bare + 4 : strchr(bare, '_') + 1;
    size_t n = 0;
    for (bool dropped = false; *p && n + 1 < room; ++p) {
        if (!dropped && (strncmp(p, "Set", 3) == 0 || strncmp(p, "SET", 3) == 0)) {
            p += p[3] == '_' ? 3 : 2;
            dropped = true;
            continue;
        }
        out[n++] = *p;
    }
    out[n] = 0;
    return n;
}

int index_last(int row) { return kIndexes[row].first + kIndexes[row].count - 1; }

// ---- dump ----

// The document as it is written: members on their own lines, indented.
struct Writer {
    FILE* out;
    int depth = 0;
    bool first[8] = {};
    void key(const char* k, size_t n) {
        fputs(first[depth] ? "\n" : ",\n", out);
        first[depth] = false;
        fprintf(out, "%*s", 2 * depth, "");
        json_string(out, k, n);
        fputs(": ", out);
    }
    void key(const char* k) { key(k, strlen(k)); }
    void open() {
        putc('{', out);
        first[++depth] = true;
    }
    void close() {
        if (!first[depth]) fprintf(out, "\n%*s", 2 * (depth - 1), "");
        putc('}', out);
        --depth;
    }
};

Call call;
char value_text[16 * 1024];  // one value as JSON: a text of 2017 bytes escaped fits
size_t value_len;
constexpr int kLeftOut = -1;

// Reads the value of one entry (channel ch, index idx) into value_text:
// kOk; kFailed or kTimedOut, said why on standard error; kLeftOut for an
// empty text that the set would refuse.
int read_value(const Setting& s, int ch, int idx, const Run& how) {
    FILE* out = fmemopen(value_text, sizeof value_text, "w");
    if (!out) return fprintf(stderr, "apictl: dump: %s: no room for its value\n", s.set->name), kFailed;
    Param names[kMaxParams];
    params_of(*s.set, names);
    int v = s.set_keys, status = kOk;
    // A value of its own, or an object with the set's parameter names.
    auto name_next = [&]() {
        if (s.values > 1) fprintf(out, "%s\"%.*s\": ", v > s.set_keys ? ", " : "{", names[v].name_len, names[v].name);
        ++v;
    };
    for (int g = 0; g < s.gets && status == kOk; ++g) {
        Param p[kMaxParams];
        const int n = params_of(*s.get[g], p);
        char text[kMaxParams][24];
        char* argv[kMaxParams];
        for (int i = 0, k = 0; i < n; ++i) {
            argv[i] = text[i];
            if (p[i].dir == 'o') strcpy(text[i], "-");
            else snprintf(text[i], sizeof text[i], p[i].dir == 'x' ? "%d,0,0" : "%d", s.key[k++] == kChannel ? ch : idx);
        }
        const char* name = s.get[g]->name;
        const Outcome o = prepare(call, *s.get[g], n, argv) ? run_call(call, name, how) : Outcome{kFailed, false, ""};
        if (o.status == kTimedOut) fprintf(stderr, "apictl: dump: %s\n", o.why);
        else if (call.error[0]) fprintf(stderr, "apictl: dump: %s\n", call.error);
        else if (o.status != kOk) fprintf(stderr, "apictl: dump: %s: the daemon answered with a failure\n", name);
        if ((status = o.status) != kOk) break;
        if (s.result_is_value) name_next(), print_result(out, call, true);
        for (int i = 0; i < n; ++i) {
            if (p[i].dir == 'i') continue;
            if (s.refuses_empty && p[i].shape == Shape::Text && !*static_cast<const char*>(call.args[i].p)) status = kLeftOut;
            name_next();
            if (dump_withholds_secrets && is_secret(*s.get[g], p[i])) fputs("null", out);
            else print_output(out, call, i, true);
        }
    }
    if (s.values > 1) putc('}', out);
    const long len = ftell(out);
    fclose(out);
    value_len = len > 0 ? static_cast<size_t>(len) : 0;
    if (status == kOk && value_len + 1 >= sizeof value_text)
        return fprintf(stderr, "apictl: dump: %s: its value does not fit\n", s.set->name), kFailed;
    return status;
}

// One setting on channel ch (-1: none); false when there was no answer.
bool dump_setting(Writer& w, const Setting& s, int ch, const Run& how, int& failures) {
    char key[64];
    const size_t key_len = setting_key(s, key, sizeof key);
    const int first = s.other >= 0 ? kIndexes[s.other].first : 0, last = s.other >= 0 ? index_last(s.other) : 0;
    if (s.other >= 0) w.key(key, key_len), w.open();
    for (int idx = first; idx <= last; ++idx) {
        const int status = read_value(s, ch, idx, how);
        if (status == kTimedOut) return false;
        failures += status == kFailed;
        if (status != kOk) continue;
        char number[12];
        snprintf(number, sizeof number, "%d", idx);
        if (s.other >= 0) w.key(number);
        else w.key(key, key_len);
        fwrite(value_text, 1, value_len, w.out);
    }
    if (s.other >= 0) w.close();
    return true;
}

int family_named(const char* name, size_t n) {
    for (int f = 0; f < kFamilies; ++f)
        if (strlen(kFamilyNames[f]) == n && memcmp(kFamilyNames[f], name, n) == 0) return f;
    return -1;
}

int no_daemon(const char* command) {
    char why[200];
    if (daemon_present(why, sizeof why)) return kOk;
    fprintf(stderr, "apictl: %s: %s\n", command, why);
    return kTimedOut;
}

}  // namespace

int dump_settings(int argc, char** argv, const Run& run) {
    bool wanted[kFamilies];
    for (int f = 0; f < kFamilies; ++f) wanted[f] = argc == 0;
    for (int i = 0; i < argc; ++i) {
        const int f = family_named(argv[i], strlen(argv[i]));
        if (f < 0) {
            fprintf(stderr, "apictl: dump: no family '%s' (video, network, wlan, ppp, 3g, ddns, time, users, mail, "
                            "ftp, system, labels, motion, io, ptz, recording, sd)\n", argv[i]);
            return kUsage;
        }
        wanted[f] = true;
    }
    if (const int status = no_daemon("dump")) return status;
    find_settings();
    // The document goes to standard output; what the gets print themselves
    // (trace lines) goes nowhere.
    Run how = run;
    FILE* out = stdout;
    const int document_fd = dup(1), null_fd = open("/dev/null", O_WRONLY);
    if (document_fd >= 0 && null_fd >= 0 && dup2(null_fd, 1) >= 0 && (out = fdopen(document_fd, "w"))) how.trace_aside = false;
    else out = stdout, how.trace_aside = true;
    Writer w{out};
    int failures = 0;
    bool answered = true;
    w.open();
    for (int f = 0; f < kFamilies && answered; ++f) {
        if (!wanted[f]) continue;
        w.key(kFamilyNames[f]);
        w.open();
        int channels = 0;
        for (int i = 0; i < setting_count; ++i) channels += settings[i].family == f && settings[i].channel;
        for (int ch = -1; ch < (channels ? kIndexes[kChannel].count : 0) && answered; ++ch) {
            if (ch >= 0) {
                char name[24];  // "channel " and any int
                snprintf(name, sizeof name, "channel %d", ch);
                w.key(name);
                w.open();
            }
            for (int i = 0; i < setting_count && answered; ++i)
                if (settings[i].family == f && settings[i].channel == (ch >= 0))
                    answered = dump_setting(w, settings[i], ch, how, failures);
            if (ch >= 0) w.close();
        }
        w.close();
    }
    while (w.depth) w.close();
    putc('\n', out);
    const bool written = fflush(out) == 0;
    if (!written) fprintf(stderr, "apictl: dump: cannot write the document\n");
    return !answered ? kTimedOut : failures || !written ? kFailed : kOk;
}

// ---- a small JSON reader: the whole document first, bounded in size,
// nesting and values, strings decoded where they lie ----

namespace {

using Kind = JsonKind;
using Node = JsonNode;
constexpr size_t kMaxDocument = 1 << 20;
constexpr uint32_t kMaxNodes = 8192;
constexpr int kMaxDepth = 16;
char document[kMaxDocument + 1];
Node nodes[kMaxNodes];

class Reader {
public:
    Reader(char* text, size_t n) : start_(text), p_(text), end_(text + n) {}

    // The root's node (1), or 0 with error() set.
    uint32_t read() {
        uint32_t root = 0;
        space();
        if (value(root, 0)) {
            space();
            if (p_ == end_) return root;
            fail("more after the document");
        }
        return 0;
    }
    const char* error() const { return error_; }
    size_t error_at() const { return static_cast<size_t>(at_ - start_); }

private:
    bool fail(const char* why) {
        if (!error_) error_ = why, at_ = p_;
        return false;
    }
    void space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool take(char c) {
        space();
        if (p_ < end_ && *p_ == c) return ++p_, true;
        return false;
    }
    static int hex(char c) {
        return c >= '0' && c <= '9' ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
    }
    bool unit(unsigned& u) {  // the four digits after "\u"
        u = 0;
        for (int k = 0; k < 4; ++k, ++p_) {
            const int d = p_ < end_ ? hex(*p_) : -1;
            if (d < 0) return fail("a \\u escape needs four hexadecimal digits");
            u = u << 4 | static_cast<unsigned>(d);
        }
        return true;
    }
    // A string from its opening quote, decoded into the same place; \udc80 to
    // \udcff stand for the bytes 0x80 to 0xff that were not UTF-8.
    bool string(const char*& text, uint32_t& len) {
        char* w = ++p_;
        text = w;
        for (;;) {
            if (p_ >= end_) return fail("the text does not end");
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') break;
            if (c < 0x20) return fail("a control character in a text");
            if (c >= 0x80) {
                const size_t n = utf8_length(reinterpret_cast<unsigned char*>(p_), static_cast<size_t>(end_ - p_));
                if (!n) return fail("not UTF-8");
                memmove(w, p_, n), w += n, p_ += n;
                continue;
            }
            if (c != '\\') {
                *w++ = *p_++;
                continue;
            }
            if (++p_ >= end_) return fail("the text does not end");
            char simple = 0;
            switch (*p_) {
            case '"': case '\\': case '/': simple = *p_; break;
            case 'b': simple = '\b'; break;
            case 'f': simple = '\f'; break;
            case 'n': simple = '\n'; break;
            case 'r': simple = '\r'; break;
            case 't': simple = '\t'; break;
            }
            if (simple) {
                *w++ = simple, ++p_;
                continue;
            }
            if (*p_++ != 'u') return fail("an unknown escape");
            unsigned u, low;
            if (!unit(u)) return false;
            if (u >= 0xd800 && u <= 0xdbff) {
                if (end_ - p_ < 6 || p_[0] != '\\' || p_[1] != 'u') return fail("a lone surrogate");
                p_ += 2;
                if (!unit(low)) return false;
                if (low < 0xdc00 || low > 0xdfff) return fail("a lone surrogate");
                u = 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00);
            } else if (u >= 0xdc80 && u <= 0xdcff) {
                *w++ = static_cast<char>(u & 0xff);
                continue;
            } else if (u >= 0xdc00 && u <= 0xdfff) {
                return fail("a lone surrogate");
            }
            if (u < 0x80) *w++ = static_cast<char>(u);
            else if (u < 0x800) *w++ = static_cast<char>(0xc0 | u >> 6), *w++ = static_cast<char>(0x80 | (u & 0x3f));
            else {
                if (u < 0x10000) *w++ = static_cast<char>(0xe0 | u >> 12);
                else *w++ = static_cast<char>(0xf0 | u >> 18), *w++ = static_cast<char>(0x80 | (u >> 12 & 0x3f));
                *w++ = static_cast<char>(0x80 | (u >> 6 & 0x3f)), *w++ = static_cast<char>(0x80 | (u & 0x3f));
            }
        }
        ++p_;
        len = static_cast<uint32_t>(w - text);
        return true;
    }
    bool digits() {
        const char* from = p_;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        return p_ > from || fail("not a number");
    }
    bool number() {
        if (*p_ == '-') ++p_;
        if (p_ < end_ && *p_ == '0') ++p_;
        else if (!digits()) return false;
        if (p_ < end_ && *p_ == '.' && (++p_, !digits())) return false;
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            if (++p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (!digits()) return false;
        }
        return true;
    }
    bool value(uint32_t& out, int depth) {
        space();
        if (p_ >= end_) return fail("the document ends early");
        if (depth > kMaxDepth) return fail("nested deeper than 16");
        if (count_ + 1 >= kMaxNodes) return fail("more than 8191 values");
        out = ++count_;
        Node& n = nodes[out];
        n = Node{};
        n.text = p_;
        const char c = *p_;
        if (c == '{' || c == '[') {
            n.kind = c == '{' ? Kind::Object : Kind::Array;
            ++p_;
            const char close = c == '{' ? '}' : ']';
            if (take(close)) return true;
            for (uint32_t last = 0;;) {
                const char* key = nullptr;
                uint32_t key_len = 0, member = 0;
                if (n.kind == Kind::Object) {
                    space();
                    if (p_ >= end_) return fail("the document ends early");
                    if (*p_ != '"') return fail("a member needs a quoted name");
                    char* const key_at = p_;
                    if (!string(key, key_len)) return false;
                    // Which of two values would count is a guess: neither does.
                    for (uint32_t k = n.child; k; k = nodes[k].next)
                        if (nodes[k].key_len == key_len && memcmp(nodes[k].key, key, key_len) == 0)
                            return p_ = key_at, fail("a name given twice in one object");
                    if (!take(':')) return fail("a ':' is missing");
                }
                if (!value(member, depth + 1)) return false;
                nodes[member].key = key, nodes[member].key_len = key_len;
                (last ? nodes[last].next : n.child) = member;
                last = member;
                if (take(close)) return true;
                if (p_ == end_) return fail("the document ends early");
                if (!take(',')) return fail(c == '{' ? "a ',' or '}' is missing" : "a ',' or ']' is missing");
            }
        }
        if (c == '"') return n.kind = Kind::String, string(n.text, n.len);
        if (c == '-' || (c >= '0' && c <= '9')) {
            n.kind = Kind::Number;
            if (!number()) return false;
        } else {
            n.kind = Kind::Literal;
            static const char* const kLiterals[] = {"true", "false", "null"};
            const char* found = nullptr;
            for (const char* l : kLiterals)
                if (static_cast<size_t>(end_ - p_) >= strlen(l) && memcmp(p_, l, strlen(l)) == 0) found = l;
            if (!found) return fail("not a value");
            p_ += strlen(found);
        }
        n.len = static_cast<uint32_t>(p_ - n.text);
        return true;
    }

    char* start_;
    char* p_;
    char* end_;
    const char* error_ = nullptr;
    const char* at_ = nullptr;
    uint32_t count_ = 0;
};

// ---- load ----

class Loader {
public:
    explicit Loader(const Run& how) : how_(how) {}

    // Every family of the document, in the document's order.
    void load(const Node& root) {
        for (uint32_t f = root.child; f && !aborted; f = nodes[f].next) {
            const Node& fam = nodes[f];
            depth_ = 0;
            push(fam.key, fam.key_len);
            const int family = family_named(fam.key, fam.key_len);
            if (family < 0) {
                failed("no such family");
                continue;
            }
            if (fam.kind != Kind::Object) {
                failed("expects an object of settings");
                continue;
            }
            for (uint32_t m = fam.child; m && !aborted; m = nodes[m].next) {
                const Node& member = nodes[m];
                depth_ = 1;
                if (member.key_len < 8 || memcmp(member.key, "channel ", 8) != 0) {
                    apply(family, -1, member);
                    continue;
                }
                push(member.key, member.key_len);
                const int ch = index_of(member.key + 8, member.key_len - 8, kChannel);
                if (ch < 0) continue;
                if (member.kind != Kind::Object) {
                    failed("expects an object of settings");
                    continue;
                }
                for (uint32_t c = member.child; c && !aborted; c = nodes[c].next) depth_ = 2, apply(family, ch, nodes[c]);
            }
        }
    }

    int failures = 0;
    bool aborted = false;
    LoadReport* report = nullptr;  // failures to the caller instead of standard error

private:
    // Where in the document: "video/channel 0/Hue".
    void push(const char* name, size_t n) {
        path_len_[depth_ + 1] = path_len_[depth_] +
                                static_cast<size_t>(snprintf(path_ + path_len_[depth_], sizeof path_ - path_len_[depth_],
                                                             "%s%.*s", depth_ ? "/" : "", static_cast<int>(n > 64 ? 64 : n), name));
        if (path_len_[depth_ + 1] >= sizeof path_) path_len_[depth_ + 1] = sizeof path_ - 1;
        ++depth_;
    }
    __attribute__((format(printf, 2, 3))) void failed(const char* fmt, ...) {
        ++failures;
        va_list args;
        va_start(args, fmt);
        if (report) {
            char path[256], message[400];
            snprintf(path, sizeof path, "%.*s", static_cast<int>(path_len_[depth_]), path_);
            vsnprintf(message, sizeof message, fmt, args);
            va_end(args);
            return report->failed(report->context, path, message);
        }
        fprintf(stderr, "apictl: load: %.*s: ", static_cast<int>(path_len_[depth_]), path_);
        vfprintf(stderr, fmt, args);
        va_end(args);
        putc('\n', stderr);
    }

    // An entry's number within its range, or -1 (said so).
    int index_of(const char* text, size_t n, int row) {
        char* end;
        char number[12];
        snprintf(number, sizeof number, "%.*s", static_cast<int>(n < 11 ? n : 11), text);
        const long v = strtol(number, &end, 10);
        if (n > 0 && n < 11 && !*end && number[0] != '+' && number[0] != ' ' && v >= kIndexes[row].first &&
            v <= index_last(row))
            return static_cast<int>(v);
        failed("no such entry: %s %d to %d", row == kChannel ? "channels" : "entries", kIndexes[row].first, index_last(row));
        return -1;
    }

    const Setting* find(int family, const Node& n, bool channel) {
        char key[64];
        for (int i = 0; i < setting_count; ++i) {
            const Setting& s = settings[i];
            if (s.family == family && s.channel == channel && setting_key(s, key, sizeof key) == n.key_len &&
                memcmp(key, n.key, n.key_len) == 0)
                return &s;
        }
        return nullptr;
    }

    void apply(int family, int ch, const Node& n) {
        push(n.key, n.key_len);
        const Setting* s = find(family, n, ch >= 0);
        if (!s) return failed(ch < 0 && find(family, n, true) ? "a setting per channel" : "no such setting");
        if (s->other < 0) return apply_one(*s, ch, -1, n);
        if (n.kind != Kind::Object) return failed("expects an object of entries %d to %d", kIndexes[s->other].first,
                                                  index_last(s->other));
        for (uint32_t e = n.child; e && !aborted; e = nodes[e].next) {
            depth_ = ch >= 0 ? 3 : 2;
            push(nodes[e].key, nodes[e].key_len);
            const int idx = index_of(nodes[e].key, nodes[e].key_len, s->other);
            if (idx >= 0) apply_one(*s, ch, idx, nodes[e]);
        }
    }

    // The argument string of a value: a number as written, a text, a list of
    // numbers joined by ','. The value must be of the JSON type that the
    // dump writes for the parameter: "1" is no number, 1 no text.
    const char* argument(const Node& v, const Param& p) {
        char* out = args_ + args_used_;
        const size_t room = sizeof args_ - args_used_;
        size_t n = 0;
        const Kind want = p.shape == Shape::Text || p.shape == Shape::Hex                 ? Kind::String
                          : p.shape == Shape::Value && p.type != CType::Position ? Kind::Number
                                                                                  : Kind::Array;
        if (v.kind != want)
            return failed("expects %s", want == Kind::String ? "a text" : want == Kind::Number ? "a number"
                                                                                             : "a list of numbers"),
                   nullptr;
        if (v.kind == Kind::Number || v.kind == Kind::String) {
            if (v.kind == Kind::String && memchr(v.text, 0, v.len)) return failed("a text may not contain a NUL byte"), nullptr;
            if (v.len >= room) return failed("too long"), nullptr;
            memcpy(out, v.text, v.len);
            n = v.len;
        } else if (v.kind == Kind::Array) {
            for (uint32_t e = v.child; e; e = nodes[e].next) {
                if (nodes[e].kind != Kind::Number) return failed("expects a list of numbers"), nullptr;
                if (n + nodes[e].len + 1 >= room) return failed("too long"), nullptr;
                if (n) out[n++] = ',';
                memcpy(out + n, nodes[e].text, nodes[e].len);
                n += nodes[e].len;
            }
        } else {
            return failed("expects a number, a text or a list of numbers"), nullptr;
        }
        out[n] = 0;
        args_used_ += n + 1;
        return out;
    }

    void apply_one(const Setting& s, int ch, int idx, const Node& v) {
        Param p[kMaxParams];
        const int n = params_of(*s.set, p);
        char* argv[kMaxParams];
        char keys[2][12];
        args_used_ = 0;
        if (v.kind == Kind::Literal && v.len == 4 && memcmp(v.text, "null", 4) == 0) return;  // left unchanged
        if (s.values > 1 && v.kind != Kind::Object) return failed("expects an object of its %d values", s.values);
        int members = 0;
        for (uint32_t m = v.child; m && s.values > 1; m = nodes[m].next) ++members;
        for (int i = 0; i < n; ++i) {
            if (i < s.set_keys) {
                snprintf(keys[i], sizeof keys[i], "%d", s.key[i] == kChannel ? ch : idx);
                argv[i] = keys[i];
                continue;
            }
            const Node* value = &v;
            if (s.values > 1) {
                value = nullptr;
                for (uint32_t m = v.child; m; m = nodes[m].next)
                    if (static_cast<uint32_t>(p[i].name_len) == nodes[m].key_len && memcmp(p[i].name, nodes[m].key, nodes[m].key_len) == 0)
                        value = &nodes[m];
                if (!value) return failed("its value '%.*s' is missing", p[i].name_len, p[i].name);
                if (value->kind == Kind::Literal && value->len == 4 && memcmp(value->text, "null", 4) == 0) return;
                --members;
            }
            const char* arg = argument(*value, p[i]);
            if (!arg) return;
            argv[i] = const_cast<char*>(arg);
        }
        if (members > 0) return failed("has values that it does not take");
        // A record that carries its own index (a preset position) names the entry it is under.
        if (s.set_keys < s.keys && atoi(argv[0]) != idx) return failed("its first number must be the entry's own (%d)", idx);
        if (!prepare(call, *s.set, n, argv)) return failed("%s", call.error);
        const Outcome o = run_call(call, s.set->name, how_);
        if (o.status == kTimedOut) aborted = true, failed("%s", o.why);
        else if (o.status != kOk) failed("%s answered with its failure value (%lld)", s.set->name, call.result);
        else if (report) ++report->applied;
    }

    const Run& how_;
    char path_[256];
    size_t path_len_[6] = {};
    int depth_ = 0;
    char args_[8192];
    size_t args_used_ = 0;
};

}  // namespace

int load_settings(int argc, char** argv, const Run& run) {
    if (argc != 1) return fputs("apictl: load: expects one FILE (- for standard input)\n", stderr), kUsage;
    FILE* in = strcmp(argv[0], "-") == 0 ? stdin : fopen(argv[0], "rb");
    if (!in) return fprintf(stderr, "apictl: load: cannot read %s: %m\n", argv[0]), kUsage;
    const size_t n = fread(document, 1, sizeof document, in);
    const bool unread = ferror(in);
    if (in != stdin) fclose(in);
    if (unread) return fprintf(stderr, "apictl: load: cannot read %s\n", argv[0]), kUsage;
    if (n > kMaxDocument) return fprintf(stderr, "apictl: load: %s: larger than 1 MiB\n", argv[0]), kUsage;
    Reader reader(document, n);
    const uint32_t root = reader.read();
    if (!root || nodes[root].kind != Kind::Object) {
        if (root) fprintf(stderr, "apictl: load: %s: not a settings document: expects an object of families\n", argv[0]);
        else fprintf(stderr, "apictl: load: %s: not a settings document: %s at byte %zu\n", argv[0], reader.error(), reader.error_at());
        return kUsage;
    }
    if (const int status = no_daemon("load")) return status;
    find_settings();
    Run how = run;
    how.trace_aside = true;
    Loader loader(how);
    loader.load(nodes[root]);
    return loader.aborted ? kTimedOut : loader.failures ? kFailed : kOk;
}

}  // namespace apictl

// ---- for other readers of JSON ----

namespace apictl {

bool dump_withholds_secrets = false;

// Passwords ("pass", "pwd" in any case) and the wireless keys.
bool is_secret(const Entry& e, const Param& p) {
    char name[32];
    snprintf(name, sizeof name, "%.*s", p.name_len, p.name);
    for (char* c = name; *c; ++c) *c = static_cast<char>(*c | 0x20);
    if (strstr(name, "pass") || strstr(name, "pwd")) return true;
    return strcmp(name, "key") == 0 && talks_to_daemon(e);
}

uint32_t json_read(char* text, size_t n, const char** error, size_t* at) {
    Reader reader(text, n);
    const uint32_t root = reader.read();
    if (!root) *error = reader.error(), *at = reader.error_at();
    return root;
}

const JsonNode& json_node(uint32_t index) { return nodes[index < kMaxNodes ? index : 0]; }

int load_document(const JsonNode& root, const Run& run, LoadReport& report) {
    if (const int status = no_daemon("load")) return status;
    find_settings();
    Loader loader(run);
    loader.report = &report;
    loader.load(root);
    return loader.aborted ? kTimedOut : loader.failures ? kFailed : kOk;
}

}  // namespace apictl
