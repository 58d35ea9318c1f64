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

std::vector<OpCase> net_cases() {
    static char ip[] = "192.168.1.20", mask[] = "255.255.255.0", gw[] = "192.168.1.1", empty[] = "";
    return {
        // Wired network and service ports
        ROW(text_get, API_Net_GetFixIP, 23, 32, out), ROW(text_get, API_Net_GetFixNetMask, 24, 32, out),
        ROW(text_get, API_Net_GetFixGateWay, 25, 32, out), ROW(text_get, API_NET_GetRealIP, 468, 32, out),
        {"API_Net_SetNetConfig", CALL(API_Net_SetNetConfig(ip, mask, gw)), 27,
         text("192.168.1.20,255.255.255.0,192.168.1.1"), Reply::bytes({}), 1, 0},
        copy_set("API_Net_SetMacAddress", API_Net_SetMacAddress, 28),
        text_get("API_Net_GetDNS", CALL(API_Net_GetDNS(258, out)), 29, 128, out, {2}, 1),
        {"API_Net_SetDNS", CALL(API_Net_SetDNS(1, gw)), 30, text("1,192.168.1.1"), Reply::bytes({}), 1, 0},
        ROW(byte_get, API_NET_DHCPGetEnable, 31), ROW(byte_set, API_NET_DHCPSetEnable, 32),
        ROW(decimal_get, API_Net_HttpGetPort, 220), ROW(decimal_set, API_Net_HttpSetPort, 221),
        ROW(decimal_get, API_Net_RTSPGetPort, 270), ROW(decimal_set, API_Net_RTSPSetPort, 271),
        ROW(decimal_get, API_Net_RTPGetPort, 272), ROW(decimal_set, API_Net_RTPSetPort, 273),
        ROW(signed_byte_get, API_Net_RTSPGetSession, 276),
        ROW(byte_get, API_NET_GetUsedInterface, 396), ROW(byte_set, API_NET_SetUsedInterface, 397),
        ROW(byte_get, API_NET_GetEthLinked, 455),
        // Wireless LAN
        ROW(byte_get, API_WLAN_GetNetworkType, 104), ROW(byte_set, API_WLAN_SetNetworkType, 105),
        ROW(byte_get, API_WLAN_GetPhyMode, 106), ROW(byte_set, API_WLAN_SetPhyMode, 107),
        ROW(byte_get, API_WLAN_GetCountryRegion, 108), ROW(byte_set, API_WLAN_SetCountryRegion, 109),
        ROW(byte_get, API_WLAN_GetChannel, 110), ROW(byte_set, API_WLAN_SetChannel, 111),
        ROW(byte_get, API_WLAN_GetTXRate, 112), ROW(byte_set, API_WLAN_SetTXRate, 113),
        ROW(text_get, API_WLAN_GetSSID, 114, 128, out), ROW(copy_set, API_WLAN_SetSSID, 115),
        {"empty SSID", CALL(API_WLAN_SetSSID(empty)), 115, {0}, Reply::bytes({}), 1, 0},
        ROW(byte_get, API_WLAN_GetAuth, 116), ROW(byte_set, API_WLAN_SetAuth, 117),
        ROW(byte_get, API_WLAN_GetEncrypt, 118), ROW(byte_set, API_WLAN_SetEncrypt, 119),
        ROW(byte_get, API_WLAN_GetDefaultWepID, 120), ROW(byte_set, API_WLAN_SetDefaultWepID, 121),
        text_get("API_WLAN_GetWepKey", CALL(API_WLAN_GetWepKey(259, out)), 122, 128, out, {3}, 1),
        {"API_WLAN_SetWepKey", CALL(API_WLAN_SetWepKey(2, S("a,b:c"))), 123, text("2,a,b:c"), Reply::bytes({}), 1, 0},
        {"empty WEP key", CALL(API_WLAN_SetWepKey(-3, empty)), 123, text("-3,"), Reply::bytes({}), 1, 0},
        ROW(text_get, API_WLAN_GetWpaKey, 124, 128, out), ROW(copy_set, API_WLAN_SetWpaKey, 125),
        ROW(text_get, API_WLAN_GetFixIP, 126, 128, out), ROW(copy_set, API_WLAN_SetFixIP, 127),
        ROW(text_get, API_WLAN_GetFixNetmask, 128, 128, out), ROW(copy_set, API_WLAN_SetFixNetmask, 129),
        ROW(text_get, API_WLAN_GetFixGateway, 130, 128, out), ROW(copy_set, API_WLAN_SetFixGateway, 131),
        ROW(byte_get, API_WLAN_DHCPGetEnable, 132), ROW(byte_set, API_WLAN_DHCPSetEnable, 133),
        ROW(byte_get, API_WLAN_DHCPGetDefault, 134), ROW(byte_set, API_WLAN_DHCPSetDefault, 135),
        ROW(byte_get, API_WLAN_GetLinked, 136), ROW(byte_get, API_WLAN_GetSignal, 137),
        ROW(byte_get, API_WLAN_GetBitrate, 138),
        ROW(int_get, API_WLAN_GetwlSwitch, 420), ROW(int_set, API_WLAN_SetwlSwitch, 421),
        // PPPoE, VPN and 3G
        ROW(text_get, API_PPPOE_GetUser, 36, 128, out), ROW(copy_set, API_PPPOE_SetUser, 37),
        ROW(text_get, API_PPPOE_GetPassword, 38, 128, out), ROW(copy_set, API_PPPOE_SetPassword, 39),
        ROW(text_get, API_PPPOE_GetMTU, 40, 128, out), ROW(copy_set, API_PPPOE_SetMTU, 41),
        ROW(byte_get, API_PPPOE_GetEnable, 42), ROW(byte_set, API_PPPOE_SetEnable, 43),
        ROW(byte_get, API_3G_GetEnable, 368), ROW(byte_set, API_3G_SetEnable, 369),
        ROW(text_get, API_3G_GetIP, 370, 128, out),
        ROW(text_get, API_PPPOE_GetRoad, 441, 8, out), ROW(copy_set, API_PPPOE_SetRoad, 442),
        ROW(int_get, API_PPPOE_GetVpnEnable, 443), ROW(int_set, API_PPPOE_SetVpnEnable, 444),
        ROW(text_get, API_PPPOE_GetVpnUser, 445, 128, out), ROW(copy_set, API_PPPOE_SetVpnUser, 446),
        ROW(text_get, API_PPPOE_GetVpnPwd, 447, 128, out), ROW(copy_set, API_PPPOE_SetVpnPwd, 448),
        ROW(text_get, API_PPPOE_GetVpnServ, 449, 128, out), ROW(copy_set, API_PPPOE_SetVpnServ, 450),
        ROW(int_get, API_PPPOE_GetVpnEncryPtion, 451), ROW(int_set, API_PPPOE_SetVpnEncryPtion, 452),
        ROW(int_get, API_PPPOE_GetVpnMask, 453), ROW(int_set, API_PPPOE_SetVpnMask, 454),
        // Dynamic DNS, UPnP and mapping service
        ROW(byte_get, API_DDNS_GetType, 82), ROW(byte_set, API_DDNS_SetType, 83),
        ROW(text_get, API_DDNS_GetDDNSUser, 84, 64, out), ROW(copy_set, API_DDNS_SetDDNSUser, 85),
        ROW(text_get, API_DDNS_GetDDNSPassword, 86, 64, out), ROW(copy_set, API_DDNS_SetDDNSPassword, 87),
        ROW(text_get, API_DDNS_GetDDNSHostName, 88, 64, out), ROW(copy_set, API_DDNS_SetDDNSHostName, 89),
        {"API_DDNS_SetUpdateSetting", CALL(API_DDNS_SetUpdateSetting()), 90, {}, Reply::bytes({0}), 1, 0},
        ROW(decimal_get, API_DDNS_GetStatus, 91),
        {"API_DDNS_SetStatus", CALL(API_DDNS_SetStatus(-1)), 92, text("-1"), Reply::bytes({}), 1, 0},
        ROW(text_get, API_DDNS_GetDDNSServer, 93, 64, out), ROW(copy_set, API_DDNS_SetDDNSSever, 94),
        ROW(copy_set, API_Linkway_SetSever, 381), ROW(text_get, API_Linkway_GetSever, 382, 128, out),
        ROW(byte_set, API_Linkway_SetSearchStatus, 383), ROW(byte_get, API_Linkway_GetSearchStatus, 384),
        ROW(copy_set, API_Linkway_SetMapStatus, 385), ROW(text_get, API_Linkway_GetMapStatus, 386, 128, out),
        ROW(byte_get, API_NET_GetUpnpOnOff, 387),
        {"API_NET_SetUpnpOnOff(256)", CALL(API_NET_SetUpnpOnOff(256)), 388, {0}, Reply::bytes({}), 1, 0},
        ROW(byte_get, API_NET_GetUpnpStatus, 466), ROW(byte_set, API_NET_SetUpnpStatus, 467),
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
        EXPECT_EQ(std::string(out, 2), std::string("\0#", 2)) << "one NUL and nothing else";
    }
    daemon.script(Reply::text("ok"));
    EXPECT_EQ(API_Linkway_GetMapStatus(out), 0);
    EXPECT_STREQ(out, "ok");
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
