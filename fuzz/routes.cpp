// One route message of any bytes through the route parser, framed as the
// reader frames it (at least a header, nlmsg_len within the bytes given).
// The gateway text goes into exactly the documented 16 bytes, and only for a
// main-table IPv4 route whose destination text contains "0.0.0.0".
#define FUZZ_TARGET "routes"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <stdio.h>

#include "api_arch.h"
#include "fuzz_support.h"

const char* const* fuzz_names() {
    static const char* names[] = {"parseRoutes", nullptr};
    return names;
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
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
        return 0;
    }
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(h));
    const bool main_ipv4 = h->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg)) && route->rtm_family == AF_INET &&
                           route->rtm_table == RT_TABLE_MAIN;
    if (!main_ipv4) {
        FUZZ_CHECK(info.untouched() && gateway.untouched(), "not a main-table IPv4 route, yet written", "");
        return 0;
    }
    const size_t name_at = offsetof(route_info, ifName);
    if (!info.untouched_from(name_at))
        FUZZ_CHECK(memchr(rt->ifName, 0, sizeof rt->ifName) != nullptr, "interface name not terminated", "");
    if (gateway.untouched()) return 0;
    char dst[INET_ADDRSTRLEN], gw[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &rt->dstAddr, dst, sizeof dst);
    inet_ntop(AF_INET, &rt->gateWay, gw, sizeof gw);
    FUZZ_CHECK(strstr(dst, "0.0.0.0") != nullptr, "gateway written for a route that is not default", dst);
    FUZZ_CHECK(strcmp(gateway.chars(), gw) == 0 && gateway.untouched_from(strlen(gw) + 1),
               "gateway text is not the route's", gw);
    return 0;
}
