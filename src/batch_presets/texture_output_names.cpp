#include "batch_presets/texture_output_names.h"

#include <algorithm>
#include <limits>

namespace morvale {

std::string TextureOutputNames::sizeText(PixelSize size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::string TextureOutputNames::packedStem(const Resolve& resolve, const std::string& setName,
                                           const std::string& potText, ChannelPacker::EngineProfile profile) {
    return resolve({{"name", setName}, {"pot", potText}, {"profile", std::string(ChannelPacker::fileTag(profile))}});
}

std::string TextureOutputNames::powerOfTwoStem(const Resolve& resolve, const std::string& potText) {
    // No {name} variable: the name token keeps the renamer's own value, the item's name.
    return resolve({{"pot", potText}, {"profile", "POT"}});
}

std::vector<TextureOutputNames::MipLevel> TextureOutputNames::mipLevels(PixelSize size) {
    std::vector<MipLevel> levels;
    int level = 0;
    while (std::max(size.width, size.height) > 16) {
        size = {std::max(1, size.width / 2), std::max(1, size.height / 2)};
        levels.push_back({++level, std::max(size.width, size.height)});
    }
    return levels;
}

std::string TextureOutputNames::mipName(const std::string& stem, const MipLevel& level) {
    return stem + "_mip" + std::to_string(level.level) + "_" + std::to_string(level.dimension) + ".png";
}

std::string TextureOutputNames::normalName(bool usesDefaultPattern, const Resolve& resolve, const std::string& stem,
                                           ChannelPacker::NormalConvention convention, const std::string& potText) {
    const std::string tag(ChannelPacker::tag(convention));
    const std::string name = stem + "_Normal" + tag;
    if (usesDefaultPattern) return name + ".png";
    return resolve({{"name", name}, {"pot", potText}, {"profile", tag}}) + ".png";
}

std::string TextureOutputNames::setNormalName(const std::string& setName, ChannelPacker::NormalConvention convention) {
    return setName + "_Normal" + std::string(ChannelPacker::tag(convention)) + ".png";
}

std::string TextureOutputNames::tilingPreviewName(const std::string& originalFileName) {
    return originalFileName + "_Tiled2x2.png";
}

int TextureOutputNames::engineSize(std::int64_t value) {
    if (value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

}  // namespace morvale
