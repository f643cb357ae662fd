#include "base/ascii.h"
#include "base/hex.h"

#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <string>

namespace morvale {
namespace {

// The classes agree with the C library's in the "C" locale, for every byte value.
TEST(Ascii, ClassesAndCaseMatchTheCLocaleForEveryByte) {
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        const char c = static_cast<char>(b);
        EXPECT_EQ(ascii::isAlpha(c), std::isalpha(b) != 0);
        EXPECT_EQ(ascii::isDigit(c), std::isdigit(b) != 0);
        EXPECT_EQ(ascii::isAlnum(c), std::isalnum(b) != 0);
        EXPECT_EQ(ascii::isSpace(c), std::isspace(b) != 0);
        EXPECT_EQ(ascii::isUpper(c), std::isupper(b) != 0);
        EXPECT_EQ(ascii::isLower(c), std::islower(b) != 0);
        EXPECT_EQ(static_cast<unsigned char>(ascii::toLower(c)), std::tolower(b));
        EXPECT_EQ(static_cast<unsigned char>(ascii::toUpper(c)), std::toupper(b));
    }
}

TEST(Ascii, TextHelpersLeaveBytesAboveAsciiAlone) {
    EXPECT_EQ(ascii::lowered("Walk_\xC3\x89T\xC3\xA9.PNG"), "walk_\xC3\x89t\xC3\xA9.png");
    EXPECT_EQ(ascii::uppered("Walk_\xC3\xA9.png"), "WALK_\xC3\xA9.PNG");

    struct Pair {
        const char* a;
        const char* b;
        bool equal;
        bool endsWith;  // a ends with b
    };
    const Pair pairs[] = {
        {"Rock_AO.PNG", "rock_ao.png", true, true},
        {"Rock_AO.png", "_ao.PNG", false, true},
        {"\xC3\x89", "\xC3\xA9", false, false},  // É and é differ: only ASCII folds
        {"ao", "rock_ao", false, false},
        {"", "", true, true},
    };
    for (const Pair& p : pairs) {
        SCOPED_TRACE(std::string(p.a) + " / " + p.b);
        EXPECT_EQ(ascii::equalsIgnoringCase(p.a, p.b), p.equal);
        EXPECT_EQ(ascii::endsWithIgnoringCase(p.a, p.b), p.endsWith);
    }

    EXPECT_EQ(ascii::trimmed(" \t\n\v\f\r x y \r\n"), "x y");
    EXPECT_EQ(ascii::trimmed(" \t "), "");
    EXPECT_EQ(ascii::trimmed("\xC2\xA0x"), "\xC2\xA0x");  // no-break space is not ASCII space
}

TEST(Hex, DigitsBothWaysInEitherCase) {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const int expected = std::isxdigit(b) ? std::stoi(std::string(1, c), nullptr, 16) : -1;
        EXPECT_EQ(hexDigitValue(c), expected) << b;
    }
    EXPECT_EQ(hexEncoded(std::string("\x00\x7f\xAB\xff", 4)), "007fabff");
    EXPECT_EQ(hexEncoded("\xC3\xA9", true), "C3A9");
}

}  // namespace
}  // namespace morvale
