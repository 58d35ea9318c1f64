// The route dump reader and the gateway look-up on any datagrams: the
// netlink socket is taken over (socket, send, recv and close are defined
// here), so the fuzzer's datagrams are what the kernel answers. Checked: the
// reader keeps to its 8192-byte buffer and counts no more than it received,
// the gateway text keeps to its 16 bytes and is a dotted address when
// written, every socket opened is closed once, and heap blocks are freed.
#define FUZZ_TARGET "netlink"

#define _GNU_SOURCE 1
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include "api_arch.h"
#include "fuzz_support.h"

const char* const* fuzz_names() {
    static const char* names[] = {"readNlSock", "get_gateway", "API_Net_GetGateWay", nullptr};
    return names;
}

namespace {

constexpr int kFakeFd = 900;

struct Netlink {
    Input* in = nullptr;
    bool fail_socket = false, fail_send = false;
    int opened = 0, closed = 0, sent = 0;
    size_t received = 0;
    int datagrams = 0;
} net;

// One datagram of route messages built from the fuzzer's bytes: mostly
// well-formed messages with odd fields, sometimes raw bytes.
size_t datagram(unsigned char* out, size_t room) {
    Input& in = *net.in;
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

#define REAL(name) reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name))

}  // namespace

extern "C" int socket(int family, int type, int protocol) noexcept {
    if (family != AF_NETLINK) return REAL(socket)(family, type, protocol);
    FUZZ_CHECK(protocol == NETLINK_ROUTE, "netlink socket of another protocol", "");
    if (net.fail_socket) {
        errno = EMFILE;
        return -1;
    }
    ++net.opened;
    return kFakeFd;
}

extern "C" int close(int fd) {
    if (fd != kFakeFd) return REAL(close)(fd);
    ++net.closed;
    return 0;
}

extern "C" ssize_t send(int fd, const void* buf, size_t len, int flags) {
    if (fd != kFakeFd) return REAL(send)(fd, buf, len, flags);
    FUZZ_CHECK(net.opened > net.closed, "send on a closed socket", "");
    const auto* h = static_cast<const nlmsghdr*>(buf);
    FUZZ_CHECK(len >= sizeof *h && h->nlmsg_len == len && h->nlmsg_type == RTM_GETROUTE &&
                   (h->nlmsg_flags & (NLM_F_REQUEST | NLM_F_DUMP)) == (NLM_F_REQUEST | NLM_F_DUMP),
               "not a route dump request", "");
    ++net.sent;
    if (net.fail_send) {
        errno = ENOBUFS;
        return -1;
    }
    return static_cast<ssize_t>(len);
}

extern "C" ssize_t recv(int fd, void* buf, size_t len, int flags) {
    if (fd != kFakeFd) return REAL(recv)(fd, buf, len, flags);
    FUZZ_CHECK(net.opened > net.closed, "recv on a closed socket", "");
    FUZZ_CHECK(len <= 8192, "recv of more than the buffer", "");
    FUZZ_CHECK((reinterpret_cast<uintptr_t>(buf) & 3) == 0, "datagram placed where its headers are unaligned", "");
    if (net.in->empty() || ++net.datagrams > 64) {
        errno = EAGAIN;  // the kernel would keep the reader waiting
        return -1;
    }
    static unsigned char dgram[8192 + 64];
    const size_t n = datagram(dgram, 8192);
    const size_t got = n < len ? n : len;  // a datagram longer than the room is cut
    memcpy(buf, dgram, got);
    net.received += got;
    return static_cast<ssize_t>(got);
}

extern "C" char* if_indextoname(unsigned index, char* name) noexcept {
    if (index == 0 || index > 100) {
        errno = ENXIO;
        return nullptr;
    }
    snprintf(name, IF_NAMESIZE, "if%u", index);
    return name;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    net = Netlink{};
    net.in = &in;
    const uint8_t mode = in.u8();
    net.fail_socket = (mode & 0x30) == 0x30;
    net.fail_send = (mode & 0xC0) == 0xC0;
    if ((mode & 3) == 0) {
        Guarded buf(8192);
        net.opened = 1;  // the caller's socket
        const int seq = (mode & 4) ? 1 : in.i32();
        const int pid = (mode & 8) ? getpid() : in.i32();
        const int r = readNlSock(kFakeFd, buf.chars(), seq, pid);
        FUZZ_CHECK(buf.guard_intact(), "read past the 8192-byte buffer", "");
        FUZZ_CHECK(r == -1 || (r >= 0 && static_cast<size_t>(r) <= net.received && r <= 8192),
                   "count beyond what was received", "");
        FUZZ_CHECK(readNlSock(kFakeFd, nullptr, seq, pid) == -1, "null buffer accepted", "");
        return 0;
    }
    Guarded gateway(INET_ADDRSTRLEN);
    char* g = (mode & 3) == 3 && (mode & 4) ? nullptr : gateway.chars();
    const int r = (mode & 3) == 1 ? get_gateway(g) : API_Net_GetGateWay(g, const_cast<char*>("eth0"));
    FUZZ_CHECK(r == 0 || r == -1, "result neither 0 nor -1", "");
    FUZZ_CHECK(net.opened == net.closed, "socket left open", "");
    if (!g) return FUZZ_CHECK(r == -1 && net.opened == 0, "null gateway accepted", ""), 0;
    FUZZ_CHECK(gateway.guard_intact(), "written past the 16-byte gateway", "");
    if (r != 0) FUZZ_CHECK(gateway.untouched(), "failed look-up wrote the gateway", "");
    if (!gateway.untouched()) {
        in_addr a;
        // (Several default routes: the last one's text, over the earlier ones.)
        FUZZ_CHECK(memchr(g, 0, INET_ADDRSTRLEN) && inet_pton(AF_INET, g, &a) == 1,
                   "gateway is not a dotted address", g);
    }
    return 0;
}
