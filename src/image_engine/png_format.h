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

// The largest file that can hold an image whose filtered rows (a filter byte and the packed samples
// of each row) take `rawBytes`: those rows stored without compression, with the overhead of
// deflate's stored blocks and of IDAT chunks down to about 1 KiB each, plus up to 64 MiB of colour
// profiles, text and EXIF. A larger file is no image of that size, whatever it holds after the header.
inline constexpr std::uint64_t maxLegalFileBytes(std::uint64_t rawBytes) {
    return rawBytes + rawBytes / 64 + (std::uint64_t{64} << 20);
}

// Bytes of the filtered rows of an image: per row one filter byte and the packed samples.
inline constexpr std::uint64_t filteredRowBytes(std::uint64_t width, std::uint64_t height, std::uint64_t bitsPerPixel) {
    return (width * bitsPerPixel + 7) / 8 * height + height;
}

// Chunk types are four ASCII letters; anything else is not a PNG chunk at all.
inline bool isChunkType(const std::uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t c = p[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

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
