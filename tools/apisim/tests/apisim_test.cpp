// apisim against the real library: every get/set pair round-trips, users,
// record lists, the snapshot, bad requests, the state file, the trace, a
// second instance and the stop. test_support's main has put this program in
// a private IPC namespace.
#include <signal.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "api_arch.h"
#include "apisim_state.h"
#include "init_ipc.h"
#include "op_facts.h"
#include "sim_process.h"

namespace {

using op_facts::Facts;
using op_facts::Rep;
using op_facts::Req;

// ---- calling any ordinary operation by name, with its own parameter types ----

template <class T>
T arg_as(intptr_t v) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(v);
    } else if constexpr (std::is_integral_v<T>) {
        return static_cast<T>(v);
    } else {
        T t;
        memcpy(&t, reinterpret_cast<const void*>(v), sizeof t);
        return t;
    }
}
template <class... P, size_t... I>
int invoke(int (*fn)(P...), const intptr_t* a, std::index_sequence<I...>) {
    return fn(arg_as<P>(a[I])...);
}
template <class... P>
int invoke(int (*fn)(P...), const intptr_t* a) {
    return invoke(fn, a, std::index_sequence_for<P...>{});
}

const std::map<std::string, int (*)(const intptr_t*)>& calls() {
    static const std::map<std::string, int (*)(const intptr_t*)> table = {
#define OP(name, command, params, request, reply) \
    {#name, [](const intptr_t* a) { return invoke(name, a); }},
#include "api_ops.def"
#undef OP
    };
    return table;
}

int call(const Facts& f, const intptr_t* a) { return calls().at(f.name)(a); }

// ---- the shared record, read directly ----

const BUFFER_ENCODE_T* record() {
    const int id = shmget(APISIM_STATE_KEY, sizeof(BUFFER_ENCODE_T), 0);
    if (id < 0) return nullptr;
    void* p = shmat(id, nullptr, SHM_RDONLY);
    return p == reinterpret_cast<void*>(-1) ? nullptr : static_cast<const BUFFER_ENCODE_T*>(p);
}

class Apisim : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start({"--no-state"})) << sim.err(); }
    void TearDown() override {
        if (sim.running()) {
            EXPECT_EQ(sim.stop(), 0) << sim.err();
        }
    }
    SimProcess sim;
};

// ---- every get/set pair of the ordinary operations ----

// The get of a set, by name: Set -> Get (SET -> GET), and the two whose
// names differ otherwise.
const Facts* get_of(const Facts& set) {
    static const std::map<std::string, std::string> odd = {
        {"API_Net_FTPSetUserPassword", "API_Net_FTPGetPassword"},
        {"API_DDNS_SetDDNSSever", "API_DDNS_GetDDNSServer"}};
    std::string name = set.name;
    if (auto it = odd.find(name); it != odd.end()) return op_facts::find(it->second.c_str());
    for (const char* s : {"Set", "SET"}) {
        const size_t at = name.find(s);
        if (at == std::string::npos) continue;
        name.replace(at, 3, s[0] == 'S' && s[1] == 'e' ? "Get" : "GET");
        return op_facts::find(name.c_str());
    }
    return nullptr;
}

struct Pair {
    const Facts* set;
    const Facts* get;
    bool indexed;
};

std::vector<Pair> ordinary_pairs() {
    std::vector<Pair> pairs;
    for (size_t i = 0; i < op_facts::kOpCount; ++i) {
        const Facts& s = op_facts::kOps[i];
        if (s.rep != Rep::Ack) continue;
        const Facts* g = get_of(s);
        if (!g || g->rep == Rep::Ack || s.req_param[0] == op_facts::kRecordByValue) continue;
        const bool indexed = s.req == Req::ChanDec || s.req == Req::ChanBlock ||
                             ((s.req == Req::Bytes || s.req == Req::Format) && s.req_args == 2);
        pairs.push_back({&s, g, indexed});
    }
    return pairs;
}

// The value one pair carries for a seed, and what its get gives back.
struct Value {
    int32_t number;
    std::string text;
    std::vector<unsigned char> block;
};

Value value_for(const Pair& p, int seed) {
    Value v;
    const bool wide = p.set->req != Req::Bytes && (p.get->rep == Rep::Int || p.get->rep == Rep::Decimal);
    v.number = wide ? 1000 + seed * 7919 : 1 + (seed * 37) % 120;
    v.text = "v" + std::to_string(seed);
    v.block.resize(p.set->record_size);
    for (size_t i = 0; i < v.block.size(); ++i) v.block[i] = static_cast<unsigned char>(seed + 3 * i);
    return v;
}

void do_set(const Pair& p, int index, Value& v) {
    intptr_t a[8] = {};
    const Facts& s = *p.set;
    const int last = s.req_args - 1;
    if (p.indexed) a[s.req_param[0]] = index;
    if (s.req == Req::Str || s.req == Req::Copy) a[s.req_param[0]] = reinterpret_cast<intptr_t>(v.text.data());
    else if (s.req == Req::Block || s.req == Req::ChanBlock) a[s.req_param[last]] = reinterpret_cast<intptr_t>(v.block.data());
    else if (last >= 0) a[s.req_param[last]] = v.number;
    ASSERT_EQ(call(s, a), s.ok) << s.name;
}

void check_get(const Pair& p, int index, const Value& v) {
    const Facts& g = *p.get;
    intptr_t a[8] = {};
    char buffer[2048];
    memset(buffer, 0x5a, sizeof buffer);
    if (p.indexed) a[g.req_param[0]] = index;
    if (g.out_param >= 0) a[g.out_param] = reinterpret_cast<intptr_t>(buffer);
    const int result = call(g, a);
    switch (g.rep) {
    case Rep::Text:
        EXPECT_EQ(result, g.ok) << g.name;
        EXPECT_STREQ(buffer, v.text.c_str()) << g.name;
        break;
    case Rep::Block:
        EXPECT_EQ(result, 0) << g.name;
        EXPECT_EQ(0, memcmp(buffer, v.block.data(), v.block.size())) << g.name;
        break;
    case Rep::Byte: EXPECT_EQ(result, v.number & 0xff) << g.name << " index " << index; break;
    case Rep::SByte: EXPECT_EQ(result, static_cast<signed char>(v.number)) << g.name; break;
    default: EXPECT_EQ(result, v.number) << g.name << " index " << index; break;
    }
}

TEST_F(Apisim, EveryOrdinaryGetSetPairRoundTrips) {
    const std::vector<Pair> pairs = ordinary_pairs();
    std::vector<std::vector<Value>> values(pairs.size());
    // Two entries of every indexed setting, so channels and lines stay apart.
    const int indexes[2] = {1, 3};
    for (size_t i = 0; i < pairs.size(); ++i)
        for (int k = 0; k < (pairs[i].indexed ? 2 : 1); ++k) {
            values[i].push_back(value_for(pairs[i], static_cast<int>(2 * i + k + 1)));
            do_set(pairs[i], indexes[k], values[i].back());
            check_get(pairs[i], indexes[k], values[i].back());
        }
    // No set reached another pair's field. (The motion I/O values are
    // camera-wide although their operations name a channel; 414 and 415 each
    // answer to two pairs of names.)
    const std::vector<int> shared = {354, 356, 359, 361, 363, 365, 415};
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (std::find(shared.begin(), shared.end(), pairs[i].set->command) != shared.end()) continue;
        for (size_t k = 0; k < values[i].size(); ++k) check_get(pairs[i], indexes[k], values[i][k]);
    }
    printf("%zu ordinary get/set pairs round-trip\n", pairs.size());
    EXPECT_GE(pairs.size(), 141u);

    // The values live in the record's fields of the same names.
    const BUFFER_ENCODE_T* r = record();
    ASSERT_NE(r, nullptr);
    unsigned char bright = 0;
    API_Video_SetBrightness(3, 201);
    API_WLAN_SetSSID(const_cast<char*>("desk-ssid"));
    int schedule[24] = {7, 8, 9};
    API_MOD_SetRecordSchedule(2, schedule);
    bright = static_cast<unsigned char>(r->VideoConfig[3].Brightness);
    EXPECT_EQ(bright, 201);
    EXPECT_STREQ(r->WlanConfigs.ssid, "desk-ssid");
    EXPECT_EQ(0, memcmp(r->StorageConfig.RecordSchedule[2], schedule, sizeof schedule));
    shmdt(r);
}

// The pairs with a hand-written side, each with its own request or answer.
TEST_F(Apisim, HandWrittenPairsRoundTrip) {
    int pairs = 0;
    ++pairs; API_Video_SetPIRatio(1, -5); EXPECT_EQ(API_Video_GetPIRatio(1), -5);
    unsigned char level = 0, qi = 0, qp = 0;
    ++pairs; API_Video_SetDeinterlace(2, 3, 7);
    EXPECT_EQ(API_Video_GetDeinterlace(2, &level), 3);
    EXPECT_EQ(level, 7);
    ++pairs; API_Video_SetQP(1, 25, 30);
    EXPECT_EQ(API_Video_GetQP(1, &qi, &qp), 1);
    EXPECT_EQ(qi, 25); EXPECT_EQ(qp, 30);
    char buf[256];
    ++pairs; EXPECT_EQ(API_Net_SetDNS(1, const_cast<char*>("10.0.0.2")), 1);
    EXPECT_EQ(API_Net_GetDNS(1, buf), 1); EXPECT_STREQ(buf, "10.0.0.2");
    ++pairs; EXPECT_EQ(API_WLAN_SetWepKey(3, const_cast<char*>("key-three")), 1);
    EXPECT_EQ(API_WLAN_GetWepKey(3, buf), 1); EXPECT_STREQ(buf, "key-three");
    EXPECT_EQ(API_WLAN_GetWepKey(1, buf), 1); EXPECT_STREQ(buf, "");
    ++pairs; API_Net_SetNetConfig(const_cast<char*>("10.1.1.5"), const_cast<char*>("255.0.0.0"),
                                  const_cast<char*>("10.1.1.1"));
    EXPECT_EQ(API_Net_GetFixIP(buf), 0); EXPECT_STREQ(buf, "10.1.1.5");
    EXPECT_EQ(API_Net_GetFixNetMask(buf), 0); EXPECT_STREQ(buf, "255.0.0.0");
    EXPECT_EQ(API_Net_GetFixGateWay(buf), 0); EXPECT_STREQ(buf, "10.1.1.1");
    ++pairs; API_SNTP_Set_Zone(const_cast<char*>("GMT+08:00"));
    char zone[MSG_TEXT_SIZE];  // the library reads a word of up to 2017 characters
    EXPECT_EQ(API_SNTP_Get_Zone(zone), 0); EXPECT_STREQ(zone, "GMT+08:00");
    ++pairs; API_Linkway_SetMapStatus(const_cast<char*>("mapped"));
    EXPECT_EQ(API_Linkway_GetMapStatus(buf), 0); EXPECT_STREQ(buf, "mapped");
    ++pairs; API_Net_FTPSetCommandPort(21); EXPECT_EQ(API_Net_FTPGetCommandPort(), 21);
    ++pairs; API_MOD_SetGPIOValueOut(4, 1); EXPECT_EQ(API_MOD_GetGPIOValueOut(4), 1);
    EXPECT_EQ(API_GPIO_Get_Value(4), 1);  // the line's value went first
    int lx, ly, rx, ry;
    ++pairs; EXPECT_EQ(API_EVENT_SetMotionRegion(1, 5, 10, 20, 30, 40), 1);
    EXPECT_EQ(API_EVENT_GetMotionRegion(1, 5, &lx, &ly, &rx, &ry), 0);
    EXPECT_EQ(lx, 10); EXPECT_EQ(ly, 20); EXPECT_EQ(rx, 30); EXPECT_EQ(ry, 40);
    POSITION_T pos{3, 100, -200}, ask{3, 0, 0}, other{4, 0, 0};
    ++pairs; EXPECT_EQ(API_SET_POSITION(pos), 0);
    EXPECT_EQ(API_GET_POSITION(&ask), 0);
    EXPECT_EQ(ask.A, 100); EXPECT_EQ(ask.B, -200);
    EXPECT_EQ(API_GET_POSITION(&other), 0); EXPECT_EQ(other.A, 0);
    printf("%d get/set pairs with a hand-written side round-trip\n", pairs);
    // A set for an entry that does not exist stores nothing anywhere.
    const BUFFER_ENCODE_T* r = record();
    ASSERT_NE(r, nullptr);
    std::vector<char> before(reinterpret_cast<const char*>(r), reinterpret_cast<const char*>(r + 1));
    API_Video_SetBrightness(200, 9);
    API_GPIO_Set_Value(77, 1);
    API_Net_SetDNS(5, const_cast<char*>("x"));
    EXPECT_EQ(0, memcmp(before.data(), r, sizeof *r));
    EXPECT_EQ(API_Video_GetBrightness(200), 0);
    shmdt(r);
}

TEST_F(Apisim, TextsAreCutToTheirField) {
    std::string long_name(300, 'n');
    char buf[256];
    EXPECT_EQ(API_VELDA_SetCameraName(long_name.data()), 1);
    EXPECT_EQ(API_VELDA_GetCameraName(buf), 0);
    EXPECT_EQ(std::string(buf), long_name.substr(0, 127));
    EXPECT_EQ(API_PPPOE_SetRoad(const_cast<char*>("0123456789")), 1);
    EXPECT_EQ(API_PPPOE_GetRoad(buf), 0); EXPECT_STREQ(buf, "0123456");
}

TEST_F(Apisim, Users) {
    int level = -1;
    char pass[256], name[256];
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>("admin"), &level, pass), 0);
    EXPECT_STREQ(pass, "admin"); EXPECT_EQ(level, 3);
    EXPECT_EQ(API_USER_SetAddUser(1, const_cast<char*>("ann"), const_cast<char*>("pw1")), 1);
    EXPECT_EQ(API_USER_SetAddUser(2, const_cast<char*>("bob"), const_cast<char*>("pw:2")), 1);
    EXPECT_EQ(API_USER_SetAddUser(9, const_cast<char*>("ann"), const_cast<char*>("other")), 1);  // exists
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>("ann"), &level, pass), 0);
    EXPECT_STREQ(pass, "pw1"); EXPECT_EQ(level, 1);
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>("bob"), &level, pass), 0);
    EXPECT_STREQ(pass, "pw:2"); EXPECT_EQ(level, 2);
    EXPECT_EQ(API_USER_GetUserInfoByID(2, &level, name, pass), 0);
    EXPECT_STREQ(name, "bob"); EXPECT_EQ(level, 2);
    EXPECT_EQ(API_USER_SetChangePassword(const_cast<char*>("ann"), const_cast<char*>("new")), 1);
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>("ann"), &level, pass), 0);
    EXPECT_STREQ(pass, "new"); EXPECT_EQ(level, 1);
    EXPECT_EQ(API_USER_Modify(1, 4, const_cast<char*>("anna"), const_cast<char*>("pw4")), 0);
    EXPECT_EQ(API_USER_GetUserInfoByID(1, &level, name, pass), 0);
    EXPECT_STREQ(name, "anna"); EXPECT_STREQ(pass, "pw4"); EXPECT_EQ(level, 4);
    EXPECT_EQ(API_USER_SetDelUser(const_cast<char*>("bob")), 1);
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>("bob"), &level, pass), 0);
    EXPECT_STREQ(pass, ""); EXPECT_EQ(level, 0);  // "none"
    EXPECT_EQ(API_USER_GetUserInfoByID(2, &level, name, pass), 0);
    EXPECT_STREQ(name, ""); EXPECT_EQ(level, 0);
    // Ten entries: admin, anna and eight more; the eleventh is refused.
    for (int i = 0; i < 9; ++i) {
        std::string n = "u" + std::to_string(i);
        API_USER_SetAddUser(1, n.data(), const_cast<char*>("p"));
    }
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>("u7"), &level, pass), 0);
    EXPECT_STREQ(pass, "p");
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>("u8"), &level, pass), 0);
    EXPECT_STREQ(pass, ""); EXPECT_EQ(level, 0);
    const BUFFER_ENCODE_T* r = record();
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->UserConfigs.entry[1].name, "anna");
    shmdt(r);
}

TEST_F(Apisim, RecordLists) {
    for (int count : {25, 0, 4096, 12, 13}) {
        std::vector<int> list(2 * count + 2), back(2 * 4096 + 2, -7);
        for (size_t i = 0; i < list.size(); ++i) list[i] = static_cast<int>(i * 2654435761u);
        ASSERT_EQ(API_MOD_SetRecordList(2, count, list.data()), 1);
        int got = -1;
        ASSERT_EQ(API_MOD_GetRecordList(2, &got, back.data()), 1);
        ASSERT_EQ(got, count);
        EXPECT_EQ(0, memcmp(back.data(), list.data(), 8 * count)) << count;
        EXPECT_EQ(back[2 * count], -7);  // nothing past the list
    }
    int one[2] = {11, 12}, got = -1, back[2];
    EXPECT_EQ(API_MOD_SetRecordList(1, 1, one), 1);
    EXPECT_EQ(API_MOD_GetRecordList(1, &got, back), 1);
    EXPECT_EQ(got, 1); EXPECT_EQ(back[1], 12);
    EXPECT_EQ(API_MOD_GetRecordList(2, &got, std::vector<int>(8200).data()), 1);
    EXPECT_EQ(got, 13);  // channels keep their own lists
    const BUFFER_ENCODE_T* r = record();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->RecordCount[1], 1); EXPECT_EQ(r->RecordTime[1][0], 11);
    API_MOD_SetRecordMotionTrig(1);
    EXPECT_EQ(r->RecordTrigger[1], 2);
    shmdt(r);
}

TEST_F(Apisim, SnapshotIsARealJpeg) {
    const std::string file = sim.dir() + "/snap.jpg";
    const pid_t child = fork();
    if (child == 0) {
        execl(SNAP_PROBE_PATH, SNAP_PROBE_PATH, "2", file.c_str(), nullptr);
        _exit(127);
    }
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string jpeg = read_file(file);
    ASSERT_GT(jpeg.size(), 1000u);
    EXPECT_EQ(jpeg.substr(0, 2), "\xff\xd8");
    EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xff\xd9");
    const BUFFER_ENCODE_T* r = record();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(static_cast<size_t>(r->JPGSnapLen), jpeg.size());
    shmdt(r);
}

// ---- bad requests, sent raw ----

struct Raw {
    int control = msgget(MSG_CONTROL_KEY, IPC_PERM_WORD);
    int response = msgget(MSG_RESPONSE_KEY, IPC_PERM_WORD);
    // Sends `size` bytes after mtype; true when exactly one reply came (5 s at most).
    bool exchange(int command, const void* payload, size_t payload_size, size_t size) {
        struct { long mtype; char body[4100]; } m{};
        m.mtype = MSG_TYPE_REQUEST;
        memcpy(m.body, &command, 4);
        memcpy(m.body + 4, payload, payload_size < sizeof m.body - 4 ? payload_size : sizeof m.body - 4);
        if (msgsnd(control, &m, size, 0) != 0) return false;
        MSGBUF reply;
        for (int i = 0; i < 25000; ++i) {
            const ssize_t got = msgrcv(response, &reply, MSG_SIZE, MSG_TYPE_REPLY, IPC_NOWAIT);
            if (got >= 0) {
                usleep(100);
                return got == MSG_SIZE && msgrcv(response, &reply, MSG_SIZE, 0, IPC_NOWAIT) < 0;
            }
            usleep(200);
        }
        return false;
    }
};

TEST_F(Apisim, BadRequestsAlwaysGetOneReply) {
    API_Video_SetBrightness(0, 99);
    API_WLAN_SetSSID(const_cast<char*>("before"));
    const BUFFER_ENCODE_T* r = record();
    ASSERT_NE(r, nullptr);
    std::vector<char> before(reinterpret_cast<const char*>(r), reinterpret_cast<const char*>(r + 1));
    Raw raw;
    unsigned char junk[4096];
    memset(junk, 0xff, sizeof junk);
    for (int command : {0, -1, 999, 473, 100000, INT32_MIN}) EXPECT_TRUE(raw.exchange(command, junk, 0, MSG_SIZE));
    for (size_t size : {0, 2, 4, 9, 100}) EXPECT_TRUE(raw.exchange(151, junk, size, size)) << size;
    EXPECT_TRUE(raw.exchange(151, junk, sizeof junk, 4096));  // longer than a record: cut
    // A bounded random run over the gets, the hand-written look-ups and
    // unknown numbers, with random payloads and lengths: none changes a setting.
    std::vector<int> commands = {8, 23, 33, 74, 159, 178, 217, 218, 258, 260, 331, 386, 394, 480, 5000};
    for (size_t i = 0; i < op_facts::kOpCount; ++i)
        if (op_facts::kOps[i].rep != Rep::Ack) commands.push_back(op_facts::kOps[i].command);
    std::mt19937 rng(7);
    for (int i = 0; i < 1500; ++i) {
        for (auto& b : junk) b = static_cast<unsigned char>(rng());
        const int command = commands[rng() % commands.size()];
        const size_t size = rng() % (MSG_SIZE + 1);
        ASSERT_TRUE(raw.exchange(command, junk, size, size)) << "command " << command;
    }
    EXPECT_EQ(0, memcmp(before.data(), r, sizeof *r)) << "a setting changed";
    // Sets with garbage: a text without its NUL is cut to its field, and
    // nothing around it changes.
    memset(junk, 'A', sizeof junk);
    EXPECT_TRUE(raw.exchange(115, junk, MSG_TEXT_SIZE, MSG_SIZE));
    EXPECT_EQ(strlen(r->WlanConfigs.ssid), 127u);
    EXPECT_EQ(0, memcmp(before.data(), r, offsetof(BUFFER_ENCODE_T, WlanConfigs) + offsetof(WLAN_CONFIG, ssid)));
    EXPECT_EQ(0, memcmp(before.data() + offsetof(BUFFER_ENCODE_T, WlanConfigs) + sizeof(WLAN_CONFIG),
                        reinterpret_cast<const char*>(r) + offsetof(BUFFER_ENCODE_T, WlanConfigs) + sizeof(WLAN_CONFIG),
                        sizeof *r - offsetof(BUFFER_ENCODE_T, WlanConfigs) - sizeof(WLAN_CONFIG)));
    EXPECT_EQ(API_Video_GetBrightness(0), 99);  // still in step, still serving
    shmdt(r);
}

// ---- the process: state file, trace, instances, signals ----

TEST(ApisimProcess, SettingsSurviveARestartAndBadFilesAreRefused) {
    SimProcess sim;
    ASSERT_TRUE(sim.start()) << sim.err();
    EXPECT_NE(sim.err().find("starting from the factory settings"), std::string::npos) << sim.err();
    API_Video_SetBrightness(1, 77);
    API_WLAN_SetSSID(const_cast<char*>("kept"));
    API_USER_SetAddUser(2, const_cast<char*>("carl"), const_cast<char*>("pw"));
    int list[4] = {1, 2, 3, 4};
    API_MOD_SetRecordList(3, 2, list);
    ASSERT_EQ(sim.stop(SIGINT), 0) << sim.err();
    ASSERT_TRUE(sim.start()) << sim.err();
    char buf[256];
    int level, count;
    EXPECT_EQ(API_Video_GetBrightness(1), 77);
    EXPECT_EQ(API_WLAN_GetSSID(buf), 0); EXPECT_STREQ(buf, "kept");
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>("carl"), &level, buf), 0);
    EXPECT_STREQ(buf, "pw");
    int back[4] = {};
    EXPECT_EQ(API_MOD_GetRecordList(3, &count, back), 1);
    EXPECT_EQ(count, 2); EXPECT_EQ(back[3], 4);
    ASSERT_EQ(sim.stop(), 0) << sim.err();

    const std::string good = read_file(sim.state());
    struct Bad {
        const char* what;
        std::string content;
        const char* message;
    };
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 1;
    const Bad bad[] = {
        {"truncated", good.substr(0, good.size() - 100), "truncated"},
        {"foreign", std::string(4096, 'x'), "not an apisim state file"},
        {"empty", "", "too short"},
        {"damaged", flipped, "damaged"},
    };
    for (const Bad& b : bad) {
        FILE* f = fopen(sim.state().c_str(), "wb");
        fwrite(b.content.data(), 1, b.content.size(), f);
        fclose(f);
        EXPECT_FALSE(sim.start()) << b.what;
        EXPECT_EQ(sim.wait_exit(), 1) << b.what;
        EXPECT_NE(sim.err().find("refusing the state"), std::string::npos) << b.what << sim.err();
        EXPECT_NE(sim.err().find(b.message), std::string::npos) << b.what << sim.err();
    }
    // The refused file is left as it was; the good one loads again.
    FILE* f = fopen(sim.state().c_str(), "wb");
    fwrite(good.data(), 1, good.size(), f);
    fclose(f);
    ASSERT_TRUE(sim.start()) << sim.err();
    EXPECT_EQ(API_Video_GetBrightness(1), 77);
    EXPECT_EQ(sim.stop(), 0);
}

TEST(ApisimProcess, TraceGivesOneLinePerTransaction) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--no-state", "--trace"})) << sim.err();
    API_Video_SetBrightness(1, 200);
    API_Video_GetBrightness(1);
    API_WLAN_SetSSID(const_cast<char*>("net"));
    int list[26] = {};
    API_MOD_SetRecordList(0, 13, list);  // a header and two chunks
    Raw().exchange(999, "", 0, MSG_SIZE);
    ASSERT_EQ(sim.stop(), 0);
    const std::string out = sim.out();
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 1u + 3 + 3 + 1) << out;
    EXPECT_EQ(lines[1], "API_Video_SetBrightness(channel=1, Brightness=200) -> stored in VideoConfig[i].Brightness");
    EXPECT_EQ(lines[2], "API_Video_GetBrightness(channel=1) -> 200");
    EXPECT_EQ(lines[3], "API_WLAN_SetSSID(SSID=\"net\") -> stored in WlanConfigs.ssid");
    EXPECT_EQ(lines[4], "API_MOD_SetRecordList (header)(channel=0, RecordCount=13) -> RecordCount set");
    EXPECT_EQ(lines[6], "API_MOD_SetRecordList (chunk)(channel=0, index=12) -> 1 records stored");
    EXPECT_EQ(lines[7], "unknown command 999 -> empty reply");
}

TEST(ApisimProcess, OneInstanceFreesTheLockAndStopsOnSignals) {
    SimProcess first, second;
    const int lock = semget(SEM_API_KEY, 1, IPC_PERM_WORD);
    ASSERT_TRUE(first.start({"--no-state"})) << first.err();
    EXPECT_EQ(semctl(lock, 0, GETVAL), 1);
    EXPECT_FALSE(second.start({"--no-state"}));
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_NE(second.err().find("another instance"), std::string::npos) << second.err();
    API_Video_SetHue(0, 42);
    EXPECT_EQ(API_Video_GetHue(0), 42);  // the first still serves
    EXPECT_EQ(first.stop(SIGTERM), 0);
    // A stopped instance, even a killed one, lets the next start.
    ASSERT_TRUE(second.start({"--no-state"})) << second.err();
    EXPECT_EQ(second.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(first.start({"--no-state"})) << first.err();
    EXPECT_EQ(first.stop(SIGINT), 0);
}

}  // namespace
