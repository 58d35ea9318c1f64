// Time-zone conversions: number to TZ text into a buffer of exactly the
// documented 10 bytes, and TZ text (any length) to number, also against a
// zone table that the program has rewritten (the table is writable and read
// as it stands). A text to convert is never written to.
#define FUZZ_TARGET "timezone"

#include <stdio.h>

#include "api_arch.h"
#include "fuzz_support.h"

const char* const* fuzz_names() {
    static const char* names[] = {"sntp_timezone", "zoneList", nullptr};
    return names;
}

namespace {
const char* original[70];

// The zone a number names: 1..38 itself, everything else GMT (16).
int zone_of(int number) { return number >= 1 && number <= 38 ? number : 16; }
// The first '+' becomes '-', or else the first '-' becomes '+'.
void flip(char* text) {
    char* sign = strchr(text, '+');
    if (sign) *sign = '-';
    else if ((sign = strchr(text, '-'))) *sign = '+';
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool saved = (memcpy(original, zoneList, sizeof original), true);
    (void)saved;
    Input in(data, size);
    const uint8_t mode = in.u8();
    if (mode < 0x80) {  // number to text, then back
        const int number = in.number();
        Guarded out(10);
        FUZZ_CHECK(sntp_timezone(number, out.chars(), 0) == 0, "number to text failed", "");
        FUZZ_CHECK(out.guard_intact(), "written past the 10-byte buffer", "");
        const size_t len = strnlen(out.chars(), 10);
        FUZZ_CHECK(len < 10 && out.untouched_from(len + 1), "TZ text not terminated in 10 bytes", "");
        // The label's leading word with its sign flipped.
        const char* label = original[zone_of(number) - 1];
        char word[16] = {};
        memcpy(word, label, strcspn(label, " "));
        flip(word);
        FUZZ_CHECK(strcmp(out.chars(), word) == 0, "TZ text not from the zone's label", "");
        FUZZ_CHECK(sntp_timezone(0, out.chars(), 1) == zone_of(number), "TZ text does not map back", "");
        return 0;
    }
    // Text to number, sometimes with entries of the table replaced.
    Guarded labels[4];
    const int replaced = mode & 3;
    for (int i = 0; i < replaced; ++i) {
        const int at = in.u8() % 70;
        zoneList[at] = in.u8() == 0xFF ? nullptr : fuzz_text(in, labels[i], 200);
    }
    Guarded text;
    char* t = in.u8() == 0xFF ? nullptr : (text.reset(in.left() + 1), text.chars());
    size_t len = 0;
    if (t) {
        len = in.bytes(t, in.left());
        t[len] = 0;
        len = strlen(t);
    }
    Guarded before;
    if (t) before.set_text(t, len);
    const int r = sntp_timezone(in.number(), t, 1);
    memcpy(zoneList, original, sizeof original);
    if (!t) return FUZZ_CHECK(r == -1, "null text accepted", ""), 0;
    FUZZ_CHECK(memcmp(t, before.data(), len + 1) == 0 && text.guard_intact(), "text to convert changed", "");
    FUZZ_CHECK(r >= 0 && r <= 38, "zone number out of range", "");
    if (!replaced && r > 0) {  // a match is a prefix of the zone's label, sign flipped
        char flipped[64];
        FUZZ_CHECK(len < sizeof flipped, "text of 64 or more matched", "");
        memcpy(flipped, t, len + 1);
        flip(flipped);
        FUZZ_CHECK(strncmp(zoneList[r - 1], flipped, len) == 0, "match is not a prefix of its label", "");
    }
    return 0;
}
