#include "delivery.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <poll.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>

#if APISIM_WITH_CURL
#include <curl/curl.h>
#endif

#include "utf8.h"

namespace apisim {
namespace delivery {
namespace {

constexpr size_t kMaxQueued = 256;          // a flood of alarms must not fill the disk
constexpr size_t kMaxRecent = 32;           // outcomes the listing remembers
constexpr size_t kMaxAttachment = 32 << 20;  // bytes read into one mail
constexpr size_t kMaxSubject = 255;          // bytes of the Subject header
constexpr size_t kMaxEntryFile = 64 << 10;

// A text from outside as it may stand in a line: printable ASCII only, cut.
std::string shown(const std::string& text, size_t max = 60) {
    std::string s;
    for (size_t i = 0; i < text.size() && i < max; ++i) {
        const unsigned char c = text[i];
        s += c >= 32 && c < 127 ? static_cast<char>(c) : '?';
    }
    return text.size() > max ? s + "..." : s;
}

std::string quoted(const std::string& text, size_t max = 60) { return "\"" + shown(text, max) + "\""; }

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const unsigned char c = ch;
        char esc[8];
        if (c == '"' || c == '\\') out += '\\', out += ch;
        else if (c < 0x20 || c >= 0x7f) snprintf(esc, sizeof esc, "\\u%04x", c), out += esc;
        else out += ch;
    }
    return out + "\"";
}

std::string seconds_text(double s) {
    char buf[32];
    snprintf(buf, sizeof buf, "%g", s < 10 ? static_cast<int>(s * 10 + 0.5) / 10.0 : static_cast<int>(s + 0.5));
    return buf;
}

std::string base64(const std::string& in) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        const size_t left = in.size() - i;
        uint32_t n = static_cast<unsigned char>(in[i]) << 16;
        if (left > 1) n |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (left > 2) n |= static_cast<unsigned char>(in[i + 2]);
        out += kAlphabet[n >> 18 & 63];
        out += kAlphabet[n >> 12 & 63];
        out += left > 1 ? kAlphabet[n >> 6 & 63] : '=';
        out += left > 2 ? kAlphabet[n & 63] : '=';
    }
    return out;
}

std::string errno_text(const std::string& what) { return what + ": " + strerror(errno); }

std::string base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A text field of the settings record, which need not be terminated.
template <size_t N>
std::string field_text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

}  // namespace

// ---- the rules ----

bool plain_address(const std::string& a) {
    const size_t at = a.find('@');
    if (a.size() > 254 || at == std::string::npos || at == 0 || at + 1 == a.size() ||
        a.find('@', at + 1) != std::string::npos)
        return false;
    for (const char ch : a) {
        const unsigned char c = ch;
        if (!(c < 128 && isalnum(c)) && (c == 0 || !strchr("!#$%&'*+-/=?^_`{|}~.@", c))) return false;
    }
    return true;
}

bool split_receivers(const std::string& text, std::vector<std::string>& out, std::string& error) {
    static const char kSeparators[] = ",; \t\r\n";
    out.clear();
    size_t i = text.find_first_not_of(kSeparators);
    while (i != std::string::npos) {
        size_t end = text.find_first_of(kSeparators, i);
        if (end == std::string::npos) end = text.size();
        std::string one = text.substr(i, end - i);
        if (one.size() >= 2 && one.front() == '<' && one.back() == '>') one = one.substr(1, one.size() - 2);
        if (!plain_address(one)) return error = "receiver " + quoted(one) + " is not a plain address", false;
        out.push_back(one);
        i = text.find_first_not_of(kSeparators, end);
    }
    if (out.empty()) return error = "no receiver set", false;
    return true;
}

bool split_attach_request(const char* text, std::string& subject, std::string& content, std::string& path) {
    const char* first = strchr(text, ',');
    const char* last = strrchr(text, ',');
    if (!first || first == last) return false;
    subject.assign(text, first);
    content.assign(first + 1, last);
    path = last + 1;
    return true;
}

const char* guess_mime_type(const std::string& name, const unsigned char* head, size_t n) {
    static const struct {
        const char* extension;
        const char* type;
    } kByName[] = {
        {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"jpe", "image/jpeg"}, {"png", "image/png"},
        {"gif", "image/gif"}, {"bmp", "image/bmp"}, {"txt", "text/plain"}, {"log", "text/plain"},
        {"csv", "text/csv"}, {"htm", "text/html"}, {"html", "text/html"}, {"xml", "application/xml"},
        {"json", "application/json"}, {"pdf", "application/pdf"}, {"zip", "application/zip"},
        {"gz", "application/gzip"}, {"tar", "application/x-tar"}, {"avi", "video/x-msvideo"},
        {"mp4", "video/mp4"}, {"mov", "video/quicktime"}, {"asf", "video/x-ms-asf"},
        {"264", "video/h264"}, {"h264", "video/h264"}, {"wav", "audio/wav"}, {"mp3", "audio/mpeg"},
    };
    const std::string base = base_name(name);
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0)
        for (const auto& t : kByName)
            if (strcasecmp(base.c_str() + dot + 1, t.extension) == 0) return t.type;
    // A snapshot saved under a name without a known extension.
    if (n >= 3 && head[0] == 0xff && head[1] == 0xd8 && head[2] == 0xff) return "image/jpeg";
    if (n >= 8 && memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) return "image/png";
    if (n >= 4 && memcmp(head, "GIF8", 4) == 0) return "image/gif";
    return "application/octet-stream";
}

std::string header_text(const std::string& value) {
    std::string v = value;
    bool plain = v.find("=?") == std::string::npos;
    for (char& ch : v) {
        const unsigned char c = ch;
        if (c < 0x20 || c == 0x7f) ch = ' ';
        if (c >= 0x80) plain = false;
    }
    if (plain) return v;
    // Encoded words of at most 45 bytes (60 base64 characters), cut where a
    // UTF-8 character begins.
    const bool utf8 = valid_utf8(v.data(), v.size());
    const std::string word = utf8 ? "=?UTF-8?B?" : "=?UNKNOWN-8BIT?B?";
    std::string out;
    for (size_t i = 0; i < v.size();) {
        size_t n = std::min<size_t>(45, v.size() - i);
        while (utf8 && n > 1 && i + n < v.size() && (static_cast<unsigned char>(v[i + n]) & 0xc0) == 0x80) --n;
        out += (out.empty() ? "" : " ") + word + base64(v.substr(i, n)) + "?=";
        i += n;
    }
    return out;
}

std::string without_secret(std::string text, const std::string& user, const std::string& secret) {
    if (secret.size() < 3) return text;  // a shorter one would mask ordinary words
    const std::string forms[] = {secret, base64(secret), base64(std::string(1, '\0') + user + '\0' + secret),
                                 base64(user + '\0' + user + '\0' + secret)};
    for (const std::string& form : forms)
        for (size_t at; (at = text.find(form)) != std::string::npos;) text.replace(at, form.size(), "***");
    return text;
}

bool caller_of(pid_t pid, Job& job) {
    job.caller_known = false;
    if (pid <= 0) return false;
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = fopen(path, "re");
    if (!f) return false;
    char line[4096];
    int found = 0;
    job.groups.clear();
    while (fgets(line, sizeof line, f)) {
        unsigned long ids[4];
        // The fourth id is the file-system one: the one that opens files.
        if (sscanf(line, "Uid: %lu %lu %lu %lu", &ids[0], &ids[1], &ids[2], &ids[3]) == 4)
            job.uid = static_cast<uint32_t>(ids[3]), found |= 1;
        else if (sscanf(line, "Gid: %lu %lu %lu %lu", &ids[0], &ids[1], &ids[2], &ids[3]) == 4)
            job.gid = static_cast<uint32_t>(ids[3]), found |= 2;
        else if (strncmp(line, "Groups:", 7) == 0) {
            found |= 4;
            char* p = line + 7;
            for (char* end; job.groups.size() < 256; p = end) {
                const unsigned long g = strtoul(p, &end, 10);
                if (end == p) break;
                job.groups.push_back(static_cast<uint32_t>(g));
            }
        }
    }
    fclose(f);
    job.caller_known = found == 7;
    return job.caller_known;
}

// ---- the spool entry: "key value" lines, values percent-encoded ----

namespace {

constexpr char kEntryMagic[] = "apisim-outbox-entry 1";

struct TextField {
    const char* key;
    std::string Job::*member;
    size_t max;
};
const TextField kTextFields[] = {
    {"message-id", &Job::message_id, 255}, {"server", &Job::server, 127}, {"user", &Job::user, 127},
    {"password", &Job::password, 127},     {"from", &Job::from, 127},     {"to", &Job::to, 127},
    {"folder", &Job::folder, 127},         {"subject", &Job::subject, 2017},
    {"content", &Job::content, 2017},      {"file", &Job::file, PATH_MAX},
};

struct NumberField {
    const char* key;
    int32_t Job::*member;
    int64_t min, max;
};
const NumberField kNumberFields[] = {
    {"port", &Job::port, INT32_MIN, INT32_MAX}, {"ssl", &Job::ssl, 0, 255},
    {"auth", &Job::auth, 0, 255},               {"passive", &Job::passive, 0, 255},
};

const char* const kKindNames[] = {"text", "attach", "upload"};

std::string percent(const std::string& s) {
    std::string out;
    for (const char ch : s) {
        const unsigned char c = ch;
        char esc[4];
        if (c <= 0x20 || c >= 0x7f || c == '%') snprintf(esc, sizeof esc, "%%%02X", c), out += esc;
        else out += ch;
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool unpercent(const std::string& s, std::string& out) {
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = s[i];
        if (c <= 0x20 || c >= 0x7f) return false;
        if (c != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return false;
        const int hi = hex_digit(s[i + 1]), lo = hex_digit(s[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi << 4 | lo);
        i += 2;
    }
    return true;
}

// A decimal integer, the whole text, within [min, max].
bool parse_number(const std::string& s, int64_t min, int64_t max, int64_t& out) {
    const size_t digits = s.size() - (s[0] == '-' ? 1 : 0);
    if (s.empty() || digits == 0 || digits > 18 || s.find_first_not_of("-0123456789") != std::string::npos ||
        s.find('-', 1) != std::string::npos)
        return false;
    out = strtoll(s.c_str(), nullptr, 10);
    return out >= min && out <= max;
}

bool parse_caller(const std::string& value, Job& job) {
    int64_t n;
    const size_t a = value.find(':'), b = value.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) return false;
    if (!parse_number(value.substr(0, a), 0, UINT32_MAX, n)) return false;
    job.uid = static_cast<uint32_t>(n);
    if (!parse_number(value.substr(a + 1, b - a - 1), 0, UINT32_MAX, n)) return false;
    job.gid = static_cast<uint32_t>(n);
    job.groups.clear();
    for (size_t at = b + 1; at < value.size();) {
        size_t end = value.find(',', at);
        if (end == std::string::npos) end = value.size();
        if (job.groups.size() >= 256 || !parse_number(value.substr(at, end - at), 0, UINT32_MAX, n)) return false;
        job.groups.push_back(static_cast<uint32_t>(n));
        at = end + 1;
    }
    return job.caller_known = true;
}

}  // namespace

std::string encode_job(const Job& job) {
    std::string s = std::string(kEntryMagic) + "\n";
    s += "id " + std::to_string(job.id) + "\n";
    s += std::string("kind ") + kKindNames[static_cast<int>(job.kind)] + "\n";
    s += "attempts " + std::to_string(job.attempts) + "\n";
    s += "queued " + std::to_string(job.queued) + "\n";
    for (const NumberField& f : kNumberFields) s += std::string(f.key) + " " + std::to_string(job.*f.member) + "\n";
    for (const TextField& f : kTextFields) s += std::string(f.key) + " " + percent(job.*f.member) + "\n";
    if (job.caller_known) {
        s += "caller " + std::to_string(job.uid) + ":" + std::to_string(job.gid) + ":";
        for (size_t i = 0; i < job.groups.size(); ++i) s += (i ? "," : "") + std::to_string(job.groups[i]);
        s += "\n";
    }
    return s + "end\n";
}

bool decode_job(const std::string& text, Job& job, std::string& error) {
    job = Job{};
    if (text.size() > kMaxEntryFile) return error = "too large", false;
    if (text.rfind(std::string(kEntryMagic) + "\n", 0) != 0) return error = "not an outbox entry", false;
    const size_t field_count = 4 + std::size(kNumberFields) + std::size(kTextFields);
    std::vector<bool> seen(field_count, false);
    size_t at = sizeof kEntryMagic;  // past the magic line
    bool ended = false;
    while (at < text.size()) {
        const size_t eol = text.find('\n', at);
        if (eol == std::string::npos) return error = "its last line is cut", false;
        const std::string line = text.substr(at, eol - at);
        at = eol + 1;
        if (ended) return error = "lines after its end", false;
        if (line == "end") {
            ended = true;
            continue;
        }
        const size_t space = line.find(' ');
        if (space == std::string::npos) return error = "a line without a value", false;
        const std::string key = line.substr(0, space), value = line.substr(space + 1);
        size_t index = 0;
        int64_t n = 0;
        bool ok = false, known = false;
        if (key == "caller") {  // uid:gid:groups; absent from entries of earlier runs
            if (job.caller_known) return error = "the field caller twice", false;
            if (!parse_caller(value, job)) return error = "a bad value of caller", false;
            continue;
        }
        if (key == "id") {
            known = true, ok = parse_number(value, 1, int64_t{1} << 53, n), job.id = n;
        } else if (key == "kind") {
            index = 1, known = true;
            for (int k = 0; k < 3; ++k)
                if (value == kKindNames[k]) ok = true, job.kind = static_cast<Kind>(k);
        } else if (key == "attempts") {
            index = 2, known = true, ok = parse_number(value, 0, 1000, n), job.attempts = static_cast<int>(n);
        } else if (key == "queued") {
            index = 3, known = true, ok = parse_number(value, 0, int64_t{1} << 40, n), job.queued = n;
        }
        for (size_t i = 0; !known && i < std::size(kNumberFields); ++i) {
            const NumberField& f = kNumberFields[i];
            if (key != f.key) continue;
            index = 4 + i, known = true, ok = parse_number(value, f.min, f.max, n);
            job.*f.member = static_cast<int32_t>(n);
        }
        for (size_t i = 0; !known && i < std::size(kTextFields); ++i) {
            const TextField& f = kTextFields[i];
            if (key != f.key) continue;
            index = 4 + std::size(kNumberFields) + i, known = true;
            ok = unpercent(value, job.*f.member) && (job.*f.member).size() <= f.max &&
                 (job.*f.member).find('\0') == std::string::npos;
        }
        if (!known) return error = "an unknown field " + quoted(key, 20), false;
        if (seen[index]) return error = "the field " + key + " twice", false;
        if (!ok) return error = "a bad value of " + key, false;
        seen[index] = true;
    }
    if (!ended) return error = "no end line (cut short)", false;
    if (std::find(seen.begin(), seen.end(), false) != seen.end()) return error = "a field missing", false;
    return true;
}

// ---- one attempt, with libcurl ----

namespace {

struct Attempt {
    enum Result { Delivered, Retry, Refused, Aborted } result;
    std::string answer;  // the server's own answer, or why it was not reached
};

Attempt refused(const std::string& why) { return {Attempt::Refused, why}; }

// The port a mail setting means: 0 is the usual one of the SSL mode.
int32_t mail_port(const Job& j) { return j.port ? j.port : j.ssl == 2 ? 465 : j.ssl == 1 ? 587 : 25; }
int32_t ftp_port(const Job& j) { return j.port ? j.port : 21; }

const char* const kSslNames[] = {"plain", "STARTTLS", "TLS"};

#if APISIM_WITH_CURL

// ---- files read with the caller's rights ----
//
// A child process takes the caller's ids (a privileged apisim can; one that
// is not reads only for callers of its own uid), opens the file by its path
// without opening what it names, checks that it is a regular file, opens
// that same file for reading (so that nothing blocks: no FIFO, device or
// directory is ever opened for reading) and streams it into a pipe. The
// worker only waits on the pipe, until the attempt's deadline or the stop;
// a child still busy then is killed.

double monotonic();

enum ReadStep : int32_t { kOpened, kNoRights, kNotOpened, kNotRegular, kProcFile };
struct ReadHeader {
    int32_t step;
    int32_t error;   // errno of the step that failed
    uint64_t value;  // the size; the file type when it is not regular
};

struct CallerFile {
    pid_t child = -1;
    int fd = -1;  // the pipe's reading end
    uint64_t size = 0;
    double deadline = 0;
    const std::atomic<bool>* stop = nullptr;
    bool timed_out = false;

    ~CallerFile() {
        if (fd >= 0) close(fd);
        if (child > 0 && kill(child, SIGKILL) == 0) waitpid(child, nullptr, 0);
    }
    // Up to n bytes; 0 at the end; -1 at the deadline, the stop, or an error.
    ssize_t read_some(char* buf, size_t n) {
        for (;;) {
            if (stop->load()) return -1;
            const double left = deadline - monotonic();
            if (left <= 0) return timed_out = true, -1;
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, static_cast<int>(std::min(left, 0.1) * 1000) + 1);
            if (ready < 0 && errno != EINTR) return -1;
            if (ready <= 0) continue;
            const ssize_t got = read(fd, buf, n);
            if (got >= 0 || errno != EINTR) return got;
        }
    }
    bool read_exactly(void* out, size_t n) {
        auto* p = static_cast<char*>(out);
        for (ssize_t got; n > 0; p += got, n -= static_cast<size_t>(got))
            if ((got = read_some(p, n)) <= 0) return false;
        return true;
    }
};

[[noreturn]] void tell(int out, ReadHeader h, int32_t step, int32_t error) {
    h.step = step, h.error = error;
    if (write(out, &h, sizeof h) < 0) {}
    _exit(0);
}

// The child's part: async-signal-safe calls only (the worker forked it from
// a process with other threads).
[[noreturn]] void read_in_child(const char* path, int out, bool switch_ids, uint32_t uid, uint32_t gid,
                                const gid_t* groups, size_t group_count) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_DUMPABLE, 0);  // the caller's uid must not read apisim's memory through it
    ReadHeader h{kOpened, 0, 0};
    if (switch_ids) {
#ifdef SYS_setresuid32
        const long set_groups = SYS_setgroups32, set_gid = SYS_setresgid32, set_uid = SYS_setresuid32;
#else
        const long set_groups = SYS_setgroups, set_gid = SYS_setresgid, set_uid = SYS_setresuid;
#endif
        // Raw calls: these ids are this process's alone.
        if (syscall(set_groups, group_count, groups) != 0 || syscall(set_gid, gid, gid, gid) != 0 ||
            syscall(set_uid, uid, uid, uid) != 0)
            tell(out, h, kNoRights, errno);
    }
    const int named = open(path, O_PATH | O_CLOEXEC);
    struct stat first, opened;
    if (named < 0 || fstat(named, &first) != 0) tell(out, h, kNotOpened, errno);
    if (!S_ISREG(first.st_mode)) h.value = first.st_mode, tell(out, h, kNotRegular, 0);
    // /proc/self would be this child, whose memory is apisim's.
    struct statfs where;
    if (fstatfs(named, &where) != 0) tell(out, h, kNotOpened, errno);
    if (where.f_type == PROC_SUPER_MAGIC) tell(out, h, kProcFile, 0);
    char again[32] = "/proc/self/fd/";
    size_t at = strlen(again);
    char digits[12];
    int n = 0;
    for (int v = named; n == 0 || v > 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
    while (n > 0) again[at++] = digits[--n];
    again[at] = 0;
    // The permission is checked here, with the caller's ids.
    int fd = open(again, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);  // no /proc
    if (fd < 0 || fstat(fd, &opened) != 0) tell(out, h, kNotOpened, errno);
    if (!S_ISREG(opened.st_mode) || opened.st_dev != first.st_dev || opened.st_ino != first.st_ino)
        h.value = opened.st_mode, tell(out, h, kNotRegular, 0);
    h.value = static_cast<uint64_t>(opened.st_size);
    if (write(out, &h, sizeof h) != sizeof h) _exit(1);
    static char buf[65536];
    for (ssize_t got; (got = read(fd, buf, sizeof buf)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) _exit(1);
        for (ssize_t put = 0, w; put < got; put += w)
            if ((w = write(out, buf + put, static_cast<size_t>(got - put))) <= 0) _exit(1);
    }
    _exit(0);
}

const char* file_type(uint64_t mode) {
    switch (mode & S_IFMT) {
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFDIR: return "a folder";
    case S_IFSOCK: return "a socket";
    default: return "of another kind";
    }
}

// Opens the job's file as its caller; `failure` says why not.
bool open_as_caller(const Job& j, double timeout, const std::atomic<bool>& stop, CallerFile& f, Attempt& failure) {
    const std::string shown_path = quoted(j.file, 200);
    if (!j.caller_known)
        return failure = refused("the caller is not known, so " + shown_path + " is not read with anybody's rights"),
               false;
    const uid_t me = geteuid();
    if (me != 0 && j.uid != me)
        return failure = refused("apisim runs as uid " + std::to_string(me) + " and cannot read " + shown_path +
                                 " with the rights of its caller, uid " + std::to_string(j.uid)),
               false;
    const std::vector<gid_t> groups(j.groups.begin(), j.groups.end());
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return failure = {Attempt::Retry, errno_text("pipe")}, false;
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        read_in_child(j.file.c_str(), pipe_fds[1], me == 0 && j.uid != 0, j.uid, j.gid, groups.data(), groups.size());
    }
    close(pipe_fds[1]);
    f.fd = pipe_fds[0];
    if (child < 0) return failure = {Attempt::Retry, errno_text("fork")}, false;
    f.child = child;
    f.stop = &stop;
    f.deadline = monotonic() + timeout;
    ReadHeader h;
    if (!f.read_exactly(&h, sizeof h)) {
        if (stop) return failure = {Attempt::Aborted, "broken off by the stop"}, false;
        if (f.timed_out)
            return failure = {Attempt::Retry, "opening " + shown_path + " took longer than the delivery timeout"}, false;
        return failure = {Attempt::Retry, "the reader of " + shown_path + " ended early"}, false;
    }
    errno = h.error;
    switch (h.step) {
    case kOpened: f.size = h.value; return true;
    case kNoRights: return failure = refused(errno_text("cannot take the rights of uid " + std::to_string(j.uid))), false;
    case kNotOpened: return failure = refused(errno_text("cannot open " + shown_path)), false;
    case kProcFile: return failure = refused(shown_path + " is a file of /proc, which tells of apisim, not of the caller"), false;
    default: return failure = refused(shown_path + " is not a regular file (" + file_type(h.value) + ")"), false;
    }
}

// The whole attachment, read as its caller, within the deadline.
bool read_whole(const Job& j, double timeout, const std::atomic<bool>& stop, std::string& data, Attempt& failure) {
    CallerFile f;
    if (!open_as_caller(j, timeout, stop, f, failure)) return false;
    const std::string shown_path = quoted(j.file, 200);
    if (f.size > kMaxAttachment)
        return failure = refused(shown_path + " is larger than " + std::to_string(kMaxAttachment >> 20) + " MiB"),
               false;
    data.clear();
    char buf[65536];
    for (ssize_t n; (n = f.read_some(buf, sizeof buf)) != 0;) {
        if (n < 0 && stop) return failure = {Attempt::Aborted, "broken off by the stop"}, false;
        if (n < 0 && f.timed_out)
            return failure = {Attempt::Retry, "reading " + shown_path + " took longer than the delivery timeout"}, false;
        if (n < 0) return failure = {Attempt::Retry, errno_text("cannot read " + shown_path)}, false;
        if (data.size() + static_cast<size_t>(n) > kMaxAttachment)
            return failure = refused(shown_path + " grew too large"), false;
        data.append(buf, static_cast<size_t>(n));
    }
    int status = -1;
    waitpid(f.child, &status, 0);
    f.child = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return failure = {Attempt::Retry, "cannot read " + shown_path + " to its end"}, false;
    return true;
}

// One transfer's curl objects and what the server said.
struct Transfer {
    CURL* curl = curl_easy_init();
    CURLU* url = curl_url();
    curl_mime* mime = nullptr;
    curl_slist* receivers = nullptr;
    curl_slist* headers = nullptr;
    char error[CURL_ERROR_SIZE] = "";
    std::string last_line;   // the server's last answer
    std::string last_error;  // its last 4xx or 5xx answer, while no good one came after it
    const Job* job = nullptr;  // whose login the answers must not show
    ~Transfer() {
        curl_easy_cleanup(curl);  // first: it may still use the rest
        curl_url_cleanup(url);
        curl_mime_free(mime);
        curl_slist_free_all(receivers);
        curl_slist_free_all(headers);
    }
};

// Only what the server sends is looked at: what goes out carries the login.
int on_debug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN) return 0;
    Transfer& t = *static_cast<Transfer*>(user);
    // Hidden before anything else: cut or shown with '?', a login would no longer be found.
    const std::string text = without_secret(std::string(data, size), t.job->user, t.job->password);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.size() < 3 || !isdigit(static_cast<unsigned char>(line[0]))) continue;
        t.last_line = shown(line, 200);
        // The goodbye after a refusal must not hide the refusal.
        if (line[0] == '4' || line[0] == '5') t.last_error = t.last_line;
        else if (line.compare(0, 3, "221") != 0) t.last_error.clear();
    }
    return 0;
}

int on_progress(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0;
}

bool transient(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
    case CURLE_FTP_CANT_GET_HOST:
        return true;
    default:
        return false;
    }
}

bool prepare(Transfer& t, const DeliveryOptions& o, const std::atomic<bool>& stop, const char* scheme,
             const std::string& host, int32_t port, const std::string& path, std::string& error) {
    if (!t.curl || !t.url) return error = "libcurl could not start a transfer", false;
    if (host.empty()) return error = "no server set", false;
    if (port < 1 || port > 65535) return error = "port " + std::to_string(port) + " is not a port", false;
    const std::string port_text = std::to_string(port);
    if (curl_url_set(t.url, CURLUPART_SCHEME, scheme, 0) != CURLUE_OK ||
        curl_url_set(t.url, CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK)
        return error = quoted(host) + " is not a server name", false;
    if (curl_url_set(t.url, CURLUPART_PORT, port_text.c_str(), 0) != CURLUE_OK ||
        curl_url_set(t.url, CURLUPART_PATH, path.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
        return error = "no URL for " + quoted(host), false;
    // The URL handle checks the parts; the transfer gets the URL as text
    // (CURLOPT_CURLU breaks SMTP transfers in libcurl 7.88).
    char* url = nullptr;
    if (curl_url_get(t.url, CURLUPART_URL, &url, 0) != CURLUE_OK) return error = "no URL for " + quoted(host), false;
    CURL* c = t.curl;
    const CURLcode set = curl_easy_setopt(c, CURLOPT_URL, url);
    curl_free(url);
    if (set != CURLE_OK) return error = "no URL for " + quoted(host), false;
    const long ms = static_cast<long>(o.timeout * 1000);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, scheme);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, t.error);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);  // to on_debug only
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, on_debug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &stop);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, ms);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, ms);
    curl_easy_setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, ms);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!o.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, o.ca_file.c_str());
    return true;
}

Attempt perform(Transfer& t, const std::atomic<bool>& stop, const Job& j) {
    t.job = &j;
    const CURLcode code = curl_easy_perform(t.curl);
    if (code == CURLE_OK) return {Attempt::Delivered, without_secret(t.last_line, j.user, j.password)};
    if (code == CURLE_ABORTED_BY_CALLBACK && stop) return {Attempt::Aborted, "broken off by the stop"};
    const std::string answer = !t.last_error.empty() ? t.last_error
                               : t.error[0]          ? std::string(t.error)
                                                     : curl_easy_strerror(code);
    const bool may_pass = !t.last_error.empty() ? t.last_error[0] == '4' : transient(code);
    return {may_pass ? Attempt::Retry : Attempt::Refused, without_secret(shown(answer, 200), j.user, j.password)};
}

std::string mail_date(int64_t when) {
    const time_t t = static_cast<time_t>(when);
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S %z", &tm);
    return buf;
}

// Cut to at most `max` bytes, not inside a UTF-8 character.
std::string cut_text(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    size_t n = max;
    while (valid_utf8(s.data(), s.size()) && n > 0 && (static_cast<unsigned char>(s[n]) & 0xc0) == 0x80) --n;
    return s.substr(0, n);
}

Attempt send_mail(const Job& j, const DeliveryOptions& o, const std::atomic<bool>& stop) {
    if (j.ssl < 0 || j.ssl > 2)
        return refused("SSL setting " + std::to_string(j.ssl) + " is none of 0 (plain), 1 (STARTTLS), 2 (TLS)");
    if (j.auth != 0 && j.auth != 1)
        return refused("authentication setting " + std::to_string(j.auth) + " is neither 0 (none) nor 1 (login)");
    if (j.auth == 1 && j.user.empty()) return refused("authentication asked for, but no user set");
    if (j.from.empty()) return refused("no sender set");
    if (!plain_address(j.from)) return refused("sender " + quoted(j.from) + " is not a plain address");
    std::vector<std::string> to;
    std::string error, attachment;
    if (!split_receivers(j.to, to, error)) return refused(error);
    Attempt failure;
    if (j.kind == Kind::Attach && !read_whole(j, o.timeout, stop, attachment, failure)) return failure;

    Transfer t;
    if (!prepare(t, o, stop, j.ssl == 2 ? "smtps" : "smtp", j.server, mail_port(j), "", error))
        return refused(error);
    CURL* c = t.curl;
    if (j.ssl == 1) curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
    if (j.auth == 1) {
        curl_easy_setopt(c, CURLOPT_USERNAME, j.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, j.password.c_str());
    }
    const std::string from = "<" + j.from + ">";
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
    std::string to_header = "To: ";
    for (const std::string& r : to) {
        t.receivers = curl_slist_append(t.receivers, ("<" + r + ">").c_str());
        to_header += (&r == &to[0] ? "" : ", ") + r;
    }
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, t.receivers);
    for (const std::string& h : {"Date: " + mail_date(j.queued), "From: " + j.from, to_header,
                                 "Subject: " + header_text(cut_text(j.subject, kMaxSubject)),
                                 "Message-ID: " + j.message_id})
        t.headers = curl_slist_append(t.headers, h.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, t.headers);

    t.mime = curl_mime_init(c);
    curl_mimepart* text = curl_mime_addpart(t.mime);
    curl_mime_data(text, j.content.data(), j.content.size());
    curl_mime_type(text, valid_utf8(j.content.data(), j.content.size()) ? "text/plain; charset=UTF-8"
                                                                         : "text/plain; charset=unknown-8bit");
    curl_mime_encoder(text, "quoted-printable");
    if (j.kind == Kind::Attach) {
        curl_mimepart* part = curl_mime_addpart(t.mime);
        curl_mime_data(part, attachment.data(), attachment.size());
        curl_mime_filename(part, base_name(j.file).c_str());
        curl_mime_type(part, guess_mime_type(j.file, reinterpret_cast<const unsigned char*>(attachment.data()),
                                             attachment.size()));
        curl_mime_encoder(part, "base64");
    }
    curl_easy_setopt(c, CURLOPT_MIMEPOST, t.mime);
    return perform(t, stop, j);
}

// The remote path: the folder as the setting gives it (from the server's
// root when it begins with '/', else from the login folder), then the name.
std::string ftp_path(CURL* c, const std::string& folder, const std::string& name) {
    auto escaped = [c](const std::string& s) {
        char* e = curl_easy_escape(c, s.data(), static_cast<int>(s.size()));
        std::string out = e ? e : "";
        curl_free(e);
        return out;
    };
    std::string path = folder.rfind('/', 0) == 0 ? "/%2F" : "/";
    for (size_t at = 0; at < folder.size();) {
        size_t end = folder.find('/', at);
        if (end == std::string::npos) end = folder.size();
        if (end > at) path += escaped(folder.substr(at, end - at)) + "/";
        at = end + 1;
    }
    return path + escaped(name);
}

size_t read_upload(char* buf, size_t size, size_t count, void* file) {
    const ssize_t got = static_cast<CallerFile*>(file)->read_some(buf, size * count);
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
}

Attempt upload(const Job& j, const DeliveryOptions& o, const std::atomic<bool>& stop) {
    const std::string name = base_name(j.file);
    if (name.empty()) return refused("no file name in " + quoted(j.file, 200));
    CallerFile file;
    Attempt failure;
    if (!open_as_caller(j, o.timeout, stop, file, failure)) return failure;
    Transfer t;
    std::string error;
    if (!prepare(t, o, stop, "ftp", j.server, ftp_port(j), ftp_path(t.curl, j.folder, name), error))
        return refused(error);
    CURL* c = t.curl;
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, read_upload);
    curl_easy_setopt(c, CURLOPT_READDATA, &file);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file.size));
    curl_easy_setopt(c, CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR_RETRY));
    if (!j.user.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, j.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, j.password.c_str());
    }
    if (j.passive == 0) curl_easy_setopt(c, CURLOPT_FTPPORT, "-");  // active, from the control connection's address
    const Attempt a = perform(t, stop, j);
    if (file.timed_out) return {Attempt::Retry, "reading " + quoted(j.file, 200) + " took longer than the delivery timeout"};
    return a;
}

Attempt attempt(const Job& j, const DeliveryOptions& o, const std::atomic<bool>& stop) {
    return j.kind == Kind::Upload ? upload(j, o, stop) : send_mail(j, o, stop);
}

#else  // a build without libcurl (the cross build): every delivery fails, saying why

Attempt attempt(const Job&, const DeliveryOptions&, const std::atomic<bool>&) {
    return refused("this apisim was built without libcurl");
}

#endif

// ---- the outbox: the queue, its spool, the worker ----

const char* const kOperationNames[] = {"API_SMTP_Send_Text", "API_SMTP_Send_Attach", "API_Net_FTPContextPut"};

double monotonic() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string server_text(const Job& j) {
    const bool mail = j.kind != Kind::Upload;
    const std::string host = j.server.empty() ? "(no server)" : shown(j.server);
    const int32_t port = mail ? mail_port(j) : ftp_port(j);
    const char* mode = !mail                       ? (j.passive ? "passive" : "active")
                       : j.ssl >= 0 && j.ssl <= 2 ? kSslNames[j.ssl]
                                                   : "SSL setting unknown";
    return host + ":" + std::to_string(port) + " (" + mode + ")";
}

std::string what_text(const Job& j) {
    if (j.kind == Kind::Upload)
        return quoted(j.file) + " into " + (j.folder.empty() ? "the login folder" : quoted(j.folder));
    std::string s = quoted(j.subject) + " to " + quoted(j.to);
    return j.kind == Kind::Attach ? s + " with " + quoted(j.file) : s;
}

std::string plural(int n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

struct Outcome {
    Job job;  // without the password: what the listing shows
    bool delivered;
    int64_t at;
    std::string answer;
};

class Outbox {
public:
    bool start(const DeliveryOptions& options, std::string& error);
    void stop();
    std::string queue(int command, const char* mtext, const BUFFER_ENCODE_T& rec, std::string& args, pid_t caller);
    void listen(OutcomeListener listener) {
        std::lock_guard<std::mutex> hold(mu_);
        listeners_.push_back(std::move(listener));
    }
    std::vector<std::string> lines();
    std::string json();

private:
    struct Entry {
        Job job;
        double due;
        bool sending;
        std::string last_answer;
    };

    void run();
    std::string settle(const Job& job, const Attempt& a);  // under mu_
    std::string finish(const Job& job, bool delivered, const std::string& answer);  // under mu_
    void emit(const std::string& line);
    bool load_spool(std::string& error);
    bool keep(const Job& job, std::string& error);  // under mu_
    void forget(const Job& job);                    // under mu_
    std::string entry_name(uint64_t id) const {
        char name[40];
        snprintf(name, sizeof name, "%012llu.entry", static_cast<unsigned long long>(id));
        return name;
    }
    int max_attempts() const { return static_cast<int>(options_.retry_after.size()) + 1; }

    DeliveryOptions options_;
    std::mutex mu_;
    std::condition_variable wake_;
    std::vector<Entry> entries_;
    std::vector<Outcome> recent_;
    std::vector<OutcomeListener> listeners_;
    std::thread worker_;
    bool stopping_ = false;
    std::atomic<bool> abort_{false};
    uint64_t next_id_ = 1;
    int spool_lock_ = -1;
    int spool_fd_ = -1;
};

bool Outbox::start(const DeliveryOptions& options, std::string& error) {
    options_ = options;
    if (options_.ca_file.empty())
        if (const char* env = getenv("APISIM_CA_FILE")) options_.ca_file = env;
    if (!options_.ca_file.empty() && access(options_.ca_file.c_str(), R_OK) != 0)
        return error = errno_text("CA file " + options_.ca_file), false;
#if APISIM_WITH_CURL
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return error = "libcurl did not start", false;
#endif
    if (!options_.spool.empty() && !load_spool(error)) return false;
    // The worker takes no signal: SIGINT and SIGTERM must reach the serving loop.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    worker_ = std::thread([this] { run(); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
}

void Outbox::stop() {
    if (!worker_.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(mu_);
        stopping_ = true;
    }
    abort_ = true;
    wake_.notify_all();
    worker_.join();
#if APISIM_WITH_CURL
    curl_global_cleanup();
#endif
}

bool Outbox::load_spool(std::string& error) {
    const std::string& dir = options_.spool;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return error = errno_text("outbox folder " + dir), false;
    spool_fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (spool_fd_ < 0) return error = errno_text("outbox folder " + dir), false;
    // Two stand-ins (in two IPC namespaces) must not deliver one spool twice.
    spool_lock_ = openat(spool_fd_, "lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (spool_lock_ < 0) return error = errno_text("outbox lock in " + dir), false;
    if (flock(spool_lock_, LOCK_EX | LOCK_NB) != 0)
        return error = "another apisim delivers from the outbox folder " + dir, false;
    DIR* d = fdopendir(dup(spool_fd_));
    if (!d) return error = errno_text("outbox folder " + dir), false;
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const auto ends = [&name](const char* tail) {
            const size_t n = strlen(tail);
            return name.size() > n && name.compare(name.size() - n, n, tail) == 0;
        };
        if (ends(".tmp")) unlinkat(spool_fd_, name.c_str(), 0);  // a write that a crash cut short
        if (!ends(".entry")) continue;
        std::string text, why;
        Job job;
        const int fd = openat(spool_fd_, name.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[8192];
        for (ssize_t n; fd >= 0 && text.size() <= kMaxEntryFile && (n = read(fd, buf, sizeof buf)) > 0;)
            text.append(buf, n);
        if (fd >= 0) close(fd);
        bool ok = fd >= 0 && decode_job(text, job, why);
        if (ok && name != entry_name(job.id)) ok = false, why = "its name and its id differ";
        if (!ok) {
            fprintf(stderr, "apisim: outbox entry %s set aside as %s.bad: %s\n", name.c_str(), name.c_str(),
                    fd < 0 ? strerror(errno) : why.c_str());
            renameat(spool_fd_, name.c_str(), spool_fd_, (name + ".bad").c_str());
            continue;
        }
        next_id_ = std::max(next_id_, job.id + 1);
        entries_.push_back({job, 0, false, ""});
    }
    if (!entries_.empty())
        fprintf(stderr, "apisim: outbox: %zu deliveries left queued by an earlier run\n", entries_.size());
    return true;
}

bool Outbox::keep(const Job& job, std::string& error) {
    if (spool_fd_ < 0) return true;
    const std::string name = entry_name(job.id), temp = "." + name + ".tmp", text = encode_job(job);
    const int fd = openat(spool_fd_, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return error = errno_text("outbox entry " + temp), false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    bool ok = done == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(spool_fd_, temp.c_str(), spool_fd_, name.c_str()) == 0 && fsync(spool_fd_) == 0;
    if (!ok) {
        error = errno_text("outbox entry " + name);
        unlinkat(spool_fd_, temp.c_str(), 0);
    }
    return ok;
}

void Outbox::forget(const Job& job) {
    if (spool_fd_ < 0) return;
    const std::string name = entry_name(job.id);
    if (unlinkat(spool_fd_, name.c_str(), 0) != 0 || fsync(spool_fd_) != 0)
        fprintf(stderr, "apisim: outbox entry %s not removed (%s): a restart would send it again\n",
                name.c_str(), strerror(errno));
}

std::string Outbox::queue(int command, const char* mtext, const BUFFER_ENCODE_T& rec, std::string& args,
                          pid_t caller) {
    Job job;
    job.queued = time(nullptr);
    std::string refusal;
    if (command == 64) {
        job.kind = Kind::Text;
        job.subject.assign(mtext, strnlen(mtext, 64));
        job.content = mtext + 64;
        args = "subject=" + quoted(job.subject) + ", content=" + quoted(job.content);
    } else if (command == 65) {
        job.kind = Kind::Attach;
        args = quoted(mtext, 120);
        if (!split_attach_request(mtext, job.subject, job.content, job.file))
            refusal = "the request is not subject,content,path";
    } else {
        job.kind = Kind::Upload;
        job.file = mtext;
        args = "filename=" + quoted(job.file);
    }
    // Only a program that serves without an outbox (the fuzz target) gets here.
    if (!worker_.joinable()) return "not queued: no outbox runs";
    if (job.kind == Kind::Upload) {
        const FTP_CONFIG& f = rec.FtpConfigs;
        job.server = field_text(f.server);
        job.user = field_text(f.user);
        job.password = field_text(f.pass);
        job.folder = field_text(f.uploadPath);
        job.port = f.port;
        job.passive = f.passive;
    } else {
        const SMTP_CONFIG& s = rec.SmtpConfigs;
        job.server = field_text(s.smtpServer);
        job.user = field_text(s.authUser);
        job.password = field_text(s.authPass);
        job.from = field_text(s.mailFrom);
        job.to = field_text(s.mailTo);
        job.port = s.smtpport;
        job.ssl = s.smtpSSL;
        job.auth = s.smtpAuth;
    }
    if (job.kind != Kind::Text) caller_of(caller, job);
    // A relative path means the same file after a restart elsewhere.
    char cwd[PATH_MAX];
    if (!job.file.empty() && job.file[0] != '/' && getcwd(cwd, sizeof cwd))
        job.file = std::string(cwd) + "/" + job.file;

    std::string line, result, error;
    {
        std::lock_guard<std::mutex> hold(mu_);
        job.id = next_id_++;
        if (job.kind != Kind::Upload) {
            const size_t at = job.from.find('@');
            job.message_id = "<apisim." + std::to_string(job.queued) + "." + std::to_string(getpid()) + "." +
                             std::to_string(job.id) + "@" +
                             (at != std::string::npos && plain_address(job.from) ? job.from.substr(at + 1)
                                                                                          : "apisim.invalid") +
                             ">";
        }
        if (refusal.empty() && entries_.size() >= kMaxQueued)
            refusal = "the outbox is full (" + std::to_string(kMaxQueued) + " deliveries queued)";
        if (!refusal.empty()) {
            line = finish(job, false, refusal);
            result = "refused: " + refusal;
        } else {
            if (!keep(job, error))
                fprintf(stderr, "apisim: delivery #%llu kept in memory only: %s\n",
                        static_cast<unsigned long long>(job.id), error.c_str());
            entries_.push_back({job, monotonic(), false, ""});
            result = "queued as delivery #" + std::to_string(job.id);
        }
    }
    wake_.notify_all();
    if (!line.empty()) emit(line);
    return result;
}

void Outbox::run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
        Entry* next = nullptr;
        for (Entry& e : entries_)
            if (!next || e.due < next->due) next = &e;  // the earliest, and among equals the first queued
        if (!next) {
            wake_.wait(lock);
            continue;
        }
        const double wait = next->due - monotonic();
        if (wait > 0) {
            wake_.wait_for(lock, std::chrono::duration<double>(wait));
            continue;
        }
        const Job job = next->job;
        next->sending = true;
        lock.unlock();
        const Attempt a = attempt(job, options_, abort_);
        lock.lock();
        const std::string line = settle(job, a);
        lock.unlock();
        emit(line);
        lock.lock();
    }
}

std::string Outbox::settle(const Job& sent, const Attempt& a) {
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.job.id == sent.id; });
    Entry& e = *it;  // only the worker removes entries
    e.sending = false;
    const std::string head = "delivery #" + std::to_string(sent.id) + " " + kOperationNames[int(sent.kind)] + " " +
                             what_text(sent) + " via " + server_text(sent) + ": ";
    if (a.result == Attempt::Aborted) return head + "broken off by the stop, stays queued";
    const int attempt = e.job.attempts + 1;
    if (a.result == Attempt::Delivered || a.result == Attempt::Refused || attempt >= max_attempts()) {
        Job done = e.job;
        done.attempts = attempt;
        forget(done);
        entries_.erase(it);
        return finish(done, a.result == Attempt::Delivered, a.answer);
    }
    e.job.attempts = attempt;
    const double delay = options_.retry_after[attempt - 1];
    e.due = monotonic() + delay;
    e.last_answer = a.answer;
    std::string error;
    if (!keep(e.job, error)) fprintf(stderr, "apisim: %s\n", error.c_str());
    return head + "attempt " + std::to_string(attempt) + " of " + std::to_string(max_attempts()) +
           " failed, next in " + seconds_text(delay) + " s: " + a.answer;
}

std::string Outbox::finish(const Job& job, bool delivered, const std::string& answer) {
    Outcome o{job, delivered, time(nullptr), answer};
    o.job.password.clear();
    recent_.push_back(o);
    if (recent_.size() > kMaxRecent) recent_.erase(recent_.begin());
    std::string line = "delivery #" + std::to_string(job.id) + " " + kOperationNames[int(job.kind)] + " " +
                       what_text(job) + " via " + server_text(job) + ": ";
    if (delivered) return line + "delivered (" + plural(job.attempts, "attempt") + ")" +
                          (answer.empty() ? "" : ": " + answer);
    if (job.attempts == 0) return line + "failed, not queued: " + answer;
    return line + "failed after " + plural(job.attempts, "attempt") + ": " + answer;
}

void Outbox::emit(const std::string& line) {
    fprintf(stderr, "apisim: %s\n", line.c_str());
    if (options_.trace) printf("%s\n", line.c_str());
    std::vector<OutcomeListener> listeners;
    {
        std::lock_guard<std::mutex> hold(mu_);
        listeners = listeners_;
    }
    for (const OutcomeListener& l : listeners) l(line);
}

std::vector<std::string> Outbox::lines() {
    std::lock_guard<std::mutex> hold(mu_);
    std::vector<std::string> out;
    const double now = monotonic();
    out.push_back("queued: " + std::to_string(entries_.size()));
    for (const Entry& e : entries_) {
        std::string s = "#" + std::to_string(e.job.id) + " " + kOperationNames[int(e.job.kind)] + " " +
                        what_text(e.job) + " via " + server_text(e.job) + ": ";
        const std::string n = "attempt " + std::to_string(e.job.attempts + 1) + " of " + std::to_string(max_attempts());
        if (e.sending) s += "sending, " + n;
        else if (e.due <= now) s += n + " due now";
        else s += n + " in " + seconds_text(e.due - now) + " s";
        if (!e.last_answer.empty()) s += "; last: " + e.last_answer;
        out.push_back(s);
    }
    out.push_back("recent: " + std::to_string(recent_.size()));
    for (const Outcome& o : recent_) {
        char when[32];
        const time_t t = static_cast<time_t>(o.at);
        struct tm tm;
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime_r(&t, &tm));
        out.push_back("#" + std::to_string(o.job.id) + " " + kOperationNames[int(o.job.kind)] + " " +
                      what_text(o.job) + " via " + server_text(o.job) + ": " +
                      (o.delivered ? "delivered" : "failed") + " at " + when + " after " +
                      plural(o.job.attempts, "attempt") + (o.answer.empty() ? "" : ": " + o.answer));
    }
    return out;
}

std::string Outbox::json() {
    std::lock_guard<std::mutex> hold(mu_);
    const double now = monotonic();
    auto common = [](const Job& j) {
        return "{\"id\":" + std::to_string(j.id) + ",\"operation\":" + json_string(kOperationNames[int(j.kind)]) +
               ",\"what\":" + json_string(what_text(j)) + ",\"server\":" + json_string(server_text(j)) +
               ",\"attempts\":" + std::to_string(j.attempts);
    };
    std::string s = "{\"queued\":[";
    for (const Entry& e : entries_) {
        s += (&e == &entries_[0] ? "" : ",") + common(e.job) +
             ",\"max_attempts\":" + std::to_string(max_attempts()) + ",\"sending\":" + (e.sending ? "true" : "false") +
             ",\"next_in\":" + seconds_text(std::max(0.0, e.due - now)) +
             ",\"last_answer\":" + json_string(e.last_answer) + "}";
    }
    s += "],\"recent\":[";
    for (const Outcome& o : recent_) {
        s += (&o == &recent_[0] ? "" : ",") + common(o.job) + ",\"result\":" +
             (o.delivered ? "\"delivered\"" : "\"failed\"") + ",\"at\":" + std::to_string(o.at) +
             ",\"answer\":" + json_string(o.answer) + "}";
    }
    return s + "]}";
}

// Never destroyed: a worker may still run when the program exits on an error.
Outbox& the_outbox() {
    static Outbox* box = new Outbox;
    return *box;
}

bool parse_seconds(const char* text, double min, double max, double& out) {
    char* end;
    errno = 0;
    out = strtod(text, &end);
    return end != text && *end == 0 && errno == 0 && out >= min && out <= max;
}

}  // namespace
}  // namespace delivery

using delivery::parse_seconds;
using delivery::the_outbox;

bool parse_delivery_option(int argc, char** argv, int& i, DeliveryOptions& options, std::string& error) {
    const std::string a = argv[i];
    const char* names[] = {"--ca-file", "--retry", "--delivery-timeout"};
    const char* value = nullptr;
    const char* name = nullptr;
    for (const char* n : names) {
        const size_t len = strlen(n);
        if (a == n) {
            name = n;
            if (i + 1 >= argc) return error = std::string(n) + " needs a value", true;
            value = argv[++i];
        } else if (a.compare(0, len, n) == 0 && a.size() > len && a[len] == '=') {
            name = n, value = argv[i] + len + 1;
        }
        if (name) break;
    }
    if (!name) return false;
    if (name == names[0]) {
        options.ca_file = value;
        return true;
    }
    if (name == names[2]) {
        if (!parse_seconds(value, 0.1, 3600, options.timeout))
            error = "--delivery-timeout: not a number of seconds from 0.1 to 3600: " + std::string(value);
        return true;
    }
    // --retry: the waits before the second, third ... attempt; "none" for one attempt only.
    options.retry_after.clear();
    if (strcmp(value, "none") == 0) return true;
    const std::string list = value;
    for (size_t at = 0; at <= list.size();) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        double s;
        if (!parse_seconds(list.substr(at, end - at).c_str(), 0.01, 86400, s) || options.retry_after.size() >= 20)
            return error = "--retry: not a list of up to 20 waits in seconds (0.01 to 86400): " + list, true;
        options.retry_after.push_back(s);
        at = end + 1;
    }
    return true;
}

bool start_deliveries(const DeliveryOptions& options, std::string& error) {
    return the_outbox().start(options, error);
}
void stop_deliveries() { the_outbox().stop(); }
std::string queue_delivery(int command, const char* mtext, const BUFFER_ENCODE_T& rec, std::string& args,
                           pid_t caller) {
    return the_outbox().queue(command, mtext, rec, args, caller);
}
void add_outcome_listener(OutcomeListener listener) { the_outbox().listen(std::move(listener)); }
std::vector<std::string> outbox_lines() { return the_outbox().lines(); }
std::string outbox_json() { return the_outbox().json(); }

}  // namespace apisim
