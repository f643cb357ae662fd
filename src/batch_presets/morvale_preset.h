#pragma once

#include "batch_core/batch_preset.h"
#include "image_engine/channel_packer.h"
#include "image_engine/pixel_size.h"
#include "image_engine/power_of_two_scaler.h"
#include "image_engine/sprite_sheet_compiler.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace morvale {

// The texture vertical's preset: every option of the texture product, edited in place by the form
// and the settings codec. A plain value; process() never changes it.
class MorvalePreset final : public BatchPreset {
public:
    enum class OperationalMode {
        channelPackingORM,
        normalMapConvert,
        normalFromHeight,
        powerOfTwoEnforce,
        spriteSheetAtlas,
        tilingCheck,
    };

    static const std::array<OperationalMode, 6>& allOperationalModes();
    // The display text, e.g. "Channel Packing (ORM / MaskMap)".
    static std::string_view rawValue(OperationalMode mode);
    // Exact (case-sensitive) match of a display text.
    static std::optional<OperationalMode> operationalModeFromRaw(std::string_view raw);
    // The short settings word: "channel", "normal", "height", "pot", "sprite", "tiling".
    static std::string_view key(OperationalMode mode);
    // A settings word or one of its aliases ("orm", "bump", "atlas", ...), compared after ASCII
    // lower-casing (no trimming); failing those, an exact display text.
    static std::optional<OperationalMode> operationalModeNamed(std::string_view name);

    class TextureError : public std::runtime_error {
    public:
        enum class Kind { cannotOpenImage, notSeamless };

        // "Failed to open texture image at " and the file's name (not its folder), followed by the
        // system's reason in parentheses when it refused to open the file.
        static TextureError cannotOpenImage(const std::filesystem::path& file, std::error_code systemError = {});
        static TextureError notSeamless(const std::string& text);

        Kind kind() const { return kind_; }

    private:
        TextureError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
        Kind kind_;
    };

    MorvalePreset(OperationalMode operationalMode, ChannelPacker::EngineProfile engineProfile, bool enforcePOT,
                  PowerOfTwoScaler::ScaleMode potScaleMode, bool forceSquare, std::int64_t maxTextureSize,
                  bool generateMipmaps);

    std::string id() const override { return "com.kadrel.morvale"; }
    std::string displayName() const override { return "Morvale Express"; }
    std::string verticalName() const override { return "Indie Game Dev & 3D Art"; }
    std::string description() const override;
    std::string systemIconName() const override { return "cube.transparent"; }
    std::set<std::string> supportedExtensions() const override;
    std::string defaultNamingPattern() const override { return "{name}_{profile}_{pot}"; }

    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override;

    // The output size for a source of width x height: power-of-two rule, then the size limit.
    PixelSize targetSize(int width, int height) const;

    OperationalMode operationalMode;
    ChannelPacker::EngineProfile engineProfile;
    bool enforcePOT;
    PowerOfTwoScaler::ScaleMode potScaleMode;
    bool forceSquare;
    std::int64_t maxTextureSize;  // pixels on the longer side; 0: no limit
    bool generateMipmaps;
    ChannelPacker::NormalConvention normalTarget = ChannelPacker::NormalConvention::openGL;
    bool spriteTrim = true;
    std::int64_t spritePadding = 2;
    std::int64_t spriteExtrude = 1;
    bool spriteHalfScale = false;
    SpriteSheetCompiler::DataFormat spriteFormat = SpriteSheetCompiler::DataFormat::jsonHash;
    bool spriteRotate = false;
    double normalStrength = 2.0;
    bool generateMissingNormal = false;

    // Every option field equal.
    friend bool operator==(const MorvalePreset& a, const MorvalePreset& b);
};

}  // namespace morvale
