#pragma once

namespace morvale {

// A raster's size in whole pixels.
struct PixelSize {
    int width = 0;
    int height = 0;

    bool operator==(const PixelSize&) const = default;
};

}  // namespace morvale
