// The local operations that ask the kernel or the C library rather than the
// daemon: interface status, addresses and MAC, the PPP helpers, the clock
// (read and set), password hashing and the log file. The interface socket and
// its ioctls, clock_settime, localtime and the library's two shell commands
// are taken over here, so the fuzzer's interface list is what the kernel
// reports and the real clock, console and hardware clock are never touched.
// Checked: buffers of exactly the documented sizes (address texts 32, MAC
// text 18, date 11, time 9), outputs untouched on failure, sockets closed,
// results as documented.
#define FUZZ_TARGET "local"

#define _GNU_SOURCE 1
#define _FILE_OFFSET_BITS 64  // stat of the log on a 32-bit build
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "api_arch.h"
#include "fuzz_support.h"

const char* const* fuzz_names() {
    static const char* names[] = {"API_NET_GetState", "API_Net_GetIP", "API_Net_GetNetMask", "API_Net_GetMac",
                                  "API_PPPOE_GetState", "API_PPPOE_GetVPNState", "API_PPPOE_vpnip",
                                  "API_SNTP_Get_Date", "API_SNTP_Get_Time", "API_SNTP_Set_Date",
                                  "API_SNTP_Set_Time", "CryptPassword", "WriteLogFile", nullptr};
    return names;
}

namespace {

constexpr int kFakeFd = 901;

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
    bool fail_socket = false, fail_localtime = false, fail_settime = false;
    int tm_year = 0;  // when not 0, localtime's answer is in this year (after 1900)
    int opened = 0, closed = 0, settimes = 0, hwclock = 0, console = 0;
    time_t set_to = 0;
} local;

#define REAL(name) reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name))

// The listed interface of that name, as the kernel finds it.
const Interface* find(const char* name) {
    for (int i = 0; i < local.count; ++i)
        if (strncmp(local.list[i].name, name, IFNAMSIZ) == 0) return &local.list[i];
    return nullptr;
}

}  // namespace

extern "C" int socket(int family, int type, int protocol) noexcept {
    if (family != AF_INET || type != SOCK_STREAM) return REAL(socket)(family, type, protocol);
    if (local.fail_socket) {
        errno = EMFILE;
        return -1;
    }
    ++local.opened;
    return kFakeFd;
}

extern "C" int close(int fd) {
    if (fd != kFakeFd) return REAL(close)(fd);
    ++local.closed;
    return 0;
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fd != kFakeFd) return REAL(ioctl)(fd, request, arg);
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
        const Interface* itf = find(name);
        char want[18];
        if (itf) {
            snprintf(want, sizeof want, "%02x-%02x-%02x-%02x-%02x-%02x", itf->mac[0], itf->mac[1], itf->mac[2],
                     itf->mac[3], itf->mac[4], itf->mac[5]);
            FUZZ_CHECK(strcmp(o, want) == 0, "wrong MAC text", "API_Net_GetMac");
        }
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
        int v[3];
        const bool parsed = t && sscanf(t, date ? "%d-%d-%d" : "%d:%d:%d", &v[0], &v[1], &v[2]) == 3;
        const int lo[2][3] = {{0, 0, 0}, {1970, 1, 1}}, hi[2][3] = {{23, 59, 59}, {2031, 12, 31}};
        bool in_range = parsed;
        for (int i = 0; i < 3 && in_range; ++i) in_range = v[i] >= lo[date][i] && v[i] <= hi[date][i];
        FUZZ_CHECK(r == 0 || r == -1, "result neither 0 nor -1", what);
        if (!in_range) return FUZZ_CHECK(r == -1 && local.settimes == 0, "bad clock text accepted", what);
        FUZZ_CHECK(local.settimes <= 1, "clock set more than once", what);
        if (r == 0) {
            FUZZ_CHECK(local.settimes == 1 && local.hwclock == 1, "set without clock and hardware clock", what);
            struct tm tm;
            FUZZ_CHECK(REAL(localtime_r)(&local.set_to, &tm) != nullptr, "clock set to no time", what);
            if (date) FUZZ_CHECK(tm.tm_mday == v[2] || v[2] > 28, "wrong day", what);
            else FUZZ_CHECK(tm.tm_min == v[1] && tm.tm_sec == v[2], "wrong time of day", what);
        } else {
            FUZZ_CHECK(local.hwclock == 0, "hardware clock written after a failure", what);
        }
        return;
    }
    }
}

void crypt_op(Input& in) {
    Guarded pass;
    char* p = fuzz_text(in, pass, 100);
    const char* r = CryptPassword(p);
    if (!p) return FUZZ_CHECK(r == nullptr, "null password hashed", "CryptPassword");
    static const char alphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    FUZZ_CHECK(r && strlen(r) == 13, "hash not 13 characters", "CryptPassword");
    FUZZ_CHECK(strchr(alphabet, r[0]) && strchr(alphabet, r[1]), "salt outside the alphabet", "CryptPassword");
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
    struct stat before;
    const bool existed = stat(log_path, &before) == 0;
    const int r = WriteLogFile(path, s);
    if (!path || !s) return FUZZ_CHECK(r == -1, "null accepted", "WriteLogFile");
    if (path == bad_path) return FUZZ_CHECK(r == -1, "log written in a missing directory", "WriteLogFile");
    struct stat after;
    FUZZ_CHECK(r == 0 && stat(log_path, &after) == 0, "log entry not written", "WriteLogFile");
    const off_t base = existed && before.st_size <= 102400 ? before.st_size : 0;
    // "<text>,\t<ctime text>", the ctime text 25 bytes with its newline.
    FUZZ_CHECK(after.st_size == base + static_cast<off_t>(strlen(s)) + 2 + 25, "wrong entry length", "WriteLogFile");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t area = in.u8();
    const uint8_t op = in.u8();
    local = Local{};
    local.in = &in;
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
