// apisim delivers for real: mails to real SMTP servers (aiosmtpd: plain,
// STARTTLS and TLS with login) and uploads to a real FTP server (pyftpdlib),
// run by Debian's python3 for the whole program, with the settings made
// through the library. Then the outbox's own rules, without servers. The
// program enters private IPC and network namespaces first (loopback only), so
// servers, queues and ports are its own.
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "delivery.h"
#include "sim_process.h"

namespace apisim::delivery {
namespace {

std::string scratch;  // this program's folder
std::string skip_reason;
bool set_up_failed = false;  // a fault of the set-up, not a reason to skip
std::vector<std::unique_ptr<SimProcess>> servers;

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A picture as a camera saves it: the JPEG markers around arbitrary bytes.
std::string jpeg_like(size_t n, unsigned salt) {
    std::mt19937 gen(salt);
    std::string s("\xff\xd8\xff\xe0", 4);
    while (n--) s += static_cast<char>(gen());
    return s + std::string("\xff\xd9", 2);
}

// What apisim and the servers write is waited for (bounded), never raced.
bool wait_until(double seconds, const std::function<bool()>& done) {
    for (int left = static_cast<int>(seconds * 50); left > 0; --left, usleep(20000))
        if (done()) return true;
    return done();
}

int occurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++n;
    return n;
}

// The names in a folder that `pick` accepts.
int names(const std::string& dir, const std::function<bool(const std::string&)>& pick) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) n += pick(e->d_name);
        closedir(d);
    }
    return n;
}

// ---- the servers, and what they received ----

constexpr const char* kMailPassword = "m4il-Secret!42";
constexpr const char* kFtpPassword = "ftp-Secret!42";
constexpr const char* kWrongPassword = "wr\xc3\xb6ng-Secret!42";  // not ASCII
constexpr const char* kSecretsEnd = "Secret!42";  // of each, as any line may show it

std::string mail_dir(int port) { return scratch + "/mail-" + std::to_string(port); }
std::string ftp_root(int port) { return scratch + "/ftp-" + std::to_string(port); }

bool launch(SimProcess& server, const char* script, std::vector<std::string> args) {
    args.insert(args.begin(), {"-W", "ignore", script, "--port"});
    if (server.launch(PYTHON, args, "ready")) return true;
    fprintf(stderr, "%s did not start:\n%s%s", script, server.out().c_str(), server.err().c_str());
    return false;
}
// mode: plain, starttls or tls; the two last ask for a login.
bool mail_server(SimProcess& server, int port, const std::string& mode) {
    return launch(server, MAIL_SERVER_PY,
                  {std::to_string(port), "--out", mail_dir(port), "--mode", mode, "--cert", scratch + "/server.pem",
                   "--key", scratch + "/server.key", "--auth", mode == "plain" ? "" : std::string("cam:") + kMailPassword});
}
bool ftp_server(SimProcess& server, int port) {
    mkdir(ftp_root(port).c_str(), 0755);
    return launch(server, FTP_SERVER_PY,
                  {std::to_string(port), "--root", ftp_root(port), "--user", "cam", "--password", kFtpPassword, "--log",
                   ftp_root(port) + ".log"});
}

// A server has a mail's folder whole before it answers the mail.
int mails(int port) {
    return names(mail_dir(port), [](const std::string& name) { return isdigit(static_cast<unsigned char>(name[0])); });
}
std::string mail(int port, int n, const std::string& field) {
    return read_file(mail_dir(port) + "/" + std::to_string(n) + "/" + field);
}
std::string ftp_log(int port) { return read_file(ftp_root(port) + ".log"); }
// The FTP server writes its log after its answer.
bool ftp_logged(int port, const std::string& text, size_t from = 0) {
    return wait_until(10, [&] { return ftp_log(port).find(text, from) != std::string::npos; });
}

// ---- the camera's settings, through the library, and its sending calls ----

struct Settings {
    int port = 2525, ssl = 0, auth = 0;
    std::string password = kMailPassword, to = "ann@example.org";
    int ftp_port = 21;
    std::string ftp_password = kFtpPassword, folder = "/";
    int passive = 1;
};

void apply(const Settings& s) {
    const std::pair<int (*)(char*), std::string> texts[] = {
        {API_SMTP_Set_MailServer, "127.0.0.1"},   {API_SMTP_Set_User, "cam"},
        {API_SMTP_Set_Password, s.password},      {API_SMTP_Set_MailFrom, "camera@desk.test"},
        {API_SMTP_Set_MailTo, s.to},              {API_Net_FTPSetServerName, "127.0.0.1"},
        {API_Net_FTPSetUserName, "cam"},          {API_Net_FTPSetUserPassword, s.ftp_password},
        {API_Net_FTPSetPath, s.folder}};
    for (auto [set, text] : texts) EXPECT_EQ(set(text.data()), 1) << text;
    const std::pair<int (*)(int), int> numbers[] = {{API_SMTP_Set_Port, s.port},          {API_SMTP_Set_SSL, s.ssl},
                                                    {API_SMTP_Set_Authentication, s.auth}, {API_Net_FTPSetCommandPort, s.ftp_port},
                                                    {API_Net_FTPSetPasv, s.passive}};
    for (auto [set, n] : numbers) EXPECT_EQ(set(n), 1) << n;
}

// A text mail without a file, a mail with the file attached, or (no subject) the file's upload.
void deliver(std::string subject, std::string content, std::string file) {
    if (subject.empty()) EXPECT_EQ(API_Net_FTPContextPut(file.data()), 1);
    else if (!file.empty()) EXPECT_EQ(API_SMTP_Send_Attach(subject.data(), content.data(), file.data()), 1);
    else EXPECT_EQ(API_SMTP_Send_Text(subject.data(), content.data()), 1);
}

// ---- apisim and its outcome lines ----

class Delivery : public testing::Test {
protected:
    // apisim with a fast retry schedule, unless `extra` (which comes last, and wins) sets one.
    void start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--trace", "--delivery-timeout", "5", "--retry", "0.2,0.2"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim.start(args)) << sim.err();
    }
    void TearDown() override {
        if (sim.running()) {
            EXPECT_EQ(sim.stop(), 0) << sim.err();
        }
        // No password in any log or trace line, not even with its bytes shown as '?'.
        const std::string seen = sim.out() + sim.err() + all_runs_;
        EXPECT_EQ(seen.find(kSecretsEnd), std::string::npos) << "a password in apisim's output:\n" << seen;
    }
    // Keeps the output of a run that is stopped and started again.
    void restart_kept() { all_runs_ += sim.out() + sim.err(); }

    // The final outcome line of the delivery that `needle` names, waiting
    // for it; empty when none came.
    std::string outcome(const std::string& needle, double seconds = 20) {
        std::string found;
        wait_until(seconds, [&] {
            std::istringstream err(sim.err());
            // Whole lines only; ": failed" ends in " after N attempts" or ", not queued".
            for (std::string line; std::getline(err, line) && !err.eof();)
                if (line.find(needle) != std::string::npos &&
                    (line.find(": delivered (") != std::string::npos || line.find(": failed") != std::string::npos))
                    return found = line, true;
            return false;
        });
        return found;
    }
    int lines_with(const std::string& needle) const { return occurrences(sim.err(), needle); }
    std::string spool() const { return sim.state() + ".outbox"; }
    int spool_entries(const std::string& suffix = ".entry") const {
        return names(spool(), [&](const std::string& name) {
            return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        });
    }

    SimProcess sim;
    std::string all_runs_;
};

// Each delivery arrives whole, in one attempt, and its outcome line names it.
TEST_F(Delivery, MailsAndUploadsArriveIntact) {
    start({"--ca-file", scratch + "/ca.pem"});
    std::string utf8_subject = "Motion on channel 1, T\xc3\xbcr!";  // long enough for two encoded words
    for (int i = 0; i < 12; ++i) utf8_subject += "\xe2\x82\xac";
    const std::string text = "Motion detected at the door.\nSecond line; =3D and dots:\n.\n" + std::string(300, 'x') +
                             " end of a long line\r\n\xc3\xa4\xc3\xb6\xc3\xbc\ttab";
    const struct Row {
        Settings set;
        std::string subject, content = "picture, as taken, attached";  // no subject: an upload
        std::string file, bytes;                                       // a file, under scratch
        const char* via = "127.0.0.1:2525 (plain): delivered (1 attempt): 250 ";
        const char* to = "ann@example.org";  // as the mail has them
        const char* got = "";                // the attachment's type; where an upload lands, and how
    } rows[] = {
        {.set = {.to = " ann@example.org, bob@example.org;<cy@example.org>\tdee@example.org "},
         .subject = utf8_subject, .content = text,
         .to = "ann@example.org, bob@example.org, cy@example.org, dee@example.org"},
        {.subject = "Alarm snapshot", .file = "snapshot_without_extension", .bytes = jpeg_like(150000, 1),
         .got = "image/jpeg"},  // known by its first bytes
        {.subject = "Alarm empty", .file = "empty.dat", .got = "application/octet-stream"},
        {.set = {.port = 587, .ssl = 1, .auth = 1}, .subject = "Over STARTTLS", .via = "127.0.0.1:587 (STARTTLS): delivered"},
        {.set = {.port = 465, .ssl = 2, .auth = 1}, .subject = "Over TLS", .via = "127.0.0.1:465 (TLS): delivered"},
        {.set = {.folder = "/incoming/cam1"}, .file = "snap 1.jpg", .bytes = jpeg_like(100000, 20),
         .via = "127.0.0.1:21 (passive): delivered", .got = "/incoming/cam1/snap 1.jpg\nmode EPSV"},
        {.set = {.folder = "incoming", .passive = 0}, .file = "clip.avi", .bytes = jpeg_like(101000, 21),
         .via = "127.0.0.1:21 (active): delivered", .got = "/incoming/clip.avi\nmode EPRT"},
        {.file = "root.jpg", .bytes = jpeg_like(102000, 22), .via = "127.0.0.1:21 (passive): delivered",
         .got = "/root.jpg\nmode EPSV"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.subject + r.file);
        apply(r.set);
        const int port = r.set.port, n = mails(port) + 1;
        const size_t log_before = ftp_log(21).size();
        if (!r.file.empty()) write_file(scratch + "/" + r.file, r.bytes);
        deliver(r.subject, r.content, r.file.empty() ? "" : scratch + "/" + r.file);
        const std::string line = outcome(r.subject.empty() ? r.file : r.subject.substr(0, 12));
        const char* operation = r.subject.empty() ? "API_Net_FTPContextPut"
                                : r.file.empty()    ? "API_SMTP_Send_Text"
                                                    : "API_SMTP_Send_Attach";
        EXPECT_NE(line.find(operation), std::string::npos) << line;
        EXPECT_NE(line.find(r.via), std::string::npos) << line;
        if (r.subject.empty()) {
            const std::string got = r.got, lands = got.substr(0, got.find('\n'));
            ASSERT_TRUE(ftp_logged(21, " " + ftp_root(21) + lands + "\n", log_before)) << ftp_log(21);
            EXPECT_TRUE(read_file(ftp_root(21) + lands) == r.bytes) << "uploaded bytes differ";
            EXPECT_TRUE(ftp_logged(21, got.substr(got.find('\n') + 1), log_before)) << ftp_log(21);
            continue;
        }
        ASSERT_EQ(mails(port), n) << sim.err();
        EXPECT_EQ(mail(port, n, "subject"), r.subject);
        EXPECT_EQ(mail(port, n, "body"), r.content);
        EXPECT_EQ(mail(port, n, "envelope_from") + " " + mail(port, n, "from"), "camera@desk.test camera@desk.test");
        EXPECT_EQ(mail(port, n, "envelope_to"), r.to);
        EXPECT_EQ(mail(port, n, "to"), r.to);
        EXPECT_NE(mail(port, n, "message_id").find("@desk.test>"), std::string::npos) << mail(port, n, "message_id");
        if (r.file.empty()) continue;
        EXPECT_EQ(mail(port, n, "attach0.name"), r.file);
        EXPECT_EQ(mail(port, n, "attach0.type"), r.got);
        EXPECT_TRUE(mail(port, n, "attach0.data") == r.bytes) << "attachment bytes differ";
    }
    // The trace has the transaction's line, and the outcome line too.
    EXPECT_NE(sim.out().find("API_SMTP_Send_Text(subject=\"Motion on channel 1, T??r!???"), std::string::npos) << sim.out();
    EXPECT_NE(sim.out().find("-> queued as delivery #1"), std::string::npos) << sim.out();
    EXPECT_NE(sim.out().find(": delivered (1 attempt)"), std::string::npos) << sim.out();
    EXPECT_EQ(spool_entries(), 0);
}

// Over STARTTLS and implicit TLS the server's certificate is trusted when the
// named CA signed it (by option above; here by environment), else refused.
TEST_F(Delivery, TlsTrustsTheNamedCaAlone) {
    const struct {
        const char *option, *environment;
        bool trusted;
    } runs[] = {{nullptr, "ca.pem", true}, {"other-ca.pem", nullptr, false}, {nullptr, nullptr, false}};
    int run = 0;
    for (const auto& r : runs) {
        SCOPED_TRACE(run);
        if (run++) {
            EXPECT_EQ(sim.stop(), 0);
            restart_kept();
        }
        if (r.environment) setenv("APISIM_CA_FILE", (scratch + "/" + r.environment).c_str(), 1);
        start(r.option ? std::vector<std::string>{"--ca-file", scratch + "/" + r.option} : std::vector<std::string>{});
        unsetenv("APISIM_CA_FILE");
        for (const int ssl : {1, 2}) {
            const int port = ssl == 1 ? 587 : 465, before = mails(port);
            apply({.port = port, .ssl = ssl, .auth = 1});
            const std::string subject = "Sealed " + std::to_string(run) + " " + std::to_string(ssl);
            deliver(subject, "sealed", "");
            const std::string line = outcome(subject);
            EXPECT_NE(line.find(r.trusted ? ": delivered" : ": failed after 1 attempt: SSL certificate problem"),
                      std::string::npos)
                << line;
            EXPECT_EQ(mails(port), before + r.trusted);
        }
    }
}

// Each failure ends in one final outcome line with the server's answer (or
// why it was not reached), after the attempts the schedule allows; a password
// that the server echoes is hidden; apisim goes on serving.
TEST_F(Delivery, FailuresEndWithTheServersAnswerAndAreNotRetriedForEver) {
    start({"--ca-file", scratch + "/ca.pem"});
    const std::string present = scratch + "/present.jpg";
    write_file(present, jpeg_like(1000, 30));
    const struct {
        const char* name;
        Settings set;
        const char* answer;  // in the final line
        int attempts = 1;
    } cases[] = {
        {"wrong password", {.port = 587, .ssl = 1, .auth = 1, .password = kWrongPassword},
         "535 5.7.8 no login for cam with ***"},
        {"server down", {.port = 2599}, "Couldn't connect to server", 3},
        {"no STARTTLS offered", {.ssl = 1}, "STARTTLS"},
        {"bad receiver", {.to = "ann@example.org, not-an-address"}, "receiver \"not-an-address\" is not a plain address"},
        {"unknown SSL setting", {.ssl = 7}, "SSL setting 7 is none of 0 (plain), 1 (STARTTLS), 2 (TLS)"},
        {"", {.ftp_password = kWrongPassword}, "530 "},  // an upload
    };
    const int received = mails(2525) + mails(587);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        apply(c.set);
        const std::string subject = *c.name ? std::string("Case ") + c.name : "";
        deliver(subject, "body", *c.name ? "" : present);
        const std::string needle = "\"" + (*c.name ? subject : present) + "\"";
        const std::string line = outcome(needle);
        EXPECT_NE(line.find(": failed after " + std::to_string(c.attempts) + " attempt"), std::string::npos) << line;
        EXPECT_NE(line.find(c.answer), std::string::npos) << line;
        // Every attempt but the last says when the next one comes.
        EXPECT_EQ(lines_with(needle + (*c.name ? " to" : " into")), c.attempts) << sim.err();
    }
    EXPECT_EQ(mails(2525) + mails(587), received);
    EXPECT_EQ(access((ftp_root(21) + "/present.jpg").c_str(), F_OK), -1);
    EXPECT_EQ(spool_entries(), 0);
    EXPECT_TRUE(sim.running());
}

// A queued delivery survives the end of apisim, even a SIGKILL in the middle
// of an attempt, and is made exactly once by the next run; a damaged spool
// entry is set aside.
TEST_F(Delivery, QueuedDeliveriesSurviveARestartAndAreMadeOnce) {
    // A mail server that takes the connection and never answers: the attempt
    // stays under way until apisim is killed.
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(2526);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(silent, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << strerror(errno);
    ASSERT_EQ(listen(silent, 4), 0);
    start({"--retry", "60", "--delivery-timeout", "60"});
    apply({.port = 2526, .ftp_port = 121, .folder = "/kept"});
    const std::string file = scratch + "/kept.jpg";
    write_file(file, jpeg_like(40000, 9));
    deliver("", "", file);  // no FTP server yet
    ASSERT_TRUE(wait_until(10, [&] { return lines_with("attempt 1 of 2 failed, next in 60 s") == 1; })) << sim.err();
    deliver("Kept across a restart", "durable", "");
    int caller = -1;
    ASSERT_TRUE(wait_until(10, [&] { return (caller = accept(silent, nullptr, nullptr)) >= 0; })) << sim.err();
    EXPECT_EQ(spool_entries(), 2);  // the mail's attempt is under way
    sim.stop(SIGKILL);
    close(caller);
    close(silent);
    restart_kept();
    write_file(spool() + "/000000000077.entry", "apisim-outbox-entry 1\nid 77\nkind text\n");  // cut short
    SimProcess mail_2526, ftp_121;
    ASSERT_TRUE(mail_server(mail_2526, 2526, "plain"));
    ASSERT_TRUE(ftp_server(ftp_121, 121));
    start({"--retry", "60"});
    EXPECT_NE(outcome("Kept across a restart").find(": delivered (1 attempt)"), std::string::npos) << sim.err();
    EXPECT_NE(outcome("kept.jpg").find(": delivered (2 attempts)"), std::string::npos) << sim.err();
    EXPECT_NE(sim.err().find("outbox entry 000000000077.entry set aside"), std::string::npos) << sim.err();
    EXPECT_NE(sim.err().find("outbox: 2 deliveries left queued by an earlier run"), std::string::npos) << sim.err();
    EXPECT_EQ(spool_entries(), 0);  // nothing left for a third run to send
    EXPECT_EQ(spool_entries(".bad"), 1);
    EXPECT_EQ(mails(2526), 1);
    EXPECT_EQ(mail(2526, 1, "body"), "durable");
    ASSERT_TRUE(ftp_logged(121, "/kept/kept.jpg\n")) << ftp_log(121);
    EXPECT_EQ(read_file(ftp_root(121) + "/kept/kept.jpg"), read_file(file));
    EXPECT_EQ(occurrences(ftp_log(121), "received "), 1) << ftp_log(121);
}

// ---- the outbox's own rules ----

Job sample_job() {
    Job j;
    j.id = 42;
    j.kind = Kind::Attach;
    j.attempts = 2;
    j.queued = 1700000000;
    j.message_id = "<apisim.1.2.42@desk.test>";
    j.server = "mail.example.org";
    j.user = "cam user";
    j.password = "p%ss word\twith 100%";
    j.port = -5;  // as set: refused when delivered, kept as it is
    j.ssl = 255;
    j.auth = 1;
    j.from = "camera@desk.test";
    j.to = "a@x.org, b@y.org";
    j.subject = "Alarm\r\nBcc: not@header";
    for (int c = 1; c < 256; ++c) j.content += static_cast<char>(c);
    j.file = "/tmp/snap shot.jpg";
    return j;
}

TEST(SpoolEntry, KeepsEveryByteOfEveryFieldAndRefusesAnyCutOrOversizedEntry) {
    const Job j = sample_job();
    const std::string text = encode_job(j);
    Job back;
    std::string error;
    ASSERT_TRUE(decode_job(text, back, error)) << error << "\n" << text;
    EXPECT_EQ(std::tie(back.id, back.kind, back.attempts, back.queued, back.port, back.ssl, back.auth),
              std::tie(j.id, j.kind, j.attempts, j.queued, j.port, j.ssl, j.auth));
    for (auto member : {&Job::message_id, &Job::server, &Job::user, &Job::password, &Job::from, &Job::to,
                        &Job::folder, &Job::subject, &Job::content, &Job::file})
        EXPECT_EQ(back.*member, j.*member);
    // One line a field: no byte of a value can start a line of its own.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20);
    for (size_t n = 0; n < text.size(); ++n) EXPECT_FALSE(decode_job(text.substr(0, n), back, error)) << n;
    EXPECT_FALSE(decode_job(text + std::string(70000, 'x'), back, error));
    EXPECT_EQ(error, "too large");
}

std::string unescaped(const std::string& s) {  // \t, \r, \n, \\ and \xNN
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'x') out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)), i += 2;
        else out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    }
    return out;
}

// What the rule f[0] gives for the inputs f[1]...; a refusal as "!" and its message.
std::string applied(const std::vector<std::string>& f) {
    std::string error, subject, content, path;
    std::vector<std::string> out;
    Job job;
    if (f[0] == "receivers" && !split_receivers(f[1], out, error)) return "!" + error;
    if (f[0] == "receivers") {
        for (const std::string& r : out) path += (path.empty() ? "" : " ") + r;
        return path;
    }
    if (f[0] == "attach")
        return split_attach_request(f[1].c_str(), subject, content, path) ? subject + "|" + content + "|" + path : "!";
    if (f[0] == "mime") return guess_mime_type(f[1], reinterpret_cast<const unsigned char*>(f[2].data()), f[2].size());
    if (f[0] == "header") return header_text(f[1]);
    if (f[0] == "secret") return without_secret(f[1], f[2], f[3]);
    std::string text = encode_job(sample_job());
    const size_t at = text.find(f[1]);
    if (f[0] != "spool" || at == std::string::npos) return "no such rule or no " + f[1] + " in the entry";
    return decode_job(text.replace(at, f[1].size(), f[2]), job, error) ? "ok" : "!" + error;
}

TEST(Rules, GiveWhatTheirReviewedTableSays) {
    std::ifstream table(RULES_PATH);
    int cases = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        for (size_t at = 0, tab = 0; tab != std::string::npos; at = tab + 1) {
            tab = line.find('\t', at);
            f.push_back(unescaped(line.substr(at, tab - at)));
        }
        const std::string want = f.back(), got = applied({f.begin(), f.end() - 1});
        if (want[0] == '!') EXPECT_TRUE(got[0] == '!' && got.find(want.substr(1)) != std::string::npos) << line << "\n" << got;
        else EXPECT_EQ(got, want) << line;
        ++cases;
    }
    EXPECT_EQ(cases, 69) << RULES_PATH;
}

// A running outbox in this process: its one mail aims at a closed port.
TEST(Outbox, ListsItsQueueAndLastOutcomesAsLinesAndJson) {
    DeliveryOptions options;
    options.spool = scratch + "/listed-outbox";
    options.retry_after = {60};
    options.timeout = 2;
    static std::atomic<int> heard{0};
    add_outcome_listener([](const std::string& line) {
        EXPECT_EQ(line.find("listing-Secret"), std::string::npos) << line;
        ++heard;
    });
    std::string error;
    ASSERT_TRUE(start_deliveries(options, error)) << error;
    static BUFFER_ENCODE_T rec;
    strcpy(rec.SmtpConfigs.smtpServer, "127.0.0.1");
    rec.SmtpConfigs.smtpport = 2599;  // nothing listens
    strcpy(rec.SmtpConfigs.mailFrom, "camera@desk.test");
    strcpy(rec.SmtpConfigs.mailTo, "ann@example.org");
    strcpy(rec.SmtpConfigs.authPass, "listing-Secret");
    strcpy(rec.FtpConfigs.server, "127.0.0.1");
    char mtext[2018] = {};
    std::string args;
    strcpy(mtext, "Listed");
    strcpy(mtext + 64, "body");
    EXPECT_EQ(queue_delivery(64, mtext, rec, args), "queued as delivery #1");
    EXPECT_EQ(args, "subject=\"Listed\", content=\"body\"");
    memset(mtext, 0, sizeof mtext);
    strcpy(mtext, "/no/such/file.jpg");
    EXPECT_EQ(queue_delivery(80, mtext, rec, args, getpid()), "queued as delivery #2");
    EXPECT_TRUE(wait_until(10, [] { return heard == 2; }));  // #1 deferred, #2 failed
    memset(mtext, 0, sizeof mtext);
    strcpy(mtext, "no commas");
    EXPECT_EQ(queue_delivery(65, mtext, rec, args), "refused: the request is not subject,content,path");
    EXPECT_EQ(heard, 3);  // told at once
    const std::vector<std::string> lines = outbox_lines();
    ASSERT_EQ(lines.size(), 5u) << testing::PrintToString(lines);
    const std::pair<size_t, const char*> wanted[] = {
        {1, "#1 API_SMTP_Send_Text \"Listed\" to \"ann@example.org\" via 127.0.0.1:2599 (plain): attempt 2 of 2 in "},
        {1, "; last: Failed to connect to 127.0.0.1 port 2599"},
        {3, "#2 API_Net_FTPContextPut \"/no/such/file.jpg\" into the login folder via 127.0.0.1:21 (active): failed at "},
        {3, " after 1 attempt: cannot open \"/no/such/file.jpg\": No such file or directory"},
        {4, "#3 API_SMTP_Send_Attach \"\" to \"ann@example.org\" with \"\" via"},
        {4, ": failed at "},
        {4, " after 0 attempts: the request is not subject,content,path"},
    };
    for (const auto& [i, text] : wanted) EXPECT_NE(lines[i].find(text), std::string::npos) << lines[i];
    EXPECT_EQ(lines[0], "queued: 1");
    EXPECT_EQ(lines[2], "recent: 2");

    const std::string json = outbox_json();
    for (const char* part : {"{\"queued\":[{\"id\":1,\"operation\":\"API_SMTP_Send_Text\",\"what\":\"\\\"Listed\\\" to "
                             "\\\"ann@example.org\\\"\",\"server\":\"127.0.0.1:2599 (plain)\",\"attempts\":1,"
                             "\"max_attempts\":2,\"sending\":false,\"next_in\":",
                             "],\"recent\":[{\"id\":2,\"operation\":\"API_Net_FTPContextPut\"", "\"result\":\"failed\""})
        EXPECT_NE(json.find(part), std::string::npos) << json;
    EXPECT_EQ(json.find("listing-Secret"), std::string::npos);

    stop_deliveries();
    // The one still queued stays in the spool, readable by its owner only.
    struct stat st;
    ASSERT_EQ(stat((options.spool + "/000000000001.entry").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(stat((options.spool + "/000000000002.entry").c_str(), &st), -1);
}

// ---- set-up: namespaces, loopback, certificates, servers ----

class Environment : public testing::Environment {
public:
    void SetUp() override {
        if (!skip_reason.empty()) GTEST_SKIP() << skip_reason;
    }
};

std::string set_up() {
    if (unshare(CLONE_NEWIPC | CLONE_NEWNET) != 0)
        return std::string("cannot enter private IPC and network namespaces (") + strerror(errno) + ")" +
               (errno == EPERM ? "; run as root or with CAP_SYS_ADMIN" : "");
    if (system("ip link set lo up") != 0) return "cannot bring up the loopback interface";
    char dir[] = "/tmp/apisim-delivery-XXXXXX";
    set_up_failed = true;  // from here on a failure is a fault, not a reason to skip
    if (!mkdtemp(dir)) return "no scratch folder";
    scratch = dir;
    // A CA, a server certificate that it signs for 127.0.0.1, and another CA.
    const std::string req = std::string(OPENSSL) + " req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=";
    if (system(("cd '" + scratch + "' && (" + req + "ca -keyout ca.key -out ca.pem && " + req +
                "other -keyout other-ca.key -out other-ca.pem && " + req +
                "127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -CA ca.pem -CAkey ca.key -keyout server.key "
                "-out server.pem) >/dev/null 2>&1")
                   .c_str()) != 0)
        return "openssl could not make the test certificates";
    for (int i = 0; i < 4; ++i) servers.push_back(std::make_unique<SimProcess>());
    if (!mail_server(*servers[0], 2525, "plain") || !mail_server(*servers[1], 587, "starttls") ||
        !mail_server(*servers[2], 465, "tls") || !ftp_server(*servers[3], 21))
        return "a test server did not start";
    set_up_failed = false;
    return "";
}

}  // namespace
}  // namespace apisim::delivery

int main(int argc, char** argv) {
    using namespace apisim::delivery;
    testing::InitGoogleTest(&argc, argv);
    skip_reason = set_up();
    testing::AddGlobalTestEnvironment(new Environment);
    if (!skip_reason.empty()) fprintf(stderr, "skipping all tests: %s\n", skip_reason.c_str());
    const int status = RUN_ALL_TESTS();
    servers.clear();
    if (!scratch.empty() && system(("rm -rf '" + scratch + "'").c_str())) {}
    // A skip is 77, which googletest alone reports as passes; a set-up that
    // failed (no certificates, no server) is a failure.
    return skip_reason.empty() ? status : set_up_failed ? 1 : 77;
}
