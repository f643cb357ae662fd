#include "batch_presets/morvale_preset.h"

#include "base/ascii.h"

#include <algorithm>
#include <cmath>

namespace morvale {

namespace {

struct ModeWords {
    MorvalePreset::OperationalMode mode;
    std::string_view display;
    std::string_view key;
    std::array<std::string_view, 3> aliases;  // empty ones unused
};

constexpr std::array<ModeWords, 6> kModes{{
    {MorvalePreset::OperationalMode::channelPackingORM, "Channel Packing (ORM / MaskMap)", "channel",
     {"orm", "pack", "channelpacking"}},
    {MorvalePreset::OperationalMode::normalMapConvert, "Normal Map: DirectX \xE2\x87\x84 OpenGL", "normal",
     {"normals", "normalmap"}},
    {MorvalePreset::OperationalMode::normalFromHeight, "Normal Map from Height Map", "height",
     {"bump", "normalfromheight", "heighttonormal"}},
    {MorvalePreset::OperationalMode::powerOfTwoEnforce, "Enforce Power-of-Two (POT)", "pot", {"poweroftwo", "resize"}},
    {MorvalePreset::OperationalMode::spriteSheetAtlas, "2D Sprite Sheet Compilation", "sprite",
     {"spritesheet", "atlas"}},
    {MorvalePreset::OperationalMode::tilingCheck, "Seamless Tiling Check", "tiling", {"tile", "seamless", "seam"}},
}};

const ModeWords& words(MorvalePreset::OperationalMode mode) {
    for (const auto& w : kModes) {
        if (w.mode == mode) return w;
    }
    return kModes[0];
}

}  // namespace

const std::array<MorvalePreset::OperationalMode, 6>& MorvalePreset::allOperationalModes() {
    static const std::array<OperationalMode, 6> modes{
        OperationalMode::channelPackingORM, OperationalMode::normalMapConvert, OperationalMode::normalFromHeight,
        OperationalMode::powerOfTwoEnforce, OperationalMode::spriteSheetAtlas, OperationalMode::tilingCheck};
    return modes;
}

std::string_view MorvalePreset::rawValue(OperationalMode mode) { return words(mode).display; }

std::string_view MorvalePreset::key(OperationalMode mode) { return words(mode).key; }

std::optional<MorvalePreset::OperationalMode> MorvalePreset::operationalModeFromRaw(std::string_view raw) {
    for (const auto& w : kModes) {
        if (w.display == raw) return w.mode;
    }
    return std::nullopt;
}

std::optional<MorvalePreset::OperationalMode> MorvalePreset::operationalModeNamed(std::string_view name) {
    const std::string lower = ascii::lowered(name);
    for (const auto& w : kModes) {
        if (lower == w.key) return w.mode;
        for (std::string_view alias : w.aliases) {
            if (!alias.empty() && lower == alias) return w.mode;
        }
    }
    return operationalModeFromRaw(name);
}

MorvalePreset::TextureError MorvalePreset::TextureError::cannotOpenImage(const std::filesystem::path& file,
                                                                      std::error_code systemError) {
    const std::string reason = systemError ? " (" + systemError.message() + ")" : std::string();
    return TextureError(Kind::cannotOpenImage, "Failed to open texture image at " + file.filename().string() + reason);
}

MorvalePreset::TextureError MorvalePreset::TextureError::notSeamless(const std::string& text) {
    return TextureError(Kind::notSeamless, text);
}

MorvalePreset::MorvalePreset(OperationalMode mode, ChannelPacker::EngineProfile profile, bool pot,
                             PowerOfTwoScaler::ScaleMode scaleMode, bool square, std::int64_t maxSize, bool mipmaps)
    : operationalMode(mode),
      engineProfile(profile),
      enforcePOT(pot),
      potScaleMode(scaleMode),
      forceSquare(square),
      maxTextureSize(maxSize),
      generateMipmaps(mipmaps) {}

std::string MorvalePreset::description() const {
    return "Packs PBR maps for Unreal, Unity and Godot, converts DirectX/OpenGL normal maps, enforces "
           "power-of-two sizes, and builds trimmed sprite sheets for Phaser, PixiJS and Godot.";
}

std::set<std::string> MorvalePreset::supportedExtensions() const {
    return {"png", "tga", "tiff", "tif", "jpg", "jpeg", "exr"};
}

PixelSize MorvalePreset::targetSize(int width, int height) const {
    PixelSize size{width, height};
    if (enforcePOT) {
        const PowerOfTwoScaler scaler;
        size.width = scaler.computePOTDimension(width, potScaleMode);
        size.height = scaler.computePOTDimension(height, potScaleMode);
        if (forceSquare) size.width = size.height = std::max(size.width, size.height);
    }
    const int longer = std::max(size.width, size.height);
    if (maxTextureSize > 0 && longer > maxTextureSize) {
        const double factor = static_cast<double>(maxTextureSize) / longer;
        // Both results are at most the limit, which is positive and far inside int.
        auto scaled = [factor](int side) {
            return std::max(1, static_cast<int>(std::round(side * factor)));
        };
        size.width = scaled(size.width);
        size.height = scaled(size.height);
    }
    return size;
}

bool operator==(const MorvalePreset& a, const MorvalePreset& b) {
    return a.operationalMode == b.operationalMode && a.engineProfile == b.engineProfile &&
           a.enforcePOT == b.enforcePOT && a.potScaleMode == b.potScaleMode && a.forceSquare == b.forceSquare &&
           a.maxTextureSize == b.maxTextureSize && a.generateMipmaps == b.generateMipmaps &&
           a.normalTarget == b.normalTarget && a.spriteTrim == b.spriteTrim && a.spritePadding == b.spritePadding &&
           a.spriteExtrude == b.spriteExtrude && a.spriteHalfScale == b.spriteHalfScale &&
           a.spriteFormat == b.spriteFormat && a.spriteRotate == b.spriteRotate &&
           a.normalStrength == b.normalStrength && a.generateMissingNormal == b.generateMissingNormal;
}

}  // namespace morvale
