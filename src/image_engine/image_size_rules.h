#pragma once

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "image_engine/pixel_size.h"

// Size arithmetic shared by the texture tools (internal to the image engine).
namespace morvale::image_size_rules {

// Rounded half away from zero; throws std::invalid_argument for NaN or infinity and
// std::out_of_range beyond int.
inline int roundHalfAwayFromZero(double value) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument("Image size is not a number.");
    }
    const double rounded = std::round(value);  // std::round rounds halves away from zero
    if (rounded > 2147483647.0 || rounded < -2147483648.0) {
        throw std::out_of_range("Image size is out of range.");
    }
    return static_cast<int>(rounded);
}

// One side scaled by limit / longest, rounded half away from zero, at least 1. Exact integer
// arithmetic, so the longer side lands on the limit itself (1122 at most 1024 gives 1024).
inline int scaledSide(int side, int longest, int limit) {
    if (side == longest) {
        return limit;
    }
    const std::int64_t numerator = std::int64_t{side} * limit;
    const std::int64_t rounded = (2 * numerator + longest) / (2 * std::int64_t{longest});
    return rounded < 1 ? 1 : static_cast<int>(rounded);
}

// The size fitted within `limit` on its longer side; unchanged when it already fits.
inline PixelSize fitWithin(PixelSize size, int limit) {
    if (limit < 1) {
        throw std::invalid_argument("Size limit must be at least 1 pixel.");
    }
    if (size.width < 1 || size.height < 1) {
        throw std::invalid_argument("Image has no pixels.");
    }
    const int longest = size.width > size.height ? size.width : size.height;
    if (longest <= limit) {
        return size;
    }
    return {scaledSide(size.width, longest, limit), scaledSide(size.height, longest, limit)};
}

// The size fitted within `limit` on its longer side with each side scaled by limit / longest and
// rounded down, at least 1; unchanged when it already fits. Exact integer arithmetic: the longer
// side lands on the limit (1122 at most 1024 gives 1024) and a short side is never rounded up
// (5 at 1024 / 2000 gives 2, not 3).
inline PixelSize fitWithinRoundingDown(PixelSize size, int limit) {
    if (limit < 1) {
        throw std::invalid_argument("Size limit must be at least 1 pixel.");
    }
    if (size.width < 1 || size.height < 1) {
        throw std::invalid_argument("Image has no pixels.");
    }
    const int longest = size.width > size.height ? size.width : size.height;
    if (longest <= limit) {
        return size;
    }
    auto side = [&](int value) {
        const std::int64_t scaled = std::int64_t{value} * limit / longest;
        return scaled < 1 ? 1 : static_cast<int>(scaled);
    };
    return {side(size.width), side(size.height)};
}

}  // namespace morvale::image_size_rules
