// apiweb: the camera's operations as JSON-RPC 2.0 over HTTP, one CGI/1.1
// program. The pieces: the access table (access.cpp), the camera's accounts,
// sessions and login limits (auth.cpp), the JSON-RPC dispatcher (rpc.cpp),
// the OpenAPI description (openapi.cpp) and the CGI front (apiweb.cpp).
// Operations are called through apictl's catalog and call path.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "catalog.h"
#include "dump.h"
#include "run.h"

namespace apiweb {

// ---- access by level ----
enum Role : int { kNobody = 0, kViewer = 1, kOperator = 2, kAdmin = 3 };
const char* role_name(Role r);
// The account's level as a role: 1 viewer, 2 operator, 3 and above admin.
Role role_of_level(int level);
// The least role that may call the method (a gateway method or an
// operation's exact name); kNobody when no role may.
Role least_role(const char* method);
bool is_read(const char* name);
// The access table as JSON rows, and as a Markdown table (OpenAPI, README).
void print_access_rows(FILE* out);
void print_access_markdown(FILE* out);

// ---- who is calling ----
struct Identity {
    Role role = kNobody;
    int level = 0;
    char user[128] = "";
    char token[72] = "";  // the session the request came with, if any
};

// The limits of failed logins, per account and per client address, within
// one window (seconds); past them a login is refused until the window ends.
constexpr int kAccountFailures = 5;
constexpr int kAddressFailures = 20;

enum class Login { Ok, Wrong, Limited, NoAnswer, NoRole };
// Checks a user's password against the account the daemon keeps (rate
// limited by account and address). Ok fills `who`.
Login check_login(const char* user, const char* password, const char* address, Identity& who, char* why, size_t room);
// A new session for `who`: its token (64 hex digits) and its end.
bool session_start(Identity& who, long& expires);
// The session of a token, with the account's level as it is now.
bool session_find(const char* token, Identity& who);
void session_end(const char* token);
long session_seconds();
// A crypt hash of a password with the strongest method this C library
// offers, or false (why says so).
bool hash_password(const char* password, char* out, size_t room, const char** why);
// The method hash_password uses, for the documentation and the tests.
const char* hash_method();

// ---- the JSON-RPC dispatcher ----
struct Exchange {
    Identity who;
    bool authenticated = false;
    const char* address = "";
    bool https = false;
    // Results for the HTTP layer.
    int status = 200;
    char set_cookie[200] = "";
};
// Answers a JSON-RPC request or batch in body[0..n) (decoded in place) into
// out; false when there is nothing to answer (notifications only).
bool handle_rpc(char* body, size_t n, Exchange& x, FILE* out);
void set_timeout(double seconds, const char* text);

// ---- the OpenAPI description ----
void print_openapi(FILE* out);

}  // namespace apiweb
