// Access by level: the one table from role to what may be called. Rows are
// read top to bottom and the first whose pattern matches the name decides;
// a name that no row matches may not be called at all.
#include <fnmatch.h>
#include <string.h>

#include "gateway.h"

namespace apiweb {
namespace {

struct Rule {
    const char* pattern;  // a glob over the method's exact name
    Role read;            // the least role that may call it when it reads (a get)
    Role change;          // ... when it changes something or acts
    const char* what;
};

const Rule kAccess[] = {
    // The gateway's own methods.
    {"session.*", kViewer, kViewer, "session: whoami, logout (login needs no account)"},
    {"rpc.catalog", kViewer, kViewer, "the catalog, limited to what the caller may call"},
    {"settings.dump", kViewer, kViewer, "every setting (passwords and keys null)"},
    {"settings.load", kAdmin, kAdmin, "a settings document applied"},
    {"outbox.list", kAdmin, kAdmin, "the mail and upload queue"},
    // The snapshot is taken by a set, and every viewer may take one.
    {"API_Video_SetJPGSnapShot", kViewer, kViewer, "snapshot"},
    // Accounts and the inner credentials: administrators only, reads too.
    {"API_USER_*", kAdmin, kAdmin, "accounts"},
    {"API_*_Inner_*", kAdmin, kAdmin, "inner credentials"},
    // Image, motion, PTZ, I/O and recording: operators change them.
    {"API_Video_*", kViewer, kOperator, "image and encoder"},
    {"API_Audio_*", kViewer, kOperator, "audio"},
    {"API_*_SnapShot", kViewer, kOperator, "snapshot action"},
    {"API_VELDA_*", kViewer, kOperator, "camera name, labels, OSD"},
    {"API_Motion_*", kViewer, kOperator, "motion detection"},
    {"API_ALARM_*", kViewer, kOperator, "alarm actions"},
    {"API_EVENT_*", kViewer, kOperator, "events"},
    {"API_PTZ_*", kViewer, kOperator, "PTZ"},
    {"API_*_POSITION", kViewer, kOperator, "PTZ presets"},
    {"API_GPIO*", kViewer, kOperator, "I/O lines"},
    {"API_MOD_*", kViewer, kOperator, "recording and SD card"},
    // Network, time, mail/FTP, system actions and the rest: administrators.
    {"API_*", kViewer, kAdmin, "network, wireless, PPPoE/3G, DDNS, time, mail, FTP, system"},
    // Tables and converters that only read.
    {"MORIK_SIZE_T", kViewer, kNobody, "frame-size table"},
    {"zoneList", kViewer, kNobody, "time-zone table"},
    {"sntp_timezone", kViewer, kNobody, "time-zone converter"},
    {"get_gateway", kViewer, kNobody, "default gateway"},
    // Not listed, so nobody: the lock and queue primitives (a caller could
    // hold the camera's API lock), the netlink helpers that take raw
    // pointers, WriteLogFile (any path), CryptPassword and AuthSlim.
};

const char* role_names[] = {"none", "viewer", "operator", "admin"};

const Rule* rule_of(const char* name) {
    for (const Rule& r : kAccess)
        if (fnmatch(r.pattern, name, 0) == 0) return &r;
    return nullptr;
}

}  // namespace

const char* role_name(Role r) { return role_names[r >= kNobody && r <= kAdmin ? r : 0]; }

Role role_of_level(int level) { return level == 1 ? kViewer : level == 2 ? kOperator : level >= 3 ? kAdmin : kNobody; }

// A get reads ("Get" in any of the names' cases); so does the VPN address.
bool is_read(const char* name) {
    return strstr(name, "Get") || strstr(name, "GET") || strstr(name, "get_") || strcmp(name, "API_PPPOE_vpnip") == 0 ||
           strcmp(name, "MORIK_SIZE_T") == 0 || strcmp(name, "zoneList") == 0 || strcmp(name, "sntp_timezone") == 0;
}

Role least_role(const char* method) {
    const Rule* r = rule_of(method);
    if (!r) return kNobody;
    if (strncmp(method, "session.", 8) == 0 || strchr(method, '.')) return r->read;
    return is_read(method) ? r->read : r->change;
}

void print_access_rows(FILE* out) {
    fputs("[", out);
    bool first = true;
    for (const Rule& r : kAccess) {
        fprintf(out, "%s{\"pattern\":\"%s\",\"read\":\"%s\",\"change\":\"%s\",\"what\":", first ? "" : ",", r.pattern,
                role_name(r.read), role_name(r.change));
        apictl::json_string(out, r.what);
        putc('}', out);
        first = false;
    }
    fputs("]", out);
}

void print_access_markdown(FILE* out) {
    fputs("| name (first match decides) | read (get) | change or act | what |\n|---|---|---|---|\n", out);
    for (const Rule& r : kAccess)
        fprintf(out, "| `%s` | %s | %s | %s |\n", r.pattern, role_name(r.read), role_name(r.change), r.what);
    fputs("| anything else | none | none | denied |\n", out);
}

}  // namespace apiweb
