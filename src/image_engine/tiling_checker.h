#pragma once

#include <filesystem>
#include <stop_token>
#include <string>

#include "image_engine/packed_texture.h"

namespace morvale {

// Whether a texture repeats without a visible seam: opposite edges are compared with the usual
// difference between neighbouring pixels.
class TilingChecker {
public:
    TilingChecker() = delete;

    struct Result {
        double horizontalRatio = 0;  // left/right edge difference over the usual one
        double verticalRatio = 0;    // top/bottom edge difference over the usual one
        int width = 0;               // of the examined file, not of the analysis copy
        int height = 0;

        bool horizontalSeam() const { return horizontalRatio > 3; }
        bool verticalSeam() const { return verticalRatio > 3; }
        bool isSeamless() const { return !horizontalSeam() && !verticalSeam(); }
        // "tiles seamlessly", or "Visible seam: " and the reasons joined by "; ".
        std::string summary() const;
    };

    // Analyses a copy of at most 2048 pixels on its longer side.
    // Throws ChannelPacker::PackingError (cannotRead). Both operations throw OperationCancelled
    // when `stop` is asked, while decoding or within a block of rows.
    static Result check(const std::filesystem::path& image, std::stop_token stop = {});

    // The texture 2 x 2 times, each tile scaled to at most maxTile on its longer side.
    // Throws ChannelPacker::PackingError (cannotRead), std::invalid_argument for maxTile below 1.
    static PackedTexture tiledPreview(const std::filesystem::path& image, int maxTile, std::stop_token stop = {});
};

}  // namespace morvale
