// The state file and its journal, on bytes and on disk: what a crash at any
// byte of a write leaves is read back as everything acknowledged before it;
// damage, foreign and mismatched files are refused; the change marks cover
// what they should.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "state_file.h"
#include "store.h"

namespace {

using apisim::Store;
using Bytes = std::vector<unsigned char>;

// A store on a record of its own (1 MiB, so on the heap).
struct OwnStore {
    std::unique_ptr<BUFFER_ENCODE_T> record{new BUFFER_ENCODE_T()};
    Store s;
    OwnStore() {
        s.rec = record.get();
        apisim::set_defaults(s);
        s.changed.clear();
    }
    Bytes image() const {
        Bytes b(apisim::kImageSize);
        s.read_image(0, b.data(), apisim::kImageSize);
        return b;
    }
};

// A journal of generation 5 with one record per change, and the image after each.
struct Journal {
    Bytes bytes;
    std::vector<size_t> ends;   // where each record ends
    std::vector<Bytes> images;  // the image after each record (images[0]: before any)
};

Journal build_journal(OwnStore& st, int records) {
    Journal j;
    apisim::journal_header(5, j.bytes);
    j.ends.push_back(j.bytes.size());
    j.images.push_back(st.image());
    for (int k = 0; k < records; ++k) {
        Store& s = st.s;
        s.rec->VideoConfig[k % 4].Brightness = 10 + k;
        s.mark(&s.rec->VideoConfig[k % 4].Brightness, 4);
        snprintf(s.extra.zone, sizeof s.extra.zone, "GMT+%02d:00", k);
        s.mark(s.extra.zone, sizeof s.extra.zone);
        s.rec->RecordTime[1][k] = k * 7;
        s.mark(&s.rec->RecordTime[1][k], 4);
        apisim::journal_record(s, j.bytes);
        s.changed.clear();
        j.ends.push_back(j.bytes.size());
        j.images.push_back(st.image());
    }
    return j;
}

// A journal replayed into a store of its own.
struct Replayed {
    OwnStore into;
    apisim::Replay r;
    std::string why;
    bool ok = false;
};
Replayed replay(const Bytes& journal, uint64_t generation) {
    Replayed out;
    out.ok = apisim::replay_journal(journal.data(), journal.size(), generation, out.into.s, out.r, out.why);
    return out;
}

TEST(Journal, ACutAtAnyByteKeepsEveryWholeRecordAndDropsTheRest) {
    OwnStore writer;
    const Journal j = build_journal(writer, 3);
    int cuts = 0;
    for (size_t cut = j.ends[0]; cut <= j.bytes.size(); ++cut) {
        for (const bool zero_tail : {false, true}) {
            // A power loss may also leave the file at full length with the
            // unwritten part reading as zeros.
            Bytes file(j.bytes.begin(), j.bytes.begin() + cut);
            if (zero_tail) file.resize(j.bytes.size(), 0);
            // The records whose bytes all made it are whole (a record that
            // ends in zeros is whole under a zero tail); the next one is not.
            size_t whole = 0;
            while (whole + 1 < j.ends.size() && j.ends[whole + 1] <= file.size() &&
                   std::equal(j.bytes.begin(), j.bytes.begin() + j.ends[whole + 1], file.begin()))
                ++whole;
            const Replayed got = replay(file, 5);
            ASSERT_TRUE(got.ok) << "cut at " << cut << ": " << got.why;
            ASSERT_EQ(got.r.records, whole) << "cut at " << cut;
            ASSERT_EQ(got.r.torn_bytes, file.size() - j.ends[whole]) << "cut at " << cut;
            ASSERT_TRUE(got.into.image() == j.images[whole]) << "cut at " << cut;
            ++cuts;
        }
    }
    printf("%d cuts of a 3-record journal read back\n", cuts);
}

TEST(Journal, DamageBeforeTheLastRecordIsRefusedNotSkipped) {
    OwnStore writer;
    const Journal j = build_journal(writer, 3);
    for (size_t at : {j.ends[0] + 3, j.ends[0] + 20, j.ends[1] + 17}) {
        Bytes file = j.bytes;
        file[at] ^= 0x40;
        const Replayed got = replay(file, 5);
        EXPECT_FALSE(got.ok) << at;
        EXPECT_NE(got.why.find("damaged"), std::string::npos) << got.why;
    }
    // The same damage in the last record is an unfinished write.
    Bytes file = j.bytes;
    file[j.ends[2] + 20] ^= 0x40;
    const Replayed got = replay(file, 5);
    EXPECT_TRUE(got.ok) << got.why;
    EXPECT_EQ(got.r.records, 2u);
}

TEST(Journal, GenerationsAndHeaders) {
    OwnStore writer;
    const Journal j = build_journal(writer, 2);
    // Older than the state file: already folded into it.
    const Replayed older = replay(j.bytes, 6);
    EXPECT_TRUE(older.ok && older.r.stale);
    EXPECT_TRUE(older.into.image() == j.images[0]);
    // Newer: the state file beside it is not the one it continues.
    const Replayed newer = replay(j.bytes, 4);
    EXPECT_FALSE(newer.ok);
    EXPECT_NE(newer.why.find("generation 5"), std::string::npos) << newer.why;
    struct Bad {
        size_t at;
        const char* message;
    };
    for (const Bad& b : {Bad{0, "not an apisim journal"}, Bad{8, "another version"}, Bad{16, "header damaged"},
                         Bad{24, "header damaged"}}) {
        Bytes file = j.bytes;
        file[b.at] ^= 1;
        const Replayed got = replay(file, 5);
        EXPECT_FALSE(got.ok) << b.at;
        EXPECT_NE(got.why.find(b.message), std::string::npos) << b.at << ": " << got.why;
    }
    EXPECT_FALSE(replay(Bytes(j.bytes.begin(), j.bytes.begin() + 39), 5).ok);
}

// A record whose checksum is right but whose spans reach outside the image,
// or do not fill it exactly, is refused before it is applied.
TEST(Journal, RecordsThatDoNotAddUpAreRefused) {
    auto record = [](std::vector<std::pair<uint32_t, uint32_t>> spans, uint32_t body, uint32_t declared) {
        Bytes out;
        apisim::journal_header(1, out);
        Bytes payload;
        for (auto [offset, length] : spans) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(&offset);
            payload.insert(payload.end(), p, p + 4);
            p = reinterpret_cast<const unsigned char*>(&length);
            payload.insert(payload.end(), p, p + 4);
        }
        payload.resize(body, 0xEE);
        auto fnv = [](const unsigned char* p, size_t n) {
            uint64_t h = 14695981039346656037ull;
            for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
            return h;
        };
        struct {
            uint32_t body_size, spans;
            uint64_t body_sum, header_sum;
        } head{body, declared, fnv(payload.data(), payload.size()), 0};
        head.header_sum = fnv(reinterpret_cast<const unsigned char*>(&head), 16);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&head);
        out.insert(out.end(), p, p + sizeof head);
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    };
    const uint32_t end = apisim::kImageSize;
    struct Case {
        const char* what;
        Bytes file;
        bool ok;
    };
    const Case cases[] = {
        {"last byte of the image", record({{end - 1, 1}}, 9, 1), true},
        {"one past the image", record({{end, 1}}, 9, 1), false},
        {"offset wraps", record({{0xFFFFFFFF, 2}}, 10, 1), false},
        {"length past the body", record({{0, 100}}, 20, 1), false},
        {"more spans than the body holds", record({{0, 1}}, 9, 3), false},
        {"bytes left over", record({{0, 1}}, 12, 1), false},
        {"no spans", record({}, 0, 0), true},
    };
    for (const Case& c : cases) {
        const Replayed got = replay(c.file, 1);
        EXPECT_EQ(got.ok, c.ok) << c.what << ": " << got.why;
    }
}

// A file of the first version (without the generation) still loads; the
// refusals are trust_e2e's, the round trip every restart's.
TEST(StateFile, TheFirstVersionLoads) {
    OwnStore st;
    st.s.rec->VideoConfig[2].Hue = 77;
    strcpy(st.s.extra.inner_pwd, "secret");
    Bytes file;
    apisim::state_bytes(st.s, 9, file);
    Bytes v1(file.begin(), file.begin() + 32);
    v1[8] = 1;
    v1[12] = 32;
    uint64_t sum = 14695981039346656037ull;  // FNV-1a over the image alone
    for (size_t i = 40; i < file.size(); ++i) sum = (sum ^ file[i]) * 1099511628211ull;
    memcpy(&v1[24], &sum, 8);
    v1.insert(v1.end(), file.begin() + 40, file.end());
    OwnStore old;
    uint64_t generation = 5;
    std::string why;
    ASSERT_TRUE(apisim::parse_state(v1.data(), v1.size(), old.s, generation, why)) << why;
    EXPECT_EQ(generation, 0u);
    EXPECT_TRUE(old.image() == st.image());
}

// ---- on disk ----

struct Folder {
    std::string path;
    Folder() {
        char name[] = "/tmp/apisim-state-XXXXXX";
        path = mkdtemp(name);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string file() const { return path + "/apisim.state"; }
};

Bytes slurp(const std::string& path) {
    Bytes b;
    bool missing;
    std::string why;
    apisim::read_file(path, 1 << 26, b, missing, why);
    return b;
}

void spill(const std::string& path, const Bytes& b) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

TEST(Keeper, CommitsAndCompactsOnALargeChange) {
    Folder dir;
    OwnStore st;
    bool fresh;
    std::string report, why;
    apisim::Keeper k;
    ASSERT_TRUE(k.open(dir.file().c_str(), st.s, fresh, report, why)) << why;
    EXPECT_TRUE(fresh);
    EXPECT_EQ(k.generation(), 1u);
    for (int i = 0; i < 50; ++i) {
        st.s.rec->VideoConfig[1].Contrast = i;
        st.s.mark(&st.s.rec->VideoConfig[1].Contrast, 4);
        ASSERT_TRUE(k.commit(st.s, why)) << why;
        EXPECT_EQ(st.s.changed.count, 0);
    }
    // A large change rewrites the state file instead of growing the journal.
    const uint64_t journal = k.journal_bytes();
    memset(st.s.rec->RecordTime, 9, sizeof st.s.rec->RecordTime);
    st.s.mark(st.s.rec->RecordTime, sizeof st.s.rec->RecordTime);
    ASSERT_TRUE(k.commit(st.s, why)) << why;
    EXPECT_EQ(k.generation(), 2u);
    EXPECT_LT(k.journal_bytes(), journal);
}  // what a restart reads back, after any kind of end: apisim_test's

TEST(Keeper, LeftoversOfACrashDuringCompaction) {
    Folder dir;
    OwnStore st;
    bool fresh;
    std::string report, why;
    apisim::Keeper k;
    ASSERT_TRUE(k.open(dir.file().c_str(), st.s, fresh, report, why)) << why;
    st.s.rec->PtzConfigs.speed = 3;
    st.s.mark(&st.s.rec->PtzConfigs.speed, 4);
    ASSERT_TRUE(k.commit(st.s, why));
    const Bytes old_journal = slurp(dir.file() + ".journal");
    // The state file of the next generation was renamed into place, the new
    // journal not yet: the old journal is already in the file.
    ASSERT_TRUE(k.compact(st.s, why));
    spill(dir.file() + ".journal", old_journal);
    spill(dir.file() + ".journal.tmp", Bytes(17, 1));  // a temporary file cut short
    OwnStore back;
    apisim::Keeper again;
    ASSERT_TRUE(again.open(dir.file().c_str(), back.s, fresh, report, why)) << why;
    EXPECT_NE(report.find("already folded in"), std::string::npos) << report;
    EXPECT_EQ(back.s.rec->PtzConfigs.speed, 3);
    // Without its state file a journal is set aside: the user removed the file to start afresh.
    unlink(dir.file().c_str());
    OwnStore anew;
    apisim::Keeper third;
    ASSERT_TRUE(third.open(dir.file().c_str(), anew.s, fresh, report, why)) << why;
    EXPECT_TRUE(fresh);
    EXPECT_EQ(anew.s.rec->PtzConfigs.speed, 5);
}

// ---- the factory table and the change marks ----

TEST(Store, FactorySettingsAndWhatTheResetsKeep) {
    OwnStore st;
    BUFFER_ENCODE_T& r = *st.s.rec;
    EXPECT_EQ(r.VideoConfig[3].Brightness, 128);
    EXPECT_STREQ(r.UserConfigs.entry[0].name, "admin");
    EXPECT_EQ(r.UserConfigs.entry[0].level, 3);
    EXPECT_STREQ(st.s.extra.zone, "GMT+00:00");
    for (size_t k = 0; k < apisim::kFactoryCount; ++k)
        for (int i = 0; i < (apisim::kFactory[k].count ? apisim::kFactory[k].count : 1); ++i)
            EXPECT_NE(apisim::kFactory[k].at(st.s, i).kind, apisim::Field::None) << apisim::kFactory[k].field;

    auto scribble = [&] {
        r.VideoConfig[0].Hue = 1;
        strcpy(r.NetConfigs.ipaddr, "10.9.9.9");
        strcpy(r.WlanConfigs.ssid, "mine");
        strcpy(r.DnsConfig.dns[1], "10.0.0.53");
        strcpy(r.UserConfigs.entry[4].name, "eve");
        r.RecordCount[2] = 3;
        r.RecordTime[2][5] = 55;
        r.StorageSD.SdSize = 4096;
        strcpy(st.s.extra.zone, "GMT+05:00");
    };
    scribble();
    apisim::restore_factory(st.s, true);
    EXPECT_EQ(r.VideoConfig[0].Hue, 128);
    EXPECT_STREQ(st.s.extra.zone, "GMT+00:00");
    EXPECT_STREQ(r.UserConfigs.entry[4].name, "");
    EXPECT_STREQ(r.NetConfigs.ipaddr, "10.9.9.9");
    EXPECT_STREQ(r.WlanConfigs.ssid, "mine");
    EXPECT_STREQ(r.DnsConfig.dns[1], "10.0.0.53");
    EXPECT_EQ(r.RecordTime[2][5], 55);
    EXPECT_EQ(r.StorageSD.SdSize, 4096);
    EXPECT_EQ(st.s.changed.bytes(), apisim::kImageSize);
    scribble();
    apisim::restore_factory(st.s, false);
    EXPECT_STREQ(r.NetConfigs.ipaddr, "192.168.1.100");
    EXPECT_STREQ(r.WlanConfigs.ssid, "");
    EXPECT_EQ(r.RecordCount[2], 3);
    EXPECT_EQ(r.StorageSD.SdSize, 4096);
}

// Counts out of range: apisim_test's hostile records; channels out of range here.
TEST(Store, RecordCountsOfNoChannelReadAsNothing) {
    OwnStore st;
    bool damaged;
    st.s.rec->RecordCount[3] = 7;
    EXPECT_EQ(apisim::record_count(*st.s.rec, 3, &damaged), 7);
    EXPECT_EQ(apisim::record_count(*st.s.rec, 4, &damaged), 0);
    EXPECT_EQ(apisim::record_count(*st.s.rec, -1, &damaged), 0);
}

TEST(Store, ChangeMarksMergeAndNeverLoseARange) {
    apisim::Changes c;
    c.add(100, 10);
    c.add(110, 5);  // touching: one range
    c.add(50, 10);
    c.add(55, 60);  // bridges both
    ASSERT_EQ(c.count, 1);
    EXPECT_EQ(c.span[0].offset, 50u);
    EXPECT_EQ(c.span[0].length, 65u);
    c.clear();
    for (uint32_t i = 0; i < apisim::Changes::kMax + 3; ++i) c.add(1000 * i, 4);
    // Past the limit the ranges collapse into one that covers them all.
    uint32_t lo = UINT32_MAX, hi = 0;
    for (int k = 0; k < c.count; ++k) {
        lo = std::min(lo, c.span[k].offset);
        hi = std::max(hi, c.span[k].offset + c.span[k].length);
    }
    EXPECT_EQ(lo, 0u);
    EXPECT_EQ(hi, 1000u * (apisim::Changes::kMax + 2) + 4);
    // A mark in the extras lands after the record.
    OwnStore st;
    st.s.changed.clear();
    st.s.mark(st.s.extra.inner_user, 8);
    ASSERT_EQ(st.s.changed.count, 1);
    EXPECT_EQ(st.s.changed.span[0].offset, apisim::kRecordSize + offsetof(apisim::Extras, inner_user));
}

}  // namespace
