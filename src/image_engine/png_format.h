#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Byte-level pieces of the PNG container shared by the writer and the reader (internal to the
// image engine).
namespace morvale::png_format {

inline constexpr std::array<std::uint8_t, 8> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// Chunk lengths are limited to 2^31 - 1 by the format.
inline constexpr std::uint32_t maxChunkLength = 0x7fffffffu;

inline std::uint32_t readBE32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

inline void writeBE32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

inline bool isType(const std::uint8_t* p, std::string_view type) {
    return p[0] == static_cast<std::uint8_t>(type[0]) && p[1] == static_cast<std::uint8_t>(type[1]) &&
           p[2] == static_cast<std::uint8_t>(type[2]) && p[3] == static_cast<std::uint8_t>(type[3]);
}

// The predictor of filter type 4, as the format defines it.
inline std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    const int p = int{a} + int{b} - int{c};
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

}  // namespace morvale::png_format
