#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <stop_token>
#include <vector>

#include "image_engine/pipeline_image.h"
#include "image_engine/pixel_size.h"

namespace morvale {

// Power-of-two sides, exact Lanczos rescaling and mip chains. Holds no state: create one per use.
class PowerOfTwoScaler {
public:
    // How a side becomes a power of two.
    class ScaleMode {
    public:
        enum class Kind { fixedTarget, nearestPowerOfTwo, roundUpPowerOfTwo, roundDownPowerOfTwo };

        // Always this side, whatever the input.
        static ScaleMode fixedTarget(int side) { return ScaleMode(Kind::fixedTarget, side); }
        // The nearer power of two; a tie (1.5 times the lower power) goes to the larger.
        static ScaleMode nearestPowerOfTwo() { return ScaleMode(Kind::nearestPowerOfTwo, 0); }
        static ScaleMode roundUpPowerOfTwo() { return ScaleMode(Kind::roundUpPowerOfTwo, 0); }
        static ScaleMode roundDownPowerOfTwo() { return ScaleMode(Kind::roundDownPowerOfTwo, 0); }

        Kind kind() const { return kind_; }
        // The side of fixedTarget; 0 for the other kinds.
        int target() const { return target_; }

        // The kinds that round, in the order they are offered.
        static constexpr std::array<Kind, 3> roundingKinds{Kind::nearestPowerOfTwo, Kind::roundUpPowerOfTwo,
                                                           Kind::roundDownPowerOfTwo};
        // The settings word of a rounding kind: "nearest", "up", "down"; "" for fixedTarget, which
        // is written as its side.
        static std::string_view key(Kind kind);
        // A rounding kind's word or alias ("roundup", "rounddown"), exactly; nothing otherwise.
        static std::optional<ScaleMode> fromKey(std::string_view word);

        bool operator==(const ScaleMode&) const = default;

    private:
        ScaleMode(Kind kind, int target) : kind_(kind), target_(target) {}
        Kind kind_;
        int target_;
    };

    struct MipLevel {
        int level = 0;
        int dimension = 0;  // the longer side of this level's image
        PipelineImage image;
    };

    // Sides below 2 count as 1. Throws std::invalid_argument for a fixed target below 1 and
    // std::out_of_range for a side whose power of two would exceed 2^30.
    int computePOTDimension(int side, const ScaleMode& mode) const;
    // Both sides through computePOTDimension; with forceSquare both become the larger.
    PixelSize potSize(int width, int height, const ScaleMode& mode, bool forceSquare) const;

    // The image resampled (Lanczos-3, straight alpha) to exactly width x height; metadata kept.
    // Throws std::invalid_argument for a side below 1 or an empty image.
    // A stop requested on `stop` throws OperationCancelled within one block of rows.
    PipelineImage scale(const PipelineImage& image, int width, int height, std::stop_token stop = {}) const;
    PipelineImage scaleToPOT(const PipelineImage& image, const ScaleMode& mode,
                             bool forceSquare) const;

    // Level 0 is the image itself; each next level is the previous one box-filtered to sides
    // max(1, n / 2). The chain stops at the first level whose longer side is at or below
    // minDimension, or at 1 x 1. A stop requested on `stop` throws OperationCancelled within a
    // block of rows.
    // An image moved in becomes level 0 without a copy.
    std::vector<MipLevel> generateMipmaps(PipelineImage image, int minDimension, std::stop_token stop = {}) const;
};

}  // namespace morvale
