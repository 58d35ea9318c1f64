// The camera's own accounts (looked up through the library, every time),
// password hashes through the C library's crypt, sessions and the limits of
// failed logins, kept as small files in APIWEB_STATE_DIR.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#if __has_include(<crypt.h>)
#include <crypt.h>
#endif

#include "gateway.h"

// Debian's musl has no crypt at all: imported weakly, null where missing.
extern "C" char* crypt(const char*, const char*);
#pragma weak crypt
#ifdef CRYPT_GENSALT_IMPLEMENTS_AUTO_ENTROPY
#pragma weak crypt_gensalt_rn
#endif

namespace apiweb {
namespace {

const char* state_dir() {
    const char* d = getenv("APIWEB_STATE_DIR");
    return d && *d ? d : "/var/lib/apiweb";
}

long env_seconds(const char* name, long fallback) {
    const char* v = getenv(name);
    char* end;
    const long n = v ? strtol(v, &end, 10) : 0;
    return v && *v && !*end && n > 0 && n <= 31536000 ? n : fallback;
}

long login_window() { return env_seconds("APIWEB_LOGIN_WINDOW", 900); }

// Compares all of both texts whatever they hold: the time does not tell
// where they differ.
bool same_text(const char* a, const char* b) {
    const size_t na = strlen(a), nb = strlen(b);
    const size_t n = na > nb ? na : nb;
    unsigned diff = static_cast<unsigned>(na ^ nb);
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(i < na ? a[i] : 0) ^ static_cast<unsigned char>(i < nb ? b[i] : 0);
    return diff == 0;
}

bool random_bytes(unsigned char* out, size_t n) {
    while (n) {
        const ssize_t got = getrandom(out, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out += got, n -= static_cast<size_t>(got);
    }
    return true;
}

void hex(const unsigned char* in, size_t n, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) out[2 * i] = digits[in[i] >> 4], out[2 * i + 1] = digits[in[i] & 15];
    out[2 * n] = 0;
}

// The state folder, made on first use (0700: sessions are secrets).
bool path_of(char* out, size_t room, const char* kind, const char* name) {
    mkdir(state_dir(), 0700);
    const int n = snprintf(out, room, "%s/%s%s", state_dir(), kind, name);
    return n > 0 && static_cast<size_t>(n) < room;
}

// One lock over the counters, so that concurrent logins count each failure.
struct StateLock {
    int fd = -1;
    StateLock() {
        char path[512];
        if (path_of(path, sizeof path, "lock", "")) fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) flock(fd, LOCK_EX);
    }
    ~StateLock() {
        if (fd >= 0) close(fd);
    }
};

// ---- failed logins: "count first-failure-time" per key ----

struct Counter {
    char path[512];
    long count = 0, since = 0;
    Counter(const char* kind, const char* key) {
        char name[250];
        const size_t n = strnlen(key, 120);
        hex(reinterpret_cast<const unsigned char*>(key), n, name);
        if (!path_of(path, sizeof path, kind, name)) path[0] = 0;
        FILE* f = path[0] ? fopen(path, "re") : nullptr;
        if (f) {
            if (fscanf(f, "%ld %ld", &count, &since) != 2) count = since = 0;
            fclose(f);
        }
        if (since + login_window() <= time(nullptr)) count = since = 0;  // the window is over
    }
    bool over(long limit) const { return count >= limit; }
    void add() {
        if (!count) since = time(nullptr);
        ++count;
        FILE* f = path[0] ? fopen(path, "we") : nullptr;
        if (f) fprintf(f, "%ld %ld\n", count, since), fclose(f);
    }
    void clear() {
        if (path[0]) unlink(path);
    }
};

// The account as the daemon keeps it: its level and stored password.
apictl::Call lookup;
enum class Found { Yes, No, NoAnswer };
Found find_account(const char* user, int& level, const char*& stored) {
    char why[200];
    const apictl::Entry* e = apictl::find_entry("API_USER_GetUserInfoByName", why, sizeof why);
    char dash[] = "-";
    char* argv[] = {const_cast<char*>(user), dash, dash};
    if (!e || !apictl::prepare(lookup, *e, 3, argv)) return Found::No;  // a name no account can have
    apictl::Run how;
    how.seconds = env_seconds("APIWEB_TIMEOUT", 10);
    const apictl::Outcome o = apictl::run_call(lookup, e->name, how);
    if (o.status != apictl::kOk) return Found::NoAnswer;
    level = *static_cast<int*>(lookup.args[1].p);
    stored = static_cast<const char*>(lookup.args[2].p);
    return *stored ? Found::Yes : Found::No;  // "none", or an empty password: never
}

// The stored password does not stay in memory longer than needed.
void forget_password() {
    if (auto* p = static_cast<char*>(lookup.args[2].p)) memset(p, 0, strnlen(p, 4096));
}

bool crypt_form(const char* stored) {
    if (stored[0] == '$') return true;
    if (strlen(stored) != 13) return false;
    for (const char* p = stored; *p; ++p)
        if (!strchr("./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", *p)) return false;
    return true;
}

// A stored crypt hash through crypt(); any other text as a plain password.
bool password_matches(const char* password, const char* stored) {
    if (!crypt_form(stored)) return same_text(password, stored);
    if (!crypt) return false;
    const char* computed = crypt(password, stored);
    return computed && computed[0] != '*' && same_text(computed, stored);
}

constexpr size_t kSelector = 16, kValidator = 48;  // hex digits of a token's two parts

bool token_form(const char* token) {
    if (strlen(token) != kSelector + kValidator) return false;
    for (const char* p = token; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return false;
    return true;
}

// Session files and counters whose time is over, removed now and then.
void sweep() {
    DIR* d = opendir(state_dir());
    if (!d) return;
    const time_t now = time(nullptr);
    int seen = 0;
    while (dirent* ent = readdir(d)) {
        if (++seen > 4096) break;
        const bool session = strncmp(ent->d_name, "s-", 2) == 0;
        if (!session && strncmp(ent->d_name, "fail-", 5) != 0) continue;
        char path[512];
        struct stat st;
        if (!path_of(path, sizeof path, "", ent->d_name) || stat(path, &st) != 0) continue;
        const long keep = session ? session_seconds() : login_window();
        if (st.st_mtime + keep < now) unlink(path);
    }
    closedir(d);
}

}  // namespace

long session_seconds() { return env_seconds("APIWEB_SESSION_SECONDS", 3600); }

Login check_login(const char* user, const char* password, const char* address, Identity& who, char* why, size_t room) {
    StateLock lock;
    Counter by_account("fail-u-", user), by_address("fail-a-", address);
    if (by_account.over(kAccountFailures) || by_address.over(kAddressFailures)) {
        snprintf(why, room, "too many failed logins %s; try again after %lld s", by_account.over(kAccountFailures) ? "for this account" : "from this address",
                 static_cast<long long>((by_account.over(kAccountFailures) ? by_account.since : by_address.since) + login_window() - time(nullptr)));
        return Login::Limited;
    }
    int level = 0;
    const char* stored = "";
    const Found found = find_account(user, level, stored);
    if (found == Found::NoAnswer) return snprintf(why, room, "the control daemon did not answer"), Login::NoAnswer;
    const bool ok = found == Found::Yes && password_matches(password, stored);
    forget_password();
    if (!ok) {
        by_account.add(), by_address.add();
        snprintf(why, room, "wrong user name or password");
        return Login::Wrong;
    }
    by_account.clear();
    who = Identity{};
    who.level = level;
    who.role = role_of_level(level);
    snprintf(who.user, sizeof who.user, "%.127s", user);
    if (who.role == kNobody) return snprintf(why, room, "the account's level (%d) gives no access", level), Login::NoRole;
    return Login::Ok;
}

bool session_start(Identity& who, long& expires) {
    unsigned char raw[(kSelector + kValidator) / 2];
    if (!random_bytes(raw, sizeof raw)) return false;
    hex(raw, sizeof raw, who.token);
    char path[512], selector[kSelector + 1];
    memcpy(selector, who.token, kSelector), selector[kSelector] = 0;
    if (!path_of(path, sizeof path, "s-", selector)) return false;
    expires = time(nullptr) + session_seconds();
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!f) {
        if (fd >= 0) close(fd);
        return false;
    }
    fprintf(f, "%s\n%ld\n%s\n", who.token + kSelector, expires, who.user);
    const bool written = fclose(f) == 0;
    if (rand() % 16 == 0 || !written) sweep();
    return written;
}

bool session_find(const char* token, Identity& who) {
    if (!token_form(token)) return false;
    char path[512], selector[kSelector + 1];
    memcpy(selector, token, kSelector), selector[kSelector] = 0;
    if (!path_of(path, sizeof path, "s-", selector)) return false;
    FILE* f = fopen(path, "re");
    if (!f) return false;
    char validator[128] = "", user[160] = "";
    long expires = 0;
    const bool read = fscanf(f, "%127s %ld", validator, &expires) == 2 && fgetc(f) == '\n' && fgets(user, sizeof user, f);
    fclose(f);
    user[strcspn(user, "\n")] = 0;
    if (!read || !same_text(validator, token + kSelector)) return false;
    if (expires <= time(nullptr)) return unlink(path), false;
    // The account as it is now: deleted, or its level changed.
    int level = 0;
    const char* stored = "";
    if (find_account(user, level, stored) != Found::Yes) return false;
    forget_password();
    who = Identity{};
    who.level = level;
    who.role = role_of_level(level);
    snprintf(who.user, sizeof who.user, "%.127s", user);
    snprintf(who.token, sizeof who.token, "%s", token);
    return who.role != kNobody;
}

void session_end(const char* token) {
    char path[512], selector[kSelector + 1];
    if (!token_form(token)) return;
    memcpy(selector, token, kSelector), selector[kSelector] = 0;
    if (path_of(path, sizeof path, "s-", selector)) unlink(path);
}

// libxcrypt's default method (yescrypt on Debian); else SHA-512 crypt, which
// glibc's own crypt and musl's both have.
const char* hash_method() {
    if (!crypt) return "none (this C library has no crypt)";
#ifdef CRYPT_GENSALT_IMPLEMENTS_AUTO_ENTROPY
    if (crypt_gensalt_rn) {
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, sizeof setting)) {
            static char name[8];
            snprintf(name, sizeof name, "%.*s", static_cast<int>(strcspn(setting + 1, "$") + 2), setting);
            return name;
        }
    }
#endif
    return "$6$";
}

bool hash_password(const char* password, char* out, size_t room, const char** why) {
    if (!crypt) return *why = "this C library has no crypt: the gateway stores no password in plain text", false;
    char setting[128] = "";
#ifdef CRYPT_GENSALT_IMPLEMENTS_AUTO_ENTROPY
    if (crypt_gensalt_rn && !crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, sizeof setting)) setting[0] = 0;
#endif
    if (!setting[0]) {
        static const char alphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        unsigned char raw[16];
        if (!random_bytes(raw, sizeof raw)) return *why = "no random bytes from the kernel", false;
        strcpy(setting, "$6$");
        for (size_t i = 0; i < sizeof raw; ++i) setting[3 + i] = alphabet[raw[i] & 63];
        setting[3 + sizeof raw] = 0;
    }
    const char* hash = crypt(password, setting);
    if (!hash || hash[0] != '$' || strlen(hash) >= room || strpbrk(hash, ":,"))
        return *why = "the C library's crypt could not hash it", false;
    strcpy(out, hash);
    return true;
}

}  // namespace apiweb
