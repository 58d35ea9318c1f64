// apiweb: one CGI/1.1 program (RFC 3875). The web server hands it the
// request in the environment and the body on standard input; its standard
// output is the HTTP response. The library prints trace lines on standard
// output, so the response goes to a copy of that descriptor and standard
// output itself to /dev/null before anything else runs.
//
//   POST PATH/rpc            JSON-RPC 2.0 (application/json, at most 1 MiB)
//   GET  PATH/snapshot?channel=N   a JPEG
//   GET  PATH/openapi.json   the OpenAPI 3.1 description
//   apiweb --openapi         the description on standard output (the build)
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include "gateway.h"

namespace apiweb {
namespace {

constexpr size_t kMaxBody = 1 << 20;
constexpr int kBodyWaitMs = 10000;  // a client that sends less than it said is not waited for longer
char body[kMaxBody + 1];
FILE* response;  // the real standard output

const char* env(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

const char* reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 503: return "Service Unavailable";
    default: return "Internal Server Error";
    }
}

void send(int status, const char* type, const char* data, size_t n, const char* extra = "") {
    fprintf(response, "Status: %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
                      "X-Content-Type-Options: nosniff\r\n%s\r\n",
            status, reason(status), type, n, extra);
    if (strcmp(env("REQUEST_METHOD"), "HEAD") != 0) fwrite(data, 1, n, response);
    fflush(response);
}

// An answer that is one JSON-RPC error with no id (the HTTP layer refused).
int refuse(int status, int code, const char* message, const char* extra = "") {
    char text[600];
    FILE* out = fmemopen(text, sizeof text, "w");
    if (!out) return 0;
    fprintf(out, "{\"jsonrpc\":\"2.0\",\"error\":{\"code\":%d,\"message\":", code);
    apictl::json_string(out, message);
    fputs("},\"id\":null}\n", out);
    const long n = ftell(out);
    fclose(out);
    send(status, "application/json", text, static_cast<size_t>(n), extra);
    return 0;
}

// Origin present: it must name the host the request came to.
bool origin_ok() {
    const char* origin = getenv("HTTP_ORIGIN");
    if (!origin) return true;
    const char* host = env("HTTP_HOST");
    const char* rest = strstr(origin, "://");
    if (!rest || !*host) return false;
    rest += 3;
    return strcasecmp(rest, host) == 0;
}

bool media_json() {
    const char* type = env("CONTENT_TYPE");
    const size_t n = strlen("application/json");
    return strncasecmp(type, "application/json", n) == 0 && (type[n] == 0 || type[n] == ';' || type[n] == ' ');
}

int from_base64(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// "Basic " and base64 of user:password, decoded into out; false if not so.
bool basic_credentials(const char* header, char* out, size_t room) {
    if (strncasecmp(header, "Basic ", 6) != 0) return false;
    const char* p = header + 6;
    while (*p == ' ') ++p;
    size_t n = 0;
    unsigned bits = 0;
    int have = 0;
    for (; *p && *p != '='; ++p) {
        const int v = from_base64(*p);
        if (v < 0) return false;
        bits = bits << 6 | static_cast<unsigned>(v), have += 6;
        if (have >= 8) {
            if (n + 1 >= room) return false;
            have -= 8;
            out[n++] = static_cast<char>(bits >> have & 0xff);
        }
    }
    out[n] = 0;
    return strlen(out) == n && strchr(out, ':');
}

// The session token from the header X-Apiweb-Session or the cookie.
bool session_token(char* out, size_t room) {
    const char* header = getenv("HTTP_X_APIWEB_SESSION");
    if (header) return snprintf(out, room, "%s", header) < static_cast<int>(room);
    const char* cookies = env("HTTP_COOKIE");
    for (const char* p = cookies; (p = strstr(p, "apiweb_session="));) {
        if (p == cookies || p[-1] == ' ' || p[-1] == ';') {
            p += strlen("apiweb_session=");
            const size_t n = strcspn(p, "; ");
            if (n >= room) return false;
            memcpy(out, p, n), out[n] = 0;
            return true;
        }
        ++p;
    }
    return false;
}

// Who is calling: a session, or HTTP Basic. 0, or the HTTP status that
// ended the request (a wrong Basic login, too many of them).
int authenticate(Exchange& x) {
    char token[128];
    if (session_token(token, sizeof token) && session_find(token, x.who)) return x.authenticated = true, 0;
    const char* header = getenv("HTTP_AUTHORIZATION");
    if (!header) return 0;
    char credentials[1200];
    if (strlen(header) > 1600 || !basic_credentials(header, credentials, sizeof credentials))
        return refuse(401, -32001, "not authenticated: the Authorization header is not HTTP Basic", "WWW-Authenticate: Basic realm=\"apiweb\", charset=\"UTF-8\"\r\n"), 401;
    char* colon = strchr(credentials, ':');
    *colon = 0;
    char why[160];
    const Login result = check_login(credentials, colon + 1, x.address, x.who, why, sizeof why);
    memset(credentials, 0, sizeof credentials);
    if (result == Login::Ok) return x.authenticated = true, 0;
    if (result == Login::Limited) return refuse(429, -32005, why), 429;
    if (result == Login::NoAnswer) return refuse(503, -32003, why), 503;
    return refuse(401, -32001, why, "WWW-Authenticate: Basic realm=\"apiweb\", charset=\"UTF-8\"\r\n"), 401;
}

// Exactly CONTENT_LENGTH bytes, waiting at most kBodyWaitMs in all.
int read_body(size_t& n) {
    const char* length = getenv("CONTENT_LENGTH");
    if (!length || !*length) return refuse(411, -32600, "a body needs its CONTENT_LENGTH"), 411;
    char* end;
    errno = 0;
    const unsigned long long want = strtoull(length, &end, 10);
    if (*end || errno || length[0] == '-' || length[0] == '+') return refuse(400, -32600, "CONTENT_LENGTH is not a number"), 400;
    if (want > kMaxBody) return refuse(413, -32600, "the body is larger than 1 MiB"), 413;
    n = 0;
    const long long deadline = static_cast<long long>(time(nullptr)) * 1000 + kBodyWaitMs;
    while (n < want) {
        pollfd p{0, POLLIN, 0};
        const long long left = deadline - static_cast<long long>(time(nullptr)) * 1000;
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        const ssize_t got = read(0, body + n, want - n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        n += static_cast<size_t>(got);
    }
    if (n < want) {
        char message[120];
        snprintf(message, sizeof message, "the body ended after %zu of the %llu bytes that CONTENT_LENGTH announced", n, want);
        return refuse(400, -32700, message), 400;
    }
    body[n] = 0;
    return 0;
}

int rpc(Exchange& x) {
    if (strcmp(env("REQUEST_METHOD"), "POST") != 0) return refuse(405, -32600, "use POST", "Allow: POST\r\n");
    if (!media_json()) return refuse(415, -32600, "the body must be application/json");
    size_t n = 0;
    if (read_body(n)) return 0;
    if (authenticate(x)) return 0;
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (!out) return refuse(500, -32603, "no memory");
    const bool answered = handle_rpc(body, n, x, out);
    fclose(out);
    char extra[300] = "";
    if (x.set_cookie[0]) snprintf(extra, sizeof extra, "Set-Cookie: %s\r\n", x.set_cookie);
    if (!answered) send(204, "application/json", "", 0, extra);
    else send(x.status, "application/json", text, size, extra);
    free(text);
    return 0;
}

int snapshot(Exchange& x) {
    if (strcmp(env("REQUEST_METHOD"), "GET") != 0 && strcmp(env("REQUEST_METHOD"), "HEAD") != 0)
        return refuse(405, -32600, "use GET", "Allow: GET, HEAD\r\n");
    if (authenticate(x)) return 0;
    if (!x.authenticated) return refuse(401, -32001, "not authenticated");
    if (x.who.role < least_role("API_Video_SetJPGSnapShot")) return refuse(403, -32002, "not allowed");
    const char* query = env("QUERY_STRING");
    char channel[8] = "0";
    if (const char* c = strstr(query, "channel=")) {
        const size_t len = strcspn(c + 8, "&");
        if (len == 0 || len >= sizeof channel) return refuse(400, -32602, "channel: 0 to 3");
        memcpy(channel, c + 8, len), channel[len] = 0;
    }
    if (strspn(channel, "0123456789") != strlen(channel) || atoi(channel) > 3) return refuse(400, -32602, "channel: 0 to 3");
    char why[320];
    const apictl::Entry* e = apictl::find_entry("API_Video_SetJPGSnapShot", why, sizeof why);
    static apictl::Call call;
    char dash[] = "-";
    char* argv[] = {channel, dash};
    if (!e || !apictl::prepare(call, *e, 2, argv)) return refuse(500, -32603, "the snapshot cannot be called");
    apictl::Run how;
    const char* timeout = getenv("APIWEB_TIMEOUT");
    how.seconds = timeout && atof(timeout) > 0 ? atof(timeout) : 10;
    how.trace_aside = false;
    const apictl::Outcome o = apictl::run_call(call, e->name, how);
    if (o.status == apictl::kTimedOut) return refuse(503, -32003, "the control daemon did not answer");
    if (call.result <= 0 || call.result > 102400) return refuse(503, -32010, "no picture (no shared state record?)");
    send(200, "image/jpeg", static_cast<const char*>(call.args[1].p), static_cast<size_t>(call.result));
    return 0;
}

int openapi() {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (!out) return refuse(500, -32603, "no memory");
    print_openapi(out);
    fclose(out);
    send(200, "application/json", text, size);
    free(text);
    return 0;
}

}  // namespace
}  // namespace apiweb

int main(int argc, char** argv) {
    using namespace apiweb;
    // The response keeps the real standard output; everything the library
    // prints goes to /dev/null.
    const int real_out = dup(1);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (real_out < 0 || null_fd < 0 || dup2(null_fd, 1) < 0) return 1;
    close(null_fd);
    response = fdopen(real_out, "w");
    if (!response) return 1;
    if (!getenv("GATEWAY_INTERFACE")) {
        if (argc == 2 && strcmp(argv[1], "--openapi") == 0) return print_openapi(response), fclose(response) != 0;
        fputs("apiweb: a CGI program: run it from a web server (or apiweb --openapi)\n", stderr);
        return 2;
    }
    const char* timeout = getenv("APIWEB_TIMEOUT");
    if (timeout && atof(timeout) > 0) set_timeout(atof(timeout), timeout);
    Exchange x;
    x.address = env("REMOTE_ADDR");
    x.https = strcasecmp(env("HTTPS"), "on") == 0 || strcasecmp(env("REQUEST_SCHEME"), "https") == 0;
    const char* path = env("PATH_INFO");
    if (!origin_ok()) return refuse(403, -32600, "cross-site request: Origin does not name this host");
    if (strcmp(path, "/rpc") == 0) return rpc(x);
    if (strcmp(path, "/snapshot") == 0) return snapshot(x);
    if (strcmp(path, "/openapi.json") == 0) return openapi();
    return refuse(404, -32601, "no such path: /rpc, /snapshot and /openapi.json are served");
}
