#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/folder_listing.h"
#include "image_engine/packed_texture.h"
#include "image_engine/pixel_size.h"

namespace morvale {

// Recognises PBR maps by their file names, gathers the maps of one material set and packs them
// into the channels of one texture for a game engine. Also converts normal maps between the OpenGL
// and DirectX conventions. Holds no state: create one per use.
class ChannelPacker {
public:
    // -- Map roles ---------------------------------------------------------------------------

    enum class Channel { ambientOcclusion = 0, roughness, smoothness, metallic, height, detailMask };

    static const std::array<Channel, 6>& allChannels();  // declaration order
    static std::optional<Channel> channelFromRaw(int raw);  // 0 ... 5
    static int rawValue(Channel channel);
    // "AO", "Roughness", "Smoothness", "Metallic", "Height", "Detail Mask".
    static std::string_view displayName(Channel channel);
    // File-name endings of the role, e.g. "_AmbientOcclusion", "_Occlusion", "_AO", "_Occ".
    static const std::vector<std::string_view>& suffixes(Channel channel);

    // -- Normal-map conventions ----------------------------------------------------------------

    enum class NormalConvention { openGL, directX };

    static const std::array<NormalConvention, 2>& allNormalConventions();
    static std::string_view rawValue(NormalConvention convention);  // settings key: "gl", "dx"
    static std::string_view tag(NormalConvention convention);       // file tag: "GL", "DX"
    // "OpenGL (Y+) · Unity, Blender, Godot", "DirectX (Y−) · Unreal, 3ds Max" (UTF-8).
    static std::string_view displayName(NormalConvention convention);
    static std::optional<NormalConvention> normalConventionFromRaw(std::string_view raw);
    // Normal-map file-name endings, declaration order ("_NormalOpenGL" ... "_N").
    static const std::vector<std::string_view>& normalSuffixes();

    // -- Engine profiles -----------------------------------------------------------------------

    // What one output channel holds: a constant byte or one of the maps.
    struct ChannelRecipe {
        std::optional<Channel> map;  // empty: every pixel is `constant`
        std::uint8_t constant = 0;

        static ChannelRecipe fill(std::uint8_t value) { return {std::nullopt, value}; }
        static ChannelRecipe of(Channel channel) { return {channel, 0}; }
        bool operator==(const ChannelRecipe&) const = default;
    };

    enum class EngineProfile { unrealORM, gltfORM, unityHDRPMaskMap, unityMetallicSmoothness };

    static const std::array<EngineProfile, 4>& allEngineProfiles();
    // Settings key: "unreal", "gltf", "hdrp", "urp".
    static std::string_view rawValue(EngineProfile profile);
    static std::optional<EngineProfile> engineProfileFromRaw(std::string_view raw);  // exact match
    // "Unreal Engine (ORM)", "glTF / Godot (ORM)", "Unity HDRP Mask Map",
    // "Unity URP / Built-in (Metallic)".
    static std::string_view displayName(EngineProfile profile);
    // Output file tag: "ORM", "ORM", "MaskMap", "MetallicSmoothness".
    static std::string_view fileTag(EngineProfile profile);
    // Recipes for R, G, B, A.
    static const std::array<ChannelRecipe, 4>& layout(EngineProfile profile);
    // "R: AO · G: Roughness · B: Metallic · A: Height" (UTF-8 middle dots).
    static std::string layoutDescription(EngineProfile profile);

    // -- Errors --------------------------------------------------------------------------------

    // The error of every texture tool.
    class PackingError : public std::runtime_error {
    public:
        enum class Kind { cannotRead, noSourceImagesFound, compositionFailed };

        // "Could not read texture map <file name>.", or with the system's reason when it refused to
        // open the file: "Could not read texture map <file name> (Permission denied)."
        static PackingError cannotRead(const std::filesystem::path& file, std::error_code systemError = {});
        // The same with the loader's reason: "Could not read texture map <file name> (the file is empty)."
        static PackingError cannotRead(const std::filesystem::path& file, const std::string& reason);
        // "No valid source texture maps found for channel packing."
        static PackingError noSourceImagesFound();
        // "Failed to composite RGBA channels."
        static PackingError compositionFailed();

        Kind kind() const { return kind_; }
        // The unreadable file (cannotRead only).
        const std::filesystem::path& path() const { return path_; }

    private:
        PackingError(Kind kind, const std::string& message, std::filesystem::path file);
        Kind kind_;
        std::filesystem::path path_;
    };

    // -- Material sets -------------------------------------------------------------------------

    // The maps of one material set, at most one file per channel.
    struct ChannelSources {
        std::map<Channel, std::filesystem::path> maps;

        // The files in channel order, absent channels skipped.
        std::vector<std::filesystem::path> all() const;
        // The first of all(): the one member of the set that packs it.
        std::optional<std::filesystem::path> primaryURL() const;
        // Display names of the profile's map slots that have no file, each once, in slot order;
        // roughness and smoothness stand in for each other.
        std::vector<std::string> missingInputs(EngineProfile profile) const;

        bool operator==(const ChannelSources&) const = default;
    };

    struct IdentifiedMap {
        std::string stem;
        Channel channel;
        bool operator==(const IdentifiedMap&) const = default;
    };
    struct IdentifiedNormal {
        std::string stem;
        std::optional<NormalConvention> convention;
        bool operator==(const IdentifiedNormal&) const = default;
    };

    // Role of a file from the end of its name (extension ignored), case-insensitively, longest
    // suffix first; nothing when no suffix matches or the stem would be empty.
    std::optional<IdentifiedMap> identify(const std::filesystem::path& file) const;
    std::optional<IdentifiedNormal> identifyNormal(const std::filesystem::path& file) const;
    // The sibling maps of the file's stem in its folder (hidden files skipped); nothing when the
    // file is no channel map. The second form looks in a listing of the folder already made.
    std::optional<ChannelSources> discoverChannels(const std::filesystem::path& file) const;
    std::optional<ChannelSources> discoverChannels(const std::filesystem::path& file,
                                                   const FolderListing& folder) const;
    // Size of the primary map; throws PackingError (noSourceImagesFound).
    PixelSize sourceSize(const ChannelSources& sources) const;

    // Lower-case extensions that discovery accepts: png tga tif tiff jpg jpeg exr bmp psd.
    static const std::set<std::string>& imageExtensions();
    // Size stored in the file's header (no orientation applied); nothing when unreadable.
    static std::optional<PixelSize> pixelSize(const std::filesystem::path& file);

    // -- Packing -------------------------------------------------------------------------------

    // Packs the set at width x height (every map is resampled to that size as it is loaded, each
    // file decoded once). Absent maps get the engine defaults; roughness and smoothness are derived
    // from each other by inversion. Throws PackingError; std::invalid_argument for a size below 1.
    // A stop requested on `stop` throws OperationCancelled before the next map or block of rows.
    PackedTexture pack(const ChannelSources& sources, EngineProfile profile, int width,
                       int height, std::stop_token stop = {}) const;

    // Inverts the green channel of a normal map (its own inverse), alpha set to 255. A maxSize
    // above 0 limits the longer side. Throws PackingError (cannotRead).
    PackedTexture flipNormalGreen(const std::filesystem::path& file, int maxSize,
                                  std::stop_token stop = {}) const;
    // The size of a normal map written from a map stored at `stored` (flipNormalGreen and
    // NormalMapGenerator::fromHeight alike): fitted within maxSize on its longer side when that
    // is above 0. Throws std::invalid_argument for a size without pixels.
    static PixelSize normalMapSize(PixelSize stored, int maxSize);

    // A grey plane of width x height bytes: grey files as stored, colour files through
    // Y = 0.2126 R + 0.7152 G + 0.0722 B (alpha ignored). Nothing when the file cannot be read.
    static std::optional<std::vector<std::uint8_t>> loadGrayscale(const std::filesystem::path& file,
                                                                  int width, int height,
                                                                  std::stop_token stop = {});
    // width x height x 4 bytes: R, G, B and a fourth byte of 255. Nothing when unreadable.
    static std::optional<std::vector<std::uint8_t>> loadRGB(const std::filesystem::path& file,
                                                            int width, int height);
};

}  // namespace morvale
