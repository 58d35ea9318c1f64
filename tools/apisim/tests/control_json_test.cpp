// The control channel's JSON strings: valid UTF-8 passes unchanged, every
// other byte comes out as \udcXX, so that the exact bytes can be recovered
// (a modules' event may carry any text a server sent).
#include <gtest/gtest.h>

#include <string>

#include "control.h"

namespace apisim {
void note(const char*, ...) {}  // control.cpp's only need of the rest of apisim
}  // namespace apisim

namespace {

struct Case {
    const char* what;
    std::string bytes;
    std::string json;
};

TEST(ControlJson, ValidTextPassesInvalidBytesAreEscaped) {
    const Case cases[] = {
        {"plain", "Kamera 1", "\"Kamera 1\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"control characters", std::string("\n\t\x01\x7f", 4), "\"\\u000a\\u0009\\u0001\\u007f\""},
        {"NUL", std::string("a\0b", 3), "\"a\\u0000b\""},
        {"two, three and four bytes", "S\xc3\xbc" "d \xe2\x9c\x93 \xf0\x9f\x93\xb7", "\"S\xc3\xbc" "d \xe2\x9c\x93 \xf0\x9f\x93\xb7\""},
        {"Latin-1 byte", "S\xfc" "d", "\"S\\udcfcd\""},
        {"lone continuation", "\x80", "\"\\udc80\""},
        {"overlong slash", "\xc0\xaf", "\"\\udcc0\\udcaf\""},
        {"overlong three bytes", "\xe0\x80\xaf", "\"\\udce0\\udc80\\udcaf\""},
        {"encoded surrogate", "\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},
        {"cut at the end", "ok\xe2\x9c", "\"ok\\udce2\\udc9c\""},
        {"cut before ASCII", "\xe2\x9c" "a", "\"\\udce2\\udc9ca\""},
        {"largest code point", "\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
    };
    for (const Case& c : cases) EXPECT_EQ(apisim::control::json_string(c.bytes), c.json) << c.what;
}

}  // namespace
