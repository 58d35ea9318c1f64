// apisim against the real library: every setting kept over every kind of end,
// record lists, bad and hostile requests, the shared record, the lock and
// queues, the whole-device actions (its command line and trace: control_e2e).
// test_support's main has put this program in a private IPC namespace.
#include <signal.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
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
template <class... P>
int invoke(int (*fn)(P...), const intptr_t* a) {
    return [&]<size_t... I>(std::index_sequence<I...>) { return fn(arg_as<P>(a[I])...); }(std::index_sequence_for<P...>{});
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
    void SetUp() override { ASSERT_TRUE(sim.start({"--no-state", "--trace"})) << sim.err(); }
    void TearDown() override { EXPECT_EQ(sim.stop(), 0) << sim.err(); }
    SimProcess sim;
};

// ---- every get/set pair of the ordinary operations ----

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
        const Facts* g = op_facts::get_of(s);
        if (!g || g->rep == Rep::Ack || s.req_param[0] == op_facts::kRecordByValue) continue;
        const bool indexed = s.req == Req::ChanDec || s.req == Req::ChanBlock ||
                             ((s.req == Req::Bytes || s.req == Req::Format) && s.req_args == 2);
        pairs.push_back({&s, g, indexed});
    }
    return pairs;
}

// Sets the pair's entry to a value of its own for the draw: what its get
// must read back then, or "" when the set was not answered.
std::string set_drawn(const Pair& p, int index, int draw) {
    const Facts& s = *p.set;
    const bool wide = s.req != Req::Bytes && (p.get->rep == Rep::Int || p.get->rep == Rep::Decimal);
    const int32_t number = wide ? 1000 + draw * 7919 : 1 + (draw * 37) % 120;
    std::string text = "v" + std::to_string(draw), block(s.record_size, 0);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(draw + 3 * i);
    intptr_t a[8] = {};
    const int last = s.req_args - 1;
    if (p.indexed) a[s.req_param[0]] = index;
    if (s.req == Req::Str || s.req == Req::Copy) a[s.req_param[0]] = reinterpret_cast<intptr_t>(text.data());
    else if (s.req == Req::Block || s.req == Req::ChanBlock) a[s.req_param[last]] = reinterpret_cast<intptr_t>(block.data());
    else if (last >= 0) a[s.req_param[last]] = number;
    if (call(s, a) != s.ok) return "";
    switch (p.get->rep) {
    case Rep::Text: return text;
    case Rep::Block: return block;
    case Rep::Byte: return std::to_string(number & 0xff);
    case Rep::SByte: return std::to_string(static_cast<signed char>(number));
    default: return std::to_string(number);
    }
}

// The motion I/O values are camera-wide although their operations name a
// channel; 414 and 415 each answer to two pairs of names.
bool shares_its_field(const Pair& p) {
    static const std::vector<int> shared = {354, 356, 359, 361, 363, 365, 415};
    return std::find(shared.begin(), shared.end(), p.set->command) != shared.end();
}

// A password may hold the separator of the look-up's answer (apictl refuses
// one; the library does not). The hand-written pairs, the users' table and
// the other refusals are in control_e2e.expected.
TEST_F(Apisim, APasswordMayHoldTheSeparator) {
    EXPECT_EQ(API_USER_SetAddUser(2, const_cast<char*>("bob"), const_cast<char*>("pw:2")), 1);
    int level = -1;
    char pass[256];
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>("bob"), &level, pass), 0);
    EXPECT_STREQ(pass, "pw:2");
    EXPECT_EQ(level, 2);
}

TEST_F(Apisim, RecordLists) {
    for (auto [channel, count] : {std::pair{2, 25}, {2, 0}, {2, 4096}, {2, 12}, {2, 13}, {1, 1}}) {
        std::vector<int> list(2 * count + 2), back(2 * 4096 + 2, -7);
        for (size_t i = 0; i < list.size(); ++i) list[i] = static_cast<int>(i * 2654435761u) + channel;
        ASSERT_EQ(API_MOD_SetRecordList(channel, count, list.data()), 1);
        int got = -1;
        ASSERT_EQ(API_MOD_GetRecordList(channel, &got, back.data()), 1);
        ASSERT_EQ(got, count);
        EXPECT_EQ(0, memcmp(back.data(), list.data(), 8 * count)) << count;
        EXPECT_EQ(back[2 * count], -7);  // nothing past the list
    }
    int got = -1;
    EXPECT_EQ(API_MOD_GetRecordList(2, &got, std::vector<int>(8200).data()), 1);
    EXPECT_EQ(got, 13);  // channels keep their own lists
    const BUFFER_ENCODE_T* r = record();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->RecordCount[1], 1); EXPECT_EQ(r->RecordTime[1][0], 1);
    shmdt(r);
}

// ---- bad requests, sent raw ----

struct Raw {
    int control = msgget(MSG_CONTROL_KEY, IPC_PERM_WORD);
    int response = msgget(MSG_RESPONSE_KEY, IPC_PERM_WORD);
    // Sends `size` bytes after mtype; true when one whole reply came and no
    // other (a request never answered meets the tests' watchdog).
    bool exchange(int command, const void* payload, size_t payload_size, size_t size) {
        struct { long mtype; char body[4100]; } m{};
        m.mtype = MSG_TYPE_REQUEST;
        memcpy(m.body, &command, 4);
        memcpy(m.body + 4, payload, payload_size < sizeof m.body - 4 ? payload_size : sizeof m.body - 4);
        if (msgsnd(control, &m, size, 0) != 0) return false;
        const ssize_t got = msgrcv(response, &reply, MSG_SIZE, MSG_TYPE_REPLY, 0);
        usleep(100);
        MSGBUF extra;
        return got == MSG_SIZE && msgrcv(response, &extra, MSG_SIZE, 0, IPC_NOWAIT) < 0;
    }
    // The text of the last reply.
    std::string text() const { return std::string(reply.mtext, strnlen(reply.mtext, MSG_TEXT_SIZE)); }
    MSGBUF reply{};
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
    // A set for an entry that does not exist stores nothing anywhere.
    API_Video_SetBrightness(200, 9);
    API_GPIO_Set_Value(77, 1);
    API_Net_SetDNS(5, const_cast<char*>("x"));
    API_SET_POSITION(POSITION_T{16, 1, 2});  // one past the preset table
    EXPECT_EQ(API_Video_GetBrightness(200), 0);
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
    // The trace of the rest: control_e2e.expected.
    EXPECT_NE(sim.out().find("\nunknown command 999 -> empty reply\n"), std::string::npos);
    shmdt(r);
}

// ---- the process: state file, trace, instances, signals ----

// ---- what is kept, and what an end of the process takes with it ----

// A value of one setting as its get reads it back.
std::string read_back(const Pair& p, int index) {
    const Facts& g = *p.get;
    intptr_t a[8] = {};
    char buffer[2048] = {};
    if (p.indexed) a[g.req_param[0]] = index;
    if (g.out_param >= 0) a[g.out_param] = reinterpret_cast<intptr_t>(buffer);
    const int result = call(g, a);
    switch (g.rep) {
    case Rep::Text: return result == g.ok ? buffer : "(failed)";
    case Rep::Block: return result == 0 ? std::string(buffer, p.set->record_size) : "(failed)";
    default: return std::to_string(result);
    }
}

// One setting: its set of a drawn number's value (what its read-back must
// give then, or "" when the set was not answered) and its read-back.
struct Setting {
    std::string name;
    std::function<std::string(int draw)> set;
    std::function<std::string()> read;
};

std::vector<Setting> every_setting() {
    std::vector<Setting> all;
    static const std::vector<Pair> pairs = ordinary_pairs();
    for (const Pair& p : pairs) {
        if (shares_its_field(p)) continue;  // one setting's value would be another's
        for (int index : p.indexed ? std::vector<int>{1, 3} : std::vector<int>{0}) {
            all.push_back({std::string(p.set->name) + "[" + std::to_string(index) + "]",
                           [&p, index](int draw) { return set_drawn(p, index, draw); },
                           [&p, index] { return read_back(p, index); }});
        }
    }
    // Hand-written sets of one message each.
    auto join = [](std::initializer_list<int> v) {
        std::string s;
        for (int n : v) s += (s.empty() ? "" : ",") + std::to_string(n);
        return s;
    };
    all.push_back({"API_Video_SetQP[2]", [=](int d) { return API_Video_SetQP(2, d % 200, d % 100) == 1 ? join({d % 200, d % 100}) : ""; },
                   [=] { unsigned char i = 0, p = 0; API_Video_GetQP(2, &i, &p); return join({i, p}); }});
    all.push_back({"API_SET_POSITION[6]", [=](int d) { return API_SET_POSITION(POSITION_T{6, d, -d}) == 0 ? join({d, -d}) : ""; },
                   [=] { POSITION_T p{6, 0, 0}; API_GET_POSITION(&p); return join({p.A, p.B}); }});
    all.push_back({"API_EVENT_SetMotionRegion[2,9]",
                   [=](int d) { return API_EVENT_SetMotionRegion(2, 9, d, -d, 2, d + 3) == 1 ? join({d, -d, 2, d + 3}) : ""; },
                   [=] { int a, b, c, d; API_EVENT_GetMotionRegion(2, 9, &a, &b, &c, &d); return join({a, b, c, d}); }});
    all.push_back({"API_USER_Modify[6]",
                   [](int d) { return API_USER_Modify(6, d % 5, const_cast<char*>("crash"), std::to_string(d).data()) == 0 ? "crash:" + std::to_string(d) + ":" + std::to_string(d % 5) : ""; },
                   [] { int level = -1; char pw[256] = "", name[256] = ""; API_USER_GetUserInfoByID(6, &level, name, pw); return std::string(name) + ":" + pw + ":" + std::to_string(level); }});
    for (int n : {0, 1})  // each name server in an entry of its own
        all.push_back({"API_Net_SetDNS[" + std::to_string(n) + "]",
                       [n](int d) { std::string ip = "10.0." + std::to_string(n) + "." + std::to_string(d % 250); return API_Net_SetDNS(n, ip.data()) == 1 ? ip : ""; },
                       [n] { char b[256] = ""; API_Net_GetDNS(n, b); return std::string(b); }});
    return all;
}

// Every kind of end keeps every setting that was answered; a restart never
// brings an older value back over a newer one.
TEST(ApisimProcess, NothingAnsweredIsLostOnAnyEnd) {
    const std::vector<Setting> settings = every_setting();
    EXPECT_GE(settings.size(), 167u);
    SimProcess sim;
    int draw = 1;
    struct End {
        int signal;
        int status;
    };
    std::vector<std::string> want(settings.size());
    for (const End& e : {End{SIGKILL, 128 + SIGKILL}, End{SIGHUP, 0}, End{SIGINT, 0}, End{SIGKILL, 128 + SIGKILL}}) {
        ASSERT_TRUE(sim.start()) << sim.err();
        // Each setting a value of its own, so that a set that reaches another's field shows.
        for (size_t k = 0; k < settings.size() && draw > 1; ++k)
            ASSERT_EQ(settings[k].read(), want[k]) << settings[k].name << " after an end";
        ++draw;
        for (size_t k = 0; k < settings.size(); ++k) ASSERT_NE(want[k] = settings[k].set(draw + int(k)), "") << settings[k].name;
        ASSERT_EQ(sim.stop(e.signal), e.status) << sim.err();
    }
    // Whatever the killed instance left in the shared record is not read back:
    // the files are what counts.
    const int id = shmget(APISIM_STATE_KEY, sizeof(BUFFER_ENCODE_T), 0);
    ASSERT_GE(id, 0);
    auto* stale = static_cast<BUFFER_ENCODE_T*>(shmat(id, nullptr, 0));  // root may write it
    ASSERT_NE(stale, reinterpret_cast<BUFFER_ENCODE_T*>(-1));
    stale->VideoConfig[3].Brightness ^= 0x55;
    shmdt(stale);
    ASSERT_TRUE(sim.start()) << sim.err();
    for (size_t k = 0; k < settings.size(); ++k) EXPECT_EQ(settings[k].read(), want[k]) << settings[k].name;
    printf("%zu settings kept over four ends of apisim\n", settings.size());
    // The values live in the record's fields of the same names.
    const BUFFER_ENCODE_T* r = record();
    ASSERT_NE(r, nullptr);
    API_Video_SetBrightness(3, 201);
    API_WLAN_SetSSID(const_cast<char*>("desk-ssid"));
    int schedule[24] = {7, 8, 9};
    API_MOD_SetRecordSchedule(2, schedule);
    EXPECT_EQ(static_cast<unsigned char>(r->VideoConfig[3].Brightness), 201);
    EXPECT_STREQ(r->WlanConfigs.ssid, "desk-ssid");
    EXPECT_EQ(0, memcmp(r->StorageConfig.RecordSchedule[2], schedule, sizeof schedule));
    EXPECT_STREQ(r->UserConfigs.entry[6].name, "crash");
    shmdt(r);
    EXPECT_EQ(sim.stop(), 0);
}

// A change that cannot be written or flushed is not answered: apisim ends
// with an error, and what it had answered is all there after a restart. The
// journal's write or flush fails through an interposer once a file exists.
TEST(ApisimProcess, AChangeThatCannotBeKeptEndsItUnansweredAndLosesNothing) {
    for (const char* call : {"pwrite", "fdatasync"}) {
        SCOPED_TRACE(call);
        SimProcess sim;
        const std::string trigger = sim.dir() + "/fail-now";
        const char* asan = getenv("ASAN_OPTIONS");  // the sanitizer build: preloaded before its runtime
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
        setenv("LD_PRELOAD", IO_FAULT_PATH, 1);
        setenv("IO_FAULT_CALL", call, 1);
        setenv("IO_FAULT_FILE", trigger.c_str(), 1);
        const bool started = sim.start();
        unsetenv("LD_PRELOAD");
        ASSERT_TRUE(started) << sim.err();
        ASSERT_EQ(API_VELDA_SetOSDText(const_cast<char*>("answered")), 1);
        FILE* f = fopen(trigger.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
        sim.expect_end();
        struct sigaction sa {}, old{};
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, &old);
        alarm(1);  // the unanswered call would wait for ever
        EXPECT_NE(API_VELDA_SetOSDText(const_cast<char*>("not kept")), 1);
        alarm(0);
        sigaction(SIGALRM, &old, nullptr);
        EXPECT_EQ(sim.wait_exit(), 1);
        EXPECT_NE(sim.err().find("the request stays unanswered"), std::string::npos) << sim.err();
        ASSERT_TRUE(sim.start()) << sim.err();
        char back[256] = "";
        EXPECT_EQ(API_VELDA_GetOSDText(back), 0);
        EXPECT_STREQ(back, "answered");
        EXPECT_EQ(sim.stop(), 0) << sim.err();
    }
}

// ---- the shared record: written by apisim alone, checked when read ----

TEST(ApisimProcess, TheSharedRecordIsWritableByApisimAlone) {
    // Left behind open to all, as earlier stand-ins made it, and full of junk.
    shmctl(shmget(APISIM_STATE_KEY, 0, 0), IPC_RMID, nullptr);
    const int old = shmget(APISIM_STATE_KEY, sizeof(BUFFER_ENCODE_T), IPC_CREAT | IPC_EXCL | 0666);
    ASSERT_GE(old, 0) << strerror(errno);
    auto* junk = static_cast<BUFFER_ENCODE_T*>(shmat(old, nullptr, 0));
    memset(junk, 0xff, sizeof *junk);
    semctl(semget(SEM_API_KEY, 1, 0), 0, IPC_RMID);  // the API lock too: made anew, and free once it serves
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--no-state"})) << sim.err();
    EXPECT_EQ(semctl(semget(SEM_API_KEY, 1, 0), 0, GETVAL), 1);
    EXPECT_NE(sim.err().find("replaced the shared record found at key 1688"), std::string::npos) << sim.err();
    EXPECT_EQ(junk->VideoConfig[0].Brightness, -1);  // the old one is no longer served
    shmdt(junk);
    const int id = shmget(APISIM_STATE_KEY, 0, 0);
    ASSERT_GE(id, 0);
    EXPECT_NE(id, old);
    shmid_ds ds;
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0644u);
    EXPECT_EQ(ds.shm_perm.cuid, geteuid());
    // So another user reads it and cannot write it; the provider maps it read-only.
    EXPECT_EQ(API_Video_GetBrightness(0), 128);
    EXPECT_EQ(sim.stop(), 0);
    // A segment of its own from an earlier run is used again, so that
    // programs that mapped it keep seeing the served record.
    ASSERT_TRUE(sim.start({"--no-state"})) << sim.err();
    EXPECT_EQ(shmget(APISIM_STATE_KEY, 0, 0), id);
    EXPECT_EQ(sim.err().find("replaced"), std::string::npos) << sim.err();
    EXPECT_EQ(sim.stop(), 0);
}

// Counts read from the record are checked before they index it (root can
// still write the record; so could a damaged state file).
TEST_F(Apisim, HostileRecordCountsAreCheckedBeforeUse) {
    int list[4] = {1, 2, 3, 4};
    ASSERT_EQ(API_MOD_SetRecordList(3, 2, list), 1);
    const int id = shmget(APISIM_STATE_KEY, 0, 0);
    auto* r = static_cast<BUFFER_ENCODE_T*>(shmat(id, nullptr, 0));
    ASSERT_NE(r, reinterpret_cast<BUFFER_ENCODE_T*>(-1));
    Raw raw;
    const unsigned char request[8] = {3, 0, 0, 0, 0, 0, 0, 0x10};
    for (int32_t count : {0x7fffffff, -5, 4097, INT32_MIN}) {
        r->RecordCount[3] = count;
        EXPECT_TRUE(raw.exchange(258, request, sizeof request, MSG_SIZE)) << count;  // a chunk read
        EXPECT_TRUE(raw.exchange(257, request, sizeof request, MSG_SIZE)) << count;  // a chunk write
        EXPECT_TRUE(raw.exchange(260, request, sizeof request, MSG_SIZE)) << count;  // the count
        int32_t answered;
        memcpy(&answered, raw.reply.mtext, 4);
        EXPECT_EQ(answered, 0) << count;
    }
    EXPECT_NE(sim.err().find("RecordCount[3] holds 2147483647, outside 0..4096: read as 0"), std::string::npos)
        << sim.err();
    r->RecordCount[3] = 2;
    int back[4] = {}, got = -1;
    EXPECT_EQ(API_MOD_GetRecordList(3, &got, back), 1);
    EXPECT_EQ(got, 2);
    EXPECT_EQ(back[3], 4);
    // User names without their NUL are compared within their field.
    memset(r->UserConfigs.entry[1].name, 'n', sizeof r->UserConfigs.entry[1].name);
    memset(r->UserConfigs.entry[1].password, 'p', sizeof r->UserConfigs.entry[1].password);
    const std::string long_name(200, 'n');
    int level;
    char pass[256];
    EXPECT_EQ(API_USER_GetUserInfoByName(const_cast<char*>(long_name.c_str()), &level, pass), 0);
    EXPECT_STREQ(pass, "");
    // The answer is cut to the library's 255 bytes: read it raw.
    const std::string whole = long_name.substr(0, 128);
    ASSERT_TRUE(raw.exchange(217, whole.c_str(), whole.size() + 1, MSG_SIZE));
    EXPECT_EQ(raw.text(), std::string(127, 'n') + ":" + std::string(127, 'p') + ":0");
    shmdt(r);
}

// ---- the lock and queues, removed under a running apisim ----

TEST_F(Apisim, TheLockAndQueuesRemovedUnderItComeBack) {
    int hue = 10;
    // Removed: the API lock (1), the control queue (2), the response queue (4), all three.
    for (int removed : {1, 2, 4, 7}) {
        if (removed & 1) semctl(semget(SEM_API_KEY, 1, 0), 0, IPC_RMID);
        if (removed & 2) msgctl(msgget(MSG_CONTROL_KEY, 0), IPC_RMID, nullptr);
        if (removed & 4) msgctl(msgget(MSG_RESPONSE_KEY, 0), IPC_RMID, nullptr);
        // The library makes what is missing, the lock at 0; apisim frees it
        // (a call that never returns meets the watchdog).
        EXPECT_EQ(API_Video_SetHue(1, static_cast<unsigned char>(++hue)), 1) << removed;
        EXPECT_EQ(API_Video_GetHue(1), hue) << removed;
        EXPECT_EQ(semctl(semget(SEM_API_KEY, 1, 0), 0, GETVAL), 1) << removed;
    }
    const std::string err = sim.err();
    EXPECT_NE(err.find("the API lock was found at 0 with nobody holding it: set to 1"), std::string::npos) << err;
    EXPECT_NE(err.find("the control queue was removed: made anew"), std::string::npos) << err;
    EXPECT_NE(err.find("the response queue was removed: made anew"), std::string::npos) << err;
    // A lock held by a live caller, of another user too, is left alone.
    const int lock = semget(SEM_API_KEY, 1, 0);
    int taken[2], done[2];
    ASSERT_EQ(pipe(taken), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        sembuf take{0, -1, 0}, give{0, 1, 0};
        char go;
        if (setgid(65534) != 0 || setuid(65534) != 0 || semop(lock, &take, 1) != 0) _exit(1);
        if (write(taken[1], "t", 1) != 1 || read(done[0], &go, 1) != 1) _exit(1);
        _exit(semop(lock, &give, 1) == 0 ? 0 : 1);
    }
    close(taken[1]);
    char byte;
    ASSERT_EQ(read(taken[0], &byte, 1), 1);
    usleep(500 * 1000);  // apisim's watch looks twice and more meanwhile
    EXPECT_EQ(semctl(lock, 0, GETVAL), 0);
    ASSERT_EQ(write(done[1], "g", 1), 1);
    int status;
    waitpid(holder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(semctl(lock, 0, GETVAL), 1);
    for (int fd : {taken[0], done[0], done[1]}) close(fd);
}

// ---- whole-device actions ----

TEST(ApisimProcess, SystemActionsDoWhatTheyPromise) {
    SimProcess sim;
    ASSERT_TRUE(sim.start()) << sim.err();
    const pid_t pid = sim.pid();
    // Default: the factory settings; Restore: the same, but the network
    // settings stay (what both keep beside: state_file_test's Store).
    struct Reset {
        int (*call)();
        const char* ip;
    };
    char ip[256];
    for (const Reset& reset : {Reset{API_System_Default, "192.168.1.100"}, Reset{API_System_Restore, "10.2.2.2"}}) {
        API_Video_SetBrightness(0, 7);
        API_Net_SetNetConfig(const_cast<char*>("10.2.2.2"), const_cast<char*>("255.0.0.0"), const_cast<char*>("10.2.2.1"));
        EXPECT_EQ(reset.call(), 1);
        EXPECT_EQ(API_Video_GetBrightness(0), 128);
        EXPECT_EQ(API_Net_GetFixIP(ip), 0);
        EXPECT_STREQ(ip, reset.ip);
    }

    // Boot: the kept settings stay, the live values go, the process stays.
    API_Video_SetBrightness(0, 7);
    API_MOD_SetRecordMotionTrig(1);
    const unsigned char channel = 0;
    ASSERT_TRUE(Raw().exchange(17, &channel, 1, MSG_SIZE));  // a snapshot
    const BUFFER_ENCODE_T* r = record();
    ASSERT_NE(r, nullptr);
    EXPECT_GT(r->JPGSnapLen, 0);
    EXPECT_EQ(r->RecordTrigger[1], 2);
    EXPECT_EQ(API_System_Boot(), 1);
    EXPECT_EQ(r->JPGSnapLen, 0);
    EXPECT_EQ(r->RecordTrigger[1], 0);
    EXPECT_EQ(API_Video_GetBrightness(0), 7);
    EXPECT_EQ(sim.pid(), pid);
    EXPECT_TRUE(sim.running());
    EXPECT_EQ(sim.err().find("differed"), std::string::npos) << sim.err();

    // SyncFlash: the journal folded into the state file.
    API_Video_SetContrast(0, 3);
    struct stat before, after;
    ASSERT_EQ(stat((sim.state() + ".journal").c_str(), &before), 0);
    EXPECT_EQ(API_System_SyncFlash(), 1);
    ASSERT_EQ(stat((sim.state() + ".journal").c_str(), &after), 0);
    EXPECT_GT(before.st_size, 40);
    EXPECT_EQ(after.st_size, 40);  // its header alone
    ASSERT_EQ(sim.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(sim.start()) << sim.err();
    EXPECT_EQ(API_Video_GetContrast(0), 3);

    // Update: the named file must exist with the given length.
    const std::string image = sim.dir() + "/fw,1.bin";  // a comma in the name
    FILE* f = fopen(image.c_str(), "wb");
    fwrite(std::string(512, 'f').data(), 1, 512, f);
    fclose(f);
    const std::pair<std::string, const char*> updates[] = {  // request, answer
        {image + ",512", "ok"},
        {image + ",511", "error"},
        {image + ",-512", "error"},
        {image + ",512x", "error"},
        {image, "error"},                    // "fw,1.bin": no such file
        {sim.dir() + ",0", "error"},         // a folder
        {sim.dir() + "/none,0", "error"},
        {",0", "error"},
    };
    Raw raw;
    for (const auto& [request, answer] : updates) {
        EXPECT_TRUE(raw.exchange(144, request.c_str(), request.size() + 1, MSG_SIZE));
        EXPECT_EQ(raw.text(), answer) << request;
    }
    EXPECT_EQ(API_System_Update(const_cast<char*>(image.c_str()), 512), 1);
    EXPECT_NE(sim.err().find("of 512 bytes accepted"), std::string::npos) << sim.err();
    shmdt(r);
    EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
