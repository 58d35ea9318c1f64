// apisim delivers for real: mails to a real SMTP server (aiosmtpd) and uploads
// to a real FTP server (pyftpdlib), run by Debian's python3, with the
// settings made through the library. The program enters private IPC and
// network namespaces first (loopback only), so servers, queues and ports are
// its own.
//
// At the end it prints the deliveries the servers received and the median
// time from the call's reply to the server's receipt.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "sim_process.h"

namespace {

std::string scratch;  // this program's folder
std::string skip_reason;

double wall_clock() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

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

bool wait_until(double seconds, const std::function<bool()>& done) {
    for (double end = wall_clock() + seconds; wall_clock() < end; usleep(20000))
        if (done()) return true;
    return done();
}

// ---- what the run delivered, printed at the end ----

struct Figures {
    int mails = 0, uploads = 0;
    std::vector<double> reply_to_receipt_ms;  // first attempts only
} figures;

void count_receipt(bool mail, double replied, double received, bool first_attempt) {
    (mail ? figures.mails : figures.uploads)++;
    if (first_attempt) figures.reply_to_receipt_ms.push_back((received - replied) * 1000);
}

// A server of the test, run by Debian's python3.
bool start_server(SimProcess& server, const char* script, std::vector<std::string> args) {
    args.insert(args.begin(), {"-W", "ignore", script});
    if (server.launch(PYTHON, args, "ready")) return true;
    ADD_FAILURE() << script << " did not start:\n" << server.out() << server.err();
    return false;
}

// ---- the mail server and what it received ----

struct Attachment {
    std::string name, type, data;
};
struct Mail {  // a field by the name of the server's file for it
    std::string dir;
    std::vector<Attachment> attachments;
    std::string operator[](const std::string& field) const { return read_file(dir + field); }
    double received() const { return atof(read_file(dir + "received").c_str()); }
};

class MailServer {
public:
    // mode: plain, starttls or tls; auth "user:password" or empty.
    MailServer(const std::string& mode, int port, const std::string& auth = "")
        : dir_(scratch + "/mail-" + std::to_string(++made_)),
          args_{"--port", std::to_string(port), "--out", dir_, "--mode", mode,
                "--cert", scratch + "/server.pem", "--key", scratch + "/server.key"} {
        if (!auth.empty()) args_.insert(args_.end(), {"--auth", auth});
    }
    bool up() { return start_server(proc_, MAIL_SERVER_PY, args_); }
    int count() const {
        int n = 0;
        if (DIR* d = opendir(dir_.c_str())) {
            while (const dirent* e = readdir(d)) n += isdigit(static_cast<unsigned char>(e->d_name[0])) ? 1 : 0;
            closedir(d);
        }
        return n;
    }
    bool wait_for(int n, double seconds = 15) {
        return wait_until(seconds, [&] { return count() >= n; });
    }
    Mail mail(int n) const {
        const std::string d = dir_ + "/" + std::to_string(n) + "/";
        Mail m{d, {}};
        for (int k = 0; access((d + "attach" + std::to_string(k) + ".data").c_str(), F_OK) == 0; ++k) {
            const std::string a = d + "attach" + std::to_string(k);
            m.attachments.push_back({read_file(a + ".name"), read_file(a + ".type"), read_file(a + ".data")});
        }
        return m;
    }

private:
    static inline int made_ = 0;
    std::string dir_;
    std::vector<std::string> args_;
    SimProcess proc_;
};

// ---- the FTP server ----

class FtpServer {
public:
    FtpServer() : root_(scratch + "/ftp-root-" + std::to_string(++made_)), log_(root_ + ".log") {
        mkdir(root_.c_str(), 0755);
    }
    bool up() {
        return start_server(proc_, FTP_SERVER_PY,
                            {"--port", "21", "--root", root_, "--user", "cam", "--password", kPassword, "--log", log_});
    }
    std::string log() const { return read_file(log_); }
    // The server writes its log after its answer: a line is waited for (bounded).
    bool logged(const std::string& text, size_t from = 0) const {
        return wait_until(10, [&] { return log().find(text, from) != std::string::npos; });
    }
    int received() const {
        const std::string l = log();
        int n = 0;
        for (size_t at = 0; (at = l.find("received ", at)) != std::string::npos; ++at) ++n;
        return n;
    }
    const std::string& root() const { return root_; }
    // The receipt time of a file, once the server has it whole; 0 if it never came.
    double wait_for(const std::string& path, double seconds = 15) {
        double at = 0;
        wait_until(seconds, [&] {
            const std::string l = log();
            const size_t end = l.find(" " + root_ + path + "\n");
            if (end == std::string::npos) return false;
            const size_t start = l.rfind("received ", end);
            at = atof(l.c_str() + start + 9);
            return true;
        });
        return at;
    }
    static constexpr const char* kPassword = "ftp-Secret!42";

private:
    static inline int made_ = 0;
    std::string root_, log_;
    SimProcess proc_;
};

// ---- the camera's settings, through the library ----

int call_text(int (*fn)(char*), const std::string& value) {
    std::string copy = value;
    return fn(copy.data());
}

constexpr const char* kMailPassword = "m4il-Secret!42";
constexpr const char* kWrongPassword = "wrong-Secret!42";

struct MailSettings {
    std::string server = "127.0.0.1";
    int port = 2525;
    int ssl = 0;
    int auth = 0;
    std::string user = "cam";
    std::string password = kMailPassword;
    std::string from = "camera@desk.test";
    std::string to = "ann@example.org";
};

void apply(const MailSettings& m) {
    ASSERT_EQ(call_text(API_SMTP_Set_MailServer, m.server), 1);
    ASSERT_EQ(API_SMTP_Set_Port(m.port), 1);
    ASSERT_EQ(API_SMTP_Set_SSL(m.ssl), 1);
    ASSERT_EQ(API_SMTP_Set_Authentication(m.auth), 1);
    ASSERT_EQ(call_text(API_SMTP_Set_User, m.user), 1);
    ASSERT_EQ(call_text(API_SMTP_Set_Password, m.password), 1);
    ASSERT_EQ(call_text(API_SMTP_Set_MailFrom, m.from), 1);
    ASSERT_EQ(call_text(API_SMTP_Set_MailTo, m.to), 1);
}

void apply_ftp(const std::string& path, int passive, const std::string& password = FtpServer::kPassword) {
    ASSERT_EQ(call_text(API_Net_FTPSetServerName, "127.0.0.1"), 1);
    ASSERT_EQ(call_text(API_Net_FTPSetUserName, "cam"), 1);
    ASSERT_EQ(call_text(API_Net_FTPSetUserPassword, password), 1);
    ASSERT_EQ(API_Net_FTPSetCommandPort(21), 1);
    ASSERT_EQ(call_text(API_Net_FTPSetPath, path), 1);
    ASSERT_EQ(API_Net_FTPSetPasv(passive), 1);
}

// Each call returns the time its reply came.
double send_text(const std::string& subject, const std::string& content) {
    std::string s = subject, c = content;
    EXPECT_EQ(API_SMTP_Send_Text(s.data(), c.data()), 1);
    return wall_clock();
}
double send_attach(const std::string& subject, const std::string& content, const std::string& path) {
    std::string s = subject, c = content, p = path;
    EXPECT_EQ(API_SMTP_Send_Attach(s.data(), c.data(), p.data()), 1);
    return wall_clock();
}
double upload(const std::string& path) {
    EXPECT_EQ(call_text(API_Net_FTPContextPut, path), 1);
    return wall_clock();
}

// ---- apisim and its outcome lines ----

class Delivery : public testing::Test {
protected:
    // apisim with a fast retry schedule and the test CA trusted.
    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--trace", "--delivery-timeout", "5"};
        if (std::find(extra.begin(), extra.end(), "--retry") == extra.end())
            args.insert(args.end(), {"--retry", "0.2,0.2"});
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim.start(args)) << sim.err();
    }
    void TearDown() override {
        if (sim.running()) {
            EXPECT_EQ(sim.stop(), 0) << sim.err();
        }
        // No password, nor the form a login sends it in, in any log or trace line.
        const std::string seen = sim.out() + sim.err() + all_runs_;
        for (const char* secret : {kMailPassword, kWrongPassword, FtpServer::kPassword}) {
            EXPECT_EQ(seen.find(secret), std::string::npos) << "a password in apisim's output:\n" << seen;
            const std::string plain = std::string(1, '\0') + "cam" + '\0' + secret;
            EXPECT_EQ(seen.find(base64(plain)), std::string::npos) << seen;
        }
    }
    // Keeps the output of a run that is stopped and started again.
    void restart_kept() { all_runs_ += sim.out() + sim.err(); }

    // The final outcome line of the delivery that `needle` names ("delivered"
    // or "failed"), waiting for it; empty when none came.
    std::string outcome(const std::string& needle, double seconds = 20) {
        std::string found;
        wait_until(seconds, [&] {
            const std::string err = sim.err();
            for (size_t at = 0, end; (end = err.find('\n', at)) != std::string::npos; at = end + 1) {
                const std::string line = err.substr(at, end - at);
                if (line.find(needle) == std::string::npos) continue;
                if (line.find(": delivered (") != std::string::npos || line.find(": failed after ") != std::string::npos ||
                    line.find(": failed, not queued") != std::string::npos)
                    return found = line, true;
            }
            return false;
        });
        return found;
    }
    int lines_with(const std::string& needle) const {
        const std::string err = sim.err();
        int n = 0;
        for (size_t at = 0; (at = err.find(needle, at)) != std::string::npos; ++at) ++n;
        return n;
    }
    std::string spool() const { return sim.state() + ".outbox"; }
    int spool_entries(const char* suffix = ".entry") const {
        int n = 0;
        if (DIR* d = opendir(spool().c_str())) {
            while (const dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                n += name.size() > strlen(suffix) && name.compare(name.size() - strlen(suffix), strlen(suffix), suffix) == 0;
            }
            closedir(d);
        }
        return n;
    }
    static std::string base64(const std::string& in) {
        static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        for (size_t i = 0; i < in.size(); i += 3) {
            uint32_t n = static_cast<unsigned char>(in[i]) << 16;
            if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
            if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
            out += t[n >> 18 & 63];
            out += t[n >> 12 & 63];
            out += i + 1 < in.size() ? t[n >> 6 & 63] : '=';
            out += i + 2 < in.size() ? t[n & 63] : '=';
        }
        return out;
    }

    SimProcess sim;
    std::string all_runs_;
};

std::string ca_option() { return scratch + "/ca.pem"; }

// ---- mails ----

TEST_F(Delivery, TextMailReachesEveryReceiverWithSubjectAndBodyIntact) {
    MailServer server("plain", 2525);
    ASSERT_TRUE(server.up());
    start();
    MailSettings m;
    m.to = " ann@example.org, bob@example.org;<cy@example.org>\tdee@example.org ";
    apply(m);
    // Long enough for two encoded words.
    std::string subject = "Motion on channel 1, T\xc3\xbcr!";
    for (int i = 0; i < 12; ++i) subject += "\xe2\x82\xac";
    std::string content = "Motion detected at the door.\nSecond line; =3D and dots:\n.\n";
    content += std::string(300, 'x') + " end of a long line\r\n\xc3\xa4\xc3\xb6\xc3\xbc\ttab";
    const double replied = send_text(subject, content);
    ASSERT_TRUE(server.wait_for(1)) << sim.err();
    const Mail mail = server.mail(1);
    EXPECT_EQ(mail["envelope_from"], m.from);
    EXPECT_EQ(mail["envelope_to"], "ann@example.org\nbob@example.org\ncy@example.org\ndee@example.org\n");
    EXPECT_EQ(mail["subject"], subject);
    EXPECT_EQ(mail["from"], m.from);
    EXPECT_EQ(mail["to"], "ann@example.org, bob@example.org, cy@example.org, dee@example.org");
    EXPECT_EQ(mail["body"], content);
    EXPECT_NE(mail["message_id"].find("@desk.test>"), std::string::npos) << mail["message_id"];
    const std::string line = outcome("Motion on channel 1");
    EXPECT_NE(line.find("API_SMTP_Send_Text"), std::string::npos) << line;
    EXPECT_NE(line.find("127.0.0.1:2525 (plain): delivered (1 attempt): 250 "), std::string::npos) << line;
    count_receipt(true, replied, mail.received(), true);
    // The trace has the transaction's line, and the outcome line too.
    EXPECT_NE(sim.out().find("API_SMTP_Send_Text(subject=\"Motion on channel 1, T??r!???"), std::string::npos) << sim.out();
    EXPECT_NE(sim.out().find("-> queued as delivery #1"), std::string::npos) << sim.out();
    EXPECT_NE(sim.out().find(": delivered (1 attempt)"), std::string::npos) << sim.out();
    EXPECT_EQ(spool_entries(), 0);
}

TEST_F(Delivery, AttachmentsArriveByteForByteWithTheirTypeGuessed) {
    MailServer server("plain", 2525);
    ASSERT_TRUE(server.up());
    start();
    apply(MailSettings{});
    struct Case {
        const char* name;
        std::string bytes;
        const char* type;
    };
    std::string every_byte;
    for (int i = 0; i < 256; ++i) every_byte += static_cast<char>(i);
    // Types by name and case are the MimeType test's; here by content, and bytes kept.
    const Case cases[] = {
        {"snapshot.jpg", jpeg_like(150000, 1), "image/jpeg"},
        {"snapshot_without_extension", jpeg_like(5000, 3), "image/jpeg"},  // known by its first bytes
        {"events.txt", "door opened\r\ndoor closed\n", "text/plain"},
        {"bytes.bin", every_byte + every_byte, "application/octet-stream"},
        {"empty.dat", "", "application/octet-stream"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = scratch + "/" + c.name;
        write_file(path, c.bytes);
        // The content keeps its commas: the subject ends at the first, the path begins after the last.
        const std::string subject = std::string("Alarm ") + c.name;
        const double replied = send_attach(subject, "picture, as taken, attached", path);
        ASSERT_TRUE(server.wait_for(++n)) << sim.err();
        const Mail mail = server.mail(n);
        EXPECT_EQ(mail["subject"], subject);
        EXPECT_EQ(mail["body"], "picture, as taken, attached");
        ASSERT_EQ(mail.attachments.size(), 1u);
        EXPECT_EQ(mail.attachments[0].name, c.name);
        EXPECT_EQ(mail.attachments[0].type, c.type);
        EXPECT_TRUE(mail.attachments[0].data == c.bytes) << "attachment bytes differ";
        EXPECT_NE(outcome(subject).find("API_SMTP_Send_Attach"), std::string::npos);
        count_receipt(true, replied, mail.received(), true);
    }
}

// Over STARTTLS and implicit TLS, with login, the server's certificate is
// trusted when the named CA (by option or environment) signed it, else refused.
TEST_F(Delivery, TlsTrustsTheNamedCaAlone) {
    MailServer starttls("starttls", 587, std::string("cam:") + kMailPassword);
    MailServer tls("tls", 465, std::string("cam:") + kMailPassword);
    ASSERT_TRUE(starttls.up());
    ASSERT_TRUE(tls.up());
    const struct {
        const char* how;  // --ca-file, APISIM_CA_FILE or none
        std::string ca;
        bool trusted;
    } runs[] = {{"--ca-file", ca_option(), true}, {"APISIM_CA_FILE", ca_option(), true},
                {"--ca-file", scratch + "/other-ca.pem", false}, {"none", "", false}};
    int run = 0;
    for (const auto& r : runs) {
        SCOPED_TRACE(std::string(r.how) + " " + r.ca);
        if (run++) {
            EXPECT_EQ(sim.stop(), 0);
            restart_kept();
        }
        if (r.how[0] == 'A') setenv("APISIM_CA_FILE", r.ca.c_str(), 1);
        start(r.how[0] == '-' ? std::vector<std::string>{"--ca-file", r.ca} : std::vector<std::string>{});
        unsetenv("APISIM_CA_FILE");
        const struct {
            MailServer& server;
            int port, ssl;
            const char* shown;
        } cases[] = {{starttls, 587, 1, "(STARTTLS)"}, {tls, 465, 2, "(TLS)"}};
        for (const auto& c : cases) {
            MailSettings m;
            m.port = c.port, m.ssl = c.ssl, m.auth = 1;
            apply(m);
            const int before = c.server.count();
            const std::string subject = std::string("Over ") + c.shown + " " + std::to_string(run);
            const double replied = send_text(subject, "sealed");
            const std::string line = outcome(subject);
            if (!r.trusted) {
                EXPECT_NE(line.find("failed after 1 attempt: SSL certificate problem"), std::string::npos) << line;
                EXPECT_EQ(c.server.count(), before);
                continue;
            }
            EXPECT_NE(line.find(std::string(c.shown) + ": delivered"), std::string::npos) << sim.err();
            ASSERT_TRUE(c.server.wait_for(before + 1)) << sim.err();
            const Mail mail = c.server.mail(before + 1);
            EXPECT_EQ(mail["subject"], subject);
            EXPECT_EQ(mail["body"], "sealed");
            count_receipt(true, replied, mail.received(), true);
        }
    }
}

// Each failure ends in one final outcome line with the server's answer (or
// why it was not reached), after the attempts the schedule allows, and
// apisim goes on serving.
TEST_F(Delivery, FailuresEndWithTheServersAnswerAndAreNotRetriedForEver) {
    MailServer plain("plain", 2525);
    MailServer starttls("starttls", 587, std::string("cam:") + kMailPassword);
    ASSERT_TRUE(plain.up());
    ASSERT_TRUE(starttls.up());
    start({"--ca-file", ca_option()});
    struct Case {
        const char* name;
        MailSettings settings;
        const char* attach;  // a path to attach, or null
        const char* answer;  // in the final line
        int attempts;
    };
    MailSettings wrong_password, down, no_starttls, bad_receiver, bad_ssl, missing_file;
    wrong_password.port = 587, wrong_password.ssl = 1, wrong_password.auth = 1;
    wrong_password.password = kWrongPassword;
    down.port = 2599;
    no_starttls.ssl = 1;  // the plain server offers no STARTTLS
    bad_receiver.to = "ann@example.org, not-an-address";
    bad_ssl.ssl = 7;
    const std::string missing = scratch + "/no-such-snapshot.jpg";
    const Case cases[] = {
        {"wrong password", wrong_password, nullptr, "535 5.7.8 Authentication credentials invalid", 1},
        {"server down", down, nullptr, "Couldn't connect to server", 3},
        {"no STARTTLS offered", no_starttls, nullptr, "STARTTLS", 1},
        {"bad receiver", bad_receiver, nullptr, "receiver \"not-an-address\" is not a plain address", 1},
        {"unknown SSL setting", bad_ssl, nullptr, "SSL setting 7 is none of 0 (plain), 1 (STARTTLS), 2 (TLS)", 1},
        {"missing attachment", missing_file, missing.c_str(), "No such file or directory", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apply(c.settings);
        const std::string subject = std::string("Case ") + c.name;
        if (c.attach) send_attach(subject, "body", c.attach);
        else send_text(subject, "body");
        const std::string line = outcome("\"" + subject + "\"");
        EXPECT_NE(line.find(": failed after " + std::to_string(c.attempts) + " attempt"), std::string::npos) << line;
        EXPECT_NE(line.find(c.answer), std::string::npos) << line;
        // Every attempt but the last says when the next one comes.
        EXPECT_EQ(lines_with("\"" + subject + "\" to"), c.attempts) << sim.err();
    }
    EXPECT_EQ(plain.count() + starttls.count(), 0);
    EXPECT_EQ(spool_entries(), 0);
    EXPECT_TRUE(sim.running());
}

TEST_F(Delivery, MailQueuedWhileTheServerIsDownArrivesWhenItComesBack) {
    MailServer server("plain", 2525);
    // A retry window of ten seconds: ample for the server's start on a busy machine.
    std::string waits = "0.5";
    for (int i = 1; i < 20; ++i) waits += ",0.5";
    start({"--retry", waits});
    apply(MailSettings{});
    send_text("Queued while down", "later");
    ASSERT_TRUE(wait_until(10, [&] { return lines_with("attempt 1 of 21 failed, next in 0.5 s") == 1; })) << sim.err();
    ASSERT_TRUE(server.up());
    const std::string line = outcome("Queued while down");
    EXPECT_NE(line.find(": delivered ("), std::string::npos) << sim.err();
    ASSERT_EQ(server.count(), 1);
    EXPECT_EQ(server.mail(1)["body"], "later");
    count_receipt(true, 0, 0, false);
}

// A queued delivery survives the end of apisim, even a SIGKILL, also in the
// middle of an attempt, and is made exactly once by the next run; a damaged
// spool entry is set aside.
TEST_F(Delivery, QueuedDeliveriesSurviveARestartAndAreMadeOnce) {
    // A mail server that takes the connection and never answers: the attempt
    // stays under way until apisim is killed.
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(2525);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(silent, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << strerror(errno);
    ASSERT_EQ(listen(silent, 4), 0);
    FtpServer ftp;
    start({"--retry", "60", "--delivery-timeout", "60"});
    apply(MailSettings{});
    apply_ftp("/kept", 1);
    const std::string file = scratch + "/kept.jpg";
    write_file(file, jpeg_like(40000, 9));
    upload(file);  // no FTP server yet
    ASSERT_TRUE(wait_until(10, [&] { return lines_with("attempt 1 of 2 failed, next in 60 s") == 1; })) << sim.err();
    send_text("Kept across a restart", "durable");
    int caller = -1;
    ASSERT_TRUE(wait_until(10, [&] { return (caller = accept(silent, nullptr, nullptr)) >= 0; })) << sim.err();
    EXPECT_EQ(spool_entries(), 2);  // the mail's attempt is under way
    sim.stop(SIGKILL);
    close(caller);
    close(silent);
    restart_kept();
    write_file(spool() + "/000000000077.entry", "apisim-outbox-entry 1\nid 77\nkind text\n");  // cut short
    MailServer mail("plain", 2525);
    ASSERT_TRUE(mail.up());
    ASSERT_TRUE(ftp.up());
    start({"--retry", "60"});
    EXPECT_NE(outcome("Kept across a restart").find(": delivered (1 attempt)"), std::string::npos) << sim.err();
    EXPECT_NE(outcome("kept.jpg").find(": delivered (2 attempts)"), std::string::npos) << sim.err();
    EXPECT_NE(sim.err().find("outbox entry 000000000077.entry set aside"), std::string::npos) << sim.err();
    EXPECT_EQ(spool_entries(), 0);
    EXPECT_EQ(spool_entries(".bad"), 1);
    // A third run finds nothing left to send.
    EXPECT_EQ(sim.stop(), 0);
    restart_kept();
    start({"--retry", "60"});
    usleep(500000);
    EXPECT_EQ(mail.count(), 1);
    EXPECT_EQ(mail.mail(1)["body"], "durable");
    EXPECT_EQ(read_file(ftp.root() + "/kept/kept.jpg"), read_file(file));
    EXPECT_EQ(ftp.received(), 1) << ftp.log();
    figures.mails++, figures.uploads++;
}

// ---- uploads ----

TEST_F(Delivery, UploadsLandInTheFolderPassiveAndActive) {
    FtpServer ftp;
    ASSERT_TRUE(ftp.up());
    start();
    struct Case {
        const char* folder;  // as set
        int passive;
        const char* name;
        const char* lands;  // under the server's root
        const char* mode;   // the data connection the server saw
    };
    const Case cases[] = {
        {"/incoming/cam1", 1, "snap 1.jpg", "/incoming/cam1/snap 1.jpg", "mode EPSV"},
        {"incoming", 0, "clip.avi", "/incoming/clip.avi", "mode EPRT"},
        {"/", 1, "root.jpg", "/root.jpg", "mode EPSV"},
    };
    int k = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apply_ftp(c.folder, c.passive);
        const std::string local = scratch + "/" + c.name;
        write_file(local, jpeg_like(100000 + 1000 * k, 20 + k));
        ++k;
        const size_t log_before = ftp.log().size();
        const double replied = upload(local);
        const double received = ftp.wait_for(c.lands);
        ASSERT_GT(received, 0) << sim.err();
        EXPECT_TRUE(read_file(ftp.root() + c.lands) == read_file(local)) << "uploaded bytes differ";
        EXPECT_TRUE(ftp.logged(c.mode, log_before)) << ftp.log();
        const std::string line = outcome(c.name);
        EXPECT_NE(line.find("API_Net_FTPContextPut"), std::string::npos) << line;
        EXPECT_NE(line.find(std::string("127.0.0.1:21 (") + (c.passive ? "passive" : "active") + "): delivered"),
                  std::string::npos)
            << line;
        count_receipt(false, replied, received, true);
    }
}

TEST_F(Delivery, UploadFailuresEndWithTheServersAnswer) {
    FtpServer ftp;
    ASSERT_TRUE(ftp.up());
    start();
    const std::string present = scratch + "/present.jpg";
    write_file(present, jpeg_like(1000, 30));
    apply_ftp("/", 1, kWrongPassword);
    upload(present);
    std::string line = outcome("present.jpg");
    EXPECT_NE(line.find("failed after 1 attempt: 530 "), std::string::npos) << line;
    EXPECT_TRUE(ftp.logged("login-failed cam")) << ftp.log();
    apply_ftp("/", 1);
    upload(scratch);  // a folder; a missing file is the Outbox test's
    line = outcome("\"" + scratch + "\"");
    EXPECT_NE(line.find("is not a regular file"), std::string::npos) << line;
    EXPECT_EQ(access((ftp.root() + "/present.jpg").c_str(), F_OK), -1);
}

// ---- set-up: namespaces, loopback, certificates; the figures at the end ----

class Environment : public testing::Environment {
public:
    void SetUp() override {
        if (!skip_reason.empty()) GTEST_SKIP() << skip_reason;
    }
    void TearDown() override {
        std::vector<double> ms = figures.reply_to_receipt_ms;
        std::sort(ms.begin(), ms.end());
        printf("deliveries received by the test servers: %d (%d mails, %d uploads)\n", figures.mails + figures.uploads,
               figures.mails, figures.uploads);
        if (!ms.empty())
            printf("from the call's reply to the server's receipt: median %.1f ms, min %.1f, max %.1f (%zu first attempts)\n",
                   ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
        if (!scratch.empty()) {
            const std::string cmd = "rm -rf '" + scratch + "'";
            if (system(cmd.c_str())) {}
        }
    }
};

// A CA, a server certificate it signs for 127.0.0.1, and another CA.
bool make_certificates() {
    const std::string d = scratch + "/";
    const std::string quiet = " >/dev/null 2>&1";
    auto ca = [&](const std::string& name) {
        return system((std::string(OPENSSL) + " req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name +
                       " -keyout " + d + name + ".key -out " + d + name + ".pem" + quiet).c_str()) == 0;
    };
    write_file(d + "server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    return ca("ca") && ca("other-ca") &&
           system((std::string(OPENSSL) + " req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout " + d +
                   "server.key -out " + d + "server.csr" + quiet).c_str()) == 0 &&
           system((std::string(OPENSSL) + " x509 -req -days 2 -in " + d + "server.csr -CA " + d + "ca.pem -CAkey " + d +
                   "ca.key -CAcreateserial -extfile " + d + "server.ext -out " + d + "server.pem" + quiet).c_str()) == 0;
}

std::string set_up() {
    if (unshare(CLONE_NEWIPC | CLONE_NEWNET) != 0)
        return std::string("cannot enter private IPC and network namespaces (") + strerror(errno) + ")" +
               (errno == EPERM ? "; run as root or with CAP_SYS_ADMIN" : "");
    if (system("ip link set lo up") != 0) return "cannot bring up the loopback interface";
    char dir[] = "/tmp/apisim-delivery-XXXXXX";
    if (!mkdtemp(dir)) return "no scratch folder";
    scratch = dir;
    if (!make_certificates()) return "openssl could not make the test certificates";  // a failure, not a skip
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    skip_reason = set_up();
    testing::AddGlobalTestEnvironment(new Environment);
    if (!skip_reason.empty()) fprintf(stderr, "skipping all tests: %s\n", skip_reason.c_str());
    const int status = RUN_ALL_TESTS();
    // Missing certificates are a fault of the set-up, not a reason to skip;
    // any other reason is a skip (77), which googletest alone reports as passes.
    if (skip_reason.empty()) return status;
    return skip_reason.rfind("openssl", 0) == 0 ? 1 : 77;
}
