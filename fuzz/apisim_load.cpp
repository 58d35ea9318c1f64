// The stand-in daemon's state file and journal readers (tools/apisim) on any
// files: a state file and a journal, each either the fuzzer's bytes as they
// are or one written by the stand-in's own writers from the fuzzer's changes
// and then cut or flipped. Checked: nothing is read or written outside the
// files and the record (an allocation of its exact size); a refused state
// file leaves the store untouched; an untouched pair of files reads back the
// very image that was written.
#define FUZZ_TARGET "apisim_load"

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "state_file.h"
#include "store.h"

const char* const* fuzz_names() {
    static const char* names[] = {nullptr};  // the daemon's, not the library's
    return names;
}

namespace {

using Bytes = std::vector<unsigned char>;

struct GuardedStore {
    Guarded record{sizeof(BUFFER_ENCODE_T)};
    apisim::Store s;
    GuardedStore() {
        s.rec = reinterpret_cast<BUFFER_ENCODE_T*>(record.data());
        memset(record.data(), 0, sizeof(BUFFER_ENCODE_T));
        memset(&s.extra, 0, sizeof s.extra);
    }
    bool same_image(const GuardedStore& other) const {
        return memcmp(s.rec, other.s.rec, sizeof *s.rec) == 0 && memcmp(&s.extra, &other.s.extra, sizeof s.extra) == 0;
    }
    // Every byte of the image is `b`.
    bool all(unsigned char b) const {
        static unsigned char pattern[sizeof(apisim::Extras)];
        memset(pattern, b, sizeof pattern);
        for (size_t at = 0; at < sizeof *s.rec; at += sizeof pattern) {
            const size_t n = sizeof *s.rec - at < sizeof pattern ? sizeof *s.rec - at : sizeof pattern;
            if (memcmp(reinterpret_cast<const unsigned char*>(s.rec) + at, pattern, n) != 0) return false;
        }
        return memcmp(&s.extra, pattern, sizeof s.extra) == 0;
    }
};

// A few changes anywhere in the image, marked as the daemon marks them.
void scribble(Input& in, apisim::Store& s) {
    const int changes = in.u8() % 6;
    for (int k = 0; k < changes; ++k) {
        const uint32_t offset = in.u32() % apisim::kImageSize;
        uint32_t length = static_cast<uint32_t>(in.length(4096));
        if (length > apisim::kImageSize - offset) length = apisim::kImageSize - offset;
        Bytes b(length + 1, in.u8());  // never empty: no null data() to copy into
        in.bytes(b.data(), length);
        s.write_image(offset, b.data(), length);
        s.changed.add(offset, length);
    }
}

// Cuts the file short, flips a byte or appends junk, as the input says.
void damage(Input& in, Bytes& file) {
    const uint8_t how = in.u8();
    if (file.empty()) return;
    if (how & 1) file.resize(in.u32() % (file.size() + 1));
    if ((how & 2) && !file.empty()) file[in.u32() % file.size()] ^= static_cast<unsigned char>(1 + in.u8() % 255);
    if (how & 4) file.resize(file.size() + in.length(64), (how & 8) ? 0 : in.u8());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t mode = in.u8();
    static GuardedStore writer, reader;  // each 1 MiB: made once
    apisim::set_defaults(writer.s);
    writer.s.changed.clear();
    const uint64_t generation = in.u16();
    const bool intact = !(mode & 0x0C);

    // The files; kept between runs, as large allocations cost the sanitizer most.
    static Bytes state, journal;
    state.clear();
    journal.clear();

    // The state file: raw bytes, or the writer's with a header field changed.
    if (mode & 1) {
        state.resize(in.length(200) + 1);
        state.resize(in.bytes(state.data(), state.size() - 1));
    } else {
        scribble(in, writer.s);
        writer.s.changed.clear();
        apisim::state_bytes(writer.s, generation, state);
        if (mode & 4) state[in.u8() % 40] ^= static_cast<unsigned char>(1 + in.u8() % 255);
        if (mode & 8) damage(in, state);
    }

    // The journal: raw bytes after a right header, or the writer's records.
    const uint64_t journal_generation = generation + (mode & 0x10 ? static_cast<int8_t>(in.u8()) % 2 : 0);
    apisim::journal_header(journal_generation, journal);
    if (mode & 0x20) {
        Bytes rest(in.length(4096) + 1);
        rest.resize(in.bytes(rest.data(), rest.size() - 1));
        journal.insert(journal.end(), rest.begin(), rest.end());
    } else {
        const int records = in.u8() % 5;
        for (int k = 0; k < records; ++k) {
            scribble(in, writer.s);
            apisim::journal_record(writer.s, journal);
            writer.s.changed.clear();
        }
        if (mode & 0x40) damage(in, journal);
    }

    // Read back as the daemon does at start.
    memset(reader.record.data(), 0x5A, sizeof(BUFFER_ENCODE_T));
    memset(&reader.s.extra, 0x5A, sizeof reader.s.extra);
    uint64_t read_generation = 0;
    std::string why;
    const bool loaded = apisim::parse_state(state.data(), state.size(), reader.s, read_generation, why);
    FUZZ_CHECK(loaded || reader.all(0x5A), "a refused state file changed the store", why.c_str());
    FUZZ_CHECK(!(intact && !(mode & 1)) || loaded, "a state file as written was refused", why.c_str());
    if (!loaded) return 0;
    FUZZ_CHECK(read_generation == generation || (mode & 1), "the generation changed", "");
    apisim::Replay replay;
    const bool replayed = apisim::replay_journal(journal.data(), journal.size(), read_generation, reader.s, replay, why);
    const bool journal_intact = !(mode & 0x70);
    if (intact && journal_intact && !(mode & 1)) {
        FUZZ_CHECK(replayed && !replay.stale && replay.torn_bytes == 0, "a journal as written was refused", why.c_str());
        FUZZ_CHECK(reader.same_image(writer), "the journal did not give back the image written", "");
    }
    return 0;
}
