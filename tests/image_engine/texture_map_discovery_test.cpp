// Map roles from file names, normal-map conventions and gathering a material set from its folder.
#include <gtest/gtest.h>

#include "image_engine/channel_packer.h"
#include "support/temp_dir.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Channel = ChannelPacker::Channel;
using NormalConvention = ChannelPacker::NormalConvention;

TEST(TextureMapNames, EverySuffixIdentifiesItsChannelCaseInsensitively) {
    const ChannelPacker packer;
    const std::vector<std::tuple<std::string, std::string, Channel>> cases = {
        {"Rock_AmbientOcclusion.png", "Rock", Channel::ambientOcclusion},
        {"Rock_Occlusion.png", "Rock", Channel::ambientOcclusion},
        {"Rock_AO.png", "Rock", Channel::ambientOcclusion},
        {"Wall_occ.tga", "Wall", Channel::ambientOcclusion},
        {"Rock_Roughness.png", "Rock", Channel::roughness},
        {"Rock_Rough.png", "Rock", Channel::roughness},
        {"Rock_RGH.png", "Rock", Channel::roughness},
        {"Rock_Smoothness.png", "Rock", Channel::smoothness},
        {"Rock_Glossiness.png", "Rock", Channel::smoothness},
        {"Rock_Smooth.png", "Rock", Channel::smoothness},
        {"Rock_Gloss.png", "Rock", Channel::smoothness},
        {"Rock_Metallic.png", "Rock", Channel::metallic},
        {"Wall_Metalness.png", "Wall", Channel::metallic},
        {"Rock_Metal.png", "Rock", Channel::metallic},
        {"Rock_met.png", "Rock", Channel::metallic},
        {"Rock_Displacement.exr", "Rock", Channel::height},
        {"Rock_Height.png", "Rock", Channel::height},
        {"Rock_Disp.png", "Rock", Channel::height},
        {"Rock_DetailMask.png", "Rock", Channel::detailMask},
        {"Rock_Detail_Mask.tga", "Rock", Channel::detailMask},
        // The stem keeps the file's own letter case and may contain other suffixes.
        {"Wall_Metal_Rough.png", "Wall_Metal", Channel::roughness},
        {"MY_rock_AO.PNG", "MY_rock", Channel::ambientOcclusion},
        {"Rock_AO.webp", "Rock", Channel::ambientOcclusion},  // the extension is not looked at
        {"Rock_AO", "Rock", Channel::ambientOcclusion},
    };
    for (const auto& [name, stem, channel] : cases) {
        const auto found = packer.identify(name);
        ASSERT_TRUE(found.has_value()) << name;
        EXPECT_EQ(found->stem, stem) << name;
        EXPECT_EQ(found->channel, channel) << name;
    }
    for (const std::string name : {"_Height.png", "_AO.png", "Logo.png", "RockAO.png", "Rock_AO_v2.png", "Rock.AO.png"}) {
        EXPECT_FALSE(packer.identify(name).has_value()) << name;
    }
}

TEST(TextureMapNames, NormalMapsAndTheirConventions) {
    const ChannelPacker packer;
    using Expect = std::optional<NormalConvention>;
    const std::vector<std::tuple<std::string, std::string, Expect>> cases = {
        {"Rock_NormalDX.png", "Rock", NormalConvention::directX},
        {"Rock_Normal_GL.png", "Rock", NormalConvention::openGL},
        {"Rock_NormalOpenGL.png", "Rock", NormalConvention::openGL},
        {"Rock_normaldirectx.tga", "Rock", NormalConvention::directX},
        {"Rock_NormalGL.png", "Rock", NormalConvention::openGL},
        {"Rock_Normal_DX.png", "Rock", NormalConvention::directX},
        {"Rock_Normal.png", "Rock", std::nullopt},
        {"Rock_Nrm.png", "Rock", std::nullopt},
        {"Rock_Norm.png", "Rock", std::nullopt},
        {"Rock_n.png", "Rock", std::nullopt},
        {"Brick_NormalGL.png", "Brick", NormalConvention::openGL},
    };
    for (const auto& [name, stem, convention] : cases) {
        const auto found = packer.identifyNormal(name);
        ASSERT_TRUE(found.has_value()) << name;
        EXPECT_EQ(found->stem, stem) << name;
        EXPECT_EQ(found->convention, convention) << name;
    }
    for (const std::string name : {"_Normal.png", "_N.png", "Rock_AO.png", "Rock_NormalMap.png"}) {
        EXPECT_FALSE(packer.identifyNormal(name).has_value()) << name;
    }
}

TEST(TextureMapNames, ChannelTablesAndRawValues) {
    EXPECT_EQ(ChannelPacker::displayName(Channel::ambientOcclusion), "AO");
    EXPECT_EQ(ChannelPacker::displayName(Channel::detailMask), "Detail Mask");
    for (int raw = 0; raw < 6; ++raw) {
        ASSERT_TRUE(ChannelPacker::channelFromRaw(raw).has_value());
        EXPECT_EQ(ChannelPacker::rawValue(*ChannelPacker::channelFromRaw(raw)), raw);
    }
    EXPECT_FALSE(ChannelPacker::channelFromRaw(6).has_value());
    EXPECT_FALSE(ChannelPacker::channelFromRaw(-1).has_value());
    EXPECT_EQ(ChannelPacker::imageExtensions(),
              (std::set<std::string>{"png", "tga", "tif", "tiff", "jpg", "jpeg", "exr", "bmp", "psd"}));
}

// A folder of empty files is enough: discovery reads names only.
fs::path touch(const test::TempDir& dir, const std::string& name) { return dir.write(name, "x"); }

TEST(TextureMapDiscovery, GathersSiblingsOfTheSameStem) {
    const ChannelPacker packer;
    test::TempDir dir;
    const fs::path ao = touch(dir, "Rock_AO.png");
    const fs::path rough = touch(dir, "rock_Roughness.TGA");  // other letter case, upper-case extension
    const fs::path metal = touch(dir, "Rock_Metallic.exr");
    touch(dir, "Rock_Height.webp");      // not an accepted extension
    touch(dir, "Rocks_Metallic.png");    // another stem
    touch(dir, ".Rock_Smoothness.png");  // hidden
    touch(dir, "Rock_Normal.png");       // a normal map is no channel
    touch(dir, "Rock_Detail.png");       // no suffix

    const auto sources = packer.discoverChannels(metal);
    ASSERT_TRUE(sources.has_value());
    EXPECT_EQ(sources->maps, (std::map<Channel, fs::path>{
                                 {Channel::ambientOcclusion, ao}, {Channel::roughness, rough}, {Channel::metallic, metal}}));
    EXPECT_EQ(sources->all(), (std::vector<fs::path>{ao, rough, metal}));
    EXPECT_EQ(sources->primaryURL(), ao);
    EXPECT_FALSE(packer.discoverChannels(dir / "Rock_Normal.png").has_value());
}

TEST(TextureMapDiscovery, EarlierNamesWinExceptForTheGivenFile) {
    const ChannelPacker packer;
    test::TempDir dir;
    const fs::path lower = touch(dir, "rock_ao.png");
    const fs::path upper = touch(dir, "Rock_AO.tga");
    const fs::path rough = touch(dir, "Rock_Roughness.png");
    // "R" sorts before "r": the upper-case file takes the channel ...
    EXPECT_EQ(packer.discoverChannels(rough)->maps.at(Channel::ambientOcclusion), upper);
    // ... unless discovery starts from the other one.
    EXPECT_EQ(packer.discoverChannels(lower)->maps.at(Channel::ambientOcclusion), lower);

    test::TempDir twins;
    const fs::path a = touch(twins, "Rock_AO.png");
    const fs::path b = touch(twins, "Rock_Occlusion.png");
    EXPECT_EQ(packer.discoverChannels(a)->primaryURL(), a);
    EXPECT_EQ(packer.discoverChannels(b)->primaryURL(), b);
}

TEST(TextureMapDiscovery, SourceSizeMeasuresThePrimaryMap) {
    const ChannelPacker packer;
    test::TempDir dir;
    const fs::path metal = dir / "Rock_Metallic.png";
    const fs::path height = dir / "Rock_Height.png";
    test::writeGrey(metal, 12, 7, test::noisePlane(12, 7, 1));
    test::writeGrey(height, 30, 30, test::noisePlane(30, 30, 2));
    const auto sources = packer.discoverChannels(height);
    ASSERT_TRUE(sources.has_value());
    EXPECT_EQ(sources->primaryURL(), metal);  // metallic comes before height
    EXPECT_EQ(packer.sourceSize(*sources), (PixelSize{12, 7}));

    try {
        (void)packer.sourceSize(ChannelPacker::ChannelSources{});
        ADD_FAILURE();
    } catch (const ChannelPacker::PackingError& error) {
        EXPECT_EQ(error.kind(), ChannelPacker::PackingError::Kind::noSourceImagesFound);
        EXPECT_STREQ(error.what(), "No valid source texture maps found for channel packing.");
    }
    const fs::path broken = dir.write("Broken_AO.png", "not an image");
    EXPECT_THROW((void)packer.sourceSize(*packer.discoverChannels(broken)), ChannelPacker::PackingError);
}

TEST(TextureMapDiscovery, MissingInputsPerProfile) {
    using Profile = ChannelPacker::EngineProfile;
    auto only = [](std::initializer_list<Channel> channels) {
        ChannelPacker::ChannelSources sources;
        for (const Channel c : channels) sources.maps[c] = "x.png";
        return sources;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(only({Channel::ambientOcclusion}).missingInputs(Profile::unrealORM), (Names{"Roughness", "Metallic", "Height"}));
    EXPECT_EQ(only({Channel::roughness}).missingInputs(Profile::unityMetallicSmoothness), (Names{"Metallic"}));
    EXPECT_EQ(only({Channel::smoothness}).missingInputs(Profile::gltfORM), (Names{"AO", "Metallic"}));
    EXPECT_EQ(only({}).missingInputs(Profile::unityHDRPMaskMap), (Names{"Metallic", "AO", "Detail Mask", "Smoothness"}));
    EXPECT_EQ(only({Channel::metallic, Channel::height}).primaryURL(), fs::path("x.png"));
}

}  // namespace
}  // namespace morvale
