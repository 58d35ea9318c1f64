// Password hashing, credential texts, user accounts, mail and FTP settings
// against the stand-in daemon.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "fake_daemon.h"
#include "op_table.h"

namespace {

char got[256];

int level;
char user[128], pass[128];

std::vector<unsigned char> mail_text(const std::string& subject, const std::string& content) {
    std::vector<unsigned char> v = text(subject);
    v.resize(64);
    return concat(v, text(content));
}

std::vector<OpCase> cases() {
    return {
        ROW(byte_get, API_USER_GetLiveViewers, 212),
        {"SetAddUser", [] { return API_USER_SetAddUser(3, S("ann"), S("p,w")); }, 214, text("ann:p,w:3"),
         Reply::bytes({}), 1, 0},
        ROW(copy_set, API_USER_SetDelUser, 215),
        {"SetChangePassword", [] { return API_USER_SetChangePassword(S("ann"), S("new")); }, 216,
         text("ann,new"), Reply::bytes({}), 1, 0},
        {"GetUserInfoByName", [] { return API_USER_GetUserInfoByName(S("ann"), &level, pass); }, 217,
         text("ann"), Reply::text("ann:se:cret:2"), 0, -1,
         [] { EXPECT_STREQ(pass, "se:cret"); EXPECT_EQ(level, 2); }},
        {"GetUserInfoByID", [] { return API_USER_GetUserInfoByID(300, &level, user, pass); }, 218, {44},
         Reply::text("eve:pw:5"), 0, -1,
         [] { EXPECT_STREQ(user, "eve"); EXPECT_STREQ(pass, "pw"); EXPECT_EQ(level, 5); }},
        {"Modify", [] { return API_USER_Modify(7, -2, S("ann"), S("pw")); }, 219, text("7:-2:ann:pw"),
         Reply::bytes({}), 0, -1},
        ROW(text_get, API_Get_Inner_User, 469, 128, got), ROW(copy_set, API_Set_Inner_User, 470),
        ROW(text_get, API_Get_Inner_Pwd, 471, 128, got), ROW(copy_set, API_Set_Inner_Pwd, 472),

        ROW(int_get, API_SMTP_Get_Port, 48), ROW(int_set, API_SMTP_Set_Port, 49),
        ROW(text_get, API_SMTP_Get_MailServer, 50, 128, got), ROW(copy_set, API_SMTP_Set_MailServer, 51),
        ROW(text_get, API_SMTP_Get_MailFrom, 52, 128, got), ROW(copy_set, API_SMTP_Set_MailFrom, 53),
        ROW(text_get, API_SMTP_Get_MailTo, 54, 128, got), ROW(copy_set, API_SMTP_Set_MailTo, 55),
        ROW(byte_get, API_SMTP_Get_Authentication, 56), ROW(byte_set, API_SMTP_Set_Authentication, 57),
        ROW(text_get, API_SMTP_Get_User, 58, 128, got), ROW(copy_set, API_SMTP_Set_User, 59),
        ROW(text_get, API_SMTP_Get_Password, 60, 128, got), ROW(copy_set, API_SMTP_Set_Password, 61),
        ROW(byte_get, API_SMTP_Get_SSL, 62), ROW(byte_set, API_SMTP_Set_SSL, 63),
        {"Send_Text", [] { return API_SMTP_Send_Text(S("hi"), S("body")); }, 64, mail_text("hi", "body"),
         Reply::bytes({}), 1, 0},
        {"Send_Attach", [] { return API_SMTP_Send_Attach(S("s"), S("c"), S("/f")); }, 65, text("s,c,/f"),
         Reply::bytes({}), 1, 0},

        ROW(text_get, API_Net_FTPGetServerName, 68, 128, got), ROW(copy_set, API_Net_FTPSetServerName, 69),
        ROW(text_get, API_Net_FTPGetUserName, 70, 128, got), ROW(copy_set, API_Net_FTPSetUserName, 71),
        ROW(text_get, API_Net_FTPGetPassword, 72, 128, got), ROW(copy_set, API_Net_FTPSetUserPassword, 73),
        {"FTPGetCommandPort", [] { return API_Net_FTPGetCommandPort(); }, 74, {}, Reply::text("2121"), 73, -1},
        {"FTPSetCommandPort", [] { return API_Net_FTPSetCommandPort(2121); }, 75, {73}, Reply::bytes({}), 1, 0},
        ROW(text_get, API_Net_FTPGetPath, 76, 128, got), ROW(copy_set, API_Net_FTPSetPath, 77),
        ROW(byte_get, API_Net_FTPGetPasv, 78), ROW(byte_set, API_Net_FTPSetPasv, 79),
        ROW(copy_set, API_Net_FTPContextPut, 80),
    };
}

class Users : public testing::Test {
protected:
    FakeDaemon daemon;
};

TEST_F(Users, EveryOperation) { run_op_table(daemon, cases()); }

TEST(Credentials, AuthSlimSplitsAtTheFirstAndLastColon) {
    struct { std::string in, name, pass; int level; } rows[] = {
        {"ann:pw:1", "ann", "pw", 1}, {"a:b:c:3", "a", "b:c", 3}, {"guest:2", "guest", "", 2},
        {":x:4", "", "x", 4}, {"a:b:", "a", "b", 0}, {"a::7", "a", "", 7}, {"a:b: -5x", "a", "b", -5},
        {"nocolon", "", "", 0}, {"", "", "", 0},
        {std::string(254, 'n') + ":p:1", std::string(254, 'n'), "", 0},  // cut to 255 bytes
        {std::string(300, 'x') + ":p:1", "", "", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.in.substr(0, 20));
        char name[260], pw[260];
        int lv = 99;
        memset(name, '#', sizeof name);
        memset(pw, '#', sizeof pw);
        AuthSlim(r.in.c_str(), name, pw, &lv);
        EXPECT_EQ(name, r.name);
        EXPECT_EQ(pw, r.pass);
        EXPECT_EQ(lv, r.level);
        EXPECT_EQ(name[256], '#');
    }
}

TEST(Credentials, CryptPasswordUsesTheTimeSeededSaltAndTraditionalCrypt) {
    const char alphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    // libcrypt itself (already loaded by the library), not a sanitizer's wrapper of it.
    void* libcrypt = dlopen("libcrypt.so.1", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(libcrypt, nullptr) << "the library must bind to libcrypt, not a sanitizer's crypt";
    auto* system_crypt = reinterpret_cast<char* (*)(const char*, const char*)>(dlsym(libcrypt, "crypt"));
    ASSERT_NE(system_crypt, nullptr);
    EXPECT_EQ(CryptPassword(nullptr), nullptr);
    for (int attempt = 0; attempt < 3; ++attempt) {  // the two calls must fall in one second
        const time_t before = time(nullptr);
        const std::string first = CryptPassword(S("secret12"));
        const std::string second = CryptPassword(S("secret12"));
        if (time(nullptr) != before) continue;
        ASSERT_EQ(first.size(), 13u);
        EXPECT_EQ(first.find_first_not_of(alphabet), std::string::npos);
        EXPECT_EQ(first, second);
        srandom(static_cast<unsigned>(before));
        const long r = random();  // the salt's first character holds the lowest 6 bits
        const char salt[3] = {alphabet[r & 63], alphabet[(r >> 6) & 63], 0};
        EXPECT_EQ(first.substr(0, 2), salt);
        EXPECT_EQ(first, system_crypt("secret12", salt));
        EXPECT_NE(first, system_crypt("secret13", salt));
        return;
    }
    FAIL() << "the clock never stood still for two calls";
}

TEST_F(Users, UnknownOrColonlessAccountsGiveEmptyTextsAndTheTraceMasksThePassword) {
    const struct { const char* reply; const char* trace; } rows[] = {
        {"eve:se:cr:et:5", "MSG_CONTROL_GET_USERINFOBYID eve:***:5\n"},
        {"none", "MSG_CONTROL_GET_USERINFOBYID none\n"},
        {"guest:1", "MSG_CONTROL_GET_USERINFOBYID guest:1\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reply);
        strcpy(user, "old");
        strcpy(pass, "old");
        daemon.script(Reply::text(r.reply));
        testing::internal::CaptureStdout();
        EXPECT_EQ(API_USER_GetUserInfoByID(1, &level, user, pass), 0);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.trace);
    }
    EXPECT_STREQ(user, "guest");
    EXPECT_STREQ(pass, "");
    EXPECT_EQ(level, 1);
    strcpy(pass, "old");
    level = 9;
    daemon.script(Reply::text("none"));
    EXPECT_EQ(API_USER_GetUserInfoByName(S("x"), &level, pass), 0);
    EXPECT_STREQ(pass, "");
    EXPECT_EQ(level, 0);
}

TEST_F(Users, LookUpsRefuseAnswerPartsThatDoNotFitTheirFields) {
    const std::string fits(127, 'a'), too_long(128, 'b');
    // The last answer's parts fit, but it is 256 bytes long: the splitter would cut it.
    const std::string replies[] = {too_long + ":p:1", "u:" + too_long + ":1", fits + ":" + fits.substr(1) + ":1"};
    for (const std::string& reply : replies) {
        strcpy(user, "old");
        strcpy(pass, "old");
        level = 9;
        daemon.script(Reply::text(reply));
        EXPECT_EQ(API_USER_GetUserInfoByID(1, &level, user, pass), -1);
        daemon.script(Reply::text(reply));
        EXPECT_EQ(API_USER_GetUserInfoByName(S("u"), &level, pass), -1);
        EXPECT_STREQ(user, "old");
        EXPECT_STREQ(pass, "old");
        EXPECT_EQ(level, 9);
    }
    daemon.script(Reply::text(fits + ":" + fits.substr(2) + ":3"));  // 255 bytes
    testing::internal::CaptureStdout();
    EXPECT_EQ(API_USER_GetUserInfoByID(1, &level, user, pass), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string(user), fits);
    EXPECT_EQ(std::string(pass), fits.substr(2));
    EXPECT_EQ(level, 3);
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(Users, MailTextPartsMustFitTheirRoom) {
    const std::string subject(63, 's'), content(1953, 'c');
    daemon.script(Reply::bytes({}));
    EXPECT_EQ(API_SMTP_Send_Text(S(subject.c_str()), S(content.c_str())), 1);
    const Request r = daemon.last();
    EXPECT_EQ(r.mtext[63], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r.mtext[64])), content);
    const size_t sent = daemon.request_count();
    EXPECT_EQ(API_SMTP_Send_Text(S((subject + "s").c_str()), S("c")), 0);
    EXPECT_EQ(API_SMTP_Send_Text(S("s"), S((content + "c").c_str())), 0);
    EXPECT_EQ(daemon.request_count(), sent);
    daemon.script(Reply::bytes({}));  // the attachment request is cut, and still sent
    EXPECT_EQ(API_SMTP_Send_Attach(S("s"), S(content.c_str()), S(content.c_str())), 1);
    EXPECT_EQ(daemon.last().text(), ("s," + content + "," + content).substr(0, 2016));
}

TEST_F(Users, CommandPortWithoutANumberAndNullTextsFail) {
    daemon.script(Reply::text("port"));
    EXPECT_EQ(API_Net_FTPGetCommandPort(), -1);
    daemon.script(Reply::text("21"));
    EXPECT_EQ(API_Net_FTPGetCommandPort(), 21);
    const size_t sent = daemon.request_count();
    EXPECT_EQ(API_USER_SetAddUser(1, nullptr, S("p")), 0);
    EXPECT_EQ(API_USER_SetChangePassword(S("u"), nullptr), 0);
    EXPECT_EQ(API_USER_Modify(1, 1, S("u"), nullptr), -1);
    EXPECT_EQ(API_USER_GetUserInfoByName(S("u"), nullptr, pass), -1);
    EXPECT_EQ(API_USER_GetUserInfoByID(1, &level, nullptr, pass), -1);
    EXPECT_EQ(API_SMTP_Send_Text(nullptr, S("c")), 0);
    EXPECT_EQ(API_SMTP_Send_Attach(S("s"), S("c"), nullptr), 0);
    EXPECT_EQ(daemon.request_count(), sent);
    EXPECT_EQ(daemon.lock_value(), 1);
}

}  // namespace
