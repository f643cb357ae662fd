#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "image_engine/channel_packer.h"
#include "image_engine/pixel_size.h"

namespace morvale {

// The names texture processing gives its outputs, in one place, so that the run and the output
// planner's dry run cannot drift apart. Pure functions of their arguments.
class TextureOutputNames {
public:
    TextureOutputNames() = delete;

    // A pattern bound to one item of a run: context variables in, the stem of a name out.
    using Resolve = std::function<std::string(const std::map<std::string, std::string>&)>;

    // "1024x512".
    static std::string sizeText(PixelSize size);

    // Packed map: the pattern with {name} the set name, {pot} the packed size text and {profile}
    // the profile's file tag. Without ".png".
    static std::string packedStem(const Resolve& resolve, const std::string& setName, const std::string& potText,
                                  ChannelPacker::EngineProfile profile);
    // Power-of-two rescale: the pattern with {pot} the output size text and {profile} "POT".
    static std::string powerOfTwoStem(const Resolve& resolve, const std::string& potText);

    // The levels of a mipmap chain below level 0 for a texture of `size`: each halves both sides
    // (at least 1) while the longer side is above 16. Level numbers from 1 and the longer side.
    struct MipLevel {
        int level = 0;
        int dimension = 0;
        bool operator==(const MipLevel&) const = default;
    };
    static std::vector<MipLevel> mipLevels(PixelSize size);
    // stem + "_mip" + level + "_" + dimension + ".png".
    static std::string mipName(const std::string& stem, const MipLevel& level);

    // A converted or generated normal map: with the preset's own pattern, stem + "_Normal" + the
    // convention's tag + ".png"; with any other, the pattern with {name} that same text, {profile}
    // the tag and {pot} the output size text, + ".png".
    static std::string normalName(bool usesDefaultPattern, const Resolve& resolve, const std::string& stem,
                                  ChannelPacker::NormalConvention convention, const std::string& potText);
    // The normal map made for a packed set: set name + "_Normal" + tag + ".png", whatever the pattern.
    static std::string setNormalName(const std::string& setName, ChannelPacker::NormalConvention convention);

    // The tiling preview: file name without extension + "_Tiled2x2.png".
    static std::string tilingPreviewName(const std::string& originalFileName);

    // The preset's 64-bit sizes as the engines take them: beyond int's range held at its ends.
    static int engineSize(std::int64_t value);
};

}  // namespace morvale
