#include "image_engine/tiling_checker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "image_engine/channel_packer.h"
#include "image_engine/image_loader.h"
#include "image_engine/image_size_rules.h"
#include "image_engine/lanczos_resampler.h"

namespace morvale {

namespace fs = std::filesystem;

namespace {

PackedTexture decodeOrThrow(const fs::path& file, const std::stop_token& stop) {
    try {
        return ImageLoader::load(file, false, stop).pixels;
    } catch (const ImageLoadError& error) {
        throw ChannelPacker::PackingError::cannotRead(file, error.systemError());
    }
}

std::string formatRatio(double ratio) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", ratio);
    return text;
}

}  // namespace

std::string TilingChecker::Result::summary() const {
    if (isSeamless()) {
        return "tiles seamlessly";
    }
    std::string text = "Visible seam: ";
    if (horizontalSeam()) {
        text += "left/right edges don't match (" + formatRatio(horizontalRatio) + "x the usual pixel difference)";
    }
    if (verticalSeam()) {
        if (horizontalSeam()) {
            text += "; ";
        }
        text += "top/bottom edges don't match (" + formatRatio(verticalRatio) + "x)";
    }
    return text;
}

TilingChecker::Result TilingChecker::check(const fs::path& image, std::stop_token stop) {
    PackedTexture pixels = decodeOrThrow(image, stop);
    Result result;
    result.width = pixels.width;
    result.height = pixels.height;

    PixelSize analysis = image_size_rules::fitWithinRoundingDown({pixels.width, pixels.height}, 2048);
    analysis.width = std::max(2, analysis.width);
    analysis.height = std::max(2, analysis.height);
    const PackedTexture copy = LanczosResampler::resample(pixels, analysis.width, analysis.height, stop);
    pixels = {};

    const int W = copy.width;
    const int H = copy.height;
    auto at = [&](int x, int y) {
        return copy.rgba.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(W) + static_cast<std::size_t>(x)) * 4;
    };
    auto difference = [](const std::uint8_t* p, const std::uint8_t* q) {
        return (std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2])) / 3.0;
    };
    double edgeH = 0, neighH = 0, edgeV = 0, neighV = 0;
    for (int y = 0; y < H; ++y) {
        edgeH += difference(at(0, y), at(W - 1, y));
        for (int x = 1; x < W; ++x) {
            neighH += difference(at(x - 1, y), at(x, y));
        }
    }
    for (int x = 0; x < W; ++x) {
        edgeV += difference(at(x, 0), at(x, H - 1));
    }
    for (int y = 1; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            neighV += difference(at(x, y - 1), at(x, y));
        }
    }
    result.horizontalRatio = (edgeH / H) / std::max(0.7, neighH / (static_cast<double>(H) * (W - 1)));
    result.verticalRatio = (edgeV / W) / std::max(0.7, neighV / (static_cast<double>(W) * (H - 1)));
    return result;
}

PackedTexture TilingChecker::tiledPreview(const fs::path& image, int maxTile, std::stop_token stop) {
    if (maxTile < 1) {
        throw std::invalid_argument("Preview tiles must be at least 1 pixel.");
    }
    const PackedTexture pixels = decodeOrThrow(image, stop);
    const PixelSize tileSize = image_size_rules::fitWithinRoundingDown({pixels.width, pixels.height}, maxTile);
    if (tileSize.width * 2 > ImageLoader::maxSide || tileSize.height * 2 > ImageLoader::maxSide ||
        std::int64_t{tileSize.width} * tileSize.height * 4 > ImageLoader::maxPixels) {
        throw ChannelPacker::PackingError::compositionFailed();
    }
    const PackedTexture tile = LanczosResampler::resample(pixels, tileSize.width, tileSize.height, stop);

    PackedTexture out;
    out.width = tile.width * 2;
    out.height = tile.height * 2;
    out.rgba.resize(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 4);
    const std::size_t tileRow = static_cast<std::size_t>(tile.width) * 4;
    for (int y = 0; y < out.height; ++y) {
        const std::uint8_t* src = tile.rgba.data() + static_cast<std::size_t>(y % tile.height) * tileRow;
        std::uint8_t* dst = out.rgba.data() + static_cast<std::size_t>(y) * tileRow * 2;
        std::copy(src, src + tileRow, dst);
        std::copy(src, src + tileRow, dst + tileRow);
    }
    return out;
}

}  // namespace morvale
