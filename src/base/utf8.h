#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 as file names and settings meet it: any bytes at all. Decoding is lenient: each byte that
// does not start a well-formed sequence (overlong forms, surrogates and values past U+10FFFF
// included) stands for U+FFFD on its own, so the next valid character is never swallowed.
namespace morvale::utf8 {

constexpr char32_t replacementCharacter = 0xFFFD;

struct Decoded {
    char32_t codePoint;
    std::size_t length;  // bytes consumed, at least 1
    bool valid;
};

// The character starting at text[offset]; offset must be below text.size().
Decoded decodeAt(std::string_view text, std::size_t offset);

bool isValid(std::string_view text);
void append(std::string& out, char32_t codePoint);
// Every ill-formed byte replaced by U+FFFD.
std::string sanitized(std::string_view text);

template <typename Sink>
void forEachCodePoint(std::string_view text, Sink&& sink) {
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = decodeAt(text, i);
        sink(d.codePoint);
        i += d.length;
    }
}

}  // namespace morvale::utf8
