// Engine profiles, packing against the command-line oracle, defaults, normal-map flipping and the
// packed texture's halving and PNG writing.
#include <gtest/gtest.h>

#include "image_engine/channel_packer.h"
#include "image_engine/image_loader.h"
#include "support/temp_dir.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Channel = ChannelPacker::Channel;
using Profile = ChannelPacker::EngineProfile;
using NormalConvention = ChannelPacker::NormalConvention;
using PackingError = ChannelPacker::PackingError;

TEST(EngineProfiles, NamesTagsAndLayouts) {
    struct Row {
        Profile profile;
        std::string raw, display, tag, layout;
    };
    const Row rows[] = {
        {Profile::unrealORM, "unreal", "Unreal Engine (ORM)", "ORM",
         "R: AO \u00B7 G: Roughness \u00B7 B: Metallic \u00B7 A: Height"},
        {Profile::gltfORM, "gltf", "glTF / Godot (ORM)", "ORM",
         "R: AO \u00B7 G: Roughness \u00B7 B: Metallic \u00B7 A: White"},
        {Profile::unityHDRPMaskMap, "hdrp", "Unity HDRP Mask Map", "MaskMap",
         "R: Metallic \u00B7 G: AO \u00B7 B: Detail Mask \u00B7 A: Smoothness"},
        {Profile::unityMetallicSmoothness, "urp", "Unity URP / Built-in (Metallic)", "MetallicSmoothness",
         "R: Metallic \u00B7 G: Metallic \u00B7 B: Metallic \u00B7 A: Smoothness"},
    };
    ASSERT_EQ(ChannelPacker::allEngineProfiles().size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        EXPECT_EQ(ChannelPacker::allEngineProfiles()[i], row.profile);
        EXPECT_EQ(ChannelPacker::rawValue(row.profile), row.raw);
        EXPECT_EQ(ChannelPacker::engineProfileFromRaw(row.raw), row.profile);
        EXPECT_EQ(ChannelPacker::displayName(row.profile), row.display);
        EXPECT_EQ(ChannelPacker::fileTag(row.profile), row.tag);
        EXPECT_EQ(ChannelPacker::layoutDescription(row.profile), row.layout);
    }
    EXPECT_FALSE(ChannelPacker::engineProfileFromRaw("Unreal").has_value());
    EXPECT_FALSE(ChannelPacker::engineProfileFromRaw("").has_value());
}

TEST(EngineProfiles, NormalConventions) {
    ASSERT_EQ(ChannelPacker::allNormalConventions().size(), 2u);
    EXPECT_EQ(ChannelPacker::allNormalConventions()[0], NormalConvention::openGL);
    EXPECT_EQ(ChannelPacker::rawValue(NormalConvention::openGL), "gl");
    EXPECT_EQ(ChannelPacker::rawValue(NormalConvention::directX), "dx");
    EXPECT_EQ(ChannelPacker::tag(NormalConvention::openGL), "GL");
    EXPECT_EQ(ChannelPacker::tag(NormalConvention::directX), "DX");
    EXPECT_EQ(ChannelPacker::displayName(NormalConvention::openGL), "OpenGL (Y+) \u00B7 Unity, Blender, Godot");
    EXPECT_EQ(ChannelPacker::displayName(NormalConvention::directX), "DirectX (Y\u2212) \u00B7 Unreal, 3ds Max");
    EXPECT_EQ(ChannelPacker::normalConventionFromRaw("dx"), NormalConvention::directX);
    EXPECT_FALSE(ChannelPacker::normalConventionFromRaw("DX").has_value());
}

// ---- Packing against the oracle ------------------------------------------------------------------

struct MaterialSet {
    test::TempDir dir;
    ChannelPacker::ChannelSources sources;
    int width = 23;
    int height = 17;

    void add(Channel channel, const std::string& name, unsigned seed) {
        const fs::path file = dir / name;
        test::writeGrey(file, width, height, test::noisePlane(width, height, seed));
        sources.maps[channel] = file;
    }
};

// One output slot as the oracle builds it: a map's first channel, its inversion, or a constant.
struct Slot {
    std::optional<Channel> map;
    bool invert = false;
    int constant = 0;
};
Slot fromMap(Channel c) { return {c, false, 0}; }
Slot inverted(Channel c) { return {c, true, 0}; }
Slot constant(int v) { return {std::nullopt, false, v}; }

std::string oracleArguments(const MaterialSet& set, const Slot& slot) {
    if (slot.map) {
        return " -i " + test::quote(set.sources.maps.at(*slot.map)) + " --ch 0" + (slot.invert ? " --invert" : "");
    }
    char colour[32];
    std::snprintf(colour, sizeof colour, "%.10f", slot.constant / 255.0);
    return " --pattern constant:color=" + std::string(colour) + " " + std::to_string(set.width) + "x" +
           std::to_string(set.height) + " 1";
}

TEST(ChannelPacking, BitExactAgainstTheOracleForEveryProfileAndDefault) {
    MaterialSet full;
    full.add(Channel::ambientOcclusion, "Rock_AO.png", 1);
    full.add(Channel::roughness, "Rock_Roughness.png", 2);
    full.add(Channel::smoothness, "Rock_Smoothness.png", 3);
    full.add(Channel::metallic, "Rock_Metallic.png", 4);
    full.add(Channel::height, "Rock_Height.png", 5);
    full.add(Channel::detailMask, "Rock_DetailMask.png", 6);
    MaterialSet sparseSmooth;  // roughness derived from smoothness, the rest defaults
    sparseSmooth.add(Channel::smoothness, "Rock_Gloss.png", 7);
    MaterialSet sparseRough;   // smoothness derived from roughness
    sparseRough.add(Channel::roughness, "Rock_Rough.png", 8);
    sparseRough.add(Channel::height, "Rock_Disp.png", 9);

    using C = Channel;
    struct Case {
        std::string name;
        const MaterialSet* set;
        Profile profile;
        std::array<Slot, 4> slots;
    };
    const Case cases[] = {
        {"unreal full", &full, Profile::unrealORM, {fromMap(C::ambientOcclusion), fromMap(C::roughness), fromMap(C::metallic), fromMap(C::height)}},
        {"unreal smooth", &sparseSmooth, Profile::unrealORM, {constant(255), inverted(C::smoothness), constant(0), constant(255)}},
        {"unreal rough", &sparseRough, Profile::unrealORM, {constant(255), fromMap(C::roughness), constant(0), fromMap(C::height)}},
        {"gltf full", &full, Profile::gltfORM, {fromMap(C::ambientOcclusion), fromMap(C::roughness), fromMap(C::metallic), constant(255)}},
        {"gltf smooth", &sparseSmooth, Profile::gltfORM, {constant(255), inverted(C::smoothness), constant(0), constant(255)}},
        {"hdrp full", &full, Profile::unityHDRPMaskMap, {fromMap(C::metallic), fromMap(C::ambientOcclusion), fromMap(C::detailMask), fromMap(C::smoothness)}},
        {"hdrp rough", &sparseRough, Profile::unityHDRPMaskMap, {constant(0), constant(255), constant(255), inverted(C::roughness)}},
        {"hdrp smooth", &sparseSmooth, Profile::unityHDRPMaskMap, {constant(0), constant(255), constant(255), fromMap(C::smoothness)}},
        {"urp full", &full, Profile::unityMetallicSmoothness, {fromMap(C::metallic), fromMap(C::metallic), fromMap(C::metallic), fromMap(C::smoothness)}},
        {"urp rough", &sparseRough, Profile::unityMetallicSmoothness, {constant(0), constant(0), constant(0), inverted(C::roughness)}},
    };
    const ChannelPacker packer;
    test::TempDir out;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const MaterialSet& set = *c.set;
        const fs::path expectedFile = out / (c.name + ".png");
        std::string command = "oiiotool";
        for (std::size_t k = 0; k < 4; ++k) {
            command += oracleArguments(set, c.slots[k]);
            if (k > 0) command += " --chappend";
        }
        command += " --attrib oiio:UnassociatedAlpha 1 -d uint8 -o " + test::quote(expectedFile);
        ASSERT_EQ(test::run(command), 0) << command;
        const test::RawImage expected = test::readRaw(expectedFile);
        ASSERT_EQ(expected.channels, 4);

        const PackedTexture packed = packer.pack(set.sources, c.profile, set.width, set.height);
        ASSERT_EQ(packed.width, set.width);
        ASSERT_EQ(packed.height, set.height);
        EXPECT_EQ(packed.rgba, expected.bytes);

        // And through the one PNG writer: what lands on disk is the same bytes.
        const fs::path written = out / (c.name + " ours.png");
        PackedTexture::writePNG(packed, written);
        EXPECT_EQ(test::readRaw(written).bytes, expected.bytes);
    }
}

TEST(ChannelPacking, ColourMapsBecomeLumaAndMapsAreScaledToTheRequestedSize) {
    test::TempDir dir;
    // Pure red, green and blue pixels give the Rec. 709 weights.
    const fs::path colour = dir / "Tile_Metallic.png";
    test::writeImage(colour, 3, 1, 3, {255, 0, 0, 0, 255, 0, 0, 0, 255});
    ChannelPacker::ChannelSources sources;
    sources.maps[Channel::metallic] = colour;
    const PackedTexture packed = ChannelPacker().pack(sources, Profile::unityMetallicSmoothness, 3, 1);
    EXPECT_EQ(packed.rgba, (std::vector<std::uint8_t>{54, 54, 54, 128, 182, 182, 182, 128, 18, 18, 18, 128}));

    // A 64 x 64 roughness with a 32 x 32 AO, packed at 32 x 32.
    const fs::path rough = dir / "Tile_Roughness.png";
    const fs::path ao = dir / "Tile_AO.png";
    test::writeGrey(rough, 64, 64, std::vector<std::uint8_t>(64 * 64, 77));
    const auto aoPlane = test::noisePlane(32, 32, 3);
    test::writeGrey(ao, 32, 32, aoPlane);
    sources.maps = {{Channel::roughness, rough}, {Channel::ambientOcclusion, ao}};
    const PackedTexture mixed = ChannelPacker().pack(sources, Profile::gltfORM, 32, 32);
    ASSERT_EQ(mixed.rgba.size(), 32u * 32u * 4u);
    for (std::size_t i = 0; i < 32 * 32; ++i) {
        ASSERT_EQ(mixed.rgba[i * 4], aoPlane[i]);
        ASSERT_EQ(mixed.rgba[i * 4 + 1], 77);
        ASSERT_EQ(mixed.rgba[i * 4 + 2], 0);
        ASSERT_EQ(mixed.rgba[i * 4 + 3], 255);
    }
}

TEST(ChannelPacking, FailuresNameTheFirstUnreadableMap) {
    test::TempDir dir;
    const fs::path ao = dir.write("Rock_AO.png", "garbage");
    const fs::path metal = dir.write("Rock_Metallic.png", "garbage");
    ChannelPacker::ChannelSources sources;
    sources.maps = {{Channel::ambientOcclusion, ao}, {Channel::metallic, metal}};
    const ChannelPacker packer;
    try {
        (void)packer.pack(sources, Profile::unrealORM, 4, 4);
        ADD_FAILURE();
    } catch (const PackingError& error) {
        EXPECT_EQ(error.kind(), PackingError::Kind::cannotRead);
        EXPECT_EQ(error.path(), ao);
        EXPECT_STREQ(error.what(), "Could not read texture map Rock_AO.png.");
    }
    try {  // HDRP reads metallic first
        (void)packer.pack(sources, Profile::unityHDRPMaskMap, 4, 4);
        ADD_FAILURE();
    } catch (const PackingError& error) {
        EXPECT_EQ(error.path(), metal);
    }
    EXPECT_THROW((void)packer.pack({}, Profile::unrealORM, 4, 4), PackingError);
    test::writeGrey(ao, 4, 4, test::noisePlane(4, 4, 1));
    sources.maps.erase(Channel::metallic);
    EXPECT_THROW((void)packer.pack(sources, Profile::unrealORM, 0, 4), std::invalid_argument);
    EXPECT_THROW((void)packer.pack(sources, Profile::unrealORM, 4, -2), std::invalid_argument);
    EXPECT_STREQ(PackingError::compositionFailed().what(), "Failed to composite RGBA channels.");
}

// ---- Normal-map flip --------------------------------------------------------------------------

TEST(NormalMapFlip, InvertsGreenOnlyAndHonoursTheSizeLimit) {
    test::TempDir dir;
    const PackedTexture noise = test::noiseTexture(20, 10, 4, true);
    const fs::path file = dir / "Brick_NormalDX.png";
    PackedTexture::writePNG(noise, file);
    const ChannelPacker packer;
    const PackedTexture flipped = packer.flipNormalGreen(file, 0);
    ASSERT_EQ(flipped.width, 20);
    for (std::size_t i = 0; i < noise.rgba.size(); i += 4) {
        ASSERT_EQ(flipped.rgba[i], noise.rgba[i]);
        ASSERT_EQ(flipped.rgba[i + 1], 255 - noise.rgba[i + 1]);
        ASSERT_EQ(flipped.rgba[i + 2], noise.rgba[i + 2]);
        ASSERT_EQ(flipped.rgba[i + 3], 255);
    }
    const fs::path back = dir / "back.png";
    PackedTexture::writePNG(flipped, back);
    PackedTexture opaque = noise;
    for (std::size_t i = 3; i < opaque.rgba.size(); i += 4) opaque.rgba[i] = 255;
    EXPECT_EQ(packer.flipNormalGreen(back, 0), opaque);  // its own inverse

    const fs::path large = dir / "Large_Normal.png";
    PackedTexture::writePNG(test::solidTexture(4096, 2048, 128, 100, 255), large);
    const PackedTexture limited = packer.flipNormalGreen(large, 1024);
    EXPECT_EQ(limited.width, 1024);
    EXPECT_EQ(limited.height, 512);
    EXPECT_EQ(limited.rgba[1], 155);
    EXPECT_EQ(packer.flipNormalGreen(large, 0).width, 4096);
    EXPECT_EQ(packer.flipNormalGreen(large, -5).height, 2048);

    const fs::path broken = dir.write("Broken_Normal.png", "");
    try {
        (void)packer.flipNormalGreen(broken, 0);
        ADD_FAILURE();
    } catch (const PackingError& error) {
        EXPECT_STREQ(error.what(), "Could not read texture map Broken_Normal.png.");
    }
}

// ---- PackedTexture -----------------------------------------------------------------------------

PackedTexture grey(int width, int height, std::vector<std::uint8_t> values) {
    PackedTexture texture;
    texture.width = width;
    texture.height = height;
    for (const std::uint8_t v : values) texture.rgba.insert(texture.rgba.end(), {v, v, v, v});
    return texture;
}

TEST(PackedTextureHalving, BoxFilterRoundsHalvesUpAndDropsOddEdges) {
    struct Case {
        PackedTexture in;
        PackedTexture out;
    };
    const Case cases[] = {
        {grey(1, 1, {200}), grey(1, 1, {200})},
        {grey(2, 2, {0, 0, 1, 1}), grey(1, 1, {1})},       // (2 + 2) / 4
        {grey(2, 2, {0, 0, 0, 1}), grey(1, 1, {0})},
        {grey(3, 2, {10, 20, 250, 30, 40, 250}), grey(1, 1, {25})},  // columns 0 and 1 only
        {grey(5, 1, {0, 4, 8, 12, 255}), grey(2, 1, {2, 10})},        // a side of 1 repeats its row
        {grey(1, 4, {1, 2, 3, 4}), grey(1, 2, {2, 4})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.in.halved(), c.out) << c.in.width << "x" << c.in.height;
    }
    EXPECT_THROW((void)PackedTexture{}.halved(), PackingError);
}

TEST(PackedTextureWriting, WritesPNGIntoNewFoldersAndRefusesBrokenTextures) {
    test::TempDir dir;
    const PackedTexture texture = test::noiseTexture(7, 3, 2, true);
    const fs::path nested = dir / "a" / "b" / "tex.png";
    texture.writePNG(nested);
    EXPECT_EQ(ImageLoader::loadRGBA8(nested), texture);
    texture.writePNG(nested);  // replaces
    EXPECT_EQ(std::distance(fs::directory_iterator(nested.parent_path()), fs::directory_iterator()), 1);

    PackedTexture broken = texture;
    broken.rgba.pop_back();
    EXPECT_THROW(PackedTexture::writePNG(broken, dir / "broken.png"), PackingError);
    EXPECT_FALSE(fs::exists(dir / "broken.png"));
    const fs::path blocker = dir.write("file", "x");
    EXPECT_THROW(PackedTexture::writePNG(texture, blocker / "inside.png"), fs::filesystem_error);
}

}  // namespace
}  // namespace morvale
