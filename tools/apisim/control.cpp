#include "control.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <list>
#include <map>
#include <mutex>

#include "control_address.h"
#include "init_ipc.h"
#include "op_facts.h"
#include "serve.h"
#include "utf8.h"

namespace apisim::control {
namespace {

constexpr size_t kMaxClients = 16;   // connections still sending their request
constexpr size_t kMaxMonitors = 16;
constexpr size_t kMonitorQueueBytes = 1 << 20;  // lines waiting for one monitor; beyond, lines are lost
constexpr int kRequestSeconds = 5;   // to send a request once connected
constexpr size_t kFieldMax = 1500;   // of a monitor line's request and result
constexpr unsigned kMaxDelayMs = 3600 * 1000;

// ---- how a daemon operation's reply can carry its failure value ----

enum class Failure {
    None,     // it cannot: why_not says why
    Empty,    // an empty text: no number where the library reads one
    ByteFF,   // 0xff, read as a signed byte: -1
    IntM1,    // 0xffffffff, read as a 32-bit integer: -1
    TooLong,  // a text of `size` characters or more: more than the caller's buffer takes
};

struct Operation {
    const char* name;
    int commands[2];  // the exchanges it makes; 0: none. Fail rules act on the first.
    Failure failure;
    unsigned size;        // Failure::TooLong
    const char* why_not;  // Failure::None
};

constexpr const char* kAckOnly = "the library returns its success value whenever an answer arrives";
constexpr const char* kAnyByte = "every reply byte is a valid value (0 to 255)";
constexpr const char* kAnyBlock = "the reply is copied as a record: every content is valid";

// The hand-written operations that talk to the daemon, and how the library
// reads their replies (see app/api_arch.cpp).
const Operation kHandOperations[] = {
    {"API_Video_GetPIRatio", {8, 0}, Failure::Empty},
    {"API_Video_SetJPGSnapShot", {17, 0}, Failure::None, 0,
     "the picture's length is read from the shared state record, not from the reply"},
    {"API_Net_GetFixIP", {23, 0}, Failure::TooLong, 32},
    {"API_Net_SetNetConfig", {27, 0}, Failure::None, 0, kAckOnly},
    {"API_Net_SetMacAddress", {28, 0}, Failure::None, 0, kAckOnly},
    {"API_Net_SetDNS", {30, 0}, Failure::None, 0, kAckOnly},
    {"API_SNTP_Get_Zone", {33, 0}, Failure::None, 0, "the library returns 0 whatever the answer"},
    {"API_SMTP_Send_Text", {64, 0}, Failure::None, 0, kAckOnly},
    {"API_SMTP_Send_Attach", {65, 0}, Failure::None, 0, kAckOnly},
    {"API_Net_FTPGetCommandPort", {74, 0}, Failure::Empty},
    {"API_WLAN_SetWepKey", {123, 0}, Failure::None, 0, kAckOnly},
    {"API_System_Update", {144, 0}, Failure::None, 0, kAckOnly},
    {"API_Video_GetDeinterlace", {159, 0}, Failure::None, 0, kAnyByte},
    {"API_MOD_SetGPIOValueOut", {173, 0}, Failure::None, 0, kAckOnly},
    {"API_EVENT_GetMotionRegion", {178, 0}, Failure::Empty},
    {"API_EVENT_SetMotionRegion", {179, 0}, Failure::None, 0, kAckOnly},
    {"API_USER_SetAddUser", {214, 0}, Failure::None, 0, kAckOnly},
    {"API_USER_SetChangePassword", {216, 0}, Failure::None, 0, kAckOnly},
    // An account answer of 256 bytes or more is refused by the splitter.
    {"API_USER_GetUserInfoByName", {217, 0}, Failure::TooLong, 256},
    {"API_USER_GetUserInfoByID", {218, 0}, Failure::TooLong, 256},
    {"API_USER_Modify", {219, 0}, Failure::None, 0, kAckOnly},
    {"API_MOD_SetRecordList", {259, 257}, Failure::None, 0, kAckOnly},
    // A record count of -1 in the header's answer.
    {"API_MOD_GetRecordList", {260, 258}, Failure::IntM1},
    {"API_Video_GetQP", {331, 0}, Failure::None, 0, "the library returns 1 whatever the answer"},
    {"API_Linkway_GetMapStatus", {386, 0}, Failure::TooLong, 128},
};

Operation operation_of(const op_facts::Facts& f) {
    using op_facts::Rep;
    Operation op{f.name, {f.command, 0}, Failure::None, 0, nullptr};
    switch (f.rep) {
    case Rep::Ack: op.why_not = kAckOnly; break;
    case Rep::Byte: op.why_not = kAnyByte; break;
    case Rep::Block: op.why_not = kAnyBlock; break;
    case Rep::SByte: op.failure = Failure::ByteFF; break;
    case Rep::Int: op.failure = Failure::IntM1; break;
    case Rep::Decimal: op.failure = Failure::Empty; break;
    case Rep::Text: op.failure = Failure::TooLong, op.size = f.reply_size; break;
    }
    return op;
}

std::vector<Operation> all_operations() {
    std::vector<Operation> all;
    for (size_t i = 0; i < op_facts::kOpCount; ++i) all.push_back(operation_of(op_facts::kOps[i]));
    for (const Operation& op : kHandOperations) all.push_back(op);
    return all;
}

const std::vector<Operation>& operations() {
    static const std::vector<Operation>* all = new std::vector<Operation>(all_operations());
    return *all;
}

// A name as apictl matches it: any case, with or without "API_".
std::string folded(const std::string& name) {
    std::string s = name;
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s.rfind("api_", 0) == 0 ? s.substr(4) : s;
}

size_t distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// The operation a user's name means, or null with the reason in `why`.
const Operation* resolve(const std::string& name, std::string& why) {
    const std::string want = folded(name);
    std::vector<const Operation*> same;
    for (const Operation& op : operations()) {
        if (name == op.name || "API_" + name == op.name) return &op;
        if (folded(op.name) == want) same.push_back(&op);
    }
    if (same.size() == 1) return same[0];
    if (same.size() > 1) {
        why = "'" + name + "' is ambiguous: ";
        for (const Operation* op : same) why += std::string(op == same[0] ? "" : " or ") + op->name;
        why += " (give the exact case)";
        return nullptr;
    }
    // Suggestions: names that contain it, else the nearest by edit distance.
    std::vector<std::pair<size_t, const char*>> near;
    for (const Operation& op : operations()) {
        const std::string f = folded(op.name);
        if (!want.empty() && f.find(want) != std::string::npos) near.push_back({0, op.name});
        else if (want.size() > 64) continue;  // nothing near, and not worth the time
        else if (const size_t d = distance(f, want); d <= std::max<size_t>(2, want.size() / 4))
            near.push_back({d, op.name});
    }
    std::stable_sort(near.begin(), near.end());
    why = "no operation of the daemon is named '" + name + "'";
    for (size_t i = 0; i < near.size() && i < 5; ++i) why += (i ? ", " : "; did you mean ") + std::string(near[i].second);
    if (!near.empty()) why += "?";
    return nullptr;
}

// ---- fault rules ----

enum class Action { Drop, Delay, Fail, Reply };
const char* const kActionNames[] = {"drop", "delay", "fail", "reply"};

struct Rule {
    std::string name;
    int commands[2] = {0, 0};
    Action action = Action::Drop;
    unsigned delay_ms = 0;
    std::vector<unsigned char> bytes;  // Fail, Reply: the reply's mtext (the rest zero)
    unsigned long hits = 0;

    bool covers(int command) const { return command && (commands[0] == command || commands[1] == command); }
};

// ---- monitors ----

// A monitor's lines wait in memory until the channel's thread writes them:
// the transaction path only formats and queues, and a burst of transactions
// does not outrun a monitor that reads at its own pace.
struct Monitor {
    int fd;
    bool json;
    std::string pattern;
    // Under monitors_mutex:
    std::deque<std::string> incoming;  // queued by emit()
    size_t bytes = 0;                  // of incoming and outgoing
    unsigned long lost = 0;            // lines that found its queue full, since its last line
    bool gone = false;                 // it left; the channel's thread closes it
    // The channel's thread's alone:
    std::deque<std::string> outgoing;
};

struct Event {
    std::string name, request, result;
    pid_t pid = 0;
    int command = -1;  // -1: not a transaction
    std::string rule;  // the fault rule that acted, if any
};

// What the transaction under way has gathered (the serving thread's alone).
struct Pending {
    bool described = false;
    std::string name, request, result;
    pid_t pid = 0;
    std::string rule;      // the fault rule that acted: "drop", "delay 250 ms" ...
    std::string answered;  // what the caller got instead of apisim's answer, if anything
};

// Everything the channel keeps. Never destroyed: its thread may still run
// while the process exits.
struct Channel {
    std::mutex rules_mutex;
    std::vector<Rule> rules;
    std::atomic<bool> have_rules{false};
    std::atomic<unsigned> rules_generation{0};

    std::mutex monitors_mutex;
    std::list<Monitor> monitors;
    std::atomic<size_t> monitor_count{0};
    int wake_fd = -1;  // an eventfd: lines are waiting for a monitor that had none

    std::mutex commands_mutex;
    std::map<std::string, Handler> commands;

    Pending pending;
};

Channel& channel() {
    static Channel* c = new Channel;
    return *c;
}

// ---- text ----

std::string decimal(long long v) {
    char b[24];
    snprintf(b, sizeof b, "%lld", v);
    return b;
}

std::string hex_of(const std::vector<unsigned char>& bytes) {
    std::string s;
    char b[3];
    for (unsigned char c : bytes) snprintf(b, sizeof b, "%02x", c), s += b;
    return s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Pairs of hexadecimal digits; blanks and ':' between bytes are allowed.
bool parse_hex(const std::string& s, std::vector<unsigned char>& out) {
    out.clear();
    for (size_t i = 0; i < s.size();) {
        if (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == ':') {
            ++i;
            continue;
        }
        if (i + 1 >= s.size()) return false;
        const int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<unsigned char>(hi << 4 | lo));
        i += 2;
    }
    return true;
}

// "250ms", "2s", "1.5" (seconds), "1m".
bool parse_duration(const std::string& s, unsigned& ms) {
    if (s.empty() || !(isdigit(static_cast<unsigned char>(s[0])) || s[0] == '.')) return false;
    char* end;
    const double v = strtod(s.c_str(), &end);
    const std::string unit = end;
    double scale;
    if (unit.empty() || unit == "s") scale = 1000;
    else if (unit == "ms") scale = 1;
    else if (unit == "m") scale = 60000;
    else return false;
    const double total = v * scale;
    if (!(total >= 0) || total > kMaxDelayMs) return false;
    ms = static_cast<unsigned>(total + 0.5);
    return true;
}

std::string cut(const std::string& s) { return s.size() <= kFieldMax ? s : s.substr(0, kFieldMax) + "..."; }

std::string now_text() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    localtime_r(&ts.tv_sec, &local);
    char b[48];
    const size_t n = strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &local);
    snprintf(b + n, sizeof b - n, ".%03ld", static_cast<long>(ts.tv_nsec / 1000000));
    return b;
}

// One line whatever the fields hold (a server's answer may end in CR LF).
std::string text_line(const Event& e, const std::string& time) {
    std::string s = time + " " + (e.pid > 0 ? decimal(e.pid) : "-") + " " + e.name + "(" + cut(e.request) +
                    ") -> " + cut(e.result);
    if (!e.rule.empty()) s += " [rule: " + e.rule + "]";
    for (char& ch : s)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = ' ';
    return s + "\n";
}

std::string json_line(const Event& e, const std::string& time) {
    std::string s = "{\"time\":\"" + time + "\",\"pid\":" + (e.pid > 0 ? decimal(e.pid) : "null") +
                    ",\"name\":" + json_string(e.name);
    if (e.command >= 0) s += ",\"command\":" + decimal(e.command);
    s += ",\"request\":" + json_string(cut(e.request)) + ",\"result\":" + json_string(cut(e.result));
    if (!e.rule.empty()) s += ",\"rule\":" + json_string(e.rule);
    return s + "}\n";
}

bool matches(const std::string& pattern, const std::string& name) {
    if (pattern.empty()) return true;
    if (pattern.find_first_of("*?[") != std::string::npos)
        return fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
    return strcasestr(name.c_str(), pattern.c_str()) != nullptr;
}

// ---- queueing lines for monitors: never waits for one ----

void queue_line(Monitor& m, const std::string& line, bool& wake) {
    if (m.bytes + line.size() > kMonitorQueueBytes) {
        ++m.lost;
        return;
    }
    wake |= m.bytes == 0;
    m.bytes += line.size();
    m.incoming.push_back(line);
}

void emit(const Event& e) {
    Channel& c = channel();
    if (c.monitor_count.load(std::memory_order_relaxed) == 0) return;
    const std::string time = now_text();
    std::string text, json;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(c.monitors_mutex);
        for (Monitor& m : c.monitors) {
            if (m.gone || !matches(m.pattern, e.name)) continue;
            std::string& line = m.json ? json : text;
            if (line.empty()) line = m.json ? json_line(e, time) : text_line(e, time);
            if (m.lost) {
                const std::string lost = decimal(static_cast<long long>(m.lost));
                const std::string notice = m.json ? "{\"time\":\"" + time + "\",\"lost\":" + lost + "}\n"
                                                  : time + " - monitor: " + lost + " lines lost (reading too slowly)\n";
                if (m.bytes + notice.size() + line.size() > kMonitorQueueBytes) {
                    ++m.lost;
                    continue;
                }
                m.lost = 0;
                queue_line(m, notice, wake);
            }
            queue_line(m, line, wake);
        }
    }
    const uint64_t one = 1;
    if (wake && write(c.wake_fd, &one, sizeof one) < 0) {}  // already signalled when full
}

// ---- the "sim" command: fault rules ----

std::string rule_text(const Rule& r, bool with_hits = true) {
    std::string s = r.name + ": " + kActionNames[static_cast<int>(r.action)];
    if (r.action == Action::Delay) s += " " + decimal(r.delay_ms) + " ms";
    if (r.action == Action::Reply) s += " " + (r.bytes.empty() ? std::string("(all zero)") : hex_of(r.bytes));
    s += " (command " + decimal(r.commands[0]);
    if (r.commands[1]) s += ", " + decimal(r.commands[1]);
    if (!with_hits) return s + ")";
    return s + "; acted " + decimal(static_cast<long long>(r.hits)) + " times)";
}

std::string rule_json(const Rule& r) {
    std::string s = "{\"name\":" + json_string(r.name) + ",\"action\":\"" + kActionNames[static_cast<int>(r.action)] +
                    "\",\"commands\":[" + decimal(r.commands[0]);
    if (r.commands[1]) s += "," + decimal(r.commands[1]);
    s += "]";
    if (r.action == Action::Delay) s += ",\"delay_ms\":" + decimal(r.delay_ms);
    if (r.action == Action::Fail || r.action == Action::Reply) s += ",\"bytes\":\"" + hex_of(r.bytes) + "\"";
    return s + ",\"hits\":" + decimal(static_cast<long long>(r.hits)) + "}";
}

constexpr const char* kSimUsage =
    "usage: apictl sim drop NAME | delay NAME DURATION | fail NAME | reply NAME HEX | list | clear [NAME]";

Answer usage(const std::string& why) { return {2, "sim: " + why + "\n" + kSimUsage + "\n"}; }

// The failure answer of an operation, or false with the reason.
bool failure_bytes(const Operation& op, std::vector<unsigned char>& bytes, std::string& why) {
    switch (op.failure) {
    case Failure::None:
        why = std::string(op.name) + ": its reply cannot carry a failure: " + op.why_not + " (drop makes it fail)";
        return false;
    case Failure::Empty: bytes.clear(); break;
    case Failure::ByteFF: bytes.assign(1, 0xff); break;
    case Failure::IntM1: bytes.assign(4, 0xff); break;
    case Failure::TooLong: bytes.assign(std::min<unsigned>(op.size, MSG_TEXT_SIZE), 'x'); break;
    }
    return true;
}

Answer set_rule(const std::vector<std::string>& args, bool json) {
    const std::string& verb = args[0];
    const size_t want = verb == "delay" || verb == "reply" ? 3 : 2;
    if (args.size() != want) return usage(verb + ": expects " + decimal(static_cast<long long>(want - 1)) + " argument" + (want == 2 ? "" : "s"));
    Rule r;
    if (verb == "delay") {
        r.action = Action::Delay;
        if (!parse_duration(args[2], r.delay_ms))
            return usage("delay: '" + args[2] + "' is not a duration of at most 3600 s (e.g. 250ms, 2s, 1.5)");
    } else if (verb == "reply") {
        r.action = Action::Reply;
        if (!parse_hex(args[2], r.bytes)) return usage("reply: '" + args[2] + "' is not hexadecimal bytes");
        if (r.bytes.size() > MSG_TEXT_SIZE)
            return usage("reply: " + decimal(static_cast<long long>(r.bytes.size())) + " bytes: a reply carries " +
                         decimal(MSG_TEXT_SIZE) + " at most");
    } else if (verb == "fail") {
        r.action = Action::Fail;
    }
    std::string why;
    const Operation* op = resolve(args[1], why);
    if (!op) return {1, "sim " + verb + ": " + why + "\n"};
    r.name = op->name;
    r.commands[0] = op->commands[0];
    r.commands[1] = r.action == Action::Fail ? 0 : op->commands[1];
    if (r.action == Action::Fail && !failure_bytes(*op, r.bytes, why)) return {1, "sim fail: " + why + "\n"};

    Channel& c = channel();
    {
        std::lock_guard<std::mutex> lock(c.rules_mutex);
        c.rules.erase(std::remove_if(c.rules.begin(), c.rules.end(),
                                     [&](const Rule& old) { return old.covers(r.commands[0]) || old.covers(r.commands[1]); }),
                      c.rules.end());
        c.rules.push_back(r);
        c.have_rules = true;
        ++c.rules_generation;
    }
    note("fault rule %s", rule_text(r, false).c_str());
    return {0, json ? rule_json(r) + "\n" : rule_text(r, false) + "\n"};
}

Answer list_rules(bool json) {
    Channel& c = channel();
    std::vector<Rule> rules;
    {
        std::lock_guard<std::mutex> lock(c.rules_mutex);
        rules = c.rules;
    }
    const size_t monitors = c.monitor_count.load();
    std::string s;
    if (json) {
        for (const Rule& r : rules) s += (s.empty() ? "" : ",") + rule_json(r);
        return {0, "{\"rules\":[" + s + "],\"monitors\":" + decimal(static_cast<long long>(monitors)) + "}\n"};
    }
    for (const Rule& r : rules) s += rule_text(r) + "\n";
    if (rules.empty()) s = "no fault rules\n";
    return {0, s + "monitors attached: " + decimal(static_cast<long long>(monitors)) + "\n"};
}

Answer clear_rules(const std::vector<std::string>& args, bool json) {
    if (args.size() > 2) return usage("clear: expects at most a name");
    Channel& c = channel();
    size_t cleared;
    std::string what = "all fault rules";
    {
        std::lock_guard<std::mutex> lock(c.rules_mutex);
        const size_t before = c.rules.size();
        if (args.size() == 2) {
            std::string why;
            const Operation* op = resolve(args[1], why);
            if (!op) return {1, "sim clear: " + why + "\n"};
            what = std::string("the fault rule of ") + op->name;
            c.rules.erase(std::remove_if(c.rules.begin(), c.rules.end(),
                                         [&](const Rule& r) { return r.covers(op->commands[0]); }),
                          c.rules.end());
            if (c.rules.size() == before) return {1, std::string("sim clear: ") + op->name + " has no fault rule\n"};
        } else {
            c.rules.clear();
        }
        cleared = before - c.rules.size();
        c.have_rules = !c.rules.empty();
        ++c.rules_generation;
    }
    note("cleared %s", what.c_str());
    if (json) return {0, "{\"cleared\":" + decimal(static_cast<long long>(cleared)) + "}\n"};
    return {0, "cleared " + decimal(static_cast<long long>(cleared)) + " rule" + (cleared == 1 ? "" : "s") + "\n"};
}

Answer sim_command(const std::vector<std::string>& args, bool json) {
    if (args.empty()) return usage("which?");
    const std::string& verb = args[0];
    if (verb == "drop" || verb == "delay" || verb == "fail" || verb == "reply") return set_rule(args, json);
    if (verb == "list") return args.size() == 1 ? list_rules(json) : usage("list: takes no arguments");
    if (verb == "clear") return clear_rules(args, json);
    return usage("unknown sim command '" + verb + "'");
}

// ---- the channel's thread ----

// The answer to a request, then the connection is closed. Bounded: a client
// that does not read it is left after two seconds.
void answer(int fd, const Answer& a) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const std::string head = decimal(a.status) + "\n";
    const size_t first = std::min(a.text.size(), APISIM_CONTROL_PACKET_MAX - head.size());
    const std::string packet = head + a.text.substr(0, first);
    bool ok = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) >= 0;
    for (size_t at = first; ok && at < a.text.size(); at += APISIM_CONTROL_PACKET_MAX) {
        const size_t n = std::min<size_t>(APISIM_CONTROL_PACKET_MAX, a.text.size() - at);
        ok = send(fd, a.text.data() + at, n, MSG_NOSIGNAL) >= 0;
    }
    close(fd);
}

// The channel serves the user apisim runs as, and root: anyone else could
// read passwords off the monitor or make every call fail.
bool peer_allowed(int fd) {
    ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    return cred.uid == 0 || cred.uid == geteuid();
}

// A request packet: NUL-terminated fields, the format first, then the
// command and its arguments.
bool parse_request(const char* buf, size_t n, std::vector<std::string>& fields) {
    if (n == 0 || buf[n - 1] != 0) return false;
    for (size_t at = 0; at < n;) {
        const size_t len = strlen(buf + at);
        fields.emplace_back(buf + at, len);
        at += len + 1;
    }
    return fields.size() >= 2 && fields.size() <= 66 && (fields[0] == "text" || fields[0] == "json");
}

void close_gone_monitors(Channel& c) {
    for (auto m = c.monitors.begin(); m != c.monitors.end();) {
        if (m->gone) close(m->fd), m = c.monitors.erase(m);
        else ++m;
    }
    c.monitor_count = c.monitors.size();
}

// Writes what a monitor can take now; the rest waits for the next round.
void flush(Channel& c, Monitor& m) {
    {
        std::lock_guard<std::mutex> lock(c.monitors_mutex);
        for (std::string& line : m.incoming) m.outgoing.push_back(std::move(line));
        m.incoming.clear();
    }
    size_t sent = 0;
    bool gone = false;
    while (!m.outgoing.empty()) {
        const std::string& line = m.outgoing.front();
        if (send(m.fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
            gone = errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS && errno != EINTR;
            break;
        }
        sent += line.size();
        m.outgoing.pop_front();
    }
    std::lock_guard<std::mutex> lock(c.monitors_mutex);
    m.bytes -= sent;
    m.gone |= gone;
}

// Adds a monitor, or answers why not; the connection is its from now on.
void attach_monitor(int fd, bool json, const std::vector<std::string>& args) {
    if (args.size() > 1) return answer(fd, {2, "monitor: expects at most one pattern\n"});
    Channel& c = channel();
    {
        std::lock_guard<std::mutex> lock(c.monitors_mutex);
        if (c.monitors.size() < kMaxMonitors) {
            // The status first: the monitor's lines follow it on the same connection.
            if (send(fd, "0\n", 2, MSG_DONTWAIT | MSG_NOSIGNAL) != 2) {
                close(fd);
                return;
            }
            c.monitors.push_back({fd, json, args.empty() ? std::string() : args[0]});
            c.monitor_count = c.monitors.size();
            return;
        }
    }
    answer(fd, {1, "monitor: " + decimal(kMaxMonitors) + " monitors are attached already\n"});
}

void serve_request(int fd, const char* buf, ssize_t n) {
    std::vector<std::string> fields;
    if (n > APISIM_CONTROL_REQUEST_MAX || !parse_request(buf, static_cast<size_t>(n), fields))
        return answer(fd, {2, "not a request of this apisim's control channel\n"});
    const bool json = fields[0] == "json";
    const std::vector<std::string> args(fields.begin() + 2, fields.end());
    if (fields[1] == "monitor") return attach_monitor(fd, json, args);
    Handler handler;
    {
        Channel& c = channel();
        std::lock_guard<std::mutex> lock(c.commands_mutex);
        const auto it = c.commands.find(fields[1]);
        if (it != c.commands.end()) handler = it->second;
    }
    if (!handler) return answer(fd, {1, "apisim has no command '" + fields[1] + "'\n"});
    answer(fd, handler(args, json));
}

struct Client {
    int fd;
    time_t deadline;
};

time_t seconds_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

// A peer that may not use the channel is told so at once and closed: it
// holds none of the slots that served users wait in.
void refuse_at_once(int fd, const std::string& text) {
    const std::string packet = "1\n" + text;
    if (send(fd, packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {}
    close(fd);
}

void accept_clients(int listener, std::vector<Client>& clients) {
    for (size_t i = 0; i < kMaxClients; ++i) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (!peer_allowed(fd))
            refuse_at_once(fd, "apisim's control channel serves uid " + decimal(geteuid()) + " and root only\n");
        else if (clients.size() >= kMaxClients) refuse_at_once(fd, "apisim's control channel is busy: try again\n");
        else clients.push_back({fd, seconds_now() + kRequestSeconds});
    }
}

void* run_channel(void* arg) {
    const int listener = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    Channel& c = channel();
    std::vector<Client> clients;
    std::vector<pollfd> fds;
    std::vector<Monitor*> polled;
    static char buf[APISIM_CONTROL_REQUEST_MAX + 1];
    for (;;) {
        fds.assign({{listener, POLLIN, 0}, {c.wake_fd, POLLIN, 0}});
        for (const Client& client : clients) fds.push_back({client.fd, POLLIN, 0});
        polled.clear();
        {
            std::lock_guard<std::mutex> lock(c.monitors_mutex);
            close_gone_monitors(c);
            // A monitor sends nothing: readiness to read means it left.
            for (Monitor& m : c.monitors) {
                fds.push_back({m.fd, static_cast<short>(POLLIN | (m.bytes ? POLLOUT : 0)), 0});
                polled.push_back(&m);
            }
        }
        if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) sleep(1);
        uint64_t signalled;
        if (fds[1].revents && read(c.wake_fd, &signalled, sizeof signalled) < 0) {}
        const size_t first_monitor = 2 + clients.size();
        for (size_t i = 0; i < polled.size(); ++i) {
            Monitor& m = *polled[i];
            if (fds[first_monitor + i].revents & (POLLIN | POLLHUP | POLLERR)) {
                std::lock_guard<std::mutex> lock(c.monitors_mutex);
                m.gone = true;
            } else {
                flush(c, m);
            }
        }
        const time_t now = seconds_now();
        std::vector<Client> waiting;
        for (size_t i = 0; i < clients.size(); ++i) {
            const int fd = clients[i].fd;
            if (!fds[2 + i].revents) {
                if (now < clients[i].deadline) waiting.push_back(clients[i]);
                else close(fd);
                continue;
            }
            const ssize_t n = recv(fd, buf, sizeof buf, MSG_TRUNC | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) waiting.push_back(clients[i]);
            else if (n <= 0) close(fd);
            else serve_request(fd, buf, n);
        }
        clients.swap(waiting);
        if (fds[0].revents) accept_clients(listener, clients);
    }
    return nullptr;
}

}  // namespace

std::string json_string(const std::string& bytes) {
    std::string s = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    char esc[8];
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char b = p[i];
        if (b == '"' || b == '\\') {
            s += '\\', s += static_cast<char>(b), ++i;
        } else if (b < 0x20 || b == 0x7f) {
            snprintf(esc, sizeof esc, "\\u%04x", b), s += esc, ++i;
        } else if (const size_t n = utf8_sequence(p + i, bytes.size() - i)) {
            s.append(bytes, i, n), i += n;
        } else {
            snprintf(esc, sizeof esc, "\\udc%02x", b), s += esc, ++i;
        }
    }
    return s + "\"";
}

void add_command(const std::string& name, Handler handler) {
    Channel& c = channel();
    std::lock_guard<std::mutex> lock(c.commands_mutex);
    c.commands[name] = std::move(handler);
}

void publish(const std::string& name, const std::string& request, const std::string& result, pid_t pid) {
    Event e;
    e.name = name, e.request = request, e.result = result, e.pid = pid;
    emit(e);
}

// Who listens at the address: "pid N (uid U)", as the kernel tells it.
static std::string holder_of(const sockaddr_un& address, socklen_t length) {
    const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ucred cred{};
    socklen_t len = sizeof cred;
    const bool known = probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                       getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    if (probe >= 0) close(probe);
    if (!known) return "another process";
    return "pid " + decimal(cred.pid) + " (uid " + decimal(cred.uid) + ")";
}

bool start(std::string& why) {
    Channel& c = channel();
    c.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (c.wake_fd < 0) {
        why = strerror(errno);
        return false;
    }
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    const socklen_t length = apisim_control_address(&address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 16) != 0) {
        why = errno == EADDRINUSE ? "its name " + std::string(address.sun_path + 1) + " is taken by " +
                                        holder_of(address, length)
                                  : std::string(strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    add_command("sim", sim_command);
    // The thread takes no signal: SIGINT and SIGTERM must interrupt the
    // serving thread's wait.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    const int error = pthread_create(&thread, nullptr, run_channel, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (error) {
        why = strerror(error);
        close(fd);
        return false;
    }
    pthread_detach(thread);
    return true;
}

void describe(const char* name, const std::string& request, const std::string& result) {
    Pending& p = channel().pending;
    p.described = true;
    p.name = name;
    p.request = request;
    p.result = result;
}

bool before_reply(int control_queue, int command, char* reply_mtext) {
    Channel& c = channel();
    Pending& p = c.pending;
    // The caller is the last sender while its request was the last one queued.
    msqid_ds queue;
    p.pid = 0;
    if (c.monitor_count.load(std::memory_order_relaxed) && msgctl(control_queue, IPC_STAT, &queue) == 0 &&
        queue.msg_qnum == 0)
        p.pid = queue.msg_lspid;
    p.rule.clear();
    p.answered.clear();
    if (!c.have_rules.load(std::memory_order_relaxed)) return true;
    Action action;
    unsigned delay_ms = 0;
    {
        std::lock_guard<std::mutex> lock(c.rules_mutex);
        auto r = std::find_if(c.rules.begin(), c.rules.end(), [&](const Rule& x) { return x.covers(command); });
        if (r == c.rules.end()) return true;
        ++r->hits;
        action = r->action;
        delay_ms = r->delay_ms;
        if (action == Action::Fail || action == Action::Reply) {
            memset(reply_mtext, 0, MSG_TEXT_SIZE);
            if (!r->bytes.empty()) memcpy(reply_mtext, r->bytes.data(), std::min<size_t>(r->bytes.size(), MSG_TEXT_SIZE));
            p.rule = kActionNames[static_cast<int>(action)];
            p.answered = action == Action::Fail ? "failure answer" : "raw answer " + (r->bytes.empty() ? "(all zero)" : hex_of(r->bytes));
        }
    }
    if (action == Action::Drop) {
        p.rule = "drop";
        p.answered = "no answer";
        return false;
    }
    if (action == Action::Delay) {
        const unsigned generation = c.rules_generation;
        timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        long waited_ms = 0;
        while (waited_ms < static_cast<long>(delay_ms) && c.rules_generation == generation) {
            const long step = std::min<long>(50, delay_ms - waited_ms);
            timespec pause{0, step * 1000000};
            if (nanosleep(&pause, nullptr) != 0) break;  // a signal: apisim may be stopping
            clock_gettime(CLOCK_MONOTONIC, &now);
            waited_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        }
        p.rule = "delay " + decimal(waited_ms < static_cast<long>(delay_ms) ? waited_ms : delay_ms) + " ms";
    }
    return true;
}

void after_reply(int command, const std::string& trace_line) {
    Pending& p = channel().pending;
    if (channel().monitor_count.load(std::memory_order_relaxed)) {
        Event e;
        e.command = command;
        e.pid = p.pid;
        e.rule = p.rule;
        if (p.described) {
            e.name = p.name, e.request = p.request, e.result = p.result;
        } else {
            e.name = "command " + decimal(command), e.result = trace_line;
        }
        if (!p.answered.empty()) e.result = p.answered + " (apisim's own: " + e.result + ")";
        emit(e);
    }
    p.described = false;
}

}  // namespace apisim::control
