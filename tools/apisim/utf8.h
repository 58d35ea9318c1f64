// The length of one valid UTF-8 sequence, shared by the monitor's JSON and the
// mail headers, which must tell UTF-8 from other bytes alike.
#pragma once

#include <stddef.h>

namespace apisim {

// The length of the valid UTF-8 sequence at p (at most `left` bytes, left > 0):
// 1 for ASCII, 2 to 4 for a whole multi-byte character, 0 when p starts none
// (overlong forms and surrogates included).
inline size_t utf8_sequence(const unsigned char* p, size_t left) {
    const unsigned char c = p[0];
    size_t n;
    unsigned min;
    if (c < 0x80) return 1;
    if (c >= 0xc2 && c <= 0xdf) n = 2, min = 0x80;
    else if (c >= 0xe0 && c <= 0xef) n = 3, min = 0x800;
    else if (c >= 0xf0 && c <= 0xf4) n = 4, min = 0x10000;
    else return 0;
    if (left < n) return 0;
    unsigned cp = c & (0xff >> (n + 1));
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xc0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return n;
}

inline bool valid_utf8(const char* s, size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    for (size_t i = 0; i < n;) {
        const size_t k = utf8_sequence(p + i, n - i);
        if (!k) return false;
        i += k;
    }
    return true;
}

}  // namespace apisim
