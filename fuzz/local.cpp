// The operations that ask the kernel or the C library rather than the daemon,
// one area per input (its first byte, modulo 8):
//   0-3  interface status, addresses and MAC, the PPP helpers, the clock (read
//      and set), password hashing and the log file: the interface socket and
//      its ioctls, clock_settime, localtime and the library's two shell
//      commands are taken over, so the fuzzer's interface list is what the
//      kernel reports and the real clock, console and hardware clock are never
//      touched. Buffers of exactly the documented sizes (address texts 32, MAC
//      text 18, date 11, time 9), outputs untouched on failure, sockets closed,
//      state and addresses as the interface list says.
//   4  the route dump reader and the gateway look-up on any datagrams (the
//      netlink socket's send and recv are the fuzzer's): the reader keeps to
//      its 8192 bytes and counts no more than it received, the gateway text to
//      its 16 bytes and is a dotted address when written.
//   5  one route message of any bytes through the route parser, framed as the
//      reader frames it: written to only for a main-table IPv4 route, the
//      gateway text within its 16 bytes.
//   6  time-zone conversions, number to TZ text (10 bytes), and text to number
//      also against a zone table the program has rewritten.
//   7  the credential splitter on any text ("name:password:level", the first
//      255 bytes), into name and password buffers of 256 bytes.
// What each call gives for ordinary inputs is the reviewed transcript's.
#define FUZZ_TARGET "local"

#define _GNU_SOURCE 1
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "api_arch.h"
#include "fuzz_support.h"

const char* const* fuzz_names() {
    static const char* names[] = {"API_NET_GetState", "API_Net_GetIP", "API_Net_GetNetMask", "API_Net_GetMac",
                                  "API_PPPOE_GetState", "API_PPPOE_GetVPNState", "API_PPPOE_vpnip",
                                  "API_SNTP_Get_Date", "API_SNTP_Get_Time", "API_SNTP_Set_Date",
                                  "API_SNTP_Set_Time", "CryptPassword", "WriteLogFile", "readNlSock", "get_gateway",
                                  "API_Net_GetGateWay", "parseRoutes", "sntp_timezone", "zoneList", "AuthSlim",
                                  nullptr};
    return names;
}

namespace {

constexpr int kInetFd = 901, kNetlinkFd = 900;

struct Interface {
    char name[IFNAMSIZ];  // as the kernel lists it (the fuzzer may leave it unterminated)
    short flags;
    uint32_t addr, mask;
    unsigned char mac[6];
};

struct Local {
    Input* in = nullptr;
    Interface list[8];
    int count = 0;
    unsigned long failing_ioctl = 0;
    bool fail_socket = false, fail_send = false, fail_localtime = false, fail_settime = false;
    int tm_year = 0;  // when not 0, localtime's answer is in this year (after 1900)
    int opened = 0, closed = 0, settimes = 0, hwclock = 0, console = 0;
    time_t set_to = 0;
    size_t received = 0;  // netlink bytes
    int datagrams = 0;
} local;

#define REAL(name) reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name))

// The listed interface of that name, as the kernel finds it.
const Interface* find(const char* name) {
    for (int i = 0; i < local.count; ++i)
        if (strncmp(local.list[i].name, name, IFNAMSIZ) == 0) return &local.list[i];
    return nullptr;
}

// One datagram of route messages built from the fuzzer's bytes: mostly
// well-formed messages with odd fields, sometimes raw bytes.
size_t datagram(unsigned char* out, size_t room) {
    Input& in = *local.in;
    const uint8_t shape = in.u8();
    if (shape >= 0xF0) return in.bytes(out, in.length(room));
    size_t used = 0;
    const int messages = 1 + (shape & 3);
    for (int m = 0; m < messages && used + 64 <= room; ++m) {
        const uint8_t kind = in.u8();
        auto* h = reinterpret_cast<nlmsghdr*>(out + used);
        const uint16_t types[4] = {RTM_NEWROUTE, NLMSG_DONE, NLMSG_ERROR, RTM_NEWROUTE};
        h->nlmsg_type = (kind & 0x0C) == 0x0C && (shape & 0x80) ? in.u16() : static_cast<uint16_t>(types[kind & 3]);
        h->nlmsg_flags = (kind & 0x10) ? NLM_F_MULTI : 0;
        h->nlmsg_seq = (kind & 0x20) ? 1 : in.u32();
        h->nlmsg_pid = (kind & 0x40) ? static_cast<uint32_t>(getpid()) : in.u32();
        size_t len = NLMSG_HDRLEN;
        if (h->nlmsg_type == RTM_NEWROUTE) {
            auto* rt = reinterpret_cast<rtmsg*>(out + used + len);
            memset(rt, 0, sizeof *rt);
            const uint8_t r = in.u8();
            rt->rtm_family = r & 1 ? static_cast<uint8_t>(AF_INET) : in.u8();
            rt->rtm_table = r & 2 ? static_cast<uint8_t>(RT_TABLE_MAIN) : in.u8();
            len += NLMSG_ALIGN(sizeof *rt);
            const int attrs = (r >> 2) & 7;
            for (int a = 0; a < attrs && used + len + 16 <= room; ++a) {
                auto* at = reinterpret_cast<rtattr*>(out + used + len);
                const uint8_t t = in.u8();
                const unsigned short atypes[4] = {RTA_DST, RTA_GATEWAY, RTA_OIF, RTA_PREFSRC};
                at->rta_type = t & 4 ? t : atypes[t & 3];
                const size_t payload = t & 8 ? in.u8() % 9 : 4;
                at->rta_len = static_cast<unsigned short>(RTA_LENGTH(payload));
                if (t & 0x10) at->rta_len = in.u16();
                memset(RTA_DATA(at), 0, RTA_ALIGN(payload));
                in.bytes(RTA_DATA(at), payload);
                len += RTA_SPACE(payload);
            }
        }
        h->nlmsg_len = static_cast<uint32_t>(len);
        if (kind & 0x80) h->nlmsg_len = in.u16();  // a length that lies
        used += NLMSG_ALIGN(len);
    }
    return used;
}

}  // namespace

extern "C" int socket(int family, int type, int protocol) noexcept {
    const bool inet = family == AF_INET && type == SOCK_STREAM;
    if (!inet && family != AF_NETLINK) return REAL(socket)(family, type, protocol);
    FUZZ_CHECK(inet || protocol == NETLINK_ROUTE, "netlink socket of another protocol", "");
    if (local.fail_socket) {
        errno = EMFILE;
        return -1;
    }
    ++local.opened;
    return inet ? kInetFd : kNetlinkFd;
}

extern "C" int close(int fd) {
    if (fd != kInetFd && fd != kNetlinkFd) return REAL(close)(fd);
    ++local.closed;
    return 0;
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fd != kInetFd) return REAL(ioctl)(fd, request, arg);
    FUZZ_CHECK(local.opened > local.closed, "ioctl on a closed socket", "");
    if (request == local.failing_ioctl) {
        errno = EINVAL;
        return -1;
    }
    if (request == SIOCGIFCONF) {
        auto* c = static_cast<ifconf*>(arg);
        FUZZ_CHECK(c->ifc_buf && c->ifc_len >= 0, "interface list without a buffer", "");
        const int fit = c->ifc_len / static_cast<int>(sizeof(ifreq));
        const int n = fit < local.count ? fit : local.count;
        for (int i = 0; i < n; ++i) {
            ifreq r;
            memset(&r, 0, sizeof r);
            memcpy(r.ifr_name, local.list[i].name, IFNAMSIZ);
            auto* a = reinterpret_cast<sockaddr_in*>(&r.ifr_addr);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = local.list[i].addr;
            memcpy(c->ifc_buf + i * sizeof(ifreq), &r, sizeof r);
        }
        c->ifc_len = n * static_cast<int>(sizeof(ifreq));
        return 0;
    }
    auto* r = static_cast<ifreq*>(arg);
    FUZZ_CHECK(memchr(r->ifr_name, 0, IFNAMSIZ) != nullptr, "interface name not terminated", "");
    const Interface* itf = find(r->ifr_name);
    if (!itf) {
        errno = ENODEV;
        return -1;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&r->ifr_addr);
    switch (request) {
    case SIOCGIFFLAGS: r->ifr_flags = itf->flags; return 0;
    case SIOCGIFADDR: a->sin_family = AF_INET, a->sin_addr.s_addr = itf->addr; return 0;
    case SIOCGIFNETMASK: a->sin_family = AF_INET, a->sin_addr.s_addr = itf->mask; return 0;
    case SIOCGIFHWADDR: memcpy(r->ifr_hwaddr.sa_data, itf->mac, 6); return 0;
    }
    errno = EINVAL;
    return -1;
}

extern "C" int clock_settime(clockid_t id, const struct timespec* ts) noexcept {
    FUZZ_CHECK(id == CLOCK_REALTIME, "another clock set", "");
    ++local.settimes;
    if (local.fail_settime) {
        errno = EPERM;
        return -1;
    }
    local.set_to = ts->tv_sec;
    return 0;
}

extern "C" struct tm* localtime(const time_t* t) noexcept {
    if (local.fail_localtime) return nullptr;
    struct tm* tm = REAL(localtime)(t);
    if (tm && local.tm_year) tm->tm_year = local.tm_year;
    return tm;
}

// The library's two commands are only counted; anything else runs.
extern "C" int system(const char* command) {
    if (command && strcmp(command, "/sbin/hwclock -w") == 0) return ++local.hwclock, 0;
    if (command && strncmp(command, "echo ", 5) == 0 && strstr(command, "> /dev/console"))
        return ++local.console, 0;
    return REAL(system)(command);
}

extern "C" ssize_t send(int fd, const void* buf, size_t len, int flags) {
    if (fd != kNetlinkFd) return REAL(send)(fd, buf, len, flags);
    FUZZ_CHECK(local.opened > local.closed, "send on a closed socket", "");
    const auto* h = static_cast<const nlmsghdr*>(buf);
    FUZZ_CHECK(len >= sizeof *h && h->nlmsg_len == len && h->nlmsg_type == RTM_GETROUTE &&
                   (h->nlmsg_flags & (NLM_F_REQUEST | NLM_F_DUMP)) == (NLM_F_REQUEST | NLM_F_DUMP),
               "not a route dump request", "");
    if (local.fail_send) {
        errno = ENOBUFS;
        return -1;
    }
    return static_cast<ssize_t>(len);
}

extern "C" ssize_t recv(int fd, void* buf, size_t len, int flags) {
    if (fd != kNetlinkFd) return REAL(recv)(fd, buf, len, flags);
    FUZZ_CHECK(local.opened > local.closed, "recv on a closed socket", "");
    FUZZ_CHECK(len <= 8192, "recv of more than the buffer", "");
    FUZZ_CHECK((reinterpret_cast<uintptr_t>(buf) & 3) == 0, "datagram placed where its headers are unaligned", "");
    if (local.in->empty() || ++local.datagrams > 64) {
        errno = EAGAIN;  // the kernel would keep the reader waiting
        return -1;
    }
    static unsigned char dgram[8192 + 64];
    const size_t n = datagram(dgram, 8192);
    const size_t got = n < len ? n : len;  // a datagram longer than the room is cut
    memcpy(buf, dgram, got);
    local.received += got;
    return static_cast<ssize_t>(got);
}

// Interface names without asking the kernel: "if<n>", the longest ones
// filling all IF_NAMESIZE bytes.
extern "C" char* if_indextoname(unsigned index, char* name) noexcept {
    if (index == 0 || index > 100) {
        errno = ENXIO;
        return nullptr;
    }
    if (index > 90) {
        memset(name, 'n', IF_NAMESIZE - 1);
        name[IF_NAMESIZE - 1] = 0;
    } else {
        snprintf(name, IF_NAMESIZE, "if%u", index);
    }
    return name;
}

namespace {

// Interfaces of the run: names from the fuzzer (short or filling all 16
// bytes), flags, addresses, hardware address.
void make_interfaces(Input& in) {
    local.count = in.u8() % 9;
    const char* names[6] = {"eth0", "lo", "ppp0", "ppp1", "wlan0", "eth0:1"};
    for (int i = 0; i < local.count; ++i) {
        Interface& itf = local.list[i];
        memset(&itf, 0, sizeof itf);
        const uint8_t how = in.u8();
        if (how < 0xC0) strcpy(itf.name, names[how % 6]);
        else in.bytes(itf.name, IFNAMSIZ);  // any bytes, perhaps no NUL at all
        itf.flags = how & 0x20 ? 0 : static_cast<short>(in.u16() | 1);
        const uint32_t addrs[4] = {inet_addr("192.168.1.20"), inet_addr("172.16.0.9"), inet_addr("10.0.0.1"), 0};
        itf.addr = how & 0x10 ? in.u32() : addrs[(how >> 2) & 3];
        itf.mask = in.u32();
        in.bytes(itf.mac, 6);
    }
}

// An address text that is a dotted quad within 32 bytes, the rest untouched.
void expect_address(const Guarded& g, const char* name) {
    const char* t = reinterpret_cast<const char*>(g.data());
    in_addr a;
    FUZZ_CHECK(memchr(t, 0, 32) && inet_pton(AF_INET, t, &a) == 1 && g.untouched_from(strlen(t) + 1),
               "not an address text", name);
}

// What API_NET_GetState must say: 1 when a listed interface whose (cut)
// name contains `inter` has flags, 0 when none has, -1 when a step fails.
int state_of(const char* inter) {
    if (local.fail_socket || local.failing_ioctl == SIOCGIFCONF) return -1;
    for (int i = 0; i < local.count; ++i) {
        char n[IFNAMSIZ];
        memcpy(n, local.list[i].name, IFNAMSIZ);
        n[IFNAMSIZ - 1] = 0;
        if (!strstr(n, inter)) continue;
        if (local.failing_ioctl == SIOCGIFFLAGS) return -1;
        const Interface* itf = find(n);
        if (!itf) return -1;  // listed but not found by its cut name
        if (itf->flags) return 1;
    }
    return 0;
}

char log_path[96];

void interfaces_op(Input& in, uint8_t op) {
    Guarded name_buf;
    char* name = fuzz_text(in, name_buf, 40);
    Guarded out;
    switch (op % 6) {
    case 0: {
        const int r = API_NET_GetState(name);
        if (!name) return FUZZ_CHECK(r == -1 && local.opened == 0, "null name accepted", "API_NET_GetState");
        FUZZ_CHECK(r == state_of(name), "wrong state", "API_NET_GetState");
        return;
    }
    case 1: case 2: {
        const char* what = op % 6 == 1 ? "API_Net_GetIP" : "API_Net_GetNetMask";
        out.reset(32);
        char* o = in.u8() == 0xFF ? nullptr : out.chars();
        const int r = op % 6 == 1 ? API_Net_GetIP(o, name) : API_Net_GetNetMask(o, name);
        FUZZ_CHECK(out.guard_intact(), "written past the 32-byte address", what);
        if (!o || !name) return FUZZ_CHECK(r == -1, "null accepted", what);
        if (r == -1) return FUZZ_CHECK(out.untouched(), "failure wrote the address", what);
        expect_address(out, what);
        if (state_of(name) == 0) return FUZZ_CHECK(r == 1 && strcmp(o, "0.0.0.0") == 0, "down, yet not 0.0.0.0", what);
        const Interface* itf = find(name);
        FUZZ_CHECK(r == 0 && itf, "wrong result", what);
        in_addr a;
        a.s_addr = op % 6 == 1 ? itf->addr : itf->mask;
        char want[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, want, sizeof want);
        FUZZ_CHECK(strcmp(o, want) == 0, "wrong address text", what);
        return;
    }
    case 3: {
        out.reset(18);
        char* o = in.u8() == 0xFF ? nullptr : out.chars();
        const int r = API_Net_GetMac(o, name);
        FUZZ_CHECK(out.guard_intact(), "written past the 18-byte MAC text", "API_Net_GetMac");
        if (r == -1) return FUZZ_CHECK(out.untouched(), "failure wrote the MAC text", "API_Net_GetMac");
        FUZZ_CHECK(r == 0 && o && name && strlen(o) == 17, "wrong MAC result", "API_Net_GetMac");
        return;
    }
    case 4: {
        const int r = op & 0x40 ? API_PPPOE_GetState() : API_PPPOE_GetVPNState();
        FUZZ_CHECK(r >= -1 && r <= 1, "state out of range", "API_PPPOE_GetState");
        if (!(op & 0x40)) FUZZ_CHECK(r == 0 || r == 1, "VPN state neither 0 nor 1", "API_PPPOE_GetVPNState");
        return;
    }
    case 5: {
        out.reset(32);
        char* o = in.u8() == 0xFF ? nullptr : out.chars();
        const int r = API_PPPOE_vpnip(o);
        FUZZ_CHECK(out.guard_intact(), "written past the 32-byte address", "API_PPPOE_vpnip");
        if (!o) return FUZZ_CHECK(r == 0 && out.untouched(), "null accepted", "API_PPPOE_vpnip");
        FUZZ_CHECK(r == 0 || r == 1, "result neither 0 nor 1", "API_PPPOE_vpnip");
        FUZZ_CHECK(memchr(o, 0, 32) != nullptr, "address not terminated in 32 bytes", "API_PPPOE_vpnip");
        in_addr a;  // all 32 bytes are written: the text, then zeros
        if (r == 1) FUZZ_CHECK(inet_pton(AF_INET, o, &a) == 1, "not an address text", "API_PPPOE_vpnip");
        return;
    }
    }
}

void clock_op(Input& in, uint8_t op) {
    local.fail_localtime = (op & 0x30) == 0x30;
    local.fail_settime = (op & 0xC0) == 0xC0;
    Guarded out;
    switch (op % 4) {
    case 0: case 1: {
        const bool date = op % 4 == 0;
        const char* what = date ? "API_SNTP_Get_Date" : "API_SNTP_Get_Time";
        out.reset(date ? 11 : 9);
        char* o = in.u8() == 0xFF ? nullptr : out.chars();
        // Any year a 64-bit clock reaches, five digits and more included.
        local.tm_year = (op & 0x30) == 0x20 ? static_cast<int>(in.i32()) : 0;
        char* r = date ? API_SNTP_Get_Date(o) : API_SNTP_Get_Time(o);
        const int year_digits = snprintf(nullptr, 0, "%lld", local.tm_year + 1900LL);
        local.tm_year = 0;
        FUZZ_CHECK(r == o && out.guard_intact(), "wrong result or written past the buffer", what);
        if (!o) return;
        FUZZ_CHECK(memchr(o, 0, out.size()) != nullptr, "text not terminated", what);
        if (!date) FUZZ_CHECK(local.console == 1, "clock not echoed to the console", what);
        const size_t want = local.fail_localtime ? 0 : !date ? 8 : year_digits > 4 ? 0 : year_digits + 6;
        FUZZ_CHECK(strlen(o) == want, "text of the wrong length", what);
        return;
    }
    default: {
        const bool date = op % 4 == 2;
        const char* what = date ? "API_SNTP_Set_Date" : "API_SNTP_Set_Time";
        Guarded text;
        char* t = fuzz_text(in, text, 40);
        const int r = date ? API_SNTP_Set_Date(t) : API_SNTP_Set_Time(t);
        FUZZ_CHECK(r == 0 || r == -1, "result neither 0 nor -1", what);
        FUZZ_CHECK(r != 0 || (local.settimes == 1 && local.hwclock == 1), "set without clock and hardware clock", what);
        FUZZ_CHECK(r == 0 || local.hwclock == 0, "hardware clock written after a failure", what);
        return;
    }
    }
}

void crypt_op(Input& in) {
    Guarded pass;
    char* p = fuzz_text(in, pass, 100);
    const char* r = CryptPassword(p);
    if (!p) return FUZZ_CHECK(r == nullptr, "null password hashed", "CryptPassword");
    FUZZ_CHECK(r && strlen(r) == 13, "hash not 13 characters", "CryptPassword");
}

void log_op(Input& in) {
    static char dir[] = "/tmp/api_arch_fuzz_XXXXXX";
    if (!log_path[0]) {
        if (!mkdtemp(dir)) return;
        snprintf(log_path, sizeof log_path, "%s/log", dir);
        atexit([] { unlink(log_path), rmdir(dir); });
    }
    const uint8_t which = in.u8();
    char bad_path[] = "/nonexistent-dir/log";
    char* path = which == 0xFF ? nullptr : which == 0xFE ? bad_path : log_path;
    Guarded text;
    char* s = fuzz_text(in, text, 2100);
    const int r = WriteLogFile(path, s);
    if (!path || !s) return FUZZ_CHECK(r == -1, "null accepted", "WriteLogFile");
    if (path == bad_path) return FUZZ_CHECK(r == -1, "log written in a missing directory", "WriteLogFile");
    FUZZ_CHECK(r == 0, "log entry not written", "WriteLogFile");
}

void netlink_op(Input& in) {
    const uint8_t mode = in.u8();
    local.fail_socket = (mode & 0x30) == 0x30;
    local.fail_send = (mode & 0xC0) == 0xC0;
    if ((mode & 3) == 0) {
        Guarded buf(8192);
        local.opened = 1;  // the caller's socket
        const int seq = (mode & 4) ? 1 : in.i32();
        const int pid = (mode & 8) ? getpid() : in.i32();
        const int r = readNlSock(kNetlinkFd, buf.chars(), seq, pid);
        FUZZ_CHECK(buf.guard_intact(), "read past the 8192-byte buffer", "");
        FUZZ_CHECK(r == -1 || (r >= 0 && static_cast<size_t>(r) <= local.received && r <= 8192),
                   "count beyond what was received", "");
        FUZZ_CHECK(readNlSock(kNetlinkFd, nullptr, seq, pid) == -1, "null buffer accepted", "");
        return;
    }
    Guarded gateway(INET_ADDRSTRLEN);
    char* g = (mode & 3) == 3 && (mode & 4) ? nullptr : gateway.chars();
    const int r = (mode & 3) == 1 ? get_gateway(g) : API_Net_GetGateWay(g, const_cast<char*>("eth0"));
    FUZZ_CHECK(r == 0 || r == -1, "result neither 0 nor -1", "");
    FUZZ_CHECK(local.opened == local.closed, "socket left open", "");
    if (!g) return FUZZ_CHECK(r == -1 && local.opened == 0, "null gateway accepted", "");
    FUZZ_CHECK(gateway.guard_intact(), "written past the 16-byte gateway", "");
    if (r != 0) FUZZ_CHECK(gateway.untouched(), "failed look-up wrote the gateway", "");
    if (!gateway.untouched()) {
        in_addr a;
        // (Several default routes: the last one's text, over the earlier ones.)
        FUZZ_CHECK(memchr(g, 0, INET_ADDRSTRLEN) && inet_pton(AF_INET, g, &a) == 1,
                   "gateway is not a dotted address", g);
    }
}

void routes_op(Input& in) {
    const uint8_t nulls = in.u8();
    const size_t len = in.left();
    Guarded msg(len), info(sizeof(route_info)), gateway(INET_ADDRSTRLEN);
    in.bytes(msg.data(), len);
    nlmsghdr* h = reinterpret_cast<nlmsghdr*>(msg.data());
    if (len >= sizeof(nlmsghdr)) {  // as NLMSG_OK leaves it for the parser
        if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > len) h->nlmsg_len = static_cast<uint32_t>(len);
    } else {
        h = nullptr;
    }
    Guarded before(len);
    memcpy(before.data(), msg.data(), len);
    auto* rt = reinterpret_cast<route_info*>(info.data());
    parseRoutes(nulls == 1 ? nullptr : h, nulls == 2 ? nullptr : rt, nulls == 3 ? nullptr : gateway.chars());
    FUZZ_CHECK(info.guard_intact() && gateway.guard_intact(), "written past a buffer", "");
    FUZZ_CHECK(memcmp(msg.data(), before.data(), len) == 0, "route message changed", "");
    if (!h || nulls == 1 || nulls == 2 || nulls == 3) {
        FUZZ_CHECK(info.untouched() && gateway.untouched(), "wrote without a message or buffers", "");
        return;
    }
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(h));
    const bool main_ipv4 = h->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg)) && route->rtm_family == AF_INET &&
                           route->rtm_table == RT_TABLE_MAIN;
    if (!main_ipv4) {
        FUZZ_CHECK(info.untouched() && gateway.untouched(), "not a main-table IPv4 route, yet written", "");
        return;
    }
    const size_t name_at = offsetof(route_info, ifName);
    if (!info.untouched_from(name_at))
        FUZZ_CHECK(memchr(rt->ifName, 0, sizeof rt->ifName) != nullptr, "interface name not terminated", "");
    const size_t text = strnlen(gateway.chars(), INET_ADDRSTRLEN);
    FUZZ_CHECK(gateway.untouched() || (text < INET_ADDRSTRLEN && gateway.untouched_from(text + 1)),
               "gateway text not terminated in its 16 bytes", "");
}

const char* original[70];  // the zone table as the library has it

void timezone_op(Input& in) {
    static bool saved = (memcpy(original, zoneList, sizeof original), true);
    (void)saved;
    const uint8_t mode = in.u8();
    if (mode < 0x80) {  // number to text (which text is the transcript's)
        const int number = in.number();
        Guarded out(10);
        FUZZ_CHECK(sntp_timezone(number, out.chars(), 0) == 0, "number to text failed", "");
        FUZZ_CHECK(out.guard_intact(), "written past the 10-byte buffer", "");
        const size_t len = strnlen(out.chars(), 10);
        FUZZ_CHECK(len < 10 && out.untouched_from(len + 1), "TZ text not terminated in 10 bytes", "");
        return;
    }
    // Text to number, sometimes with entries of the table replaced.
    Guarded labels[4];
    const int replaced = mode & 3;
    for (int i = 0; i < replaced; ++i) {
        const int at = in.u8() % 70;
        zoneList[at] = in.u8() == 0xFF ? nullptr : fuzz_text(in, labels[i], 200);
    }
    Guarded text;
    char* t = in.u8() == 0xFF ? nullptr : (text.reset(in.left() + 1), text.chars());
    size_t len = 0;
    if (t) {
        len = in.bytes(t, in.left());
        t[len] = 0;
        len = strlen(t);
    }
    Guarded before;
    if (t) before.set_text(t, len);
    // No zone text has 64 characters: a text that long matches nothing, not
    // even a label that is the text itself.
    if (t && len >= 64 && !replaced) zoneList[0] = t;
    const int r = sntp_timezone(in.number(), t, 1);
    memcpy(zoneList, original, sizeof original);
    if (!t) return FUZZ_CHECK(r == -1, "null text accepted", "");
    FUZZ_CHECK(memcmp(t, before.data(), len + 1) == 0 && text.guard_intact(), "text to convert changed", "");
    FUZZ_CHECK(r >= 0 && r <= 38 && (len < 64 || r == 0), "zone number out of range, or a text of 64 matched", "");
}

void authslim_op(Input& in) {
    const uint8_t nulls = in.u8();
    Guarded text;
    text.reset(in.left() + 1);
    const size_t len = in.bytes(text.data(), in.left());
    text.data()[len] = 0;
    const size_t text_len = strlen(text.chars());
    Guarded name(256), pass(256), level_buf(sizeof(int));
    const char* orgin = nulls == 1 ? nullptr : text.chars();
    char* n = nulls == 2 ? nullptr : name.chars();
    char* p = nulls == 3 ? nullptr : pass.chars();
    int* level = nulls == 4 ? nullptr : reinterpret_cast<int*>(level_buf.data());
    AuthSlim(orgin, n, p, level);
    FUZZ_CHECK(name.guard_intact() && pass.guard_intact() && level_buf.guard_intact(),
               "written past a buffer", "");
    FUZZ_CHECK(text.guard_intact() && strlen(text.chars()) == text_len, "input changed", "");
    if (!orgin || !n || !p || !level) {
        FUZZ_CHECK(name.untouched() && pass.untouched() && level_buf.untouched(),
                   "null argument, yet outputs written", "");
        return;
    }
    FUZZ_CHECK(memchr(n, 0, 256) && memchr(p, 0, 256), "name or password not terminated", "");
    return;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    local = Local{};
    local.in = &in;
    const uint8_t area = in.u8();
    if (area % 8 >= 4) {
        void (*const runs[4])(Input&) = {netlink_op, routes_op, timezone_op, authslim_op};
        runs[area % 8 - 4](in);
        return 0;
    }
    const uint8_t op = in.u8();
    switch (area % 4) {
    case 0: case 1: {
        const uint8_t faults = in.u8();
        const unsigned long requests[5] = {SIOCGIFCONF, SIOCGIFFLAGS, SIOCGIFADDR, SIOCGIFNETMASK, SIOCGIFHWADDR};
        local.failing_ioctl = faults < 0xC0 ? 0 : requests[faults % 5];
        local.fail_socket = faults == 0xBF;
        make_interfaces(in);
        interfaces_op(in, op);
        FUZZ_CHECK(local.opened == local.closed, "socket left open", "");
        break;
    }
    case 2: clock_op(in, op); break;
    default:
        if (op & 1) crypt_op(in);
        else log_op(in);
    }
    return 0;
}
