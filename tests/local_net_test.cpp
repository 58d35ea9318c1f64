// Interface status and the default gateway against the real kernel, each test
// in an empty network namespace of its own (veth pairs stand in for the
// camera's links). A few socket calls are interposed to inject failures.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "local_support.h"

namespace {

// A veth link `name` (its peer down) with addresses "a/len" or "a/len:label", up.
std::string link(const std::string& name, std::vector<std::string> addrs, bool up = true) {
    std::string c = "ip link add name " + name + " type veth peer name p" + name.substr(0, 13);
    for (const std::string& a : addrs) {
        const size_t colon = a.find(':');
        c += " && ip addr add " + a.substr(0, colon) + " dev " + name +
             (colon == std::string::npos ? "" : " label " + name + a.substr(colon));
    }
    return c + (up ? " && ip link set " + name + " up" : "");
}

class Net : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fresh_net());
        local_fail_socket = 0, local_fail_ioctl = 0, local_zero_flags[0] = 0, local_ifconf_calls = 0;
    }
    void TearDown() override { local_fail_socket = 0, local_fail_ioctl = 0, local_zero_flags[0] = 0; }
};

std::vector<int> list_lengths() { return std::vector<int>(local_ifconf_sizes, local_ifconf_sizes + local_ifconf_calls); }

TEST_F(Net, StateAddressMaskAndMac) {
    ASSERT_TRUE(sh(link("eth0", {"192.168.1.10/24", "10.1.2.3/8:1"}) + " && ip link set eth0 address 02:1A:2B:3C:4D:5E"));
    ASSERT_TRUE(sh(link("ppp1", {"192.168.0.7/24"}) + " && " + link("down0", {"10.9.9.9/24"}, false)));
    ASSERT_TRUE(sh(link("abcdefghijklmno", {})));
    struct Case { const char* name; int state, ip; const char* addr; int mask; const char* netmask; int mac; const char* hw; const char* err; };
    const Case cases[] = {
        {"eth0", 1, 0, "192.168.1.10", 0, "255.255.255.0", 0, "02-1a-2b-3c-4d-5e", ""},
        {"eth0:1", 1, 0, "10.1.2.3", 0, "255.0.0.0", 0, "02-1a-2b-3c-4d-5e", ""},
        {"ppp", 1, -1, "#", -1, "#", -1, "#", "Error in SIOCGIFADDR\nError in SIOCGIFNETMASK\nError in SIOCGIFHWADDR\n"},
        {"down0", 1, 0, "10.9.9.9", 0, "255.255.255.0", 0, nullptr, ""},  // flags without the up bit
        {"wlan0", 0, 1, "0.0.0.0", 1, "0.0.0.0", -1, "#",
         "Error in interface no start\nError in interface no start\nError in SIOCGIFHWADDR\n"},
        {"abcdefghijklmno", 0, 1, "0.0.0.0", 1, "0.0.0.0", 0, nullptr,
         "Error in interface no start\nError in interface no start\n"},  // 15 characters: listed only with an address
        {"abcdefghijklmnop", 0, 1, "0.0.0.0", 1, "0.0.0.0", -1, "#",
         "Error in interface no start\nError in interface no start\nError in SIOCGIFHWADDR\n"},  // 16: does not fit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char ip[33] = "#", mask[33] = "#", mac[19] = "#";
        Capture err(2);
        EXPECT_EQ(API_NET_GetState((char*)c.name), c.state);
        EXPECT_EQ(API_Net_GetIP(ip, (char*)c.name), c.ip);
        EXPECT_EQ(API_Net_GetNetMask(mask, (char*)c.name), c.mask);
        EXPECT_EQ(API_Net_GetMac(mac, (char*)c.name), c.mac);
        EXPECT_EQ(err.text(), c.err);
        EXPECT_STREQ(ip, c.addr);
        EXPECT_STREQ(mask, c.netmask);
        if (c.hw) EXPECT_STREQ(mac, c.hw);
        else EXPECT_EQ(strlen(mac), 17u);
    }
    EXPECT_EQ(API_PPPOE_GetState(), 0);  // ppp0 is absent; ppp1 does not count
    EXPECT_EQ(API_NET_GetState(nullptr), -1);
}

TEST_F(Net, ListGrowsUntilTwoReadsAgreeAndTheWalkCoversEveryRecord) {
    ASSERT_TRUE(sh("ip link set lo up && " + link("eth0", {"10.0.0.1/24", "10.0.0.2/24:1", "10.0.0.3/24:2",
                                                            "10.0.0.4/24:3", "10.0.0.5/24:4"})));
    EXPECT_EQ(API_NET_GetState((char*)"eth0:4"), 1);  // the sixth record
    // Records of 40 bytes here: 3, 4, 6 and 6 of them fit the growing buffer;
    // of 32 bytes on the camera: 4, 6 and 6.
    const std::vector<int> want = sizeof(ifreq) == 32 ? std::vector<int>{128, 192, 256} : std::vector<int>{128, 192, 256, 320};
    EXPECT_EQ(list_lengths(), want);
}

TEST_F(Net, FlagsWordZeroDoesNotEndTheWalkAndFailuresSayTheirStep) {
    ASSERT_TRUE(sh(link("ppp0", {"10.0.0.1/24"}) + " && " + link("ppp1", {"10.0.1.1/24"})));
    strcpy(local_zero_flags, "ppp0");
    EXPECT_EQ(API_NET_GetState((char*)"ppp"), 1);
    EXPECT_EQ(API_NET_GetState((char*)"ppp0"), 0);
    local_zero_flags[0] = 0;
    struct Case { int socket_family; unsigned long ioctl; int state, ip; const char* err; };
    const Case cases[] = {
        {AF_INET, 0, -1, -1, "Error in sock\nError in sock\nError in sock\n"},
        {0, SIOCGIFCONF, -1, 0, "Error in SIOCGIFCONF\nError in SIOCGIFCONF\n"},  // -1 goes on to the address
        {0, SIOCGIFFLAGS, -1, 0, "Error in SIOCGIFFLAGS\nError in SIOCGIFFLAGS\n"},
        {0, SIOCGIFADDR, 1, -1, "Error in SIOCGIFADDR\n"},
    };
    for (const Case& c : cases) {
        char ip[32] = "#";
        local_fail_socket = c.socket_family, local_fail_ioctl = c.ioctl;
        Capture err(2);
        EXPECT_EQ(API_NET_GetState((char*)"ppp1"), c.state);
        EXPECT_EQ(API_Net_GetIP(ip, (char*)"ppp1"), c.ip);
        EXPECT_EQ(err.text(), c.err) << c.ioctl;
        EXPECT_STREQ(ip, c.ip == 0 ? "10.0.1.1" : "#");
    }
}

TEST(NetVpn, AddressRulesOverBothLinks) {
    struct Case { const char *ppp0, *ppp1; int result; const char* buf; };
    const Case cases[] = {
        {"10.64.1.2", nullptr, 0, "10.64.1.2"},     {"172.32.5.1", nullptr, 1, "172.32.5.1"},
        {"172.64.5.1", nullptr, 0, "172.64.5.1"},   {"172.15.5.1", nullptr, 0, "172.15.5.1"},
        {"172.100.0.1", nullptr, 1, "172.100.0.1"}, {nullptr, "192.168.0.7", 1, "192.168.0.7"},
        {"192.168.3.3", "10.0.0.1", 1, "192.168.3.3"}, {"10.1.1.1", "172.16.0.9", 1, "172.16.0.9"},
        {"10.1.1.1", "10.2.2.2", 0, "10.2.2.2"},    {"192.169.0.1", nullptr, 0, "192.169.0.1"},
        {nullptr, nullptr, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.ppp0 ? c.ppp0 : "-") + " " + (c.ppp1 ? c.ppp1 : "-"));
        ASSERT_TRUE(fresh_net());
        ASSERT_TRUE(!c.ppp0 || sh(link("ppp0", {std::string(c.ppp0) + "/24"})));
        ASSERT_TRUE(!c.ppp1 || sh(link("ppp1", {std::string(c.ppp1) + "/24"})));
        char buf[40], want[40] = {};
        memset(buf, '#', sizeof buf);
        strcpy(want, c.buf);
        memset(want + 32, '#', 8);
        EXPECT_EQ(API_PPPOE_vpnip(buf), c.result);
        EXPECT_EQ(memcmp(buf, want, sizeof buf), 0) << buf;
        EXPECT_EQ(API_PPPOE_GetVPNState(), c.result);
        EXPECT_EQ(API_PPPOE_GetState(), c.ppp0 ? 1 : 0);
    }
}

// ---- default gateway ----

class Gateway : public Net {
protected:
    void SetUp() override {
        Net::SetUp();
        ASSERT_TRUE(sh("ip link set lo up && " + link("eth0", {"192.168.1.10/24"}) + " && " + link("ppp0", {"10.9.9.1/24"})));
        local_merge_done = local_merged = 0;
    }
    void TearDown() override { local_merge_done = 0; }
    // Adds routes from an ip batch ("route add ..." per line).
    static bool routes(const std::string& batch) {
        return sh("printf '" + batch + "' > " + local_dir + "/routes && ip -batch " + local_dir + "/routes");
    }
};

TEST_F(Gateway, LastMatchingMainTableRouteWins) {
    struct Case { const char* batch; const char* gateway; };
    const Case cases[] = {
        {"", "kept"},
        {"route add default via 192.168.1.1\n", "192.168.1.1"},
        {"route del default\nroute add default dev ppp0\n", "0.0.0.0"},
        {"route replace default via 192.168.1.1\nroute add 10.0.0.0/8 via 192.168.1.254\n", "192.168.1.254"},
        {"route replace 10.0.0.0/8 dev eth0\n", "0.0.0.0"},
        {"route del 10.0.0.0/8\nroute add 11.0.0.0/8 via 192.168.1.4\nroute add 30.0.0.0/8 via 192.168.1.3\n", "192.168.1.3"},
        {"route del 30.0.0.0/8\nroute add default via 192.168.1.77 table 100\n"
         "route add ::/0 dev eth0\n", "192.168.1.1"},
        {"route del default\nroute del 11.0.0.0/8\n", "kept"},  // only other tables and families left
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.batch);
        ASSERT_TRUE(routes(c.batch));
        char gw[16] = "kept", gw2[16] = "kept";
        Capture err(2);
        EXPECT_EQ(API_Net_GetGateWay(gw, (char*)"wlan0"), 0);
        EXPECT_EQ(get_gateway(gw2), 0);
        EXPECT_EQ(err.text(), "");
        EXPECT_STREQ(gw, c.gateway);
        EXPECT_STREQ(gw2, c.gateway);
    }
}

TEST_F(Gateway, DumpOverSeveralDatagramsAndBeyondTheBuffer) {
    std::string batch;
    for (int i = 0; i < 80; ++i) batch += "route add 172.20." + std::to_string(i) + ".0/24 via 192.168.1.1\n";
    ASSERT_TRUE(routes(batch + "route add 250.0.0.0/8 via 192.168.1.250\n"));  // last in dump order
    char gw[16] = "kept";
    local_recv_calls = 0;
    EXPECT_EQ(API_Net_GetGateWay(gw, (char*)"eth0"), 0);
    EXPECT_GE(local_recv_calls, 3);  // two datagrams of routes or more, then the done datagram
    EXPECT_STREQ(gw, "192.168.1.250");

    batch.clear();
    for (int i = 80; i < 250; ++i) batch += "route add 172.20." + std::to_string(i) + ".0/24 via 192.168.1.1\n";
    ASSERT_TRUE(routes(batch));
    Capture err(2);
    EXPECT_EQ(API_Net_GetGateWay(gw, (char*)"eth0"), -1);
    EXPECT_EQ(err.text(), "Error in Error in recieved packet\nError in gateway\n");
}

TEST_F(Gateway, DoneMessageInTheLastRouteDatagramEndsTheRead) {
    ASSERT_TRUE(routes("route add default via 192.168.1.1\n"));
    char gw[16] = "kept";
    local_merge_done = 1;
    Capture err(2);
    EXPECT_EQ(API_Net_GetGateWay(gw, (char*)"eth0"), 0);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(local_merged, 1);
    EXPECT_STREQ(gw, "192.168.1.1");
}

// readNlSock's rules on datagrams written into a local datagram socket.
std::vector<unsigned char> msg(int type, int flags = NLM_F_MULTI, unsigned seq = 0, unsigned pid = 0,
                               unsigned len = 28, unsigned size = 0) {
    std::vector<unsigned char> m(size ? size : len);
    const nlmsghdr h = {len, static_cast<uint16_t>(type), static_cast<uint16_t>(flags), seq, pid};
    memcpy(m.data(), &h, sizeof h);
    return m;
}
std::vector<unsigned char> operator+(std::vector<unsigned char> a, const std::vector<unsigned char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ReadNlSock, EndRulesAndCountedBytes) {
    const std::vector<unsigned char> route = msg(RTM_NEWROUTE), done = msg(NLMSG_DONE, NLM_F_MULTI, 0, 0, 20);
    struct Case { const char* name; std::vector<std::vector<unsigned char>> datagrams; int seq, pid, result; bool diag; };
    const std::vector<Case> cases = {
        {"to the done datagram", {route + route, route, done, route}, 1, 7, 84, false},
        {"done after routes in one datagram", {route + route + done, route}, 1, 7, 56, false},
        {"done first", {done, route}, 1, 7, 0, false},
        {"not multipart", {msg(RTM_NEWROUTE, 0), route}, 1, 7, 28, false},
        {"sequence and pid match", {msg(RTM_NEWROUTE, NLM_F_MULTI, 1, 7), route}, 1, 7, 28, false},
        {"pid differs", {msg(RTM_NEWROUTE, NLM_F_MULTI, 1, 8), done}, 1, 7, 28, false},
        {"error message", {route, msg(NLMSG_ERROR)}, 1, 7, -1, true},
        {"short datagram", {route, std::vector<unsigned char>(12)}, 1, 7, -1, true},
        {"length beyond the datagram", {msg(RTM_NEWROUTE, NLM_F_MULTI, 0, 0, 60, 28)}, 1, 7, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int fd[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fd), 0);
        for (const auto& d : c.datagrams) ASSERT_EQ(send(fd[1], d.data(), d.size(), 0), (ssize_t)d.size());
        const timeval limit = {1, 0};  // reading too far fails instead of blocking
        setsockopt(fd[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        static char buf[8192];
        Capture err(2);
        EXPECT_EQ(readNlSock(fd[0], buf, c.seq, c.pid), c.result);
        EXPECT_EQ(err.text(), c.diag ? "Error in Error in recieved packet\n" : "");
        close(fd[0]), close(fd[1]);
    }
    char gw[16] = "kept";
    route_info info = {};
    const std::vector<unsigned char> tiny = msg(RTM_NEWROUTE, 0, 0, 0, 16);  // too short for a route message
    parseRoutes((nlmsghdr*)tiny.data(), &info, gw);
    EXPECT_STREQ(gw, "kept");
}

}  // namespace
