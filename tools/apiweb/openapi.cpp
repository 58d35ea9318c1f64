// The OpenAPI 3.1 description of the gateway, from the catalog itself: every
// operation that some role may call, its parameters (types, ranges, sizes),
// its result and outputs, the errors and the access table. The build writes
// it with `apiweb --openapi`; the gateway serves the same at openapi.json.
#include <stdlib.h>
#include <string.h>

#include "gateway.h"

namespace apiweb {
namespace {

using apictl::Param;
using apictl::Shape;

void integer_schema(FILE* out, const Param& p) {
    fprintf(out, "{\"type\":\"integer\",\"minimum\":%lld,\"maximum\":%lld}", p.min, p.max);
}

size_t elements(const Param& p) {
    const size_t each = p.type == apictl::CType::UCharPtr ? 1 : 4;
    return (p.size ? p.size : each) / each;
}

// The schema of a parameter's value, as given (input) or as answered (output).
void value_schema(FILE* out, const apictl::Entry& e, const Param& p, bool output) {
    if (output && apictl::is_secret(e, p)) return (void)fputs("{\"type\":\"null\",\"description\":\"withheld\"}", out);
    switch (p.shape) {
    case Shape::Value:
        if (p.type == apictl::CType::Position) {
            fputs("{\"type\":\"array\",\"description\":\"count, A, B\",\"minItems\":3,\"maxItems\":3,\"items\":", out);
            integer_schema(out, p);
            putc('}', out);
        } else {
            integer_schema(out, p);
        }
        return;
    case Shape::Text:
        fputs("{\"type\":\"string\"", out);
        if (p.size) fprintf(out, ",\"maxLength\":%u", p.size - 1);
        if (p.forbid) fprintf(out, ",\"description\":\"may not contain: %.*s\"", static_cast<int>(strcspn(p.forbid, " \"\\")), p.forbid);
        putc('}', out);
        return;
    case Shape::Numbers:
        if (elements(p) == 1) return integer_schema(out, p);
        fprintf(out, "{\"type\":\"array\",\"minItems\":%zu,\"maxItems\":%zu,\"items\":", elements(p), elements(p));
        integer_schema(out, p);
        putc('}', out);
        return;
    case Shape::Counted:
        fprintf(out, "{\"type\":\"array\",\"description\":\"two integers per record\",\"maxItems\":%u,\"items\":", p.size / 4);
        integer_schema(out, p);
        putc('}', out);
        return;
    case Shape::Hex:
        fprintf(out, "{\"type\":\"string\",\"pattern\":\"^([0-9a-fA-F]{2})*$\",\"maxLength\":%u}", 2 * p.size);
        return;
    case Shape::Binary:
        fputs("{\"type\":\"integer\",\"description\":\"bytes written\"}", out);
        return;
    }
}

void method_schemas(FILE* out, const apictl::Entry& e, bool& first) {
    Param p[apictl::kMaxParams];
    const int n = e.datum ? 0 : apictl::params_of(e, p);
    const Role least = least_role(e.name);
    // The call.
    fprintf(out, "%s\"%s\":{\"type\":\"object\",\"description\":", first ? "" : ",", e.name);
    first = false;
    char text[400];
    snprintf(text, sizeof text, "%s %s%s. Role: %s and above (%s).", apictl::return_type(e), e.name,
             e.datum ? "" : apictl::params_text(e), role_name(least), is_read(e.name) ? "a read" : "a change or an action");
    apictl::json_string(out, text);
    fprintf(out, ",\"required\":[\"jsonrpc\",\"method\"],\"properties\":{\"jsonrpc\":{\"const\":\"2.0\"},"
                 "\"method\":{\"const\":\"%s\"},\"id\":{\"$ref\":\"#/components/schemas/Id\"},\"params\":{\"oneOf\":["
                 "{\"type\":\"object\",\"additionalProperties\":false,\"properties\":{", e.name);
    int inputs = 0;
    for (int i = 0; i < n; ++i) {
        if (p[i].dir == 'o') continue;
        fprintf(out, "%s\"%.*s\":", inputs++ ? "," : "", p[i].name_len, p[i].name);
        value_schema(out, e, p[i], false);
    }
    fputs("},\"required\":[", out);
    for (int i = 0, k = 0; i < n; ++i)
        if (p[i].dir != 'o') fprintf(out, "%s\"%.*s\"", k++ ? "," : "", p[i].name_len, p[i].name);
    fprintf(out, "]},{\"type\":\"array\",\"description\":\"the inputs in C order\",\"minItems\":%d,\"maxItems\":%d,\"prefixItems\":[", inputs, inputs);
    for (int i = 0, k = 0; i < n; ++i) {
        if (p[i].dir == 'o') continue;
        if (k++) putc(',', out);
        value_schema(out, e, p[i], false);
    }
    fputs("]}]}}}", out);
    // Its result.
    fprintf(out, ",\"%s.result\":{\"type\":\"object\",\"properties\":{\"result\":", e.name);
    const char* returns = apictl::return_type(e);
    if (e.datum) fputs("{\"type\":\"array\"}", out);
    else if (strcmp(returns, "void") == 0) fputs("{\"type\":\"null\"}", out);
    else if (strchr(returns, '*')) fputs("{\"type\":[\"string\",\"null\"]}", out);
    else fputs("{\"type\":\"integer\"}", out);
    fputs(",\"outputs\":{\"type\":\"object\",\"properties\":{", out);
    for (int i = 0, k = 0; i < n; ++i) {
        if (p[i].dir == 'i') continue;
        fprintf(out, "%s\"%.*s\":", k++ ? "," : "", p[i].name_len, p[i].name);
        value_schema(out, e, p[i], true);
    }
    fputs("}}}}", out);
}

const char kErrors[] =
    "-32700 parse error; -32600 invalid request; -32601 method not found; -32602 invalid params (data: param, limit); "
    "-32603 internal error; -32001 not authenticated (HTTP 401); -32002 not allowed for this role; -32003 the control "
    "daemon did not answer within the bounded wait (10 s by default); -32004 outbox full; -32005 too many failed logins "
    "(HTTP 429); -32010 the operation returned its failure value (data: result).";

}  // namespace

void print_openapi(FILE* out) {
    fputs("{\"openapi\":\"3.1.0\",\"info\":{\"title\":\"apiweb: the camera's operations over JSON-RPC 2.0\","
          "\"version\":\"1\",\"description\":", out);
    char* table = nullptr;
    size_t size = 0;
    if (FILE* t = open_memstream(&table, &size)) {
        fputs("POST a JSON-RPC 2.0 request or a batch (at most 256 calls, 1 MiB) to /rpc. The method is an operation's "
              "name; params by name or by position; the result is {result, outputs}. Passwords and keys are never "
              "answered (null).\n\nAccess by the account's level (1 viewer, 2 operator, 3 and above admin); the first "
              "row that matches decides, anything else is denied:\n\n", t);
        print_access_markdown(t);
        fprintf(t, "\nErrors: %s", kErrors);
        fclose(t);
        apictl::json_string(out, table, size);
        free(table);
    }
    fputs("},\"servers\":[{\"url\":\"/cgi-bin/apiweb\"}],"
          "\"security\":[{\"basic\":[]},{\"sessionCookie\":[]},{\"sessionHeader\":[]}],"
          "\"x-apiweb-access\":", out);
    print_access_rows(out);
    fputs(",\"paths\":{"
          "\"/rpc\":{\"post\":{\"operationId\":\"rpc\",\"summary\":\"JSON-RPC 2.0 call or batch\","
          "\"requestBody\":{\"required\":true,\"content\":{\"application/json\":{\"schema\":{\"oneOf\":["
          "{\"$ref\":\"#/components/schemas/Call\"},{\"type\":\"array\",\"minItems\":1,\"maxItems\":256,"
          "\"items\":{\"$ref\":\"#/components/schemas/Call\"}}]}}}},"
          "\"responses\":{\"200\":{\"description\":\"the answer, or the answers of a batch\",\"content\":{\"application/json\":"
          "{\"schema\":{\"oneOf\":[{\"$ref\":\"#/components/schemas/Response\"},{\"type\":\"array\",\"items\":{\"$ref\":\"#/components/schemas/Response\"}}]}}}},"
          "\"204\":{\"description\":\"notifications only\"},"
          "\"401\":{\"$ref\":\"#/components/responses/Refused\"},\"403\":{\"$ref\":\"#/components/responses/Refused\"},"
          "\"413\":{\"$ref\":\"#/components/responses/Refused\"},\"415\":{\"$ref\":\"#/components/responses/Refused\"},"
          "\"429\":{\"$ref\":\"#/components/responses/Refused\"}}}},"
          "\"/snapshot\":{\"get\":{\"operationId\":\"snapshot\",\"summary\":\"a live JPEG snapshot (viewer and above)\","
          "\"parameters\":[{\"name\":\"channel\",\"in\":\"query\",\"schema\":{\"type\":\"integer\",\"minimum\":0,\"maximum\":3}}],"
          "\"responses\":{\"200\":{\"description\":\"the picture\",\"content\":{\"image/jpeg\":{\"schema\":{\"type\":\"string\",\"contentMediaType\":\"image/jpeg\"}}}},"
          "\"401\":{\"$ref\":\"#/components/responses/Refused\"},\"403\":{\"$ref\":\"#/components/responses/Refused\"},"
          "\"503\":{\"$ref\":\"#/components/responses/Refused\"}}}},"
          "\"/openapi.json\":{\"get\":{\"operationId\":\"openapi\",\"summary\":\"this description\",\"security\":[],"
          "\"responses\":{\"200\":{\"description\":\"OpenAPI 3.1\",\"content\":{\"application/json\":{}}}}}}},"
          "\"components\":{"
          "\"securitySchemes\":{\"basic\":{\"type\":\"http\",\"scheme\":\"basic\"},"
          "\"sessionCookie\":{\"type\":\"apiKey\",\"in\":\"cookie\",\"name\":\"apiweb_session\"},"
          "\"sessionHeader\":{\"type\":\"apiKey\",\"in\":\"header\",\"name\":\"X-Apiweb-Session\"}},"
          "\"responses\":{\"Refused\":{\"description\":\"refused by the HTTP layer: one JSON-RPC error\",\"content\":{\"application/json\":"
          "{\"schema\":{\"$ref\":\"#/components/schemas/Response\"}}}}},"
          "\"schemas\":{"
          "\"Id\":{\"type\":[\"string\",\"integer\",\"null\"]},"
          "\"Error\":{\"type\":\"object\",\"required\":[\"code\",\"message\"],\"properties\":{\"code\":{\"type\":\"integer\","
          "\"enum\":[-32700,-32600,-32601,-32602,-32603,-32001,-32002,-32003,-32004,-32005,-32010],\"description\":", out);
    apictl::json_string(out, kErrors);
    fputs("},\"message\":{\"type\":\"string\"},\"data\":{}}},"
          "\"Response\":{\"type\":\"object\",\"required\":[\"jsonrpc\",\"id\"],\"properties\":{\"jsonrpc\":{\"const\":\"2.0\"},"
          "\"id\":{\"$ref\":\"#/components/schemas/Id\"},\"result\":{},\"error\":{\"$ref\":\"#/components/schemas/Error\"}}},"
          "\"session.login\":{\"type\":\"object\",\"description\":\"Opens a session (no account needed to call it); sets the cookie apiweb_session.\","
          "\"required\":[\"jsonrpc\",\"method\",\"params\"],\"properties\":{\"jsonrpc\":{\"const\":\"2.0\"},\"method\":{\"const\":\"session.login\"},"
          "\"id\":{\"$ref\":\"#/components/schemas/Id\"},\"params\":{\"type\":\"object\",\"required\":[\"user\",\"password\"],"
          "\"properties\":{\"user\":{\"type\":\"string\",\"maxLength\":127},\"password\":{\"type\":\"string\",\"maxLength\":1024}}}}},"
          "\"session.login.result\":{\"type\":\"object\",\"properties\":{\"token\":{\"type\":\"string\"},\"expires\":{\"type\":\"integer\"},"
          "\"user\":{\"type\":\"string\"},\"level\":{\"type\":\"integer\"},\"role\":{\"enum\":[\"viewer\",\"operator\",\"admin\"]}}}", out);
    static const char* const kGatewayMethods[][2] = {
        {"session.logout", "Ends the session."},
        {"session.whoami", "The caller's user, level and role."},
        {"rpc.catalog", "The operations the caller's role may call; params {pattern} optional."},
        {"settings.dump", "Every setting as one document, secrets null; params {families} optional."},
        {"settings.load", "Applies a settings document (params {document}); null leaves a setting unchanged."},
        {"outbox.list", "The desk daemon's mail and upload queue."},
    };
    for (const auto& m : kGatewayMethods) {
        fprintf(out, ",\"%s\":{\"type\":\"object\",\"description\":\"%s Role: %s and above.\",\"required\":[\"jsonrpc\",\"method\"],"
                     "\"properties\":{\"jsonrpc\":{\"const\":\"2.0\"},\"method\":{\"const\":\"%s\"},\"id\":{\"$ref\":\"#/components/schemas/Id\"},"
                     "\"params\":{\"type\":\"object\"}}}",
                m[0], m[1], role_name(least_role(m[0])), m[0]);
    }
    bool first = false;
    for (size_t k = 0; k < apictl::entry_count(); ++k) {
        const apictl::Entry& e = apictl::entry_at(k);
        if (least_role(e.name) != kNobody) method_schemas(out, e, first);
    }
    fputs(",\"Call\":{\"oneOf\":[{\"$ref\":\"#/components/schemas/session.login\"}", out);
    for (const auto& m : kGatewayMethods) fprintf(out, ",{\"$ref\":\"#/components/schemas/%s\"}", m[0]);
    for (size_t k = 0; k < apictl::entry_count(); ++k) {
        const apictl::Entry& e = apictl::entry_at(k);
        if (least_role(e.name) != kNobody) fprintf(out, ",{\"$ref\":\"#/components/schemas/%s\"}", e.name);
    }
    fputs("]}}}}\n", out);
}

}  // namespace apiweb
