// The credential splitter on any text: "name:password:level", the name up to
// the first ':', the password up to the last, only the first 255 bytes read.
// Name and password buffers of exactly the documented 256 bytes; a null
// argument writes nothing.
#define FUZZ_TARGET "authslim"

#include "api_arch.h"
#include "fuzz_support.h"

const char* const* fuzz_names() {
    static const char* names[] = {"AuthSlim", nullptr};
    return names;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t nulls = in.u8();
    Guarded text;
    text.reset(in.left() + 1);
    const size_t len = in.bytes(text.data(), in.left());
    text.data()[len] = 0;
    const size_t text_len = strlen(text.chars());
    Guarded name(256), pass(256), level_buf(sizeof(int));
    const char* orgin = nulls == 1 ? nullptr : text.chars();
    char* n = nulls == 2 ? nullptr : name.chars();
    char* p = nulls == 3 ? nullptr : pass.chars();
    int* level = nulls == 4 ? nullptr : reinterpret_cast<int*>(level_buf.data());
    AuthSlim(orgin, n, p, level);
    FUZZ_CHECK(name.guard_intact() && pass.guard_intact() && level_buf.guard_intact(),
               "written past a buffer", "");
    FUZZ_CHECK(text.guard_intact() && strlen(text.chars()) == text_len, "input changed", "");
    if (!orgin || !n || !p || !level) {
        FUZZ_CHECK(name.untouched() && pass.untouched() && level_buf.untouched(),
                   "null argument, yet outputs written", "");
        return 0;
    }
    // What the rule gives, on the first 255 bytes.
    char work[256];
    const size_t wlen = text_len < 255 ? text_len : 255;
    memcpy(work, text.chars(), wlen);
    work[wlen] = 0;
    const char* first = strchr(work, ':');
    const char* last = strrchr(work, ':');
    const size_t nlen = first ? static_cast<size_t>(first - work) : 0;
    const size_t plen = first && last > first ? static_cast<size_t>(last - first - 1) : 0;
    FUZZ_CHECK(strlen(n) == nlen && memcmp(n, work, nlen) == 0 && name.untouched_from(nlen + 1),
               "wrong name", "");
    FUZZ_CHECK(strlen(p) == plen && (!plen || memcmp(p, first + 1, plen) == 0) && pass.untouched_from(plen + 1),
               "wrong password", "");
    FUZZ_CHECK(*level == (first ? atoi(last + 1) : 0), "wrong level", "");
    return 0;
}
