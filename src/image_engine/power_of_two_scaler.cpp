#include "image_engine/power_of_two_scaler.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "image_engine/lanczos_resampler.h"

namespace morvale {

namespace {

struct ScaleWords {
    PowerOfTwoScaler::ScaleMode::Kind kind;
    std::string_view key;
    std::string_view alias;
};

constexpr std::array<ScaleWords, 3> kScaleWords{{
    {PowerOfTwoScaler::ScaleMode::Kind::nearestPowerOfTwo, "nearest", ""},
    {PowerOfTwoScaler::ScaleMode::Kind::roundUpPowerOfTwo, "up", "roundup"},
    {PowerOfTwoScaler::ScaleMode::Kind::roundDownPowerOfTwo, "down", "rounddown"},
}};

}  // namespace

std::string_view PowerOfTwoScaler::ScaleMode::key(Kind kind) {
    for (const auto& w : kScaleWords) {
        if (w.kind == kind) return w.key;
    }
    return {};
}

std::optional<PowerOfTwoScaler::ScaleMode> PowerOfTwoScaler::ScaleMode::fromKey(std::string_view word) {
    for (const auto& w : kScaleWords) {
        if (word == w.key || (!w.alias.empty() && word == w.alias)) return ScaleMode(w.kind, 0);
    }
    return std::nullopt;
}

int PowerOfTwoScaler::computePOTDimension(int side, const ScaleMode& mode) const {
    if (mode.kind() == ScaleMode::Kind::fixedTarget) {
        if (mode.target() < 1) {
            throw std::invalid_argument("A fixed power-of-two size must be at least 1 pixel.");
        }
        return mode.target();
    }
    constexpr int largest = 1 << 30;
    const int x = std::max(side, 1);
    if (x > largest) {
        throw std::out_of_range("Texture side is too large for a power of two.");
    }
    // Whole-number powers around x: lower <= x <= upper.
    std::int64_t lower = 1;
    while (lower * 2 <= x) {
        lower *= 2;
    }
    const std::int64_t upper = lower == x ? x : lower * 2;
    switch (mode.kind()) {
        case ScaleMode::Kind::roundUpPowerOfTwo: return static_cast<int>(upper);
        case ScaleMode::Kind::roundDownPowerOfTwo: return static_cast<int>(lower);
        default: return static_cast<int>((x - lower) < (upper - x) ? lower : upper);
    }
}

PixelSize PowerOfTwoScaler::potSize(int width, int height, const ScaleMode& mode, bool forceSquare) const {
    PixelSize size{computePOTDimension(width, mode), computePOTDimension(height, mode)};
    if (forceSquare) {
        size.width = size.height = std::max(size.width, size.height);
    }
    return size;
}

PipelineImage PowerOfTwoScaler::scale(const PipelineImage& image, int width, int height,
                                      std::stop_token stop) const {
    if (!image.pixels.isValid()) {
        throw std::invalid_argument("Cannot rescale an image without pixels.");
    }
    PipelineImage out;
    out.pixels = LanczosResampler::resample(image.pixels, width, height, std::move(stop));
    out.properties = image.properties;
    return out;
}

PipelineImage PowerOfTwoScaler::scaleToPOT(const PipelineImage& image, const ScaleMode& mode,
                                           bool forceSquare) const {
    const PixelSize size = potSize(image.width(), image.height(), mode, forceSquare);
    return scale(image, size.width, size.height);
}

std::vector<PowerOfTwoScaler::MipLevel> PowerOfTwoScaler::generateMipmaps(PipelineImage image, int minDimension,
                                                                           std::stop_token stop) const {
    if (!image.pixels.isValid()) {
        throw std::invalid_argument("Cannot build mipmaps of an image without pixels.");
    }
    std::vector<MipLevel> levels;
    const int side = std::max(image.width(), image.height());
    levels.push_back({0, side, std::move(image)});
    while (true) {
        const MipLevel& previous = levels.back();
        const bool single = previous.image.width() == 1 && previous.image.height() == 1;
        if (minDimension >= previous.dimension || single) {
            break;
        }
        // Each level is box-filtered from the one before, named by the side actually produced.
        PipelineImage next;
        next.pixels = previous.image.pixels.halved(stop);
        const int dimension = std::max(next.width(), next.height());
        levels.push_back({previous.level + 1, dimension, std::move(next)});
    }
    return levels;
}

}  // namespace morvale
