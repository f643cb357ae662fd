#pragma once

#include "base/ascii.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace morvale {

// The frame shapes of an audiogram (a short social-media video of an audio excerpt): their names,
// settings keys and pixel sizes. Rendering the video is not built yet.
class AudiogramGenerator {
public:
    enum class AspectRatio { square, vertical, landscape };

    static constexpr std::array<AspectRatio, 3> allAspectRatios{AspectRatio::square, AspectRatio::vertical,
                                                                AspectRatio::landscape};

    static std::string_view rawValue(AspectRatio a) {
        switch (a) {
        case AspectRatio::square: return "1:1 (1080x1080)";
        case AspectRatio::vertical: return "9:16 (1080x1920)";
        case AspectRatio::landscape: return "16:9 (1920x1080)";
        }
        return {};
    }

    // The short settings key.
    static std::string_view key(AspectRatio a) {
        switch (a) {
        case AspectRatio::square: return "square";
        case AspectRatio::vertical: return "vertical";
        case AspectRatio::landscape: return "wide";
        }
        return {};
    }

    static std::string_view shortName(AspectRatio a) {
        switch (a) {
        case AspectRatio::square: return "Square 1:1 (Instagram, X)";
        case AspectRatio::vertical: return "Vertical 9:16 (Reels, TikTok, Shorts)";
        case AspectRatio::landscape: return "Wide 16:9 (YouTube)";
        }
        return {};
    }

    // Frame size in pixels (width, height).
    static std::pair<int, int> dimensions(AspectRatio a) {
        switch (a) {
        case AspectRatio::square: return {1080, 1080};
        case AspectRatio::vertical: return {1080, 1920};
        case AspectRatio::landscape: return {1920, 1080};
        }
        return {1080, 1080};
    }

    // Lower-cases the key (no trimming) and accepts the usual spellings of each shape.
    static std::optional<AspectRatio> aspectRatio(std::string_view keyText) {
        // ASCII only: the process locale must not change what a key means.
        const std::string k = ascii::lowered(keyText);
        if (k == "square" || k == "1:1" || k == "1x1") return AspectRatio::square;
        if (k == "vertical" || k == "9:16" || k == "9x16" || k == "story" || k == "reel")
            return AspectRatio::vertical;
        if (k == "wide" || k == "landscape" || k == "16:9" || k == "16x9") return AspectRatio::landscape;
        return std::nullopt;
    }
};

}  // namespace morvale
