// Wired network, wireless LAN, PPPoE/VPN/3G, dynamic DNS, UPnP and mapping
// service settings against the stand-in daemon.
#include <string.h>
#include <sys/sem.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "fake_daemon.h"
#include "op_table.h"

namespace {

char out[256];
char kText[] = "a,b:c";  // separators reach the daemon unchanged

// A reply text that just fits a field of `size` bytes, and the row that wants it copied.
OpCase text_get(const char* name, std::function<int()> call, int command, size_t size,
                std::vector<unsigned char> request = {}, int result = 0) {
    const std::string want(size - 1, static_cast<char>('A' + command % 26));
    return {name, call, command, request, Reply::text(want), result, -1,
            [want] { EXPECT_EQ(std::string(out), want); }};
}

#define CALL(expr) [] { return expr; }
#define BYTE_GET(f, c) {#f, CALL(f()), c, {}, Reply::bytes({0xC8}), 200, -1}
#define BYTE_SET(f, c, v, b) {#f, CALL(f(v)), c, {b}, Reply::bytes({}), 1, 0}
#define INT_GET(f, c) {#f, CALL(f()), c, {}, Reply::int32(-123456), -123456, -1}
#define INT_SET(f, c) {#f, CALL(f(0x01020304)), c, {4, 3, 2, 1}, Reply::bytes({}), 1, 0}
#define DEC_GET(f, c) {#f, CALL(f()), c, {}, Reply::text("8080"), 8080, -1}
#define DEC_SET(f, c, v) {#f, CALL(f(v)), c, text(#v), Reply::bytes({}), 1, 0}
#define COPY_SET(f, c) {#f, CALL(f(kText)), c, text(kText), Reply::bytes({}), 1, 0}
#define TEXT_GET(f, c, n) text_get(#f, CALL(f(out)), c, n)

std::vector<OpCase> net_cases() {
    static char ip[] = "192.168.1.20", mask[] = "255.255.255.0", gw[] = "192.168.1.1", empty[] = "";
    return {
        // Wired network and service ports
        TEXT_GET(API_Net_GetFixIP, 23, 32), TEXT_GET(API_Net_GetFixNetMask, 24, 32),
        TEXT_GET(API_Net_GetFixGateWay, 25, 32), TEXT_GET(API_NET_GetRealIP, 468, 32),
        {"API_Net_SetNetConfig", CALL(API_Net_SetNetConfig(ip, mask, gw)), 27,
         text("192.168.1.20,255.255.255.0,192.168.1.1"), Reply::bytes({}), 1, 0},
        {"API_Net_SetMacAddress", CALL(API_Net_SetMacAddress(kText)), 28, text(kText), Reply::bytes({}), 1, 0},
        text_get("API_Net_GetDNS", CALL(API_Net_GetDNS(258, out)), 29, 128, {2}, 1),
        {"API_Net_SetDNS", CALL(API_Net_SetDNS(1, gw)), 30, text("1,192.168.1.1"), Reply::bytes({}), 1, 0},
        BYTE_GET(API_NET_DHCPGetEnable, 31), BYTE_SET(API_NET_DHCPSetEnable, 32, 0x81, 0x81),
        DEC_GET(API_Net_HttpGetPort, 220), DEC_SET(API_Net_HttpSetPort, 221, 8080),
        DEC_GET(API_Net_RTSPGetPort, 270), DEC_SET(API_Net_RTSPSetPort, 271, -554),
        DEC_GET(API_Net_RTPGetPort, 272), DEC_SET(API_Net_RTPSetPort, 273, 6970),
        {"API_Net_RTSPGetSession", CALL(API_Net_RTSPGetSession()), 276, {}, Reply::bytes({200}), -56, -1},
        {"RTSP sessions 0xFF", CALL(API_Net_RTSPGetSession()), 276, {}, Reply::bytes({0xFF}), -1, -1},
        BYTE_GET(API_NET_GetUsedInterface, 396), BYTE_SET(API_NET_SetUsedInterface, 397, 258, 2),
        BYTE_GET(API_NET_GetEthLinked, 455),
        // Wireless LAN
        BYTE_GET(API_WLAN_GetNetworkType, 104), BYTE_SET(API_WLAN_SetNetworkType, 105, -1, 0xFF),
        BYTE_GET(API_WLAN_GetPhyMode, 106), BYTE_SET(API_WLAN_SetPhyMode, 107, 9, 9),
        BYTE_GET(API_WLAN_GetCountryRegion, 108), BYTE_SET(API_WLAN_SetCountryRegion, 109, 5, 5),
        BYTE_GET(API_WLAN_GetChannel, 110), BYTE_SET(API_WLAN_SetChannel, 111, 300, 44),
        BYTE_GET(API_WLAN_GetTXRate, 112), BYTE_SET(API_WLAN_SetTXRate, 113, 54, 54),
        TEXT_GET(API_WLAN_GetSSID, 114, 128), COPY_SET(API_WLAN_SetSSID, 115),
        {"empty SSID", CALL(API_WLAN_SetSSID(empty)), 115, {0}, Reply::bytes({}), 1, 0},
        BYTE_GET(API_WLAN_GetAuth, 116), BYTE_SET(API_WLAN_SetAuth, 117, 3, 3),
        BYTE_GET(API_WLAN_GetEncrypt, 118), BYTE_SET(API_WLAN_SetEncrypt, 119, 2, 2),
        BYTE_GET(API_WLAN_GetDefaultWepID, 120), BYTE_SET(API_WLAN_SetDefaultWepID, 121, 4, 4),
        text_get("API_WLAN_GetWepKey", CALL(API_WLAN_GetWepKey(259, out)), 122, 128, {3}, 1),
        {"API_WLAN_SetWepKey", CALL(API_WLAN_SetWepKey(2, kText)), 123, text("2,a,b:c"), Reply::bytes({}), 1, 0},
        {"empty WEP key", CALL(API_WLAN_SetWepKey(-3, empty)), 123, text("-3,"), Reply::bytes({}), 1, 0},
        TEXT_GET(API_WLAN_GetWpaKey, 124, 128), COPY_SET(API_WLAN_SetWpaKey, 125),
        TEXT_GET(API_WLAN_GetFixIP, 126, 128), COPY_SET(API_WLAN_SetFixIP, 127),
        TEXT_GET(API_WLAN_GetFixNetmask, 128, 128), COPY_SET(API_WLAN_SetFixNetmask, 129),
        TEXT_GET(API_WLAN_GetFixGateway, 130, 128), COPY_SET(API_WLAN_SetFixGateway, 131),
        BYTE_GET(API_WLAN_DHCPGetEnable, 132), BYTE_SET(API_WLAN_DHCPSetEnable, 133, 1, 1),
        BYTE_GET(API_WLAN_DHCPGetDefault, 134), BYTE_SET(API_WLAN_DHCPSetDefault, 135, 0xFE, 0xFE),
        BYTE_GET(API_WLAN_GetLinked, 136), BYTE_GET(API_WLAN_GetSignal, 137),
        BYTE_GET(API_WLAN_GetBitrate, 138),
        INT_GET(API_WLAN_GetwlSwitch, 420), INT_SET(API_WLAN_SetwlSwitch, 421),
        // PPPoE, VPN and 3G
        TEXT_GET(API_PPPOE_GetUser, 36, 128), COPY_SET(API_PPPOE_SetUser, 37),
        TEXT_GET(API_PPPOE_GetPassword, 38, 128), COPY_SET(API_PPPOE_SetPassword, 39),
        TEXT_GET(API_PPPOE_GetMTU, 40, 128), COPY_SET(API_PPPOE_SetMTU, 41),
        BYTE_GET(API_PPPOE_GetEnable, 42), BYTE_SET(API_PPPOE_SetEnable, 43, 257, 1),
        BYTE_GET(API_3G_GetEnable, 368), BYTE_SET(API_3G_SetEnable, 369, 1, 1),
        TEXT_GET(API_3G_GetIP, 370, 128),
        TEXT_GET(API_PPPOE_GetRoad, 441, 8), COPY_SET(API_PPPOE_SetRoad, 442),
        INT_GET(API_PPPOE_GetVpnEnable, 443), INT_SET(API_PPPOE_SetVpnEnable, 444),
        TEXT_GET(API_PPPOE_GetVpnUser, 445, 128), COPY_SET(API_PPPOE_SetVpnUser, 446),
        TEXT_GET(API_PPPOE_GetVpnPwd, 447, 128), COPY_SET(API_PPPOE_SetVpnPwd, 448),
        TEXT_GET(API_PPPOE_GetVpnServ, 449, 128), COPY_SET(API_PPPOE_SetVpnServ, 450),
        INT_GET(API_PPPOE_GetVpnEncryPtion, 451), INT_SET(API_PPPOE_SetVpnEncryPtion, 452),
        INT_GET(API_PPPOE_GetVpnMask, 453), INT_SET(API_PPPOE_SetVpnMask, 454),
        // Dynamic DNS, UPnP and mapping service
        BYTE_GET(API_DDNS_GetType, 82), BYTE_SET(API_DDNS_SetType, 83, 0x1FF, 0xFF),
        TEXT_GET(API_DDNS_GetDDNSUser, 84, 64), COPY_SET(API_DDNS_SetDDNSUser, 85),
        TEXT_GET(API_DDNS_GetDDNSPassword, 86, 64), COPY_SET(API_DDNS_SetDDNSPassword, 87),
        TEXT_GET(API_DDNS_GetDDNSHostName, 88, 64), COPY_SET(API_DDNS_SetDDNSHostName, 89),
        {"API_DDNS_SetUpdateSetting", CALL(API_DDNS_SetUpdateSetting()), 90, {}, Reply::bytes({0}), 1, 0},
        DEC_GET(API_DDNS_GetStatus, 91), DEC_SET(API_DDNS_SetStatus, 92, -1),
        TEXT_GET(API_DDNS_GetDDNSServer, 93, 64), COPY_SET(API_DDNS_SetDDNSSever, 94),
        COPY_SET(API_Linkway_SetSever, 381), TEXT_GET(API_Linkway_GetSever, 382, 128),
        BYTE_SET(API_Linkway_SetSearchStatus, 383, 7, 7), BYTE_GET(API_Linkway_GetSearchStatus, 384),
        COPY_SET(API_Linkway_SetMapStatus, 385), TEXT_GET(API_Linkway_GetMapStatus, 386, 128),
        BYTE_GET(API_NET_GetUpnpOnOff, 387), BYTE_SET(API_NET_SetUpnpOnOff, 388, 256, 0),
        BYTE_GET(API_NET_GetUpnpStatus, 466), BYTE_SET(API_NET_SetUpnpStatus, 467, 3, 3),
    };
}

class Net : public testing::Test {
protected:
    FakeDaemon daemon;
};

TEST_F(Net, EveryOperation) {
    testing::internal::CaptureStdout();  // the fixed-address trace, checked below
    run_op_table(daemon, net_cases());
    testing::internal::GetCapturedStdout();
}

TEST_F(Net, FixedAddressIsTracedOnlyWhenTheReplyArrived) {
    char ip[32];
    daemon.script(Reply::text("192.168.1.20"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(API_Net_GetFixIP(ip), 0);
    const std::string trace = testing::internal::GetCapturedStdout();
    const std::regex want("app/api_arch\\.cpp==[1-9][0-9]*:\tAPI_ARCH: 192\\.168\\.1\\.20\n");
    EXPECT_TRUE(std::regex_match(trace, want)) << trace;
    EXPECT_STREQ(ip, "192.168.1.20");

    daemon.script(Reply::text("255.0.0.0"));  // the twins print nothing
    daemon.script(Reply::text("10.0.0.1"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(API_Net_GetFixNetMask(ip), 0);
    EXPECT_EQ(API_Net_GetFixGateWay(ip), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    SendFailure failing;
    testing::internal::CaptureStdout();
    EXPECT_EQ(API_Net_GetFixIP(ip), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Net, MapStatusShorterThanTwoCharactersReadsAsEmpty) {
    for (const char* reply : {"1", ""}) {
        memset(out, '#', sizeof out);
        daemon.script(Reply::text(reply));
        EXPECT_EQ(API_Linkway_GetMapStatus(out), 0);
        EXPECT_STREQ(out, "");
    }
    daemon.script(Reply::text("ok"));
    EXPECT_EQ(API_Linkway_GetMapStatus(out), 0);
    EXPECT_STREQ(out, "ok");
}

TEST_F(Net, TextRepliesLongerThanTheDaemonsFieldFailAndLeaveTheBuffer) {
    struct { const char* name; std::function<int()> call; size_t size; int ok; } cases[] = {
        {"fixed address", CALL(API_Net_GetFixIP(out)), 32, 0},
        {"real address", CALL(API_NET_GetRealIP(out)), 32, 0},
        {"DNS server", CALL(API_Net_GetDNS(1, out)), 128, 1},
        {"WEP key", CALL(API_WLAN_GetWepKey(1, out)), 128, 1},
        {"road", CALL(API_PPPOE_GetRoad(out)), 8, 0},
        {"VPN server", CALL(API_PPPOE_GetVpnServ(out)), 128, 0},
        {"DDNS host", CALL(API_DDNS_GetDDNSHostName(out)), 64, 0},
        {"map status", CALL(API_Linkway_GetMapStatus(out)), 128, 0},
    };
    testing::internal::CaptureStdout();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        memset(out, '#', sizeof out);
        daemon.script(Reply::text(std::string(c.size, 'x')));  // one byte too many with its NUL
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(out[0], '#');
        daemon.script(Reply::text(std::string(c.size - 1, 'y')));
        EXPECT_EQ(c.call(), c.ok);
        EXPECT_EQ(strlen(out), c.size - 1);
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(Net, EmptyTextsAreRefusedWithoutTakingTheLock) {
    static char ip[] = "192.168.1.20", empty[] = "";
    const std::function<int()> refused[] = {
        CALL(API_Net_SetNetConfig(empty, ip, ip)), CALL(API_Net_SetNetConfig(ip, empty, ip)),
        CALL(API_Net_SetNetConfig(ip, ip, empty)), CALL(API_Net_SetDNS(1, empty)),
    };
    struct sembuf take = {0, -1, 0}, give = {0, 1, 0};
    for (const auto& call : refused) {
        ASSERT_EQ(semop(daemon.lock_id(), &take, 1), 0);  // held elsewhere: a wait would show
        std::atomic<bool> done{false};
        int result = -9;
        std::thread caller([&] { result = call(); done = true; });
        bool waited = false;
        for (int i = 0; i < 5000 && !done && !waited; ++i) {
            waited = semctl(daemon.lock_id(), 0, GETNCNT) > 0;
            usleep(1000);
        }
        semop(daemon.lock_id(), &give, 1);
        caller.join();
        EXPECT_FALSE(waited);
        EXPECT_EQ(result, 0);
    }
    EXPECT_EQ(daemon.request_count(), 0u);
    EXPECT_EQ(daemon.lock_value(), 1);
}

TEST_F(Net, FormattedTextsAreCutAt2016Characters) {
    static std::string mac(3000, 'm');
    daemon.script(Reply::bytes({}));
    EXPECT_EQ(API_Net_SetMacAddress(mac.data()), 1);
    EXPECT_EQ(daemon.last().text(), std::string(2016, 'm'));
    daemon.script(Reply::bytes({}));
    EXPECT_EQ(API_WLAN_SetWepKey(1, mac.data()), 1);
    EXPECT_EQ(daemon.last().text(), "1," + std::string(2014, 'm'));
}

TEST_F(Net, NullPointersFailWithNothingSent) {
    static char ip[] = "1.2.3.4";
    EXPECT_EQ(API_Net_GetFixIP(nullptr), -1);
    EXPECT_EQ(API_Net_SetNetConfig(ip, nullptr, ip), 0);
    EXPECT_EQ(API_Net_SetMacAddress(nullptr), 0);
    EXPECT_EQ(API_Net_SetDNS(1, nullptr), 0);
    EXPECT_EQ(API_WLAN_SetWepKey(1, nullptr), 0);
    EXPECT_EQ(API_Linkway_GetMapStatus(nullptr), -1);
    EXPECT_EQ(daemon.request_count(), 0u);
    EXPECT_EQ(daemon.lock_value(), 1);
}

}  // namespace
