#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "image_engine/max_rects_packer.h"

namespace morvale {

// One animation frame as a plain 8-bit RGBA raster: rows from the top, each pixel R, G, B, A,
// straight (not premultiplied) alpha, no gaps between rows.
struct RGBAImage {
    // Frames and pages larger than this are refused before anything is allocated.
    static constexpr int maxSide = 16384;
    static constexpr std::int64_t maxPixels = std::int64_t{1} << 28;

    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;

    RGBAImage() = default;
    // A transparent raster; throws std::length_error when the size is outside the caps.
    RGBAImage(int w, int h);
    // Takes over existing bytes; throws std::invalid_argument when their count is not w × h × 4.
    RGBAImage(int w, int h, std::vector<std::uint8_t> bytes);

    // True when the size is at least 1 × 1 and within the caps.
    static bool sizeAllowed(std::int64_t w, std::int64_t h);

    // Loads image 0 of a file, upright, at a scale (sides rounded half away from zero, at
    // least 1). Throws when the file cannot be read or decoded, or is or would become too large.
    static RGBAImage load(const std::filesystem::path& file, double scale);

    // The smallest rectangle holding every pixel whose alpha is not 0; nothing when there is none.
    std::optional<PackRect> opaqueBounds() const;
    // A copy of a whole-pixel rectangle that lies inside the image.
    RGBAImage cropped(const PackRect& rect) const;
    // A quarter turn clockwise: the old top-left pixel lands at the top-right corner.
    RGBAImage rotatedClockwise() const;
    // The inverse of rotatedClockwise.
    RGBAImage rotatedCounterClockwise() const;

    bool operator==(const RGBAImage&) const = default;
};

}  // namespace morvale
