#include "base/utf8.h"

namespace morvale::utf8 {

Decoded decodeAt(std::string_view text, std::size_t offset) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const unsigned char c = s[offset];
    if (c < 0x80) return {c, 1, true};
    std::size_t length = 0;
    if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c >= 0xE0 && c <= 0xEF) length = 3;
    else if (c >= 0xF0 && c <= 0xF4) length = 4;
    if (length == 0 || offset + length > n) return {replacementCharacter, 1, false};
    char32_t value = c & (0xFFu >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = s[offset + k];
        if ((next & 0xC0) != 0x80) return {replacementCharacter, 1, false};
        value = (value << 6) | (next & 0x3Fu);
    }
    const char32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return {replacementCharacter, 1, false};
    return {value, length, true};
}

bool isValid(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = decodeAt(text, i);
        if (!d.valid) return false;
        i += d.length;
    }
    return true;
}

void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string sanitized(std::string_view text) {
    if (isValid(text)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 8);
    forEachCodePoint(text, [&](char32_t cp) { append(out, cp); });
    return out;
}

}  // namespace morvale::utf8
