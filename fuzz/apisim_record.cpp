// The stand-in daemon's request handling (tools/apisim) on any requests, over
// its default record or a hostile one: the record and the extras are first
// overwritten where the input says (counts, indexes, texts without their NUL,
// anything; or nowhere), as a writer of the shared memory or of a state file
// could, then up to eight requests are served, each a command (mostly ones it
// serves), a fill byte and up to 2018 payload bytes. Checked, beyond the
// sanitizers: the request (exactly 2018 bytes) is read within its bounds and
// not changed, the reply stays within its 2018 bytes, nothing is read or
// written outside the record (an allocation of its exact size), and every
// byte that a request changes lies in a range it marked to be kept (what is
// not marked would be lost at the next start).
#define FUZZ_TARGET "apisim_record"

#include <stdio.h>

#include <vector>

#include "fuzz_support.h"
#include "init_ipc.h"
#include "op_facts.h"
#include "serve.h"
#include "store.h"

const char* const* fuzz_names() {
    static const char* names[] = {nullptr};  // the daemon's, not the library's
    return names;
}

namespace {

using apisim::kImageSize;

// Where a hostile writer does the most harm: counts, indexes and texts that
// requests read.
const uint32_t kTargets[] = {
    offsetof(BUFFER_ENCODE_T, RecordCount),
    offsetof(BUFFER_ENCODE_T, RecordTime),
    offsetof(BUFFER_ENCODE_T, UserConfigs),
    offsetof(BUFFER_ENCODE_T, UserConfigs) + 2 * sizeof(USER_ENTRY_T),
    offsetof(BUFFER_ENCODE_T, Pos),
    offsetof(BUFFER_ENCODE_T, VideoConfig),
    offsetof(BUFFER_ENCODE_T, NetConfigs),
    offsetof(BUFFER_ENCODE_T, WlanConfigs),
    offsetof(BUFFER_ENCODE_T, DnsConfig),
    offsetof(BUFFER_ENCODE_T, EventChannelConfigs),
    offsetof(BUFFER_ENCODE_T, VeldaConfigs),
    offsetof(BUFFER_ENCODE_T, JPGSnapLen),
    offsetof(BUFFER_ENCODE_T, total_http_sessions),
    offsetof(BUFFER_ENCODE_T, NewAddcfg),
    offsetof(BUFFER_ENCODE_T, multi_config),
    offsetof(BUFFER_ENCODE_T, MultiCamInfo),
    apisim::kRecordSize,  // the extras
};

// The hand-written commands, which read the record most.
const int kCustom[] = {8, 23, 27, 30, 33, 123, 140, 141, 142, 143, 144, 158, 159, 178, 179,
                       214, 215, 216, 217, 218, 219, 257, 258, 259, 260, 261, 330, 331, 394, 395};

BUFFER_ENCODE_T* record() {
    static Guarded g(sizeof(BUFFER_ENCODE_T));
    return reinterpret_cast<BUFFER_ENCODE_T*>(g.data());
}

void overwrite(Input& in, apisim::Store& s) {
    const uint8_t fill = in.u8();
    if (fill & 1) {  // everything at once: no NUL anywhere, or all ones
        const unsigned char b = fill & 2 ? 'A' : 0xFF;
        memset(s.rec, b, sizeof *s.rec);
        memset(&s.extra, b, sizeof s.extra);
    }
    const int patches = in.u8() % 16;
    for (int k = 0; k < patches; ++k) {
        const uint8_t where = in.u8();
        uint32_t offset = where < 0xE0 ? kTargets[where % (sizeof kTargets / sizeof kTargets[0])] + in.u16() % 4096
                                       : in.u32();
        offset %= kImageSize;
        uint32_t length = static_cast<uint32_t>(in.length(256));
        if (length > kImageSize - offset) length = kImageSize - offset;
        unsigned char bytes[256];
        memset(bytes, in.u8(), sizeof bytes);
        in.bytes(bytes, length);
        s.write_image(offset, bytes, length);
    }
}

void serve_fuzzed_request(Input& in, apisim::Store& store, int command, std::string& line) {
    const uint8_t fill = in.u8();
    Guarded request(MSG_TEXT_SIZE), reply(MSG_TEXT_SIZE);
    memset(request.data(), fill & 0x80 ? 'A' : 0, MSG_TEXT_SIZE);
    in.bytes(request.data(), in.length(MSG_TEXT_SIZE));
    unsigned char sent[MSG_TEXT_SIZE];
    memcpy(sent, request.data(), sizeof sent);
    memset(reply.data(), 0, MSG_TEXT_SIZE);
    apisim::handle(store, command, request.chars(), reply.chars(), line);
    FUZZ_CHECK(memcmp(sent, request.data(), sizeof sent) == 0 && request.guard_intact(), "request changed", line.c_str());
    FUZZ_CHECK(reply.guard_intact(), "reply written past its 2018 bytes", line.c_str());
}

// The image before a request, to find what it changed.
std::vector<unsigned char>& shadow() {
    static std::vector<unsigned char> image(kImageSize);
    return image;
}

bool marked(const apisim::Changes& c, uint32_t at) {
    for (int k = 0; k < c.count; ++k)
        if (at >= c.span[k].offset && at - c.span[k].offset < c.span[k].length) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    static apisim::Store store;
    store.rec = record();
    apisim::set_defaults(store);
    overwrite(in, store);
    std::string line;
    // The image as it was before each request, kept up to date block by block.
    std::vector<unsigned char>& before = shadow();
    store.read_image(0, before.data(), kImageSize);
    unsigned char now[4096];
    for (int n = 0; n < 8 && !in.empty(); ++n) {
        const uint16_t pick = in.u16();
        int command = pick & 0x8000 ? kCustom[pick % (sizeof kCustom / sizeof kCustom[0])]
                      : pick & 0x4000 ? pick % 600
                                      : op_facts::kOps[pick % op_facts::kOpCount].command;
        if (command == 17 && !(pick & 0x2000)) command = 393;  // the JPEG encoder only now and then
        store.changed.clear();
        serve_fuzzed_request(in, store, command, line);
        for (uint32_t at = 0; at < kImageSize; at += sizeof now) {
            const uint32_t n = kImageSize - at < sizeof now ? kImageSize - at : sizeof now;
            store.read_image(at, now, n);
            if (memcmp(&before[at], now, n) == 0) continue;
            for (uint32_t i = 0; i < n; ++i)
                FUZZ_CHECK(before[at + i] == now[i] || marked(store.changed, at + i), "a change that would not be kept", line.c_str());
            memcpy(&before[at], now, n);
        }
        store.action = apisim::Action::None;  // carried out by the serving loop, not here
    }
    return 0;
}
