// The stand-in daemon's request handling (tools/apisim) on any requests: a
// run of up to eight commands, mostly ones it serves, with any payload, one
// after the other on the same store. Checked: the request (exactly 2018
// bytes) is read within its bounds and not changed, the reply stays within
// its 2018 bytes, and the store's record is written only inside itself.
#define FUZZ_TARGET "apisim"

#include <stdio.h>

#include "apisim_request.h"
#include "op_facts.h"
#include "store.h"

const char* const* fuzz_names() {
    static const char* names[] = {nullptr};  // the daemon's, not the library's
    return names;
}

namespace {
BUFFER_ENCODE_T* record() {
    static Guarded g(sizeof(BUFFER_ENCODE_T));
    return reinterpret_cast<BUFFER_ENCODE_T*>(g.data());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    static apisim::Store store;
    store.rec = record();
    memset(&store.extra, 0, sizeof store.extra);
    apisim::set_defaults(store);
    std::string line;
    for (int n = 0; n < 8 && !in.empty(); ++n) {
        const uint16_t pick = in.u16();
        int command = pick & 0x8000 ? pick % 600 : op_facts::kOps[pick % op_facts::kOpCount].command;
        if (command == 17 && !(pick & 0x4000)) command = 393;  // the JPEG encoder only now and then
        serve_fuzzed_request(in, store, command, line);
    }
    return 0;
}
