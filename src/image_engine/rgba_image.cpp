#include "image_engine/rgba_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "image_engine/image_loader.h"
#include "image_engine/lanczos_resampler.h"

namespace morvale {

bool RGBAImage::sizeAllowed(std::int64_t w, std::int64_t h) {
    return w >= 1 && h >= 1 && w <= maxSide && h <= maxSide && w * h <= maxPixels;
}

RGBAImage::RGBAImage(int w, int h) : width(w), height(h) {
    if (!sizeAllowed(w, h)) throw std::length_error("Image size outside the supported range.");
    pixels.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0);
}

RGBAImage::RGBAImage(int w, int h, std::vector<std::uint8_t> bytes)
    : width(w), height(h), pixels(std::move(bytes)) {
    if (w < 0 || h < 0 ||
        pixels.size() != static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4) {
        throw std::invalid_argument("RGBA byte count does not match the image size.");
    }
}

RGBAImage RGBAImage::load(const std::filesystem::path& file, double scale) {
    if (!std::isfinite(scale) || scale <= 0) {
        throw std::invalid_argument("The frame scale must be a positive number.");
    }
    PackedTexture decoded = ImageLoader::loadRGBA8(file);
    if (scale != 1.0) {
        const double w = std::max(1.0, std::round(decoded.width * scale));
        const double h = std::max(1.0, std::round(decoded.height * scale));
        if (!sizeAllowed(static_cast<std::int64_t>(std::min(w, 1e9)),
                         static_cast<std::int64_t>(std::min(h, 1e9)))) {
            throw std::length_error("The scaled frame would be too large.");
        }
        decoded = LanczosResampler::resample(decoded, static_cast<int>(w), static_cast<int>(h));
    }
    return RGBAImage(decoded.width, decoded.height, std::move(decoded.rgba));
}

std::optional<PackRect> RGBAImage::opaqueBounds() const {
    int minX = width;
    int minY = height;
    int maxX = -1;
    int maxY = -1;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = pixels.data() + static_cast<std::size_t>(y) * rowBytes;
        int first = -1;
        for (int x = 0; x < width; ++x) {
            if (row[static_cast<std::size_t>(x) * 4 + 3] != 0) {
                first = x;
                break;
            }
        }
        if (first < 0) continue;
        int last = first;
        for (int x = width - 1; x > first; --x) {
            if (row[static_cast<std::size_t>(x) * 4 + 3] != 0) {
                last = x;
                break;
            }
        }
        minX = std::min(minX, first);
        maxX = std::max(maxX, last);
        minY = std::min(minY, y);
        maxY = y;
    }
    if (maxX < 0) return std::nullopt;
    return PackRect{static_cast<double>(minX), static_cast<double>(minY),
                    static_cast<double>(maxX - minX + 1), static_cast<double>(maxY - minY + 1)};
}

RGBAImage RGBAImage::cropped(const PackRect& rect) const {
    const int x = static_cast<int>(rect.x);
    const int y = static_cast<int>(rect.y);
    const int w = static_cast<int>(rect.width);
    const int h = static_cast<int>(rect.height);
    if (x < 0 || y < 0 || w < 1 || h < 1 || x + w > width || y + h > height) {
        throw std::out_of_range("Crop rectangle outside the image.");
    }
    RGBAImage out(w, h);
    const std::size_t srcRow = static_cast<std::size_t>(width) * 4;
    const std::size_t dstRow = static_cast<std::size_t>(w) * 4;
    for (int i = 0; i < h; ++i) {
        std::memcpy(out.pixels.data() + static_cast<std::size_t>(i) * dstRow,
                    pixels.data() + static_cast<std::size_t>(y + i) * srcRow +
                        static_cast<std::size_t>(x) * 4,
                    dstRow);
    }
    return out;
}

RGBAImage RGBAImage::rotatedClockwise() const {
    RGBAImage out(height, width);
    // Result pixel (column k, row i) is the old pixel (column i, row height - 1 - k).
    for (int i = 0; i < out.height; ++i) {
        for (int k = 0; k < out.width; ++k) {
            const std::size_t src =
                (static_cast<std::size_t>(height - 1 - k) * static_cast<std::size_t>(width) +
                 static_cast<std::size_t>(i)) * 4;
            const std::size_t dst =
                (static_cast<std::size_t>(i) * static_cast<std::size_t>(out.width) +
                 static_cast<std::size_t>(k)) * 4;
            std::memcpy(out.pixels.data() + dst, pixels.data() + src, 4);
        }
    }
    return out;
}

RGBAImage RGBAImage::rotatedCounterClockwise() const {
    RGBAImage out(height, width);
    // Result pixel (column k, row i) is the old pixel (column width - 1 - i, row k).
    for (int i = 0; i < out.height; ++i) {
        for (int k = 0; k < out.width; ++k) {
            const std::size_t src =
                (static_cast<std::size_t>(k) * static_cast<std::size_t>(width) +
                 static_cast<std::size_t>(width - 1 - i)) * 4;
            const std::size_t dst =
                (static_cast<std::size_t>(i) * static_cast<std::size_t>(out.width) +
                 static_cast<std::size_t>(k)) * 4;
            std::memcpy(out.pixels.data() + dst, pixels.data() + src, 4);
        }
    }
    return out;
}

}  // namespace morvale
