// The JSON-RPC 2.0 dispatcher: a request or a batch read with apictl's JSON
// reader, each call checked (form, authentication, access table), its
// parameters turned into the argument strings of apictl's call path, called
// under the timer, and answered with the result and the outputs (secrets
// null).
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // strcasestr
#endif
#include <fcntl.h>
#include <fnmatch.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "gateway.h"
#include "sim_client.h"

namespace apiweb {
namespace {

using apictl::JsonKind;
using apictl::JsonNode;
using apictl::json_node;
using apictl::json_string;

constexpr int kMaxBatch = 256;
constexpr size_t kMaxArgument = 4096;  // longer than any text an operation takes

enum Code {
    kParseError = -32700, kInvalidRequest = -32600, kMethodNotFound = -32601, kInvalidParams = -32602,
    kInternal = -32603, kNotAuthenticated = -32001, kNotAllowed = -32002, kNoAnswer = -32003, kOutboxFull = -32004,
    kTooManyLogins = -32005, kOperationFailed = -32010,
};

apictl::Run how;
apictl::Call call;

const JsonNode* member(const JsonNode& object, const char* name) {
    if (object.kind != JsonKind::Object) return nullptr;
    const size_t n = strlen(name);
    for (uint32_t m = object.child; m; m = json_node(m).next)
        if (json_node(m).key_len == n && memcmp(json_node(m).key, name, n) == 0) return &json_node(m);
    return nullptr;
}

bool is_literal(const JsonNode* v, const char* word) {
    return v && v->kind == JsonKind::Literal && v->len == strlen(word) && memcmp(v->text, word, v->len) == 0;
}

// A string member as a C text (strings are decoded in place; a copy ends it).
bool text_of(const JsonNode* v, char* out, size_t room) {
    if (!v || v->kind != JsonKind::String || v->len >= room || memchr(v->text, 0, v->len)) return false;
    memcpy(out, v->text, v->len);
    out[v->len] = 0;
    return true;
}

// One answer of a batch or a single call.
class Answer {
public:
    Answer(FILE* out, const JsonNode* id, Exchange& x) : out_(out), id_(id), x_(x) {}

    // {"jsonrpc":"2.0","result":   ... then done().
    void begin_result() { fputs("{\"jsonrpc\":\"2.0\",\"result\":", out_); }
    void done() {
        fputs(",\"id\":", out_);
        write_id();
        putc('}', out_);
    }
    // An error; `data` is raw JSON or null.
    void error(int code, const char* message, const char* data = nullptr) {
        if (code == kNotAuthenticated && x_.status == 200) x_.status = 401;
        if (code == kTooManyLogins) x_.status = 429;
        fprintf(out_, "{\"jsonrpc\":\"2.0\",\"error\":{\"code\":%d,\"message\":", code);
        json_string(out_, message);
        if (data) fprintf(out_, ",\"data\":%s", data);
        fputs("},\"id\":", out_);
        write_id();
        putc('}', out_);
    }
    __attribute__((format(printf, 3, 4))) void errorf(int code, const char* fmt, ...) {
        char message[400];
        va_list args;
        va_start(args, fmt);
        vsnprintf(message, sizeof message, fmt, args);
        va_end(args);
        error(code, message);
    }
    // -32602 naming the parameter and its limit.
    void bad_param(const char* param, int param_len, const char* limit) {
        char* data = nullptr;
        size_t size = 0;
        FILE* d = open_memstream(&data, &size);
        if (d) {
            fputs("{\"param\":", d);
            json_string(d, param, static_cast<size_t>(param_len));
            fputs(",\"limit\":", d);
            json_string(d, limit);
            putc('}', d);
            fclose(d);
        }
        char message[480];
        snprintf(message, sizeof message, "invalid params: %.*s: %s", param_len, param, limit);
        error(kInvalidParams, message, data);
        free(data);
    }
    FILE* out() { return out_; }

private:
    void write_id() {
        if (id_ && id_->kind == JsonKind::Number) fwrite(id_->text, 1, id_->len, out_);
        else if (id_ && id_->kind == JsonKind::String) json_string(out_, id_->text, id_->len);
        else fputs("null", out_);
    }
    FILE* out_;
    const JsonNode* id_;
    Exchange& x_;
};

// ---- operations ----

// The argument string of one JSON value for parameter p: numbers for
// integers, strings for texts and hexadecimal records, arrays of numbers
// for arrays and records.
bool argument_of(const apictl::Param& p, const JsonNode& v, char* out, size_t room, const char*& limit) {
    const bool list = p.shape == apictl::Shape::Numbers || p.shape == apictl::Shape::Counted ||
                      (p.shape == apictl::Shape::Value && p.type == apictl::CType::Position);
    if (p.shape == apictl::Shape::Text || p.shape == apictl::Shape::Hex) {
        if (v.kind != JsonKind::String) return limit = "expects a string", false;
        if (!text_of(&v, out, room)) return limit = "too long, or holds a NUL character", false;
        return true;
    }
    if (!list || v.kind == JsonKind::Number) {
        if (v.kind != JsonKind::Number) return limit = list ? "expects an array of integers" : "expects an integer", false;
        if (v.len >= room) return limit = "too long", false;
        memcpy(out, v.text, v.len);
        out[v.len] = 0;
        return true;
    }
    if (v.kind != JsonKind::Array) return limit = "expects an array of integers", false;
    size_t n = 0;
    for (uint32_t e = v.child; e; e = json_node(e).next) {
        const JsonNode& item = json_node(e);
        if (item.kind != JsonKind::Number) return limit = "expects an array of integers", false;
        if (n + item.len + 2 >= room) return limit = "too long", false;
        if (n) out[n++] = ',';
        memcpy(out + n, item.text, item.len);
        n += item.len;
    }
    out[n] = 0;
    if (!n) strcpy(out, p.shape == apictl::Shape::Counted ? "" : "-");  // an empty list: counted by the checks
    return true;
}

// The parameter and limit of a refusal from the call path:
// "NAME: argument N (PARAM): LIMIT".
void refuse(Answer& a, const apictl::Call& c) {
    const char* open = strstr(c.error, ": argument ");
    const char* name = open ? strchr(open, '(') : nullptr;
    const char* close = name ? strstr(name, "): ") : nullptr;
    if (close) return a.bad_param(name + 1, static_cast<int>(close - name - 1), close + 3);
    a.error(kInvalidParams, c.error);
}

// The operations that set an account's password: the password stored is a
// crypt hash of the one given.
int password_param(const apictl::Entry& e) {
    if (strcmp(e.name, "API_USER_SetAddUser") == 0 || strcmp(e.name, "API_USER_Modify") == 0) return e.name[9] == 'S' ? 2 : 3;
    if (strcmp(e.name, "API_USER_SetChangePassword") == 0) return 1;
    return -1;
}

void write_result(Answer& a, const apictl::Call& c) {
    FILE* out = a.out();
    bool secret = false;
    for (int i = 0; i < c.param_count; ++i) secret |= apictl::is_secret(*c.entry, c.params[i]);
    a.begin_result();
    fputs("{\"result\":", out);
    if (secret && c.kind == apictl::Call::Text) fputs("null", out);
    else apictl::print_result(out, c, true);
    fputs(",\"outputs\":{", out);
    bool first = true;
    for (int i = 0; i < c.param_count; ++i) {
        const apictl::Param& p = c.params[i];
        if (p.dir == 'i') continue;
        fprintf(out, "%s\"%.*s\":", first ? "" : ",", p.name_len, p.name);
        if (apictl::is_secret(*c.entry, p)) fputs("null", out);
        else apictl::print_output(out, c, i, true);
        first = false;
    }
    fputs("}}", out);
    a.done();
}

void call_operation(Answer& a, const apictl::Entry& e, const JsonNode* params) {
    apictl::Param p[apictl::kMaxParams];
    const int n = apictl::params_of(e, p);
    static char args[apictl::kMaxParams][kMaxArgument];
    char* argv[apictl::kMaxParams];
    int inputs = 0;
    for (int i = 0; i < n; ++i) inputs += p[i].dir != 'o';
    const bool by_position = params && params->kind == JsonKind::Array;
    if (params && !by_position && params->kind != JsonKind::Object) return a.error(kInvalidParams, "params must be an object or an array");
    if (by_position) {
        int given = 0;
        for (uint32_t m = params->child; m; m = json_node(m).next) ++given;
        if (given != inputs) return a.errorf(kInvalidParams, "%s takes %d parameters by position (its inputs in C order), got %d", e.name, inputs, given);
    } else if (params) {  // names the operation does not have
        for (uint32_t m = params->child; m; m = json_node(m).next) {
            const JsonNode& given = json_node(m);
            bool known = false;
            for (int i = 0; i < n; ++i) known |= p[i].name_len == static_cast<int>(given.key_len) && memcmp(p[i].name, given.key, given.key_len) == 0;
            if (!known) return a.bad_param(given.key, static_cast<int>(given.key_len < 64 ? given.key_len : 64), "no such parameter");
        }
    }
    uint32_t next = by_position ? params->child : 0;
    for (int i = 0; i < n; ++i) {
        argv[i] = args[i];
        if (p[i].dir == 'o') {
            strcpy(args[i], "-");
            continue;
        }
        const JsonNode* v = nullptr;
        if (by_position) v = &json_node(next), next = v->next;
        else if (params) {
            char name[32];
            snprintf(name, sizeof name, "%.*s", p[i].name_len, p[i].name);
            v = member(*params, name);
        }
        if (!v) return a.bad_param(p[i].name, p[i].name_len, "required");
        const char* limit = "";
        if (!argument_of(p[i], *v, args[i], kMaxArgument, limit)) return a.bad_param(p[i].name, p[i].name_len, limit);
    }
    const int pw = password_param(e);
    if (pw >= 0) {
        if (!args[pw][0]) return a.bad_param(p[pw].name, p[pw].name_len, "an empty password never logs in");
        if (strlen(args[pw]) > 1024) return a.bad_param(p[pw].name, p[pw].name_len, "at most 1024 bytes");
        // Checked as given first (its separators), then stored as a hash.
        if (!apictl::prepare(call, e, n, argv)) return refuse(a, call);
        const char* why = "";
        if (!hash_password(args[pw], args[pw], kMaxArgument, &why)) return a.error(kInternal, why);
    }
    if (!apictl::prepare(call, e, n, argv)) return refuse(a, call);
    const apictl::Outcome o = apictl::run_call(call, e.name, how);
    if (pw >= 0) memset(args[pw], 0, kMaxArgument);
    if (o.status == apictl::kTimedOut) return a.error(kNoAnswer, o.why);
    if (o.status == apictl::kFailed) {
        char data[40];
        snprintf(data, sizeof data, "{\"result\":%lld}", call.result);
        char message[120];
        snprintf(message, sizeof message, "%s returned its failure value", e.name);
        return a.error(kOperationFailed, message, data);
    }
    write_result(a, call);
}

// ---- the gateway's own methods ----

// What a command writes on standard output (dump, outbox), from a scratch
// file put in its place while it runs.
struct Capture {
    FILE* file = tmpfile();
    int saved = -1;
    Capture() {
        fflush(stdout);
        if (file && (saved = dup(1)) >= 0) dup2(fileno(file), 1);
    }
    // Puts standard output back and copies what was written into out.
    void finish(FILE* out) {
        fflush(stdout);
        if (saved >= 0) dup2(saved, 1), close(saved), saved = -1;
        if (!file) return;
        rewind(file);
        char buffer[8192];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
            while (n && (buffer[n - 1] == '\n')) --n;  // the last line's end
            fwrite(buffer, 1, n, out);
        }
        fclose(file);
        file = nullptr;
    }
    ~Capture() {
        if (saved >= 0) fflush(stdout), dup2(saved, 1), close(saved);
        if (file) fclose(file);
    }
};

// The family of the inner credentials is an administrator's, as their gets are.
bool family_allowed(const char* family, Role role) { return role >= least_role("API_Get_Inner_User") || strcmp(family, "users") != 0; }

void dump(Answer& a, const Exchange& x, const JsonNode* params) {
    char families[20][16];
    char* argv[20];
    int argc = 0;
    const JsonNode* list = params ? member(*params, "families") : nullptr;
    if (params && params->kind != JsonKind::Object) return a.error(kInvalidParams, "params must be an object");
    if (list && list->kind != JsonKind::Array) return a.bad_param("families", 8, "expects an array of family names");
    for (uint32_t f = list ? list->child : 0; f; f = json_node(f).next) {
        if (argc == 20 || !text_of(&json_node(f), families[argc], sizeof families[argc]))
            return a.bad_param("families", 8, "video, network, wlan, ppp, 3g, ddns, time, users, mail, ftp, system, labels, motion, io, ptz, recording, sd");
        if (!family_allowed(families[argc], x.who.role))
            return a.errorf(kNotAllowed, "not allowed: the family %s needs the role admin", families[argc]);
        argv[argc] = families[argc];
        ++argc;
    }
    // Every family the caller's role may read.
    static const char* const kAll[] = {"video", "network", "wlan", "ppp", "3g", "ddns", "time", "users", "mail",
                                       "ftp", "system", "labels", "motion", "io", "ptz", "recording", "sd"};
    if (!argc && !family_allowed("users", x.who.role))
        for (const char* f : kAll)
            if (family_allowed(f, x.who.role)) argv[argc++] = const_cast<char*>(f);
    apictl::dump_withholds_secrets = true;
    char* doc = nullptr;
    size_t size = 0;
    FILE* held = open_memstream(&doc, &size);
    if (!held) return a.error(kInternal, "no memory");
    Capture capture;
    const int status = apictl::dump_settings(argc, argv, how);
    capture.finish(held);
    fclose(held);
    if (status == apictl::kUsage)
        a.bad_param("families", 8, "video, network, wlan, ppp, 3g, ddns, time, users, mail, ftp, system, labels, motion, io, ptz, recording, sd");
    else if (status == apictl::kTimedOut || !size) a.error(kNoAnswer, "the control daemon did not answer");
    else a.begin_result(), fwrite(doc, 1, size, a.out()), a.done();
    free(doc);
}

struct Failures {
    FILE* out;
    int count;
};
void note_failure(void* context, const char* path, const char* message) {
    auto* f = static_cast<Failures*>(context);
    fputs(f->count++ ? ",{\"path\":" : "{\"path\":", f->out);
    json_string(f->out, path);
    fputs(",\"error\":", f->out);
    json_string(f->out, message);
    putc('}', f->out);
}

void load(Answer& a, const JsonNode* params) {
    const JsonNode* document = params ? member(*params, "document") : nullptr;
    if (!document || document->kind != JsonKind::Object) return a.bad_param("document", 8, "a settings document: an object of families");
    char* list = nullptr;
    size_t size = 0;
    Failures failures{open_memstream(&list, &size), 0};
    if (!failures.out) return a.error(kInternal, "no memory");
    apictl::LoadReport report{note_failure, &failures, 0};
    const int status = apictl::load_document(*document, how, report);
    fclose(failures.out);
    if (status == apictl::kTimedOut && !report.applied) a.error(kNoAnswer, "the control daemon did not answer");
    else fprintf(a.out(), "{\"jsonrpc\":\"2.0\",\"result\":{\"applied\":%d,\"failed\":[%.*s]}", report.applied, static_cast<int>(size), list), a.done();
    free(list);
}

void outbox(Answer& a) {
    char* text = nullptr;
    size_t size = 0;
    FILE* held = open_memstream(&text, &size);
    if (!held) return a.error(kInternal, "no memory");
    char word[] = "outbox";
    char* argv[] = {word, nullptr};
    Capture capture;
    const int status = apictl_outbox_main(1, argv, true);
    capture.finish(held);
    fclose(held);
    if (status != apictl::kOk || !size) a.error(kNoAnswer, "no apisim control channel (the outbox is the desk camera's)");
    else a.begin_result(), fwrite(text, 1, size, a.out()), a.done();
    free(text);
}

void catalog(Answer& a, const Exchange& x, const JsonNode* params) {
    char pattern[128] = "";
    const JsonNode* given = params ? member(*params, "pattern") : nullptr;
    if (given && !text_of(given, pattern, sizeof pattern)) return a.bad_param("pattern", 7, "a string of at most 127 bytes");
    FILE* out = a.out();
    a.begin_result();
    putc('[', out);
    bool first = true;
    for (size_t k = 0; k < apictl::entry_count(); ++k) {
        const apictl::Entry& e = apictl::entry_at(k);
        const Role least = least_role(e.name);
        if (least == kNobody || least > x.who.role) continue;
        if (*pattern && (strpbrk(pattern, "*?[") ? fnmatch(pattern, e.name, 0) != 0 : !strcasestr(e.name, pattern))) continue;
        fputs(first ? "{\"name\":" : ",{\"name\":", out);
        first = false;
        json_string(out, e.name);
        fprintf(out, ",\"returns\":\"%s\",\"read\":%s,\"role\":\"%s\",\"params\":[", apictl::return_type(e),
                is_read(e.name) ? "true" : "false", role_name(least));
        apictl::Param p[apictl::kMaxParams];
        const int n = e.datum ? 0 : apictl::params_of(e, p);
        for (int i = 0; i < n; ++i) {
            fprintf(out, "%s{\"name\":\"%.*s\",\"type\":\"%s\",\"dir\":\"%s\"", i ? "," : "", p[i].name_len, p[i].name,
                    apictl::ctype_name(p[i].type), p[i].dir == 'i' ? "in" : p[i].dir == 'o' ? "out" : "in-out");
            if (p[i].shape == apictl::Shape::Text) fputs(",\"text\":true", out);
            if (p[i].size) fprintf(out, ",\"size\":%u", p[i].size);
            if (p[i].shape != apictl::Shape::Text && p[i].shape != apictl::Shape::Hex && p[i].shape != apictl::Shape::Binary)
                fprintf(out, ",\"min\":%lld,\"max\":%lld", p[i].min, p[i].max);
            if (apictl::is_secret(e, p[i])) fputs(",\"secret\":true", out);
            putc('}', out);
        }
        fputs("]}", out);
    }
    putc(']', out);
    a.done();
}

void login(Answer& a, Exchange& x, const JsonNode* params) {
    char user[128], password[1025];
    if (!params || params->kind != JsonKind::Object) return a.error(kInvalidParams, "params must be {\"user\": ..., \"password\": ...}");
    if (!text_of(member(*params, "user"), user, sizeof user) || !*user) return a.bad_param("user", 4, "a string of 1 to 127 bytes");
    if (!text_of(member(*params, "password"), password, sizeof password)) return a.bad_param("password", 8, "a string of at most 1024 bytes");
    char why[160];
    Identity who;
    const Login result = check_login(user, password, x.address, who, why, sizeof why);
    memset(password, 0, sizeof password);
    if (result == Login::Limited) return a.error(kTooManyLogins, why);
    if (result == Login::NoAnswer) return a.error(kNoAnswer, why);
    if (result == Login::NoRole) return a.error(kNotAllowed, why);
    if (result != Login::Ok) return a.error(kNotAuthenticated, why);
    long expires = 0;
    if (!session_start(who, expires)) return a.error(kInternal, "the session could not be stored (APIWEB_STATE_DIR)");
    x.who = who, x.authenticated = true;
    snprintf(x.set_cookie, sizeof x.set_cookie, "apiweb_session=%s; Path=/; HttpOnly; SameSite=Strict; Max-Age=%ld%s", who.token,
             session_seconds(), x.https ? "; Secure" : "");
    a.begin_result();
    fprintf(a.out(), "{\"token\":\"%s\",\"expires\":%ld,\"user\":", who.token, expires);
    json_string(a.out(), who.user);
    fprintf(a.out(), ",\"level\":%d,\"role\":\"%s\"}", who.level, role_name(who.role));
    a.done();
}

void whoami(Answer& a, const Exchange& x) {
    a.begin_result();
    fputs("{\"user\":", a.out());
    json_string(a.out(), x.who.user);
    fprintf(a.out(), ",\"level\":%d,\"role\":\"%s\"}", x.who.level, role_name(x.who.role));
    a.done();
}

void logout(Answer& a, Exchange& x) {
    if (x.who.token[0]) session_end(x.who.token);
    snprintf(x.set_cookie, sizeof x.set_cookie, "apiweb_session=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0%s",
             x.https ? "; Secure" : "");
    a.begin_result();
    fputs("true", a.out());
    a.done();
}

// ---- one call ----

// False for a notification (no answer written).
bool one_call(const JsonNode& request, Exchange& x, FILE* out) {
    const JsonNode* id = member(request, "id");
    const bool notification = request.kind == JsonKind::Object && !id;
    if (id && id->kind != JsonKind::Number && id->kind != JsonKind::String && !is_literal(id, "null")) id = nullptr;
    Answer a(out, id, x);
    const JsonNode* version = member(request, "jsonrpc");
    const JsonNode* method_node = member(request, "method");
    const JsonNode* params = member(request, "params");
    char method[128];
    if (request.kind != JsonKind::Object || !version || version->kind != JsonKind::String || version->len != 3 ||
        memcmp(version->text, "2.0", 3) != 0 || !method_node || method_node->kind != JsonKind::String ||
        (params && params->kind != JsonKind::Object && params->kind != JsonKind::Array))
        return a.error(kInvalidRequest, "invalid request: a JSON-RPC 2.0 request object needs \"jsonrpc\": \"2.0\", a method string and params as an object or an array"), true;
    if (!text_of(method_node, method, sizeof method)) return a.error(kMethodNotFound, "method not found"), true;
    char why[320];
    const apictl::Entry* e = strchr(method, '.') ? nullptr : apictl::find_entry(method, why, sizeof why);
    if (e && strcmp(e->name, method) != 0) e = nullptr;  // exact names only
    const bool gateway_method = strcmp(method, "session.login") == 0 || strcmp(method, "session.logout") == 0 ||
                                strcmp(method, "session.whoami") == 0 || strcmp(method, "rpc.catalog") == 0 ||
                                strcmp(method, "settings.dump") == 0 || strcmp(method, "settings.load") == 0 ||
                                strcmp(method, "outbox.list") == 0;
    const Role least = least_role(method);
    if (!e && !gateway_method) {
        if (strchr(method, '.')) a.errorf(kMethodNotFound, "method not found: %.100s", method);
        else a.errorf(kMethodNotFound, "method not found: %s", why);
    } else if (strcmp(method, "session.login") == 0) {
        login(a, x, params);
    } else if (!x.authenticated) {
        a.error(kNotAuthenticated, "not authenticated: log in (session.login), or send HTTP Basic credentials");
    } else if (least == kNobody || x.who.role < least) {
        a.errorf(kNotAllowed, "not allowed: %s needs the role %s; %s is %s", method,
                 least == kNobody ? "that no account has" : role_name(least), x.who.user, role_name(x.who.role));
    } else if (e) call_operation(a, *e, params);
    else if (strcmp(method, "session.logout") == 0) logout(a, x);
    else if (strcmp(method, "session.whoami") == 0) whoami(a, x);
    else if (strcmp(method, "rpc.catalog") == 0) catalog(a, x, params);
    else if (strcmp(method, "settings.dump") == 0) dump(a, x, params);
    else if (strcmp(method, "settings.load") == 0) load(a, params);
    else outbox(a);
    return !notification;
}

// One call answered into out, or nothing for a notification (a malformed
// one is answered all the same, as the protocol asks).
bool answer_one(const JsonNode& request, Exchange& x, FILE* out, char before) {
    char* scratch = nullptr;
    size_t size = 0;
    FILE* held = open_memstream(&scratch, &size);
    if (!held) return false;
    const bool answered = one_call(request, x, held);
    fclose(held);
    if (answered && before) putc(before, out);
    if (answered) fwrite(scratch, 1, size, out);
    free(scratch);
    return answered;
}

}  // namespace

void set_timeout(double seconds, const char* text) { how.seconds = seconds, how.seconds_text = text; }

bool handle_rpc(char* body, size_t n, Exchange& x, FILE* out) {
    how.trace_aside = false;  // standard output is /dev/null already
    const char* error = "";
    size_t at = 0;
    const uint32_t root = apictl::json_read(body, n, &error, &at);
    if (!root) {
        Answer a(out, nullptr, x);
        char message[200];
        snprintf(message, sizeof message, "parse error: %s at byte %zu", error, at);
        a.error(kParseError, message);
        return true;
    }
    const JsonNode& r = json_node(root);
    if (r.kind != JsonKind::Array) return answer_one(r, x, out, 0);
    int calls = 0;
    for (uint32_t c = r.child; c; c = json_node(c).next) ++calls;
    Answer whole(out, nullptr, x);
    if (calls == 0) return whole.error(kInvalidRequest, "invalid request: an empty batch"), true;
    if (calls > kMaxBatch) return whole.errorf(kInvalidRequest, "invalid request: a batch of %d calls; at most %d", calls, kMaxBatch), true;
    bool any = false;
    for (uint32_t c = r.child; c; c = json_node(c).next) {
        if (answer_one(json_node(c), x, out, any ? ',' : '[')) any = true;
    }
    if (any) putc(']', out);
    return any;
}

}  // namespace apiweb
