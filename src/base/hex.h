#pragma once

#include <string>
#include <string_view>

namespace morvale {

// The value of one hexadecimal digit of either case, or -1 for any other character.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr char hexDigit(unsigned value, bool upper = false) {
    return (upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 0xF];
}

// Two digits per byte, high nibble first.
inline std::string hexEncoded(std::string_view bytes, bool upper = false) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char b : bytes) {
        const auto v = static_cast<unsigned char>(b);
        out += hexDigit(v >> 4, upper);
        out += hexDigit(v, upper);
    }
    return out;
}

}  // namespace morvale
