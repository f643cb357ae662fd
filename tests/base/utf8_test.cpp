#include "base/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace morvale {
namespace {

constexpr char32_t R = utf8::replacementCharacter;

TEST(Utf8, DecodesWellFormedTextAndReplacesEachBadByteOnItsOwn) {
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<char32_t> codePoints;
    };
    const Case cases[] = {
        {"ascii", "Az", {U'A', U'z'}},
        {"two to four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", {0xE9, 0x20AC, 0x1F600}},
        {"highest scalar", "\xF4\x8F\xBF\xBF", {0x10FFFF}},
        {"overlong two-byte NUL", std::string("\xC0\x80", 2), {R, R}},
        {"overlong three-byte slash", "\xE0\x80\xAF", {R, R, R}},
        {"overlong four-byte", "\xF0\x8F\xBF\xBF", {R, R, R, R}},
        {"surrogate", "\xED\xA0\x80", {R, R, R}},
        {"past U+10FFFF", "\xF4\x90\x80\x80", {R, R, R, R}},
        {"never a lead byte", "\xF5\xFF", {R, R}},
        {"lone continuation", "\x80" "a", {R, U'a'}},
        {"truncated at the end", "a\xE2\x82", {U'a', R, R}},
        {"truncated before a letter keeps the letter", "\xE2\x82" "b", {R, R, U'b'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char32_t> decoded;
        utf8::forEachCodePoint(c.bytes, [&](char32_t cp) { decoded.push_back(cp); });
        EXPECT_EQ(decoded, c.codePoints);

        std::string encoded;
        for (char32_t cp : c.codePoints) utf8::append(encoded, cp);
        const bool wellFormed = std::find(c.codePoints.begin(), c.codePoints.end(), R) == c.codePoints.end();
        EXPECT_EQ(utf8::isValid(c.bytes), wellFormed);
        EXPECT_EQ(utf8::sanitized(c.bytes), encoded);
        if (wellFormed) {
            EXPECT_EQ(encoded, c.bytes);
        }
    }
}

}  // namespace
}  // namespace morvale
