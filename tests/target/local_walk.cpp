// The operations that work without the daemon: the transport openers and
// semaphores, interfaces and the default gateway (in this program's own
// network namespace, set up here with veth links), the clock (the program's
// fixed one), time zones, credentials and the log file.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "api_arch.h"
#include "transcript.h"

namespace {

// ---- output buffers ----

char out[4096];

void clear_out() { memset(out, '#', sizeof out); }

// The text the call left in `out`, or that it left it alone.
void put_out() {
    if (out[0] == '#' && out[1] == '#') put(" | untouched");
    else put(" | "), put_text(out, strnlen(out, sizeof out));
}

// Calls with the captured output on the line; `what` names the call.
#define RECORD_CALL(what, expr)    \
    do {                           \
        put("%s:", what);          \
        capture_begin();           \
        const int result = (expr); \
        capture_end();             \
        put(" -> %d", result);     \
    } while (0)

// ---- the namespace's links, made the way ip(8) makes them ----

int inet_socket() { return socket(AF_INET, SOCK_DGRAM, 0); }

bool interface_ioctl(const char* name, unsigned long request, ifreq* r) {
    const int fd = inet_socket();
    strncpy(r->ifr_name, name, IFNAMSIZ - 1);
    const bool ok = fd >= 0 && ioctl(fd, request, r) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

bool set_address(const char* name, unsigned long request, const char* text) {
    ifreq r = {};
    auto* a = reinterpret_cast<sockaddr_in*>(&r.ifr_addr);
    a->sin_family = AF_INET;
    inet_pton(AF_INET, text, &a->sin_addr);
    return interface_ioctl(name, request, &r);
}

bool set_up(const char* name) {
    ifreq r = {};
    if (!interface_ioctl(name, SIOCGIFFLAGS, &r)) return false;
    r.ifr_flags |= IFF_UP;
    return interface_ioctl(name, SIOCSIFFLAGS, &r);
}

bool set_mac(const char* name, const unsigned char (&mac)[6]) {
    ifreq r = {};
    r.ifr_hwaddr.sa_family = 1;  // ARPHRD_ETHER
    memcpy(r.ifr_hwaddr.sa_data, mac, 6);
    return interface_ioctl(name, SIOCSIFHWADDR, &r);
}

void add_attribute(nlmsghdr* h, unsigned short type, const void* data, size_t n) {
    auto* a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(h) + NLMSG_ALIGN(h->nlmsg_len));
    a->rta_type = type;
    a->rta_len = static_cast<unsigned short>(RTA_LENGTH(n));
    if (n) memcpy(RTA_DATA(a), data, n);
    h->nlmsg_len = NLMSG_ALIGN(h->nlmsg_len) + RTA_ALIGN(a->rta_len);
}

// Sends a request to the kernel's routing socket; true when it is acknowledged.
bool netlink_ack(nlmsghdr* h) {
    const int fd = socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE);
    if (fd < 0) return false;
    struct {
        nlmsghdr h;
        nlmsgerr e;
        char rest[256];
    } answer = {};
    h->nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
    const bool ok = send(fd, h, h->nlmsg_len, 0) == static_cast<ssize_t>(h->nlmsg_len) &&
                    recv(fd, &answer, sizeof answer, 0) > 0 && answer.h.nlmsg_type == NLMSG_ERROR &&
                    answer.e.error == 0;
    close(fd);
    return ok;
}

// A veth link `name`; its peer gets the kernel's next "vethN" and stays down.
bool add_veth(const char* name) {
    struct {
        nlmsghdr h;
        ifinfomsg i;
        char room[256];
    } req = {};
    req.h.nlmsg_len = NLMSG_LENGTH(sizeof req.i);
    req.h.nlmsg_type = RTM_NEWLINK;
    add_attribute(&req.h, IFLA_IFNAME, name, strlen(name) + 1);
    const unsigned info_at = NLMSG_ALIGN(req.h.nlmsg_len);
    add_attribute(&req.h, IFLA_LINKINFO, nullptr, 0);
    add_attribute(&req.h, IFLA_INFO_KIND, "veth", 4);
    reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&req) + info_at)->rta_len =
        static_cast<unsigned short>(req.h.nlmsg_len - info_at);
    return netlink_ack(&req.h);
}

// A route to dst/len via an IPv4 gateway in `table`; with dst null, the IPv6
// default route out of eth0.
bool add_route(const char* dst, int len, const char* via, unsigned char table = RT_TABLE_MAIN) {
    struct {
        nlmsghdr h;
        rtmsg r;
        char room[64];
    } req = {};
    req.h.nlmsg_len = NLMSG_LENGTH(sizeof req.r);
    req.h.nlmsg_type = RTM_NEWROUTE;
    req.r = {static_cast<unsigned char>(dst ? AF_INET : AF_INET6), static_cast<unsigned char>(len), 0, 0, table,
             RTPROT_BOOT, RT_SCOPE_UNIVERSE, RTN_UNICAST, 0};
    in_addr a;
    if (!dst) {
        const int eth0 = static_cast<int>(if_nametoindex("eth0"));
        add_attribute(&req.h, RTA_OIF, &eth0, 4);
    } else if (inet_pton(AF_INET, dst, &a) == 1) {
        add_attribute(&req.h, RTA_DST, &a, 4);
        if (inet_pton(AF_INET, via, &a) == 1) add_attribute(&req.h, RTA_GATEWAY, &a, 4);
    }
    return netlink_ack(&req.h);
}

bool default_route(unsigned long request, const char* gateway, const char* device) {
    rtentry route = {};
    auto* dst = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
    auto* via = reinterpret_cast<sockaddr_in*>(&route.rt_gateway);
    dst->sin_family = mask->sin_family = via->sin_family = AF_INET;
    inet_pton(AF_INET, gateway, &via->sin_addr);
    route.rt_flags = RTF_UP | RTF_GATEWAY;
    route.rt_dev = const_cast<char*>(device);
    const int fd = inet_socket();
    const bool ok = fd >= 0 && ioctl(fd, request, &route) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

bool make_links() {
    static const unsigned char kEthMac[6] = {0x02, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    static const unsigned char kPppMac[6] = {0x02, 0, 0, 0, 0, 0x07};
    static const unsigned char kPeerMac[6] = {0x02, 0, 0, 0, 0, 0x99};
    static const unsigned char kLongMac[6] = {0x02, 0, 0, 0, 0, 0x15};
    return set_up("lo") && add_veth("eth0") && add_veth("ppp0") && add_veth("abcdefghijklmno") &&
           set_mac("eth0", kEthMac) && set_mac("ppp0", kPppMac) && set_mac("veth0", kPeerMac) &&
           set_mac("abcdefghijklmno", kLongMac) &&
           set_address("eth0", SIOCSIFADDR, "192.168.1.10") &&
           set_address("eth0", SIOCSIFNETMASK, "255.255.255.0") && set_up("eth0") &&
           set_address("eth0:1", SIOCSIFADDR, "172.16.5.3") &&
           set_address("eth0:1", SIOCSIFNETMASK, "255.255.0.0") &&
           set_address("ppp0", SIOCSIFADDR, "192.168.0.7") &&
           set_address("ppp0", SIOCSIFNETMASK, "255.255.255.0") && set_up("ppp0") &&
           set_address("veth0", SIOCSIFADDR, "192.0.2.9") && default_route(SIOCADDRT, "192.168.1.1", "eth0");
}

// ---- the sections ----

void transport() {
    const int control = MsgControlInit(), response = MsgResponseInit(), events = MsgEventInit();
    put("queue openers find keys 1683, 1684, 1689: %d %d %d", control == msgget(MSG_CONTROL_KEY, 0),
        response == msgget(MSG_RESPONSE_KEY, 0), events == msgget(MSG_EVENT_KEY, 0));
    end_line();
    struct Sem {
        const char* name;
        key_t key;
        int (*open)();
        int (*get)(int);
        int (*post)(int);
    };
    const Sem sems[] = {{"SemAPI", SEM_API_KEY, SemAPIInit, SemAPIGet, SemAPIPost},
                        {"SemSnapShot", SEM_SNAPSHOT_KEY, SemSnapShotInit, SemSnapShotGet, SemSnapShotPost},
                        {"SemMotionHandle", SEM_MOTION_HANDLE_KEY, SemMotionHandleInit, SemMotionHandleGet,
                         SemMotionHandlePost}};
    for (const Sem& s : sems) {
        const int id = s.open();
        CHECK(id == s.open() && id == semget(s.key, 1, 0));
        const int made = semctl(id, 0, GETVAL);
        semctl(id, 0, SETVAL, 1);
        const int got = s.get(id), after_get = semctl(id, 0, GETVAL);
        const int posted = s.post(id), after_post = semctl(id, 0, GETVAL);
        // What a process leaves behind when it exits: the undone steps are gone.
        if (fork() == 0) _exit(s.post(id) + s.post(id) + s.get(id));
        wait(nullptr);
        struct semid_ds ds;
        union {
            int val;
            semid_ds* buf;
        } arg;
        arg.buf = &ds;
        semctl(id, 0, IPC_STAT, arg);
        put("%s: made with value %d; get -> %d, value %d; post -> %d, value %d; a child's post, post and get "
            "leave %d; permissions %o; get(-1) -> %d, post(-1) -> %d", s.name, made, got, after_get, posted,
            after_post, semctl(id, 0, GETVAL), static_cast<unsigned>(ds.sem_perm.mode & 0777), s.get(-1), s.post(-1));
        end_line();
        semctl(id, 0, IPC_RMID);
    }
    msgctl(control, IPC_RMID, nullptr), msgctl(response, IPC_RMID, nullptr), msgctl(events, IPC_RMID, nullptr);
}

void interfaces(const char* when) {
    static const char* const kNames[] = {"lo", "eth0", "eth0:1", "ppp0", "ppp", "veth0", "wlan0", "abcdefghijklmno",
                                         "abcdefghijklmnop"};
    for (const char* name : kNames) {
        char what[96];
        snprintf(what, sizeof what, "%s API_NET_GetState(%s)", when, name);
        RECORD_CALL(what, API_NET_GetState(const_cast<char*>(name)));
        end_line();
        struct Query {
            const char* op;
            int (*call)(char*, char*);
        };
        const Query queries[] = {{"API_Net_GetIP", API_Net_GetIP},
                                 {"API_Net_GetNetMask", API_Net_GetNetMask},
                                 {"API_Net_GetMac", API_Net_GetMac}};
        for (const Query& q : queries) {
            clear_out();
            snprintf(what, sizeof what, "%s %s(%s)", when, q.op, name);
            RECORD_CALL(what, q.call(out, const_cast<char*>(name)));
            put_out();
            end_line();
        }
    }
    RECORD_CALL("API_PPPOE_GetState()", API_PPPOE_GetState());
    end_line();
    RECORD_CALL("API_PPPOE_GetVPNState()", API_PPPOE_GetVPNState());
    end_line();
    clear_out();
    RECORD_CALL("API_PPPOE_vpnip()", API_PPPOE_vpnip(out));
    put_out();
    end_line();
}

void gateway(const char* when) {
    clear_out();
    char what[64];
    snprintf(what, sizeof what, "%s get_gateway", when);
    RECORD_CALL(what, get_gateway(out));
    put_out();
    end_line();
    clear_out();
    snprintf(what, sizeof what, "%s API_Net_GetGateWay", when);
    RECORD_CALL(what, API_Net_GetGateWay(out, const_cast<char*>("eth0")));
    put_out();
    end_line();
}

// Each failing step of the C library on its own.
void interface_failures() {
    const struct {
        const char* what;
        int family;
        unsigned long request;
    } kFaults[] = {{"socket fails", AF_INET, 0}, {"SIOCGIFCONF fails", 0, SIOCGIFCONF},
                   {"SIOCGIFFLAGS fails", 0, SIOCGIFFLAGS}, {"SIOCGIFADDR fails", 0, SIOCGIFADDR}};
    for (const auto& f : kFaults) {
        socket_fails = f.family, ioctl_fails = f.request;
        char what[64];
        snprintf(what, sizeof what, "%s: API_NET_GetState(eth0)", f.what);
        RECORD_CALL(what, API_NET_GetState(const_cast<char*>("eth0")));
        end_line();
        clear_out();
        snprintf(what, sizeof what, "%s: API_Net_GetIP(eth0)", f.what);
        RECORD_CALL(what, API_Net_GetIP(out, const_cast<char*>("eth0")));
        put_out();
        end_line();
    }
    socket_fails = 0, ioctl_fails = 0;
}

// Which of ppp0 and ppp1 counts as the VPN link, by its address.
void vpn() {
    const struct {
        const char *ppp0, *ppp1;
    } kCases[] = {{"10.64.1.2", "0.0.0.0"},   {"172.32.5.1", "0.0.0.0"},   {"172.64.5.1", "0.0.0.0"},
                  {"172.15.5.1", "0.0.0.0"},  {"172.100.0.1", "0.0.0.0"},  {"0.0.0.0", "192.168.0.7"},
                  {"192.168.3.3", "10.0.0.1"}, {"10.1.1.1", "172.16.0.9"}, {"10.1.1.1", "10.2.2.2"},
                  {"192.169.0.1", "0.0.0.0"}, {"0.0.0.0", "0.0.0.0"}};
    CHECK(add_veth("ppp1") && set_up("ppp1"));
    for (const auto& c : kCases) {
        // The address 0.0.0.0 removes the link's address.
        CHECK(set_address("ppp0", SIOCSIFADDR, c.ppp0) && set_address("ppp1", SIOCSIFADDR, c.ppp1));
        char what[96];
        snprintf(what, sizeof what, "ppp0 %s, ppp1 %s: API_PPPOE_vpnip", c.ppp0, c.ppp1);
        clear_out();
        RECORD_CALL(what, API_PPPOE_vpnip(out));
        put_out();
        bool zeroed = out[32] == '#';  // the rest of the 32 bytes cleared, no more
        for (size_t i = strnlen(out, 32); i < 32; ++i) zeroed = zeroed && !out[i];
        CHECK(zeroed);
        RECORD_CALL(", API_PPPOE_GetVPNState", API_PPPOE_GetVPNState());
        RECORD_CALL(", API_PPPOE_GetState", API_PPPOE_GetState());
        end_line();
    }
    put("API_PPPOE_vpnip(null) -> %d", API_PPPOE_vpnip(nullptr));
    end_line();
}

// readNlSock on datagrams written into a local datagram socket: where a dump
// ends and which bytes count.
void read_nl_sock() {
    struct Msg {
        unsigned len;
        unsigned short type, flags;
        unsigned seq, pid, size;  // size: the bytes sent, when not len
    };
    const Msg R = {28, RTM_NEWROUTE, NLM_F_MULTI}, D = {20, NLMSG_DONE, NLM_F_MULTI};
    const struct {
        const char* name;
        Msg datagram[4][3];  // ended by an empty one
    } kCases[] = {
        {"to the done datagram", {{R, R}, {R}, {D}, {R}}},
        {"done after routes in one datagram", {{R, R, D}, {R}}},
        {"done first", {{D}, {R}}},
        {"not multipart", {{{28, RTM_NEWROUTE, 0}}, {R}}},
        {"sequence and pid match", {{{28, RTM_NEWROUTE, NLM_F_MULTI, 1, 7}}, {R}}},
        {"pid differs", {{{28, RTM_NEWROUTE, NLM_F_MULTI, 1, 8}}, {D}}},
        {"error message", {{R}, {{28, NLMSG_ERROR, NLM_F_MULTI}}}},
        {"short datagram", {{R}, {{0, 0, 0, 0, 0, 12}}}},
        {"length beyond the datagram", {{{60, RTM_NEWROUTE, NLM_F_MULTI, 0, 0, 28}}}},
        {"nothing after the routes", {{R}}},
    };
    for (const auto& c : kCases) {
        int fd[2];
        CHECK(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fd) == 0);
        for (const auto& d : c.datagram) {
            unsigned char bytes[128] = {};
            size_t size = 0;
            for (const Msg& m : d) {
                const nlmsghdr h = {m.len, m.type, m.flags, m.seq, m.pid};
                if (m.len || m.size) memcpy(bytes + size, &h, sizeof h), size += m.size ? m.size : m.len;
            }
            if (size) CHECK(send(fd[1], bytes, size, 0) == static_cast<ssize_t>(size));
        }
        static char buf[8192];
        char what[64];
        snprintf(what, sizeof what, "readNlSock(%s)", c.name);
        RECORD_CALL(what, readNlSock(fd[0], buf, 1, 7));
        end_line();
        close(fd[0]), close(fd[1]);
    }
}

void network() {
    interfaces("no links:");
    gateway("no links:");
    const bool made = make_links();
    CHECK(made);
    if (!made) return;
    interfaces("links:");
    char ip[32] = "", mask[32] = "", mac[32] = "";
    CHECK(API_Net_GetIP(ip, const_cast<char*>("eth0")) == 0 && !strcmp(ip, "192.168.1.10"));
    CHECK(API_Net_GetNetMask(mask, const_cast<char*>("eth0:1")) == 0 && !strcmp(mask, "255.255.0.0"));
    CHECK(API_Net_GetMac(mac, const_cast<char*>("eth0")) == 0 && !strcmp(mac, "02-1a-2b-3c-4d-5e"));
    CHECK(API_PPPOE_GetVPNState() == 1);
    // The list of five records grows by 64 bytes from 128 until two reads
    // agree: 40 bytes a record here, 32 on the camera.
    ifconf_calls = 0;
    API_NET_GetState(const_cast<char*>("veth0"));
    const int reads = sizeof(ifreq) == 32 ? 3 : 4;
    CHECK(ifconf_calls == reads && ifconf_lengths[0] == 128 && ifconf_lengths[reads - 1] == 64 * reads + 64);
    interface_failures();
    gateway("default via 192.168.1.1:");
    char via[32] = "";
    CHECK(get_gateway(via) == 0 && !strcmp(via, "192.168.1.1"));
    CHECK(default_route(SIOCDELRT, "192.168.1.1", "eth0"));
    // Only the main table's IPv4 routes count (IPv6 where the kernel has it).
    CHECK(add_route("0.0.0.0", 0, "192.168.1.77", 100));
    add_route(nullptr, 0, nullptr);
    gateway("no default route in the main table:");
    // A network whose address text holds "0.0.0.0" counts as a default route.
    CHECK(set_address("eth0:2", SIOCSIFADDR, "10.1.2.3") && set_address("eth0:2", SIOCSIFNETMASK, "255.0.0.0"));
    gateway("route to 10.0.0.0/8:");
    // A dump over several datagrams, the last matching route last; then more
    // routes than the 8192-byte buffer holds.
    char net[32];
    for (int i = 0; i < 250; ++i) {
        snprintf(net, sizeof net, "172.20.%d.0", i);
        CHECK(add_route(net, 24, "192.168.1.1"));
        if (i == 79) CHECK(add_route("250.0.0.0", 8, "192.168.1.250"));
        if (i == 79) gateway("81 routes more, the last to 250.0.0.0/8:");
    }
    gateway("251 routes more:");
    read_nl_sock();
    vpn();
}

// The clock's text calls return their buffer; the line shows the text.
void clock_text(const char* what, char* (*fn)(char*)) {
    clear_out();
    shell_log[0] = 0;
    put("%s:", what);
    capture_begin();
    const char* result = fn(out);
    capture_end();
    put(" -> %s", result == out ? "its buffer" : result ? "another buffer" : "null");
    put_out();
    if (shell_log[0]) put(" | shell "), put_text(shell_log, strlen(shell_log));
    end_line();
}

void clock_set(const char* what, int (*fn)(char*), const char* text) {
    fake_now = 1715329815;
    shell_log[0] = 0;
    put("%s(%s):", what, text ? text : "null");
    capture_begin();
    const int result = fn(const_cast<char*>(text));
    capture_end();
    put(" -> %d | clock %lld", result, fake_now);
    if (shell_log[0]) put(" | shell "), put_text(shell_log, strlen(shell_log));
    end_line();
}

void clock() {
    const long long kNows[] = {1715329815, 1700000000, 0, 2147483647};  // summer, winter, the epoch, 2038
    for (long long now : kNows) {
        fake_now = now;
        put("clock at %lld", now);
        end_line();
        clock_text("API_SNTP_Get_Date", API_SNTP_Get_Date);
        clock_text("API_SNTP_Get_Time", API_SNTP_Get_Time);
    }
    fake_now = 1715329815;
    char text[32];
    CHECK(!strcmp(API_SNTP_Get_Date(text), "2024-05-10") && !strcmp(API_SNTP_Get_Time(text), "10:30:15"));
    static const char* const kDates[] = {"2025-01-31", "2024-02-30", "1970-01-01", "2031-12-31", "2032-01-01",
                                         "1969-12-31", "2024-13-01", "2024-00-10", "2024-01-32", "2024-01-00",
                                         "2024-1-1", "2025-06-01 x", "x", nullptr};
    static const char* const kTimes[] = {"23:59:59", "00:00:00", "24:00:00", "-1:00:00", "12:60:00",
                                         "12:00:60", "1:2:3", "12:00", nullptr};
    for (const char* d : kDates) clock_set("API_SNTP_Set_Date", API_SNTP_Set_Date, d);
    for (const char* t : kTimes) clock_set("API_SNTP_Set_Time", API_SNTP_Set_Time, t);
    // A clock that cannot be set, a time that cannot be converted, and years
    // of four digits and more (a 64-bit clock reaches them).
    clock_refused = 1;
    clock_set("refused clock: API_SNTP_Set_Date", API_SNTP_Set_Date, "2025-06-01");
    clock_refused = 0, localtime_fails = 1;
    clock_set("no local time: API_SNTP_Set_Time", API_SNTP_Set_Time, "01:02:03");
    clock_text("no local time: API_SNTP_Get_Date", API_SNTP_Get_Date);
    clock_text("no local time: API_SNTP_Get_Time", API_SNTP_Get_Time);
    localtime_fails = 0;
    static const long long kYears[] = {9999, -999, 10000, -1000};
    for (long long year : kYears) {
        char what[64];
        snprintf(what, sizeof what, "year %lld: API_SNTP_Get_Date", year);
        localtime_year = year;
        clock_text(what, API_SNTP_Get_Date);
    }
    localtime_year = 0;
    put("API_SNTP_Get_Date(null) -> %s, API_SNTP_Get_Time(null) -> %s", API_SNTP_Get_Date(nullptr) ? "text" : "null",
        API_SNTP_Get_Time(nullptr) ? "text" : "null");
    end_line();
    fake_now = 1715329815;
}

void zones() {
    char tz[64], again[64];
    for (int zone = 0; zone <= 39; ++zone) {
        memset(tz, 0, sizeof tz);
        const int got = sntp_timezone(zone, tz, 0);
        strcpy(again, tz);
        const int back = sntp_timezone(0, again, 1);
        put("sntp_timezone(%d) -> %d ", zone, got);
        put_text(tz, strlen(tz));
        put(" | back -> %d", back);
        end_line();
    }
    for (int i = 0; i < 70 && zoneList[i]; ++i) {
        put("zoneList[%d] ", i);
        put_text(zoneList[i], strlen(zoneList[i]));
        end_line();
    }
    for (int i = 0; i < 10; ++i) put("%dx%d ", MORIK_SIZE_T[i][0], MORIK_SIZE_T[i][1]);
    end_line();
    // The search reads the table as it stands: changed entries, a missing one.
    const char* const was[2] = {zoneList[0], zoneList[4]};
    const struct {
        const char *zone1, *zone5, *text;
    } kSteps[] = {{"A-1B-2 (test)", "XYZ-3 (Nowhere)", "A-1B+2"}, {"A-1B-2 (test)", "XYZ-3 (Nowhere)", "XYZ+3"},
                  {"A-1B-2 (test)", "XYZ-3 (Nowhere)", "PST+8"}, {nullptr, was[1], ""}, {was[0], was[1], "PST+8"}};
    for (const auto& s : kSteps) {
        zoneList[0] = s.zone1, zoneList[4] = s.zone5;
        strcpy(tz, s.text);
        put("zoneList[0] %s, zoneList[4] %s: sntp_timezone(\"%s\") -> %d", s.zone1 ? s.zone1 : "null", s.zone5,
            s.text, sntp_timezone(0, tz, 1));
        end_line();
        CHECK(!strcmp(tz, s.text));
    }
}

void credentials() {
    static const char* const kTexts[] = {"admin:pass:5", "a:b:c:7", "name-only", "", "::", "u:p:-3x"};
    for (const char* text : kTexts) {
        char name[256], pass[256];
        int level = -99;
        AuthSlim(text, name, pass, &level);
        put("AuthSlim(\"%s\") -> ", text);
        put_text(name, strlen(name));
        put(" ");
        put_text(pass, strlen(pass));
        put(" %d", level);
        end_line();
    }
    // The salt comes from the C library's random numbers, which differ between
    // C libraries: the line states what holds for any salt (crypt is the
    // program's own, see interpose.c).
    char* hash = CryptPassword(const_cast<char*>("secret"));
    char copy[128] = "";
    if (hash) strncpy(copy, hash, sizeof copy - 1);
    const char* again = copy[0] ? crypt("secret", copy) : nullptr;
    const char* alphabet = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const bool salt_ok = strlen(copy) == 13 && strchr(alphabet, copy[0]) && strchr(alphabet, copy[1]);
    // The salt: the first two base-64 digits of random() seeded with the time.
    srandom(static_cast<unsigned>(fake_now));
    const long r = random();
    const bool time_salt = hash && copy[0] == alphabet[r & 63] && copy[1] == alphabet[(r >> 6) & 63];
    char* second = CryptPassword(const_cast<char*>("secret"));
    put("CryptPassword(\"secret\"): 13 characters, salt from the alphabet: %d; crypt with its salt gives it: %d; "
        "same second, same salt: %d; salt from random() seeded with the time: %d",
        salt_ok, again && !strcmp(again, copy), second && !strcmp(second, copy), time_salt);
    end_line();
    CHECK(salt_ok && again && !strcmp(again, copy));
    put("CryptPassword(null) -> %s", CryptPassword(nullptr) ? "text" : "null");
    end_line();
}

// The file's size, mode and first 512 bytes.
void put_file(const char* path) {
    struct stat st;
    FILE* f = fopen(path, "rb");
    char text[512];
    const size_t n = f ? fread(text, 1, sizeof text, f) : 0;
    if (f) fclose(f);
    if (!f || stat(path, &st) != 0) return put(" | file missing");
    put(" | file of %lld bytes, mode %o ", static_cast<long long>(st.st_size), st.st_mode & 0777);
    put_text(text, n);
}

void log_file() {
    char path[96], missing[96];
    snprintf(path, sizeof path, "%s/camera.log", scratch);
    snprintf(missing, sizeof missing, "%s/no/such/folder.log", scratch);
    const mode_t mask = umask(022);
    RECORD_CALL("WriteLogFile(first)", WriteLogFile(path, const_cast<char*>("first entry")));
    end_line();
    fake_now += 61;
    RECORD_CALL("WriteLogFile(second)", WriteLogFile(path, const_cast<char*>("second, entry")));
    put_file(path);
    end_line();
    // Past 102400 bytes the file starts over, unless it cannot be removed.
    static const int kSizes[] = {102400, 102401, -102401};  // negative: remove() fails
    for (int size : kSizes) {
        FILE* f = fopen(path, "wb");
        for (int i = 0; i < abs(size) && f; ++i) fputc('x', f);
        if (f) fclose(f);
        remove_fails = size < 0;
        char what[64];
        snprintf(what, sizeof what, "WriteLogFile(after %d bytes%s)", abs(size), size < 0 ? ", not removed" : "");
        RECORD_CALL(what, WriteLogFile(path, const_cast<char*>("fresh")));
        put_file(path);
        end_line();
    }
    remove_fails = 0;
    unlink(path);
    static char text[5000];
    memset(text, 'L', sizeof text - 1);
    RECORD_CALL("WriteLogFile(4999 characters)", WriteLogFile(path, text));
    put_file(path);
    end_line();
    RECORD_CALL("WriteLogFile(/dev/full)", WriteLogFile(const_cast<char*>("/dev/full"), const_cast<char*>("lost")));
    end_line();
    RECORD_CALL("WriteLogFile(no folder)", WriteLogFile(missing, const_cast<char*>("lost")));
    end_line();
    RECORD_CALL("WriteLogFile(null)", WriteLogFile(nullptr, const_cast<char*>("lost")));
    end_line();
    unlink(path);
    umask(mask);
    fake_now = 1715329815;
}

}  // namespace

void walk_local_operations() {
    transport();
    network();
    clock();
    zones();
    credentials();
    log_file();
}
