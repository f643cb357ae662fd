#include "base/json_quote.h"

#include <gtest/gtest.h>

#include <string>

namespace morvale {
namespace {

TEST(JsonQuote, EscapesQuotesBackslashSlashAndControlsOnly) {
    struct Case {
        std::string text;
        std::string quoted;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"Walk_01", R"("Walk_01")"},
        {"a\"b\\c/d", R"("a\"b\\c\/d")"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
        {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
        {"\x7f \xC3\xA9 \xFF", "\"\x7f \xC3\xA9 \xFF\""},  // DEL and every byte above it pass through
    };
    for (const Case& c : cases) {
        EXPECT_EQ(jsonQuoted(c.text), c.quoted);
        std::string out = "[";
        appendJSONQuoted(out, c.text);
        EXPECT_EQ(out, "[" + c.quoted);
    }
}

}  // namespace
}  // namespace morvale
