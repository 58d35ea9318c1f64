// The outbox's own rules, without servers: the receivers text, the
// attachment request, the MIME type guess, header encoding, the spool entry
// and its damaged forms, secrets kept out of answers; and the listing of a
// running outbox (its only delivery aims at a closed port of this program's
// private loopback).
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delivery.h"
#include "sim_process.h"

namespace apisim::delivery {
namespace {

TEST(Receivers, AreSplitAtCommasSemicolonsAndWhiteSpace) {
    const struct {
        const char* text;
        std::vector<std::string> receivers;
    } ok[] = {
        {"a@x.org", {"a@x.org"}},
        {"a@x.org,b@y.org", {"a@x.org", "b@y.org"}},
        {"a@x.org; b@y.org", {"a@x.org", "b@y.org"}},
        {" <a@x.org>\t b@y.org\r\n", {"a@x.org", "b@y.org"}},
        {",,a@x.org,;,", {"a@x.org"}},
        {"first.last+tag@sub.x.org", {"first.last+tag@sub.x.org"}},
    };
    for (const auto& c : ok) {
        std::vector<std::string> out;
        std::string error;
        EXPECT_TRUE(split_receivers(c.text, out, error)) << c.text << ": " << error;
        EXPECT_EQ(out, c.receivers) << c.text;
    }
    const struct {
        const char* text;
        const char* error;
    } bad[] = {
        {"", "no receiver set"},
        {" , ; ", "no receiver set"},
        {"a@x.org, bob", "receiver \"bob\" is not a plain address"},
        {"Ann <a@x.org>", "receiver \"Ann\""},
        {"a@@x.org", "receiver"},
        {"@x.org", "receiver"},
        {"a@", "receiver"},
        {"\"a\"@x.org", "receiver"},
        {"<a@x.org", "receiver"},
        {"a@x.org\x01", "receiver \"a@x.org?\""},
        {"a@x.org>RCPT", "receiver"},
        {"a\xc3\xa4@x.org", "receiver"},
    };
    for (const auto& c : bad) {
        std::vector<std::string> out;
        std::string error;
        EXPECT_FALSE(split_receivers(c.text, out, error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
}

TEST(AttachRequest, SubjectEndsAtTheFirstCommaAndThePathBeginsAfterTheLast) {
    const struct {
        const char* text;
        bool ok;
        const char *subject, *content, *path;
    } cases[] = {
        {"s,c,/p", true, "s", "c", "/p"},
        {"Alarm,at the door, 12:00, both,/tmp/a.jpg", true, "Alarm", "at the door, 12:00, both", "/tmp/a.jpg"},
        {"s,,/p", true, "s", "", "/p"},
        {",c,/p", true, "", "c", "/p"},
        {"s,c,", true, "s", "c", ""},
        {"s,/p", false, "", "", ""},
        {"no commas", false, "", "", ""},
        {"", false, "", "", ""},
    };
    for (const auto& c : cases) {
        std::string subject, content, path;
        EXPECT_EQ(split_attach_request(c.text, subject, content, path), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(subject, c.subject);
        EXPECT_EQ(content, c.content);
        EXPECT_EQ(path, c.path);
    }
}

TEST(MimeType, ComesFromTheNameElseFromTheFirstBytes) {
    const unsigned char jpeg[] = {0xff, 0xd8, 0xff, 0xe0}, png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    const unsigned char other[] = {'x', 'y', 'z', 0};
    const struct {
        const char* name;
        const unsigned char* head;
        size_t size;
        const char* type;
    } cases[] = {
        {"/mnt/sd/snap.jpg", other, 4, "image/jpeg"},  // the name wins
        {"SNAP.JPG", other, 4, "image/jpeg"},
        {"a.jpeg", nullptr, 0, "image/jpeg"},
        {"/tmp/snapshot", jpeg, 4, "image/jpeg"},
        {"/tmp/dir.jpg/snapshot", jpeg, 4, "image/jpeg"},
        {"/tmp/dir.jpg/blob", other, 4, "application/octet-stream"},  // a folder's extension says nothing
        {"frame.png", nullptr, 0, "image/png"},
        {"frame", png, 8, "image/png"},
        {"rec.avi", nullptr, 0, "video/x-msvideo"},
        {"rec.264", nullptr, 0, "video/h264"},
        {"log.txt", nullptr, 0, "text/plain"},
        {".jpg", other, 4, "application/octet-stream"},  // a hidden file, not an extension
        {"short", jpeg, 2, "application/octet-stream"},
        {"noext", nullptr, 0, "application/octet-stream"},
    };
    for (const auto& c : cases) EXPECT_STREQ(guess_mime_type(c.name, c.head, c.size), c.type) << c.name;
}

TEST(HeaderText, ControlCharactersCannotStartAHeaderAndOtherTextIsEncoded) {
    EXPECT_EQ(header_text("Motion on channel 1"), "Motion on channel 1");
    EXPECT_EQ(header_text("a\r\nBcc: x@y.org"), "a  Bcc: x@y.org");
    EXPECT_EQ(header_text("T\xc3\xbcr"), "=?UTF-8?B?VMO8cg==?=");
    EXPECT_EQ(header_text("=?looks encoded?="), "=?UTF-8?B?PT9sb29rcyBlbmNvZGVkPz0=?=");
    // A longer text: words of at most 45 bytes, cut before a character (44
    // bytes of two-byte characters), never inside one.
    std::string forty;
    for (int i = 0; i < 40; ++i) forty += "\xc3\xa4";
    EXPECT_EQ(header_text(forty),
              "=?UTF-8?B?w6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6Q=?= "
              "=?UTF-8?B?w6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOkw6TDpMOk?=");
}

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

TEST(SpoolEntry, KeepsEveryByteOfEveryField) {
    const Job j = sample_job();
    const std::string text = encode_job(j);
    Job back;
    std::string error;
    ASSERT_TRUE(decode_job(text, back, error)) << error << "\n" << text;
    EXPECT_EQ(back.id, j.id);
    EXPECT_EQ(back.kind, j.kind);
    EXPECT_EQ(back.attempts, j.attempts);
    EXPECT_EQ(back.queued, j.queued);
    EXPECT_EQ(back.port, j.port);
    EXPECT_EQ(back.ssl, j.ssl);
    EXPECT_EQ(back.auth, j.auth);
    for (auto member : {&Job::message_id, &Job::server, &Job::user, &Job::password, &Job::from, &Job::to,
                        &Job::folder, &Job::subject, &Job::content, &Job::file})
        EXPECT_EQ(back.*member, j.*member);
    // One line a field: no byte of a value can start a line of its own.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20);
}

TEST(SpoolEntry, DamagedEntriesAreRefused) {
    const std::string good = encode_job(sample_job());
    Job j;
    std::string error;
    // Cut anywhere.
    for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(decode_job(good.substr(0, n), j, error)) << n;
    auto changed = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return s.replace(at, from.size(), to);
    };
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"garbage", "not an outbox entry"},
        {changed("apisim-outbox-entry 1", "apisim-outbox-entry 2"), "not an outbox entry"},
        {changed("port -5\n", "port x\n"), "a bad value of port"},
        {changed("port -5\n", "port 99999999999\n"), "a bad value of port"},
        {changed("ssl 255\n", "ssl 256\n"), "a bad value of ssl"},
        {changed("ssl 255\n", "ssl +1\n"), "a bad value of ssl"},
        {changed("id 42\n", "id 0\n"), "a bad value of id"},
        {changed("kind attach\n", "kind fax\n"), "a bad value of kind"},
        {changed("attempts 2\n", "attempts -1\n"), "a bad value of attempts"},
        {changed("ssl 255\n", "ssl 255\nssl 1\n"), "the field ssl twice"},
        {changed("ssl 255\n", "colour red\n"), "an unknown field"},
        {changed("ssl 255\n", ""), "a field missing"},
        {changed("ssl 255\n", "ssl\n"), "a line without a value"},
        {changed("server mail.example.org", "server mail%zz"), "a bad value of server"},
        {changed("server mail.example.org", "server mail%4"), "a bad value of server"},
        {changed("server mail.example.org", "server mail\x80"), "a bad value of server"},
        {changed("server mail.example.org", "server a%00b"), "a bad value of server"},
        {changed("server mail.example.org", "server " + std::string(128, 's')), "a bad value of server"},
        {good + "ssl 1\n", "lines after its end"},
        {good + std::string(70000, 'x'), "too large"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(decode_job(c.text, j, error)) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << "expected \"" << c.error << "\", got \"" << error << "\"";
    }
}

TEST(Secrets, NeverLeaveInAServersAnswer) {
    EXPECT_EQ(without_secret("535 no login for s3cret-pw", "cam", "s3cret-pw"), "535 no login for ***");
    // AUTH PLAIN's and AUTH LOGIN's forms of it.
    EXPECT_EQ(without_secret("535 echo AGNhbQBzM2NyZXQtcHc=", "cam", "s3cret-pw"), "535 echo ***");
    EXPECT_EQ(without_secret("535 echo czNjcmV0LXB3", "cam", "s3cret-pw"), "535 echo ***");
    EXPECT_EQ(without_secret("250 ok", "cam", ""), "250 ok");
}

// ---- a running outbox, in this process ----

TEST(Outbox, ListsItsQueueAndLastOutcomesAsLinesAndJson) {
    char dir[] = "/tmp/apisim-outbox-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    DeliveryOptions options;
    options.spool = std::string(dir) + "/outbox";
    options.retry_after = {60};
    options.timeout = 2;
    std::mutex heard_lock;
    std::vector<std::string> heard;
    add_outcome_listener([&](const std::string& line) {
        std::lock_guard<std::mutex> hold(heard_lock);
        heard.push_back(line);
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
    auto wait_heard = [&](size_t n) {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> hold(heard_lock);
                if (heard.size() >= n) return;
            }
            usleep(10000);
        }
    };
    wait_heard(2);  // #1 deferred, #2 failed
    memset(mtext, 0, sizeof mtext);
    strcpy(mtext, "no commas");
    EXPECT_EQ(queue_delivery(65, mtext, rec, args), "refused: the request is not subject,content,path");
    wait_heard(3);
    const std::vector<std::string> lines = outbox_lines();
    ASSERT_EQ(lines.size(), 5u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "queued: 1");
    EXPECT_EQ(lines[1].rfind("#1 API_SMTP_Send_Text \"Listed\" to \"ann@example.org\" via 127.0.0.1:2599 (plain): "
                             "attempt 2 of 2 in ", 0),
              0u)
        << lines[1];
    EXPECT_NE(lines[1].find("; last: Failed to connect to 127.0.0.1 port 2599"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "recent: 2");
    EXPECT_NE(lines[3].find("#2 API_Net_FTPContextPut \"/no/such/file.jpg\" into the login folder via "
                            "127.0.0.1:21 (active): failed at "),
              std::string::npos)
        << lines[3];
    EXPECT_NE(lines[3].find(" after 1 attempt: cannot open \"/no/such/file.jpg\": No such file or directory"),
              std::string::npos)
        << lines[3];
    EXPECT_NE(lines[4].find("#3 API_SMTP_Send_Attach \"\" to \"ann@example.org\" with \"\" via"), std::string::npos)
        << lines[4];
    EXPECT_NE(lines[4].find(": failed at "), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find(" after 0 attempts: the request is not subject,content,path"), std::string::npos);

    const std::string json = outbox_json();
    EXPECT_EQ(json.rfind("{\"queued\":[{\"id\":1,\"operation\":\"API_SMTP_Send_Text\",\"what\":"
                         "\"\\\"Listed\\\" to \\\"ann@example.org\\\"\",\"server\":\"127.0.0.1:2599 (plain)\","
                         "\"attempts\":1,\"max_attempts\":2,\"sending\":false,\"next_in\":",
                         0),
              0u)
        << json;
    EXPECT_NE(json.find("],\"recent\":[{\"id\":2,\"operation\":\"API_Net_FTPContextPut\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"result\":\"failed\""), std::string::npos) << json;
    EXPECT_EQ(json.find("listing-Secret"), std::string::npos);
    for (const std::string& line : heard) EXPECT_EQ(line.find("listing-Secret"), std::string::npos);

    stop_deliveries();
    // The one still queued stays in the spool, readable by its owner only.
    struct stat st;
    ASSERT_EQ(stat((options.spool + "/000000000001.entry").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(stat((options.spool + "/000000000002.entry").c_str(), &st), -1);
    const std::string cmd = std::string("rm -rf ") + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
}

}  // namespace
}  // namespace apisim::delivery
