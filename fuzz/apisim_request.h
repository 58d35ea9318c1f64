// One request of the fuzzer's bytes served by the stand-in daemon, shared by
// its targets: a fill byte, then up to 2018 payload bytes. Checked: the
// request (exactly 2018 bytes) is read within its bounds and not changed, and
// the reply stays within its 2018 bytes. The includer defines FUZZ_TARGET.
#pragma once

#include <string>

#include "fuzz_support.h"
#include "init_ipc.h"
#include "serve.h"

inline void serve_fuzzed_request(Input& in, apisim::Store& store, int command, std::string& line) {
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
