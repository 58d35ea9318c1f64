// apictl: lists and calls every exported operation of libapi_arch from the
// command line (see apictl_usage.def for the commands and the exit statuses).
// It needs nothing but the library and the C library: no C++ runtime, so that
// it runs on the camera as it does on a desk.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // strcasestr
#endif
#include <errno.h>
#include <fnmatch.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "catalog.h"
#include "dump.h"
#include "run.h"
#include "sim_client.h"

#ifndef APICTL_VERSION
#define APICTL_VERSION "unknown"
#endif

namespace apictl {
namespace {

// ---- help, from the one list of options and texts ----

struct UsageLine {
    char kind;  // N name, S synopsis, O option, C command, X section
    const char* a;
    const char* b;
    const char* c;
};
const UsageLine kUsageLines[] = {
#define USAGE_NAME(tool, summary) {'N', tool, summary, nullptr},
#define USAGE_SYNOPSIS(line) {'S', line, nullptr, nullptr},
#define USAGE_OPTION(option, argument, text) {'O', option, argument, text},
#define USAGE_COMMAND(synopsis, text) {'C', synopsis, text, nullptr},
#define USAGE_SECTION(title, text) {'X', title, text, nullptr},
#include "apictl_usage.def"
};

// Prints text from `column` on, wrapped at 79 columns, later lines indented;
// "\n" breaks a line.
void wrap(FILE* out, const char* text, int indent, int column) {
    for (const char* p = text; *p;) {
        if (*p == '\n') {
            fprintf(out, "\n%*s", indent, "");
            column = indent, ++p;
            continue;
        }
        const int word = static_cast<int>(strcspn(p, " \n"));
        if (column > indent && column + 1 + word > 79) fprintf(out, "\n%*s", indent, ""), column = indent;
        else if (column > indent) putc(' ', out), ++column;
        fwrite(p, 1, static_cast<size_t>(word), out);
        column += word, p += word;
        while (*p == ' ') ++p;
    }
    putc('\n', out);
}

void print_synopsis(FILE* out) {
    bool first = true;
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'S') fprintf(out, "%s%s\n", first ? "usage: " : "       ", u.a), first = false;
}

void help(FILE* out) {
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'N') fprintf(out, "%s - %s\n\n", u.a, u.b);
    print_synopsis(out);
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'X' && strcmp(u.a, "DESCRIPTION") == 0) putc('\n', out), wrap(out, u.b, 0, 0);
    fputs("\nOptions:\n", out);
    for (const UsageLine& u : kUsageLines) {
        if (u.kind != 'O') continue;
        const int n = fprintf(out, "  %s%s%s", u.a, *u.b ? " " : "", u.b);
        if (n < 22) fprintf(out, "%*s", 22 - n, ""), wrap(out, u.c, 22, 22);
        else fprintf(out, "\n%22s", ""), wrap(out, u.c, 22, 22);
    }
    fputs("\nCommands:\n", out);
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'C') fprintf(out, "  %s\n%6s", u.a, ""), wrap(out, u.b, 6, 6);
    for (const UsageLine& u : kUsageLines)
        if (u.kind == 'X' && strcmp(u.a, "DESCRIPTION") != 0) fprintf(out, "\n%s:\n  ", u.a), wrap(out, u.b, 2, 2);
}

int usage_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int usage_error(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    fputs("apictl: ", stderr);
    vfprintf(stderr, fmt, args);
    putc('\n', stderr);
    va_end(args);
    return kUsage;
}

// ---- list ----

void print_signature(FILE* out, const Entry& e) {
    if (const char* decl = datum_decl(e)) fprintf(out, "data %s", decl);
    else fprintf(out, "%s %s%s", return_type(e), e.name, params_text(e));
}

void print_param_name(FILE* out, const Param* params, int count, int i) {
    if (i >= 0 && i < count) fprintf(out, "%.*s", params[i].name_len, params[i].name);
    else fputs(i == op_facts::kRecordByValue ? "the record" : "a constant", out);
}

void print_facts(FILE* out, const Entry& e, const Param* params, int count) {
    using op_facts::Rep;
    const op_facts::Facts& f = *e.facts;
    fprintf(out, "command %d; request %s", f.command, op_facts::req_name(f.req));
    if (f.format) fprintf(out, " \"%s\"", f.format);
    for (int a = 0; a < f.req_args; ++a) {
        fputs(a ? ", " : " (", out);
        if (f.req_param[a] == op_facts::kRecordByValue && count == 1) print_param_name(out, params, count, 0);
        else print_param_name(out, params, count, f.req_param[a]);
        if (a + 1 == f.req_args) putc(')', out);
    }
    if (f.record_size) fprintf(out, " of %u bytes", f.record_size);
    fprintf(out, "; reply %s", op_facts::rep_name(f.rep));
    if (f.rep == Rep::Text || f.rep == Rep::Block) fprintf(out, " of %u bytes", f.reply_size);
    if (f.rep == Rep::Ack || f.rep == Rep::Text || f.rep == Rep::Block) fprintf(out, ", %d when answered", f.ok);
    fprintf(out, "; failure %d", f.failure);
}

void print_entry_json(FILE* out, const Entry& e) {
    fputs("{\"name\":", out);
    json_string(out, e.name);
    fputs(",\"signature\":\"", out);
    print_signature(out, e);
    putc('"', out);
    if (const char* decl = datum_decl(e)) {
        fputs(",\"data\":", out);
        json_string(out, decl);
        fputs("}", out);
        return;
    }
    fprintf(out, ",\"returns\":\"%s\",\"params\":[", return_type(e));
    Param params[kMaxParams];
    const int count = params_of(e, params);
    for (int i = 0; i < count; ++i) {
        const Param& p = params[i];
        fprintf(out, "%s{\"name\":\"%.*s\",\"type\":\"%s\",\"dir\":\"%s\"", i ? "," : "", p.name_len, p.name,
                ctype_name(p.type), p.dir == 'i' ? "in" : p.dir == 'o' ? "out" : "in-out");
        if (p.shape == Shape::Text) fprintf(out, ",\"text\":true");
        if (p.size) fprintf(out, ",\"size\":%u", p.size);
        if (p.shape == Shape::Value || p.shape == Shape::Numbers || p.shape == Shape::Counted)
            fprintf(out, ",\"min\":%lld,\"max\":%lld", p.min, p.max);
        if (p.shape == Shape::Counted) fprintf(out, ",\"records_counted_by\":\"%.*s\"", params[i - 1].name_len, params[i - 1].name);
        if (p.shape == Shape::Hex) fputs(",\"hex\":true", out);
        if (p.shape == Shape::Binary) fputs(",\"length_is_result\":true", out);
        if (p.forbid) fprintf(out, ",\"forbidden\":\"%.*s\"", static_cast<int>(strcspn(p.forbid, " ")), p.forbid);
        putc('}', out);
    }
    putc(']', out);
    const Fail fail = fail_of(e);
    if (fail == Fail::Equal) fprintf(out, ",\"failure\":%d", failure_of(e));
    else if (fail == Fail::NotOne) fputs(",\"success\":1", out);
    if (e.facts) {
        const op_facts::Facts& f = *e.facts;
        fprintf(out, ",\"daemon\":{\"command\":%d,\"request\":\"%s\",\"request_args\":[", f.command, op_facts::req_name(f.req));
        for (int a = 0; a < f.req_args; ++a) {
            fputs(a ? "," : "", out);
            putc('"', out);
            print_param_name(out, params, count, f.req_param[a] == op_facts::kRecordByValue && count == 1 ? 0 : f.req_param[a]);
            putc('"', out);
        }
        putc(']', out);
        if (f.format) fputs(",\"format\":", out), json_string(out, f.format);
        if (f.record_size) fprintf(out, ",\"record_size\":%u", f.record_size);
        fprintf(out, ",\"reply\":\"%s\"", op_facts::rep_name(f.rep));
        if (f.reply_size) fprintf(out, ",\"reply_size\":%u", f.reply_size);
        fprintf(out, ",\"ok\":%d,\"failure\":%d}", f.ok, f.failure);
    } else if (talks_to_daemon(e)) {
        fprintf(out, ",\"daemon\":{\"command\":%d,\"hand_written\":", command_of(e));
        json_string(out, note_of(e));
        putc('}', out);
    } else {
        fputs(",\"daemon\":null,\"local\":", out);
        json_string(out, note_of(e));
    }
    putc('}', out);
}

int list(int argc, char** argv, bool json) {
    bool verbose = false;
    const char* pattern = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-v") == 0) verbose = true;
        else if (strcmp(argv[i], "--json") == 0) json = true;
        else if (!pattern) pattern = argv[i];
        else return usage_error("list: one pattern at most");
    }
    bool first = true;
    if (json) fputs("[", stdout);
    for (size_t k = 0; k < entry_count(); ++k) {
        const Entry& e = entry_at(k);
        if (pattern && (strpbrk(pattern, "*?[") ? fnmatch(pattern, e.name, 0) != 0 : !strcasestr(e.name, pattern)))
            continue;
        if (json) {
            fputs(first ? "\n" : ",\n", stdout);
            print_entry_json(stdout, e);
            first = false;
            continue;
        }
        print_signature(stdout, e);
        putc('\n', stdout);
        if (!verbose) continue;
        fputs("    ", stdout);
        if (e.facts) {
            Param params[kMaxParams];
            print_facts(stdout, e, params, params_of(e, params));
        } else if (e.hand) {
            if (talks_to_daemon(e)) printf("command %d, hand-written: %s", command_of(e), note_of(e));
            else printf("local: %s", note_of(e));
        } else {
            fputs("exported data: printed when called by name", stdout);
        }
        putc('\n', stdout);
    }
    if (json) fputs("\n]\n", stdout);
    return kOk;
}

// ---- calls ----

// Runs a prepared call and prints its outcome; the exit status.
int run_and_print(Call& c, const char* name, const Run& how, bool json) {
    const Outcome o = run_call(c, name, how);
    if (o.status == kTimedOut) {
        fprintf(stderr, "apictl: %s\n", o.why);
        if (json) print_no_answer_json(stdout, name, &c, o);
    } else {
        print_call(c, stdout, json);
    }
    return o.status;
}

// ---- secrets: read from standard input or a file, never from the command
// line (every user may read /proc/PID/cmdline) ----

// A text that the operation reads and that is a password or a key.
bool is_secret(const Param& p) {
    if (p.dir != 'i' || p.shape != Shape::Text) return false;
    static const char* const kWords[] = {"pass", "pwd", "key"};
    for (const char* word : kWords)
        for (int at = 0; at + static_cast<int>(strlen(word)) <= p.name_len; ++at)
            if (strncasecmp(p.name + at, word, strlen(word)) == 0) return true;
    return false;
}

// "@-": the first line of standard input; "@FILE": the first line of FILE;
// "@@TEXT": the text "@TEXT". The line's end is not part of it.
bool read_secret(const char* arg, char* out, size_t room, char* why, size_t why_room) {
    static bool stdin_used = false;
    const char* source = arg + 1;
    const bool from_stdin = strcmp(source, "-") == 0;
    if (from_stdin && stdin_used) return snprintf(why, why_room, "standard input is read for one argument only"), false;
    stdin_used |= from_stdin;
    FILE* in = from_stdin ? stdin : fopen(source, "rb");
    if (!in) return snprintf(why, why_room, "cannot read %s: %s", source, strerror(errno)), false;
    size_t n = 0;
    int ch;
    while ((ch = getc(in)) != EOF && ch != '\n' && ch != 0 && n + 1 < room) out[n++] = static_cast<char>(ch);
    const bool failed = ferror(in);
    if (in != stdin) fclose(in);
    if (failed) return snprintf(why, why_room, "cannot read %s", from_stdin ? "standard input" : source), false;
    if (ch == 0) return snprintf(why, why_room, "%s holds a NUL byte", from_stdin ? "standard input" : source), false;
    if (ch != EOF && ch != '\n') return snprintf(why, why_room, "the line of %s is longer than %zu bytes",
                                                  from_stdin ? "standard input" : source, room - 1), false;
    if (n > 0 && out[n - 1] == '\r') --n;
    out[n] = 0;
    return true;
}

// Replaces the secret arguments given as @- or @FILE by what they name.
bool take_secrets(const Entry& e, int argc, char** argv, char* why, size_t why_room) {
    static char secrets[kMaxParams][4096];
    Param params[kMaxParams];
    const int count = params_of(e, params);
    for (int i = 0; i < count && i < argc; ++i) {
        if (!is_secret(params[i]) || argv[i][0] != '@') continue;
        if (argv[i][1] == '@') {
            ++argv[i];
            continue;
        }
        char reason[300];
        if (!read_secret(argv[i], secrets[i], sizeof secrets[i], reason, sizeof reason))
            return snprintf(why, why_room, "%s: argument %d (%.*s): %s", e.name, i + 1, params[i].name_len,
                            params[i].name, reason),
                   false;
        argv[i] = secrets[i];
    }
    return true;
}

int call_operation(const char* name, int argc, char** argv, bool json, Run how) {
    char why[320];
    const Entry* e = find_entry(name, why, sizeof why);
    if (!e) return usage_error("%s", why);
    if (!take_secrets(*e, argc, argv, why, sizeof why)) return usage_error("%s", why);
    static Call c;
    if (!prepare(c, *e, argc, argv)) return usage_error("%s", c.error);
    // The operation's own printing (trace lines) comes before the result;
    // with --json it goes to standard error.
    how.trace_aside = json;
    return run_and_print(c, e->name, how, json);
}

// The snapshot operation, its picture written to a file.
int snapshot(int argc, char** argv, bool json, Run how) {
    char* channel = const_cast<char*>("0");
    long channel_number = 0;
    const char* file = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
            channel = argv[++i];
            char* end;
            channel_number = strtol(channel, &end, 0);
            if (!*channel || *end || channel_number < 0 || channel_number > 255)
                return usage_error("snapshot: -c takes a channel from 0 to 255, not '%s'", channel);
        } else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            file = argv[++i];
        } else {
            return usage_error("snapshot: unexpected argument '%s'", argv[i]);
        }
    }
    if (!file) return usage_error("snapshot: -o FILE is required");
    char why[200];
    const Entry* e = find_entry("API_Video_SetJPGSnapShot", why, sizeof why);
    static Call c;
    char placeholder[] = "-";
    char* args[] = {channel, placeholder};
    if (!e || !prepare(c, *e, 2, args)) return usage_error("snapshot: %s", e ? c.error : why);
    if (!daemon_present(why, sizeof why)) {
        Outcome o;
        o.status = kTimedOut;
        snprintf(o.why, sizeof o.why, "snapshot: %s", why);
        fprintf(stderr, "apictl: %s\n", o.why);
        if (json) print_no_answer_json(stdout, "snapshot", nullptr, o);
        return kTimedOut;
    }
    if (!find_state_record()) {
        fprintf(stderr, "apictl: snapshot: %s\n", kNoStateRecord);
        return kFailed;
    }
    // The operation's trace line goes to standard error: standard output may be the picture.
    how.trace_aside = true;
    const Outcome o = run_call(c, "snapshot", how);
    if (o.status == kTimedOut) {
        fprintf(stderr, "apictl: %s\n", o.why);
        if (json) print_no_answer_json(stdout, "snapshot", &c, o);
        return kTimedOut;
    }
    const long n = c.result;
    if (o.status != kOk || n <= 0) {
        fprintf(stderr, "apictl: snapshot: the daemon gave no picture\n");
        return kFailed;
    }
    FILE* f = strcmp(file, "-") == 0 ? stdout : fopen(file, "wb");
    if (!f || fwrite(c.args[1].p, 1, static_cast<size_t>(n), f) != static_cast<size_t>(n) ||
        (f != stdout && fclose(f) != 0)) {
        fprintf(stderr, "apictl: snapshot: cannot write %s: %s\n", file, strerror(errno));
        return kFailed;
    }
    if (f == stdout) {
        fflush(stdout);
    } else if (json) {
        printf("{\"name\":\"snapshot\",\"result\":%ld,\"outputs\":{\"file\":", n);
        json_string(stdout, file);
        fputs("}}\n", stdout);
    } else {
        printf("snapshot of channel %ld: %ld bytes written to %s\n", channel_number, n, file);
    }
    return kOk;
}

}  // namespace
}  // namespace apictl

int main(int argc, char** argv) {
    using namespace apictl;
    bool json = false;
    Run how;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const char* a = argv[i];
        if (strcmp(a, "--json") == 0) {
            json = true;
        } else if (strcmp(a, "--timeout") == 0 || strncmp(a, "--timeout=", 10) == 0) {
            const char* value = a[9] == '=' ? a + 10 : i + 1 < argc ? argv[++i] : "";
            if (!parse_timeout(value, how.seconds))
                return usage_error("bad --timeout '%s': seconds from 0 (no limit) to 31536000", value);
            how.seconds_text = value;
        } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            return help(stdout), kOk;
        } else if (strcmp(a, "--version") == 0) {
            return printf("apictl %s\n", APICTL_VERSION), kOk;
        } else {
            return usage_error("unknown option '%s' (see apictl --help)", a);
        }
    }
    if (i == argc) return print_synopsis(stderr), kUsage;
    if (json) set_json_fd(dup(1));
    const char* command = argv[i];
    if (strcmp(command, "list") == 0) return list(argc - i - 1, argv + i + 1, json);
    if (strcmp(command, "snapshot") == 0) return snapshot(argc - i - 1, argv + i + 1, json, how);
    if (strcmp(command, "dump") == 0) return dump_settings(argc - i - 1, argv + i + 1, how);
    if (strcmp(command, "load") == 0) return load_settings(argc - i - 1, argv + i + 1, how);
    if (strcmp(command, "sim") == 0) return apictl_sim_main(argc - i, argv + i, json);
    if (strcmp(command, "monitor") == 0) return apictl_monitor_main(argc - i, argv + i, json);
    if (strcmp(command, "outbox") == 0) return apictl_outbox_main(argc - i, argv + i, json);
    return call_operation(command, argc - i - 1, argv + i + 1, json, how);
}
