#include "image_engine/channel_packer.h"

#include <algorithm>
#include <cmath>

#include "base/cancellation.h"
#include "image_engine/image_loader.h"
#include "image_engine/image_size_rules.h"
#include "image_engine/lanczos_resampler.h"

namespace morvale {

namespace fs = std::filesystem;
using Channel = ChannelPacker::Channel;
using EngineProfile = ChannelPacker::EngineProfile;
using NormalConvention = ChannelPacker::NormalConvention;

// ---- Channels -----------------------------------------------------------------------------

const std::array<Channel, 6>& ChannelPacker::allChannels() {
    static const std::array<Channel, 6> channels = {Channel::ambientOcclusion, Channel::roughness,
                                                    Channel::smoothness,       Channel::metallic,
                                                    Channel::height,           Channel::detailMask};
    return channels;
}

std::optional<Channel> ChannelPacker::channelFromRaw(int raw) {
    if (raw < 0 || raw > 5) {
        return std::nullopt;
    }
    return allChannels()[static_cast<std::size_t>(raw)];
}

int ChannelPacker::rawValue(Channel channel) { return static_cast<int>(channel); }

std::string_view ChannelPacker::displayName(Channel channel) {
    switch (channel) {
        case Channel::ambientOcclusion: return "AO";
        case Channel::roughness: return "Roughness";
        case Channel::smoothness: return "Smoothness";
        case Channel::metallic: return "Metallic";
        case Channel::height: return "Height";
        case Channel::detailMask: return "Detail Mask";
    }
    return "";
}

const std::vector<std::string_view>& ChannelPacker::suffixes(Channel channel) {
    static const std::array<std::vector<std::string_view>, 6> table = {{
        {"_AmbientOcclusion", "_Occlusion", "_AO", "_Occ"},
        {"_Roughness", "_Rough", "_Rgh"},
        {"_Smoothness", "_Glossiness", "_Smooth", "_Gloss"},
        {"_Metallic", "_Metalness", "_Metal", "_Met"},
        {"_Displacement", "_Height", "_Disp"},
        {"_DetailMask", "_Detail_Mask"},
    }};
    return table[static_cast<std::size_t>(channel)];
}

// ---- Normal conventions -------------------------------------------------------------------

const std::array<NormalConvention, 2>& ChannelPacker::allNormalConventions() {
    static const std::array<NormalConvention, 2> conventions = {NormalConvention::openGL,
                                                                NormalConvention::directX};
    return conventions;
}

std::string_view ChannelPacker::rawValue(NormalConvention convention) {
    return convention == NormalConvention::openGL ? "gl" : "dx";
}

std::string_view ChannelPacker::tag(NormalConvention convention) {
    return convention == NormalConvention::openGL ? "GL" : "DX";
}

std::string_view ChannelPacker::displayName(NormalConvention convention) {
    return convention == NormalConvention::openGL ? "OpenGL (Y+) \u00B7 Unity, Blender, Godot"
                                                  : "DirectX (Y\u2212) \u00B7 Unreal, 3ds Max";
}

std::optional<NormalConvention> ChannelPacker::normalConventionFromRaw(std::string_view raw) {
    if (raw == "gl") {
        return NormalConvention::openGL;
    }
    if (raw == "dx") {
        return NormalConvention::directX;
    }
    return std::nullopt;
}

const std::vector<std::string_view>& ChannelPacker::normalSuffixes() {
    static const std::vector<std::string_view> table = {
        "_NormalOpenGL", "_NormalDirectX", "_NormalGL", "_NormalDX", "_Normal_GL",
        "_Normal_DX",    "_Normal",        "_Nrm",      "_Norm",     "_N"};
    return table;
}

// ---- Engine profiles ----------------------------------------------------------------------

const std::array<EngineProfile, 4>& ChannelPacker::allEngineProfiles() {
    static const std::array<EngineProfile, 4> profiles = {
        EngineProfile::unrealORM, EngineProfile::gltfORM, EngineProfile::unityHDRPMaskMap,
        EngineProfile::unityMetallicSmoothness};
    return profiles;
}

std::string_view ChannelPacker::rawValue(EngineProfile profile) {
    switch (profile) {
        case EngineProfile::unrealORM: return "unreal";
        case EngineProfile::gltfORM: return "gltf";
        case EngineProfile::unityHDRPMaskMap: return "hdrp";
        case EngineProfile::unityMetallicSmoothness: return "urp";
    }
    return "";
}

std::optional<EngineProfile> ChannelPacker::engineProfileFromRaw(std::string_view raw) {
    for (const EngineProfile profile : allEngineProfiles()) {
        if (rawValue(profile) == raw) {
            return profile;
        }
    }
    return std::nullopt;
}

std::string_view ChannelPacker::displayName(EngineProfile profile) {
    switch (profile) {
        case EngineProfile::unrealORM: return "Unreal Engine (ORM)";
        case EngineProfile::gltfORM: return "glTF / Godot (ORM)";
        case EngineProfile::unityHDRPMaskMap: return "Unity HDRP Mask Map";
        case EngineProfile::unityMetallicSmoothness: return "Unity URP / Built-in (Metallic)";
    }
    return "";
}

std::string_view ChannelPacker::fileTag(EngineProfile profile) {
    switch (profile) {
        case EngineProfile::unrealORM:
        case EngineProfile::gltfORM: return "ORM";
        case EngineProfile::unityHDRPMaskMap: return "MaskMap";
        case EngineProfile::unityMetallicSmoothness: return "MetallicSmoothness";
    }
    return "";
}

const std::array<ChannelPacker::ChannelRecipe, 4>& ChannelPacker::layout(EngineProfile profile) {
    using R = ChannelRecipe;
    static const std::array<std::array<ChannelRecipe, 4>, 4> layouts = {{
        {R::of(Channel::ambientOcclusion), R::of(Channel::roughness), R::of(Channel::metallic),
         R::of(Channel::height)},
        {R::of(Channel::ambientOcclusion), R::of(Channel::roughness), R::of(Channel::metallic),
         R::fill(255)},
        {R::of(Channel::metallic), R::of(Channel::ambientOcclusion), R::of(Channel::detailMask),
         R::of(Channel::smoothness)},
        {R::of(Channel::metallic), R::of(Channel::metallic), R::of(Channel::metallic),
         R::of(Channel::smoothness)},
    }};
    return layouts[static_cast<std::size_t>(profile)];
}

std::string ChannelPacker::layoutDescription(EngineProfile profile) {
    static const char* const letters[4] = {"R", "G", "B", "A"};
    std::string text;
    const auto& slots = layout(profile);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (i > 0) {
            text += " \u00B7 ";
        }
        text += letters[i];
        text += ": ";
        const ChannelRecipe& recipe = slots[i];
        if (recipe.map) {
            text += displayName(*recipe.map);
        } else if (recipe.constant == 0) {
            text += "Black";
        } else if (recipe.constant == 255) {
            text += "White";
        } else {
            text += std::to_string(recipe.constant);
        }
    }
    return text;
}

// ---- Errors -------------------------------------------------------------------------------

ChannelPacker::PackingError::PackingError(Kind kind, const std::string& message, fs::path file)
    : std::runtime_error(message), kind_(kind), path_(std::move(file)) {}

ChannelPacker::PackingError ChannelPacker::PackingError::cannotRead(const fs::path& file, std::error_code systemError) {
    const std::string reason = systemError ? " (" + systemError.message() + ")" : std::string();
    return PackingError(Kind::cannotRead, "Could not read texture map " + file.filename().string() + reason + ".", file);
}

ChannelPacker::PackingError ChannelPacker::PackingError::cannotRead(const fs::path& file, const std::string& reason) {
    return PackingError(Kind::cannotRead, "Could not read texture map " + file.filename().string() + " (" + reason + ").",
                        file);
}

ChannelPacker::PackingError ChannelPacker::PackingError::noSourceImagesFound() {
    return PackingError(Kind::noSourceImagesFound, "No valid source texture maps found for channel packing.", {});
}

ChannelPacker::PackingError ChannelPacker::PackingError::compositionFailed() {
    return PackingError(Kind::compositionFailed, "Failed to composite RGBA channels.", {});
}

// ---- Pixel loading ------------------------------------------------------------------------

namespace {

void checkSize(int width, int height) {
    if (width < 1 || height < 1) {
        throw std::invalid_argument("Texture size must be at least 1 x 1 pixels.");
    }
    if (width > ImageLoader::maxSide || height > ImageLoader::maxSide ||
        std::int64_t{width} * height > ImageLoader::maxPixels) {
        throw std::invalid_argument("Texture size exceeds 16384 pixels per side or 2^28 pixels.");
    }
}

std::optional<ImageLoader::Decoded> decode(const fs::path& file, const std::stop_token& stop) {
    try {
        return ImageLoader::load(file, false, stop);
    } catch (const ImageLoadError& error) {
        if (error.systemError()) throw ChannelPacker::PackingError::cannotRead(file, error.systemError());
        return std::nullopt;
    }
}

std::size_t pixelCount(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ChannelPacker::loadGrayscale(const fs::path& file, int width, int height,
                                                                       std::stop_token stop) {
    checkSize(width, height);
    auto decoded = decode(file, stop);
    if (!decoded) {
        return std::nullopt;
    }
    const PackedTexture& pixels = decoded->pixels;
    const int sourceWidth = pixels.width;
    const int sourceHeight = pixels.height;
    const std::size_t count = pixelCount(sourceWidth, sourceHeight);
    std::vector<std::uint8_t> plane(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i % (std::size_t{1} << 22) == 0) throwIfStopRequested(stop);
        const std::uint8_t* px = pixels.rgba.data() + i * 4;
        if (decoded->monochrome) {
            plane[i] = px[0];
        } else {
            // Luma first, then one plane to resample instead of three.
            const double y = 0.2126 * px[0] + 0.7152 * px[1] + 0.0722 * px[2];
            plane[i] = static_cast<std::uint8_t>(std::clamp(std::floor(y + 0.5), 0.0, 255.0));
        }
    }
    decoded.reset();
    throwIfStopRequested(stop);
    return LanczosResampler::resample(plane, sourceWidth, sourceHeight, 1, width, height, std::move(stop));
}

std::optional<std::vector<std::uint8_t>> ChannelPacker::loadRGB(const fs::path& file, int width, int height) {
    checkSize(width, height);
    auto decoded = decode(file, {});
    if (!decoded) {
        return std::nullopt;
    }
    PackedTexture& pixels = decoded->pixels;
    for (std::size_t i = 3; i < pixels.rgba.size(); i += 4) {
        pixels.rgba[i] = 255;
    }
    return LanczosResampler::resample(pixels, width, height).rgba;
}

// ---- Packing ------------------------------------------------------------------------------

PackedTexture ChannelPacker::pack(const ChannelSources& sources, EngineProfile profile, int width, int height,
                                  std::stop_token stop) const {
    if (!sources.primaryURL()) {
        throw PackingError::noSourceImagesFound();
    }
    checkSize(width, height);
    const std::size_t count = pixelCount(width, height);
    std::map<Channel, std::vector<std::uint8_t>> cache;

    // The plane of a map: cached, else loaded once; nothing when the set has no such file.
    auto mapPlane = [&](Channel channel) -> const std::vector<std::uint8_t>* {
        if (auto hit = cache.find(channel); hit != cache.end()) {
            return &hit->second;
        }
        const auto file = sources.maps.find(channel);
        if (file == sources.maps.end()) {
            return nullptr;
        }
        throwIfStopRequested(stop);
        auto plane = loadGrayscale(file->second, width, height, stop);
        if (!plane) {
            throw PackingError::cannotRead(file->second);
        }
        return &cache.emplace(channel, std::move(*plane)).first->second;
    };
    auto inverted = [](const std::vector<std::uint8_t>& plane) {
        std::vector<std::uint8_t> out(plane.size());
        std::transform(plane.begin(), plane.end(), out.begin(),
                       [](std::uint8_t v) { return static_cast<std::uint8_t>(255 - v); });
        return out;
    };
    auto planeFor = [&](const ChannelRecipe& recipe) -> std::vector<std::uint8_t> {
        if (!recipe.map) {
            return std::vector<std::uint8_t>(count, recipe.constant);
        }
        const Channel channel = *recipe.map;
        if (channel == Channel::roughness || channel == Channel::smoothness) {
            const Channel other = channel == Channel::roughness ? Channel::smoothness : Channel::roughness;
            if (const auto* own = mapPlane(channel)) {
                return *own;
            }
            if (const auto* opposite = mapPlane(other)) {
                return inverted(*opposite);
            }
            return std::vector<std::uint8_t>(count, channel == Channel::roughness ? 255 : 128);
        }
        if (const auto* own = mapPlane(channel)) {
            return *own;
        }
        const std::uint8_t fallback = channel == Channel::metallic ? 0 : 255;
        return std::vector<std::uint8_t>(count, fallback);
    };

    const auto& slots = layout(profile);
    std::array<std::vector<std::uint8_t>, 4> planes;
    for (std::size_t k = 0; k < 4; ++k) {
        throwIfStopRequested(stop);
        planes[k] = planeFor(slots[k]);
    }
    cache.clear();

    PackedTexture out = PackedTexture::zeroed(width, height, stop);
    std::uint8_t* dst = out.rgba.data();
    for (std::size_t i = 0; i < count; ++i) {
        if (i % (std::size_t{1} << 22) == 0) throwIfStopRequested(stop);
        dst[i * 4 + 0] = planes[0][i];
        dst[i * 4 + 1] = planes[1][i];
        dst[i * 4 + 2] = planes[2][i];
        dst[i * 4 + 3] = planes[3][i];
    }
    return out;
}

std::vector<std::string> ChannelPacker::ChannelSources::missingInputs(EngineProfile profile) const {
    std::vector<std::string> missing;
    for (const ChannelRecipe& recipe : layout(profile)) {
        if (!recipe.map) {
            continue;
        }
        const Channel channel = *recipe.map;
        bool present = maps.count(channel) > 0;
        if (channel == Channel::roughness || channel == Channel::smoothness) {
            present = maps.count(Channel::roughness) > 0 || maps.count(Channel::smoothness) > 0;
        }
        const std::string name(displayName(channel));
        if (!present && std::find(missing.begin(), missing.end(), name) == missing.end()) {
            missing.push_back(name);
        }
    }
    return missing;
}

PackedTexture ChannelPacker::flipNormalGreen(const fs::path& file, int maxSize, std::stop_token stop) const {
    auto decoded = decode(file, stop);
    if (!decoded) {
        throw PackingError::cannotRead(file);
    }
    PackedTexture& pixels = decoded->pixels;
    const PixelSize size = normalMapSize({pixels.width, pixels.height}, maxSize);
    for (std::size_t i = 0; i < pixels.rgba.size(); i += 4) {
        if (i % (std::size_t{1} << 24) == 0) throwIfStopRequested(stop);
        pixels.rgba[i + 3] = 255;
    }
    PackedTexture out = LanczosResampler::resample(pixels, size.width, size.height, stop);
    for (std::size_t i = 0; i < out.rgba.size(); i += 4) {
        if (i % (std::size_t{1} << 24) == 0) throwIfStopRequested(stop);
        out.rgba[i + 1] = static_cast<std::uint8_t>(255 - out.rgba[i + 1]);
    }
    return out;
}

PixelSize ChannelPacker::normalMapSize(PixelSize stored, int maxSize) {
    if (maxSize > 0) {
        return image_size_rules::fitWithin(stored, maxSize);
    }
    if (stored.width < 1 || stored.height < 1) {
        throw std::invalid_argument("Image has no pixels.");
    }
    return stored;
}

}  // namespace morvale
