#pragma once

// Synthetic animation frames for the sprite-sheet tests.

#include <cstdint>
#include <random>

#include "image_engine/rgba_image.h"

namespace morvale::test {

// A w × h canvas, transparent, with an opaque block of bw × bh at (bx, by) whose pixels are all
// different (so a misplaced or turned copy shows), seeded by `seed`.
inline RGBAImage patternFrame(int w, int h, int bx, int by, int bw, int bh, unsigned seed) {
    RGBAImage image(w, h);
    std::mt19937 rng(seed);
    for (int y = by; y < by + bh; ++y) {
        for (int x = bx; x < bx + bw; ++x) {
            const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                                    static_cast<std::size_t>(x)) * 4;
            for (int c = 0; c < 3; ++c) image.pixels[at + static_cast<std::size_t>(c)] =
                static_cast<std::uint8_t>(rng());
            image.pixels[at + 3] = static_cast<std::uint8_t>(1 + rng() % 255);
        }
    }
    return image;
}

inline RGBAImage opaqueFrame(int w, int h, unsigned seed) {
    return patternFrame(w, h, 0, 0, w, h, seed);
}

inline const std::uint8_t* pixelAt(const std::vector<std::uint8_t>& bytes, int width, int x,
                                   int y) {
    return bytes.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                           static_cast<std::size_t>(x)) * 4;
}

}  // namespace morvale::test
