// The one call path: argument strings checked against what the operation can
// carry, the call, and its outcome as text or JSON.
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "catalog.h"

namespace apictl {
namespace {

// Buffers of one call's pointer parameters. The largest need is the
// snapshot's 102400 bytes; a record list takes 32768.
constexpr size_t kArenaBytes = 128 * 1024;
alignas(8) unsigned char arena[kArenaBytes];
size_t arena_used;

constexpr uint32_t kTextRoom = 4096;     // every text field of the daemon fits (the largest is 2018)
constexpr uint32_t kMessageText = 2018;  // a request's text, its NUL included
constexpr uint32_t kJoinedText = 2016;   // a bounded formatted request's characters

void* room_for(size_t bytes) {
    bytes = (bytes + 7) & ~static_cast<size_t>(7);
    if (bytes > kArenaBytes - arena_used) return nullptr;
    void* p = arena + arena_used;
    arena_used += bytes;
    memset(p, 0, bytes);
    return p;
}

uint32_t text_room(const Param& p) { return p.size > kTextRoom ? p.size : kTextRoom; }

size_t element_size(CType t) { return t == CType::UCharPtr ? 1 : 4; }

class Checker {
public:
    explicit Checker(Call& c) : c_(c) {}

    // The usage message for argument i; always false.
    __attribute__((format(printf, 3, 4))) bool fail(int i, const char* fmt, ...) {
        const Param& p = c_.params[i];
        int n = snprintf(c_.error, sizeof c_.error, "%s: argument %d (%.*s): ", c_.entry->name, i + 1, p.name_len, p.name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof c_.error) n = 0;
        va_list args;
        va_start(args, fmt);
        vsnprintf(c_.error + n, sizeof c_.error - static_cast<size_t>(n), fmt, args);
        va_end(args);
        return false;
    }

    // Decimal, or hexadecimal after "0x"; an optional sign. Magnitudes past
    // 2^32 are out of every range here and are not computed further.
    bool integer(int i, const char* s, size_t len, long long& out) {
        const Param& p = c_.params[i];
        const char* q = s;
        const char* end = s + len;
        const bool neg = q < end && *q == '-';
        if (q < end && (*q == '-' || *q == '+')) ++q;
        int base = 10;
        if (end - q >= 2 && q[0] == '0' && (q[1] == 'x' || q[1] == 'X')) base = 16, q += 2;
        bool big = false, digits = q < end;
        unsigned long long mag = 0;
        for (; q < end; ++q) {
            const int d = digit(*q, base);
            if (d < 0) digits = false;
            else if (mag > (1ULL << 32)) big = true;
            else mag = mag * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        }
        const int shown = len > 40 ? 40 : static_cast<int>(len);
        const char* more = len > 40 ? "..." : "";
        if (!digits) return fail(i, "not an integer: '%.*s%s'", shown, s, more);
        const long long v = neg ? -static_cast<long long>(mag) : static_cast<long long>(mag);
        if (big || v < p.min || v > p.max) {
            if (p.min == -128 && p.max == 255)
                return fail(i, "%.*s%s is out of range: -128 to 255 (the request carries it as one byte)", shown, s, more);
            if (i + 1 < c_.param_count && c_.params[i + 1].shape == Shape::Counted) {
                const Param& list = c_.params[i + 1];
                return fail(i, "%.*s%s is out of range: 0 to %lld (the records %.*s holds)", shown, s, more, p.max,
                            list.name_len, list.name);
            }
            return fail(i, "%.*s%s is out of range: %s takes %lld to %lld", shown, s, more,
                        p.type == CType::UChar || p.type == CType::UCharPtr ? "unsigned char" : "int", p.min, p.max);
        }
        out = v;
        return true;
    }

    // Exactly `want` comma-separated integers into `out` (bytes or ints).
    bool numbers(int i, const char* s, size_t want, void* out, const char* what = "") {
        const Param& p = c_.params[i];
        size_t got = 0;
        if (*s && !(want == 0 && strcmp(s, "-") == 0))
            for (const char* q = s;; ++q) {
                got += *q == ',' || !*q;
                if (!*q) break;
            }
        if (got != want)
            return fail(i, "expects %s%zu comma-separated integers (%lld to %lld), got %zu", what, want, p.min, p.max, got);
        const char* q = s;
        for (size_t k = 0; k < want; ++k) {
            const size_t len = strcspn(q, ",");
            long long v;
            if (!integer(i, q, len, v)) return false;
            if (element_size(p.type) == 1) static_cast<unsigned char*>(out)[k] = static_cast<unsigned char>(v);
            else static_cast<int32_t*>(out)[k] = static_cast<int32_t>(v);
            q += len + 1;
        }
        return true;
    }

    // A text within the daemon's field (or, where none is known, within what
    // one request carries), free of the request's separators.
    bool text(int i, const char* s) {
        const Param& p = c_.params[i];
        const size_t len = strlen(s);
        uint32_t field = p.size;
        const char* whose = "the daemon's field";
        if (talks_to_daemon(*c_.entry) && (field == 0 || field > kMessageText)) field = kMessageText, whose = "a request's text";
        if (field && len >= field)
            return fail(i, "%zu bytes do not fit %s of %u bytes (at most %u and the terminating NUL)", len, whose, field,
                        field - 1);
        for (const char* f = p.forbid; f && *f && *f != ' '; ++f)
            if (strchr(s, *f))
                return fail(i, "may not contain '%c' (the %s uses it as its separator)", *f,
                            *f == ':' ? "credential text" : "request");
        return true;
    }

    bool hex(int i, const char* s, unsigned char* out, size_t& got) {
        const Param& p = c_.params[i];
        const size_t len = strlen(s);
        got = len / 2;
        bool ok = len % 2 == 0 && got <= p.size;
        for (size_t k = 0; ok && k < len; ++k) {
            const int d = digit(s[k], 16);
            ok = d >= 0;
            if (ok) out[k / 2] = static_cast<unsigned char>(out[k / 2] << 4 | d);
        }
        return ok || fail(i, "expects at most %u bytes in hexadecimal", p.size);
    }

private:
    static int digit(char ch, int base) {
        if (ch >= '0' && ch <= '9') return ch - '0';
        const int low = ch | 0x20;
        return base == 16 && low >= 'a' && low <= 'f' ? low - 'a' + 10 : -1;
    }

    Call& c_;
};

bool parse_param(Call& c, Checker& check, int i, char* arg) {
    Param& p = c.params[i];
    Arg& a = c.args[i];
    if (p.dir == 'o') {  // a placeholder ("-" by convention), not read
        const size_t bytes = p.shape == Shape::Text ? text_room(p) : p.size ? p.size : element_size(p.type);
        a.p = room_for(bytes);
        return a.p || check.fail(i, "no room for its buffer");
    }
    switch (p.shape) {
    case Shape::Value:
        if (p.type == CType::Position) {
            int32_t n[3];
            if (!check.numbers(i, arg, 3, n, "count,A,B: ")) return false;
            a.pos.count = n[0], a.pos.A = n[1], a.pos.B = n[2];
            return true;
        }
        return check.integer(i, arg, strlen(arg), a.i);
    case Shape::Text:
        if (!check.text(i, arg)) return false;
        if (p.dir == 'i') return a.p = arg, true;
        a.p = room_for(text_room(p));
        return a.p ? (strcpy(static_cast<char*>(a.p), arg), true) : check.fail(i, "no room for its buffer");
    case Shape::Numbers:
        a.p = room_for(p.size);
        return a.p && check.numbers(i, arg, p.size / element_size(p.type), a.p);
    case Shape::Counted: {
        // Two integers per record; the count, within range, is the argument before.
        const size_t count = static_cast<size_t>(c.args[i - 1].i);
        a.p = room_for(p.size);
        char what[48];
        snprintf(what, sizeof what, "2 x %.*s = ", c.params[i - 1].name_len, c.params[i - 1].name);
        return a.p && check.numbers(i, arg, count * 2, a.p, what);
    }
    case Shape::Hex: {
        auto* bytes = static_cast<unsigned char*>(room_for(p.size));
        size_t got = 0;
        if (!bytes || !check.hex(i, arg, bytes, got)) return false;
        a.p = bytes;
        if (p.type == CType::NetlinkMsg) {
            // The library reads as far as the message's own length says.
            uint32_t len = 0;
            if (got < 16) return check.fail(i, "a netlink message needs its 16-byte header, got %zu bytes", got);
            memcpy(&len, bytes, 4);
            if (len > got)
                return check.fail(i, "its nlmsg_len (%u) is more than the %zu bytes given", len, got);
        }
        return true;
    }
    case Shape::Binary:
        break;
    }
    return check.fail(i, "cannot be given");
}

// The whole request text of a joined request: each text, each number in
// decimal, one separator between them.
bool joined_fits(Call& c, char** argv) {
    size_t total = c.param_count ? static_cast<size_t>(c.param_count - 1) : 0;
    for (int i = 0; i < c.param_count; ++i) {
        char digits[24];
        total += c.params[i].shape == Shape::Text ? strlen(argv[i])
                                                   : static_cast<size_t>(snprintf(digits, sizeof digits, "%lld", c.args[i].i));
    }
    if (total <= kJoinedText) return true;
    snprintf(c.error, sizeof c.error, "%s: the request text would be %zu characters; a request carries at most %u",
             c.entry->name, total, kJoinedText);
    return false;
}

}  // namespace

bool prepare(Call& c, const Entry& e, int argc, char** argv) {
    c.entry = &e;
    c.error[0] = 0;
    c.failed = false;
    c.param_count = params_of(e, c.params);
    arena_used = 0;
    if (argc != c.param_count) {
        snprintf(c.error, sizeof c.error, "%s: expects %d argument%s %s, got %d", e.name, c.param_count,
                 c.param_count == 1 ? "" : "s", e.datum ? "(exported data)" : params_text(e), argc);
        return false;
    }
    if (e.datum) return true;
    c.fn = resolve(e);
    if (!c.fn) {
        snprintf(c.error, sizeof c.error, "%s: not exported by the loaded libapi_arch", e.name);
        return false;
    }
    Checker check(c);
    for (int i = 0; i < c.param_count; ++i)
        if (!parse_param(c, check, i, argv[i])) return false;
    return !joined_request(e) || joined_fits(c, argv);
}

void invoke(Call& c) {
    if (c.entry->datum) {
        c.kind = Call::Data;
        return;
    }
    call_through_signature(c, c.fn);
    if (c.kind == Call::Text) c.failed = !c.text || !*c.text;  // a null or empty text: no answer
    else if (c.kind == Call::Int)
        c.failed = fail_of(*c.entry) == Fail::Equal    ? c.result == failure_of(*c.entry)
                   : fail_of(*c.entry) == Fail::NotOne ? c.result != 1
                                                       : false;
}

// ---- output ----

size_t utf8_length(const unsigned char* s, size_t n) {
    const unsigned char c = s[0];
    size_t len;
    unsigned lo = 0x80, hi = 0xbf;  // the second byte's range
    if (c >= 0xc2 && c <= 0xdf) len = 2;
    else if (c >= 0xe0 && c <= 0xef) len = 3, lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
    else if (c >= 0xf0 && c <= 0xf4) len = 4, lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
    else return 0;
    if (n < len || s[1] < lo || s[1] > hi) return 0;
    for (size_t k = 2; k < len; ++k)
        if ((s[k] & 0xc0) != 0x80) return 0;
    return len;
}

namespace {

void print_list(FILE* out, const void* v, size_t n, CType type, bool json) {
    if (json) putc('[', out);
    for (size_t k = 0; k < n; ++k)
        fprintf(out, "%s%ld", k ? "," : "",
                type == CType::UCharPtr ? static_cast<long>(static_cast<const unsigned char*>(v)[k])
                                        : static_cast<long>(static_cast<const int32_t*>(v)[k]));
    if (json) putc(']', out);
}

void print_text(FILE* out, const char* s, size_t n, bool json) {
    if (json) json_string(out, s, n);
    else fwrite(s, 1, n, out);
}

void print_datum(FILE* out, const Entry& e, bool json) {
    if (strcmp(e.name, "MORIK_SIZE_T") == 0) {
        fputs(json ? "[" : "", out);
        for (int i = 0; i < 10; ++i)
            fprintf(out, json ? "%s[%d,%d]" : "%s%dx%d", i ? (json ? "," : " ") : "", MORIK_SIZE_T[i][0], MORIK_SIZE_T[i][1]);
        fputs(json ? "]" : "", out);
        return;
    }
    fputs(json ? "[" : "", out);
    for (int i = 0; i < 70 && zoneList[i]; ++i) {
        if (json) fputs(i ? "," : "", out), json_string(out, zoneList[i]);
        else fprintf(out, "%s%d %s", i ? "\n" : "", i + 1, zoneList[i]);
    }
    fputs(json ? "]" : "", out);
}

}  // namespace

void print_result(FILE* out, const Call& c, bool json) {
    switch (c.kind) {
    case Call::Int: fprintf(out, "%lld", c.result); break;
    case Call::Text:
        if (c.text) print_text(out, c.text, strlen(c.text), json);
        else fputs(json ? "null" : "(null)", out);
        break;
    case Call::Void: fputs(json ? "null" : "void", out); break;
    case Call::Data: print_datum(out, *c.entry, json); break;
    }
}

void print_output(FILE* out, const Call& c, int i, bool json) {
    const Param& p = c.params[i];
    const void* v = c.args[i].p;
    switch (p.shape) {
    case Shape::Text: {
        const char* t = static_cast<const char*>(v);
        print_text(out, t, strnlen(t, text_room(p)), json);
        break;
    }
    case Shape::Numbers: {
        const size_t n = (p.size ? p.size : element_size(p.type)) / element_size(p.type);
        if (n == 1) fprintf(out, "%ld", p.type == CType::UCharPtr ? static_cast<long>(*static_cast<const unsigned char*>(v))
                                                                  : static_cast<long>(*static_cast<const int32_t*>(v)));
        else print_list(out, v, n, p.type, json);
        break;
    }
    case Shape::Counted: {
        long count = i > 0 && c.params[i - 1].dir == 'o' ? *static_cast<const int32_t*>(c.args[i - 1].p) : 0;
        if (count < 0) count = 0;
        if (count > static_cast<long>(p.size / 8)) count = static_cast<long>(p.size / 8);
        print_list(out, v, static_cast<size_t>(count) * 2, p.type, json);
        break;
    }
    case Shape::Binary:
        fprintf(out, json ? "%lld" : "%lld bytes", c.result > 0 ? c.result : 0);
        break;
    case Shape::Hex: {
        if (json) putc('"', out);
        for (uint32_t k = 0; k < p.size; ++k) fprintf(out, "%02x", static_cast<const unsigned char*>(v)[k]);
        if (json) putc('"', out);
        break;
    }
    case Shape::Value:
        break;
    }
}

void json_string(FILE* out, const char* s, size_t n) {
    const auto* u = reinterpret_cast<const unsigned char*>(s);
    putc('"', out);
    for (size_t i = 0; i < n;) {
        const unsigned char ch = u[i];
        if (ch >= 0x80) {
            const size_t len = utf8_length(u + i, n - i);
            if (len) fwrite(u + i, 1, len, out), i += len;
            else fprintf(out, "\\udc%02x", ch), ++i;
            continue;
        }
        if (ch == '"' || ch == '\\') putc('\\', out), putc(ch, out);
        else if (ch == '\n') fputs("\\n", out);
        else if (ch == '\t') fputs("\\t", out);
        else if (ch < 0x20) fprintf(out, "\\u%04x", ch);
        else putc(ch, out);
        ++i;
    }
    putc('"', out);
}

void print_call(const Call& c, FILE* out, bool json) {
    if (json) {
        fputs("{\"name\":", out);
        json_string(out, c.entry->name);
        fputs(",\"result\":", out);
        print_result(out, c, true);
        fputs(",\"outputs\":{", out);
    } else {
        print_result(out, c, false);
        putc('\n', out);
    }
    bool first = true;
    for (int i = 0; i < c.param_count && !c.failed; ++i) {
        if (c.params[i].dir == 'i') continue;
        if (json) fprintf(out, "%s\"%.*s\":", first ? "" : ",", c.params[i].name_len, c.params[i].name);
        else fprintf(out, "%.*s: ", c.params[i].name_len, c.params[i].name);
        print_output(out, c, i, json);
        if (!json) putc('\n', out);
        first = false;
    }
    if (json) fputs("}}\n", out);
}

}  // namespace apictl
