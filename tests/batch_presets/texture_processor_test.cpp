#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "batch_core/run_ledger.h"
#include "image_engine/normal_map_generator.h"
#include "support/temp_dir.h"
#include "texture_test_support.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Mode = MorvalePreset::OperationalMode;
using Profile = ChannelPacker::EngineProfile;
using Reports = std::vector<std::pair<double, std::string>>;
using test::Rgba;
using test::writeGrey;

constexpr const char* defaultPattern = "{name}_{profile}_{pot}";

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

PackedTexture load(const fs::path& file) { return ImageLoader::loadRGBA8(file); }

void expectPixel(const PackedTexture& texture, int x, int y, Rgba expected) {
    const Rgba actual = test::pixelAt(texture, x, y);
    EXPECT_NEAR(actual.r, expected.r, 1);
    EXPECT_NEAR(actual.g, expected.g, 1);
    EXPECT_NEAR(actual.b, expected.b, 1);
    EXPECT_NEAR(actual.a, expected.a, 1);
}

TEST(TextureProcessorTest, ChannelPackingPacksEachSetOnceAndSkipsTheOtherMembers) {
    test::TempDir dir;
    const std::vector<fs::path> files{writeGrey(dir / "in/Logo.png", 8, 8, 0),
                                      writeGrey(dir / "in/Rock_AO.png", 40, 24, 60),
                                      writeGrey(dir / "in/Rock_Metallic.png", 40, 24, 200),
                                      writeGrey(dir / "in/Rock_Roughness.png", 40, 24, 120)};
    MorvalePreset preset = test::texturePreset(Mode::channelPackingORM);
    preset.generateMipmaps = true;

    // 40 x 24 becomes 32 x 32: 40 is nearer 32, 24 lies halfway and takes the larger power.
    for (const auto& [pattern, packedName, mipName] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {defaultPattern, "Rock_ORM_32x32.png", "Rock_ORM_32x32_mip1_16.png"},
             {"{name}_{index:02}_{profile}", "Rock_02_ORM.png", "Rock_02_ORM_mip1_16.png"}}) {
        const fs::path out = dir / ("out" + std::to_string(packedName.size()));
        const auto run = test::runTextureJob(preset, files, out, pattern);

        const auto& ao = run.item("Rock_AO.png");
        EXPECT_EQ(ao.status, ProcessingStatus::completed) << ao.message;
        EXPECT_EQ(ao.progress, 1.0);
        EXPECT_EQ(ao.outputs, (std::vector<std::string>{packedName, mipName}));
        EXPECT_EQ(ao.reports, (Reports{{0.2, "Discovering texture channels..."},
                                       {0.5, "Compositing Unreal Engine (ORM) channels..."},
                                       {0.85, "Generating mipmap chain..."},
                                       {1.0, "Texture processing finished."}}));
        EXPECT_EQ(run.item("Rock_Roughness.png").status, ProcessingStatus::skipped);
        EXPECT_EQ(run.item("Rock_Roughness.png").message, "Rock_Roughness is packed together with Rock_AO.png");
        EXPECT_EQ(run.item("Rock_Metallic.png").message, "Rock_Metallic is packed together with Rock_AO.png");
        EXPECT_EQ(run.item("Logo.png").message, "Logo isn't an AO / Roughness / Smoothness / Metallic / Height map");
        EXPECT_EQ(run.item("Logo.png").reports, (Reports{{0.2, "Discovering texture channels..."}}));

        EXPECT_TRUE(run.logged("Packing Rock for Unreal Engine (ORM): Rock_AO.png, Rock_Roughness.png, "
                               "Rock_Metallic.png"))
            << run.logText();
        EXPECT_TRUE(run.logged("Rock: no Height map, using engine defaults")) << run.logText();
        EXPECT_EQ(run.report.successCount, 1);
        EXPECT_EQ(run.report.skippedCount, 3);
        EXPECT_EQ(test::fileNames(out), (std::vector<std::string>{packedName, mipName}));

        const PackedTexture packed = load(out / packedName);
        ASSERT_EQ(packed.width, 32);
        ASSERT_EQ(packed.height, 32);
        expectPixel(packed, 7, 9, {60, 120, 200, 255});
        EXPECT_EQ(load(out / mipName).width, 16);
    }
}

TEST(TextureProcessorTest, EveryEngineProfileLaysOutItsChannels) {
    test::TempDir dir;
    const std::vector<fs::path> files{writeGrey(dir / "Metal_AO.png", 16, 16, 60),
                                      writeGrey(dir / "Metal_Roughness.png", 16, 16, 120),
                                      writeGrey(dir / "Metal_Metallic.png", 16, 16, 200)};
    struct Case {
        Profile profile;
        std::string name;
        Rgba pixel;
    };
    for (const auto& c : std::vector<Case>{{Profile::unrealORM, "Metal_ORM_16x16.png", {60, 120, 200, 255}},
                                           {Profile::gltfORM, "Metal_ORM_16x16.png", {60, 120, 200, 255}},
                                           {Profile::unityHDRPMaskMap, "Metal_MaskMap_16x16.png", {200, 60, 255, 135}},
                                           {Profile::unityMetallicSmoothness, "Metal_MetallicSmoothness_16x16.png",
                                            {200, 200, 200, 135}}}) {
        MorvalePreset preset = test::texturePreset(Mode::channelPackingORM);
        preset.engineProfile = c.profile;
        const fs::path out = dir / ("out" + std::string(ChannelPacker::rawValue(c.profile)));
        const auto run = test::runTextureJob(preset, files, out, defaultPattern);
        ASSERT_EQ(run.item("Metal_AO.png").outputs, std::vector<std::string>{c.name}) << run.item("Metal_AO.png").message;
        expectPixel(load(out / c.name), 3, 3, c.pixel);
    }
}

TEST(TextureProcessorTest, NormalMapsAreConvertedOrBuiltInTheTargetConvention) {
    test::TempDir dir;
    const auto normal = test::makeTexture(16, 8, [](int, int) { return Rgba{100, 50, 255, 255}; });
    PackedTexture::writePNG(normal, dir / "in/Brick_Normal.png");
    PackedTexture::writePNG(normal, dir / "in/Brick_NormalGL.png");
    PackedTexture::writePNG(normal, dir / "in/Wall_NormalDX.png");
    writeGrey(dir / "in/Logo.png", 4, 4, 0);
    writeGrey(dir / "in/Cliff_Height.png", 16, 16, 100);

    const auto convert = test::texturePreset(Mode::normalMapConvert);
    auto run = test::runTextureJob(convert, {dir / "in/Brick_Normal.png", dir / "in/Brick_NormalGL.png", dir / "in/Logo.png"},
                                   dir / "out1", defaultPattern);
    EXPECT_EQ(run.item("Brick_Normal.png").outputs, std::vector<std::string>{"Brick_NormalGL.png"});
    EXPECT_EQ(run.item("Brick_Normal.png").reports,
              (Reports{{0.4, "Flipping green channel..."}, {1.0, "Texture processing finished."}}));
    EXPECT_EQ(run.item("Brick_NormalGL.png").message, "Brick_NormalGL is already GL");
    EXPECT_EQ(run.item("Logo.png").message, "Logo isn't named like a normal map (_Normal, _NormalDX, _NormalGL, _Nrm)");
    expectPixel(load(dir / "out1/Brick_NormalGL.png"), 2, 2, {100, 205, 255, 255});

    // Any other pattern names the output; its name token is the stem with the target's tag.
    run = test::runTextureJob(convert, {dir / "in/Wall_NormalDX.png"}, dir / "out2", "{name}_{pot}");
    EXPECT_EQ(run.item("Wall_NormalDX.png").outputs, std::vector<std::string>{"Wall_NormalGL_16x8.png"});

    auto fromHeight = test::texturePreset(Mode::normalFromHeight);
    run = test::runTextureJob(fromHeight, {dir / "in/Cliff_Height.png"}, dir / "out3", defaultPattern);
    EXPECT_EQ(run.item("Cliff_Height.png").reports,
              (Reports{{0.4, "Building normal map..."}, {1.0, "Texture processing finished."}}));
    ASSERT_EQ(run.item("Cliff_Height.png").outputs, std::vector<std::string>{"Cliff_NormalGL.png"});
    expectPixel(load(dir / "out3/Cliff_NormalGL.png"), 5, 5, {128, 128, 255, 255});

    fromHeight.normalTarget = ChannelPacker::NormalConvention::directX;
    fromHeight.maxTextureSize = 8;
    run = test::runTextureJob(fromHeight, {dir / "in/Cliff_Height.png"}, dir / "out4", "{name}-{profile}-{pot}");
    ASSERT_EQ(run.item("Cliff_Height.png").outputs, std::vector<std::string>{"Cliff_NormalDX-DX-8x8.png"});
}

TEST(TextureProcessorTest, PowerOfTwoRescalesWithMipChainsAndFailsOnUnreadableFiles) {
    test::TempDir dir;
    const std::vector<fs::path> files{writeGrey(dir / "in/Tile.png", 40, 24, 90), writeGrey(dir / "in/Wide.png", 64, 24, 90),
                                      dir.write("in/Bad.png", "not an image")};
    MorvalePreset preset = test::texturePreset(Mode::powerOfTwoEnforce);
    preset.generateMipmaps = true;

    auto run = test::runTextureJob(preset, files, dir / "out", defaultPattern);
    EXPECT_EQ(run.item("Tile.png").outputs, (std::vector<std::string>{"Tile_POT_32x32.png", "Tile_POT_32x32_mip1_16.png"}));
    EXPECT_EQ(run.item("Wide.png").outputs,
              (std::vector<std::string>{"Wide_POT_64x32.png", "Wide_POT_64x32_mip1_32.png", "Wide_POT_64x32_mip2_16.png"}));
    EXPECT_EQ(run.item("Tile.png").reports,
              (Reports{{0.3, "Rescaling to Power-of-Two..."}, {1.0, "Texture processing finished."}}));
    EXPECT_EQ(run.item("Bad.png").status, ProcessingStatus::failed);
    EXPECT_EQ(run.item("Bad.png").message, "Failed to open texture image at Bad.png");
    EXPECT_EQ(run.report.errors, std::vector<std::string>{"Failed to open texture image at Bad.png"});
    const PackedTexture wide = load(dir / "out/Wide_POT_64x32_mip1_32.png");
    EXPECT_EQ(wide.width, 32);
    EXPECT_EQ(wide.height, 16);

    preset.generateMipmaps = false;
    preset.forceSquare = true;
    run = test::runTextureJob(preset, {dir / "in/Wide.png"}, dir / "out2", "{name}-{index}-{pot}");
    EXPECT_EQ(run.item("Wide.png").outputs, std::vector<std::string>{"Wide-1-64x64.png"});
}

TEST(TextureProcessorTest, TilingCheckPassesSeamlessTexturesAndPreviewsSeams) {
    test::TempDir dir;
    const auto files = std::vector<fs::path>{writeGrey(dir / "Flat.png", 32, 16, 128), dir / "Ramp.png"};
    PackedTexture::writePNG(test::makeTexture(64, 16, [](int x, int) {
                                const auto v = static_cast<std::uint8_t>(x * 4);
                                return Rgba{v, v, v, 255};
                            }),
                            files[1]);
    const auto run = test::runTextureJob(test::texturePreset(Mode::tilingCheck), files, dir / "out", defaultPattern);

    EXPECT_EQ(run.item("Flat.png").status, ProcessingStatus::completed);
    EXPECT_TRUE(run.item("Flat.png").outputs.empty());
    EXPECT_TRUE(run.logged("Flat: tiles seamlessly")) << run.logText();
    const auto& ramp = run.item("Ramp.png");
    EXPECT_EQ(ramp.status, ProcessingStatus::failed);
    EXPECT_TRUE(startsWith(ramp.message, "Visible seam: left/right edges don't match (")) << ramp.message;
    EXPECT_NE(ramp.message.find("x the usual pixel difference). Preview: Ramp_Tiled2x2.png"), std::string::npos)
        << ramp.message;
    EXPECT_EQ(ramp.reports, (Reports{{0.4, "Comparing edges..."}}));
    const PackedTexture preview = load(dir / "out/Ramp_Tiled2x2.png");
    EXPECT_EQ(preview.width, 128);
    EXPECT_EQ(preview.height, 32);
}

std::vector<fs::path> writeWalk(const test::TempDir& dir) {
    std::vector<fs::path> frames;
    for (int i = 1; i <= 6; ++i) {
        const int shape = i == 4 ? 2 : i;  // frame 4 repeats frame 2
        char name[32];
        std::snprintf(name, sizeof name, "walk_%02d.png", i);
        frames.push_back(dir / "anim" / name);
        PackedTexture::writePNG(test::makeTexture(24, 24, [&](int x, int y) {
                                    const bool inside = x >= shape && x < 12 + shape && y >= 4 && y < 20;
                                    return inside ? Rgba{static_cast<std::uint8_t>(40 * shape), 200, 80, 255} : Rgba{0, 0, 0, 0};
                                }),
                                frames.back());
    }
    return frames;
}

TEST(TextureProcessorTest, SpriteSheetIsBuiltByTheFirstFrameOfItsSequence) {
    test::TempDir dir;
    const auto frames = writeWalk(dir);
    auto preset = test::texturePreset(Mode::spriteSheetAtlas);
    auto run = test::runTextureJob(preset, frames, dir / "out", defaultPattern);

    const auto& first = run.item("walk_01.png");
    EXPECT_EQ(first.outputs, (std::vector<std::string>{"walk_Atlas.png", "walk_Atlas.json"})) << first.message;
    EXPECT_EQ(first.reports, (Reports{{0.4, "Packing 6 frames..."}, {1.0, "Texture processing finished."}}));
    EXPECT_EQ(run.item("walk_05.png").message, "walk_05 is part of the walk sprite sheet");
    EXPECT_EQ(run.report.skippedCount, 5);
    const auto summary = std::find_if(run.log.begin(), run.log.end(), [](const auto& l) { return startsWith(l, "walk: "); });
    ASSERT_NE(summary, run.log.end()) << run.logText();
    EXPECT_TRUE(startsWith(*summary, "walk: 6 frames on ")) << *summary;
    EXPECT_NE(summary->find(", 1 duplicate frames reused"), std::string::npos) << *summary;
    const std::string json = test::readFile(dir / "out/walk_Atlas.json");
    EXPECT_NE(json.find("\"walk_06.png\""), std::string::npos);
    EXPECT_NE(json.find("\"animations\""), std::string::npos);

    // A small size limit spreads the sheet over pages; page 0 names the other pages' data files.
    preset.maxTextureSize = 32;
    run = test::runTextureJob(preset, frames, dir / "paged", defaultPattern);
    const auto& paged = run.item("walk_01.png").outputs;
    ASSERT_GE(paged.size(), 4u) << run.item("walk_01.png").message;
    EXPECT_EQ(paged[0], "walk_Atlas-0.png");
    EXPECT_EQ(paged[1], "walk_Atlas-0.json");
    EXPECT_EQ(paged[3], "walk_Atlas-1.json");
    const std::string page0 = test::readFile(dir / "paged/walk_Atlas-0.json");
    EXPECT_NE(page0.find("\"related_multi_packs\""), std::string::npos);
    EXPECT_NE(page0.find("\"walk_Atlas-1.json\""), std::string::npos);
    EXPECT_EQ(page0.find("\"animations\""), std::string::npos);
    EXPECT_EQ(test::readFile(dir / "paged/walk_Atlas-1.json").find("related_multi_packs"), std::string::npos);
    EXPECT_NE(run.logText().find(" sheets)"), std::string::npos) << run.logText();
    preset.maxTextureSize = 0;

    preset.spriteFormat = SpriteSheetCompiler::DataFormat::godot;
    preset.spriteHalfScale = true;
    run = test::runTextureJob(preset, frames, dir / "out2", defaultPattern);
    EXPECT_EQ(run.item("walk_01.png").outputs,
              (std::vector<std::string>{"walk_Atlas.png", "walk_Atlas.tres", "walk_Atlas@1x.png", "walk_Atlas@1x.tres"}));
    EXPECT_EQ(std::count_if(run.log.begin(), run.log.end(), [](const auto& l) { return startsWith(l, "walk: "); }), 1);
    const PackedTexture full = load(dir / "out2/walk_Atlas.png");
    const PackedTexture half = load(dir / "out2/walk_Atlas@1x.png");
    EXPECT_LE(half.width * half.height * 2, full.width * full.height);
}

// Whichever members of a set or frames of a sequence a run queues, the first queued one packs
// the whole of it, reading the unqueued rest, and the others are skipped naming it.
TEST(TextureProcessorTest, FirstQueuedMemberLeadsItsSetOrSequence) {
    test::TempDir dir;
    writeGrey(dir / "in/Rock_AO.png", 16, 16, 60);
    writeGrey(dir / "in/Rock_Roughness.png", 16, 16, 120);
    writeGrey(dir / "in/Rock_Metallic.png", 16, 16, 200);
    struct Case {
        std::vector<std::string> queued;
        std::string leader;
    };
    for (const auto& c : std::vector<Case>{{{"Rock_Roughness.png"}, "Rock_Roughness.png"},
                                           {{"Rock_Metallic.png", "Rock_Roughness.png"}, "Rock_Roughness.png"},
                                           {{"Rock_Metallic.png"}, "Rock_Metallic.png"}}) {
        std::vector<fs::path> files;
        for (const auto& name : c.queued) files.push_back(dir / "in" / name);
        const fs::path out = dir / ("out" + std::to_string(c.queued.size()) + c.leader);
        const auto run = test::runTextureJob(test::texturePreset(Mode::channelPackingORM), files, out, defaultPattern);
        EXPECT_EQ(run.item(c.leader).outputs, std::vector<std::string>{"Rock_ORM_16x16.png"}) << run.item(c.leader).message;
        EXPECT_EQ(run.report.successCount, 1) << c.leader;
        for (const auto& name : c.queued) {
            if (name == c.leader) continue;
            EXPECT_EQ(run.item(name).message, fs::path(name).stem().string() + " is packed together with " + c.leader);
        }
        EXPECT_EQ(test::fileNames(out), std::vector<std::string>{"Rock_ORM_16x16.png"}) << c.leader;
        expectPixel(load(out / "Rock_ORM_16x16.png"), 5, 5, {60, 120, 200, 255});
    }

    const auto frames = writeWalk(dir);  // walk_01 to walk_06
    const std::vector<fs::path> queued(frames.begin() + 2, frames.end());
    const auto run = test::runTextureJob(test::texturePreset(Mode::spriteSheetAtlas), queued, dir / "sprites", defaultPattern);
    EXPECT_EQ(run.item("walk_03.png").outputs, (std::vector<std::string>{"walk_Atlas.png", "walk_Atlas.json"}))
        << run.item("walk_03.png").message;
    EXPECT_EQ(run.item("walk_04.png").message, "walk_04 is part of the walk sprite sheet");
    EXPECT_EQ(run.report.successCount, 1);
    EXPECT_EQ(run.report.skippedCount, 3);
    EXPECT_NE(test::readFile(dir / "sprites/walk_Atlas.json").find("\"walk_01.png\""), std::string::npos);
}

// Two items of one run whose pattern gives the same name: the second must not replace the first.
TEST(TextureProcessorTest, SameOutputNameInOneRunFailsTheLaterItemAndKeepsTheFirstFile) {
    test::TempDir dir;
    const fs::path hero = writeGrey(dir / "hero/Body_AO.png", 16, 16, 50);
    const fs::path enemy = writeGrey(dir / "enemy/Body_AO.png", 16, 16, 200);
    const auto preset = test::texturePreset(Mode::channelPackingORM);
    const auto run = test::runTextureJob(preset, {hero, enemy}, dir / "out", "{name}_{profile}", 2);

    ASSERT_EQ(run.items.size(), 2u);
    const bool heroWon = run.items[0].status == ProcessingStatus::completed;
    const auto& winner = run.items[heroWon ? 0 : 1];
    const auto& loser = run.items[heroWon ? 1 : 0];
    EXPECT_EQ(winner.status, ProcessingStatus::completed);
    EXPECT_EQ(winner.outputs, std::vector<std::string>{"Body_ORM.png"});
    EXPECT_EQ(loser.status, ProcessingStatus::failed);
    EXPECT_TRUE(startsWith(loser.message, "Won't overwrite Body_ORM.png: it is already the output of " +
                                              winner.source.string()))
        << loser.message;
    // The pattern already holds {name}, which the two share: only {index} tells them apart.
    EXPECT_TRUE(loser.message.ends_with(" would write it too. Add {index} to the naming pattern.")) << loser.message;
    EXPECT_EQ(test::fileNames(dir / "out"), std::vector<std::string>{"Body_ORM.png"});
    expectPixel(load(dir / "out/Body_ORM.png"), 1, 1, {static_cast<std::uint8_t>(heroWon ? 50 : 200), 255, 0, 255});

    // A later run may replace what an earlier run left.
    const auto again = test::runTextureJob(preset, {loser.source}, dir / "out", "{name}_{profile}");
    EXPECT_EQ(again.items[0].status, ProcessingStatus::completed) << again.items[0].message;
    expectPixel(load(dir / "out/Body_ORM.png"), 1, 1, {static_cast<std::uint8_t>(heroWon ? 200 : 50), 255, 0, 255});
}

TEST(TextureProcessorTest, OutputNeverReplacesAFileThatTheRunReads) {
    test::TempDir dir;
    const fs::path tile = writeGrey(dir / "Tile.png", 40, 24, 90);
    const auto run = test::runTextureJob(test::texturePreset(Mode::powerOfTwoEnforce), {tile}, dir.path(), "{name}");
    EXPECT_EQ(run.items[0].status, ProcessingStatus::failed);
    EXPECT_EQ(run.items[0].message, "Won't overwrite " + (dir / "Tile.png").string() +
                                        ": this item reads it. Add {index} to the naming pattern or "
                                        "choose another output folder.");
    EXPECT_EQ(load(tile).width, 40);
}

TEST(TextureProcessorTest, OutputNeverReplacesTheSourceOfAnItemNotStartedYet) {
    test::TempDir dir;
    const fs::path first = writeGrey(dir / "First.png", 40, 24, 90);
    const fs::path later = writeGrey(dir / "Later.png", 40, 24, 30);
    // One item at a time: the first item's output would land on the later item's source before it runs.
    const auto run = test::runTextureJob(test::texturePreset(Mode::powerOfTwoEnforce), {first, later}, dir.path(),
                                         "Later", 1);
    ASSERT_EQ(run.items.size(), 2u);
    EXPECT_EQ(run.items[0].status, ProcessingStatus::failed);
    EXPECT_EQ(run.items[0].message, "Won't overwrite " + later.string() + ": " + later.string() +
                                        " reads it in this run. Add {index} or {name} to the naming pattern or "
                                        "choose another output folder.");
    EXPECT_EQ(load(later).width, 40);
    EXPECT_EQ(test::pixelAt(load(later), 1, 1).r, 30);
}

TEST(TextureProcessorTest, TextureSetIsDecidedOnceAmongQueueableFiles) {
    test::TempDir dir;
    // A .bmp sibling cannot be queued, so it never becomes the set's primary map.
    writeGrey(dir / "a/Rock_AO.bmp", 16, 16, 70);
    const fs::path rough = writeGrey(dir / "a/Rock_Roughness.png", 16, 16, 120);
    auto run = test::runTextureJob(test::texturePreset(Mode::channelPackingORM), {rough}, dir / "outA", defaultPattern);
    ASSERT_EQ(run.items[0].outputs, std::vector<std::string>{"Rock_ORM_16x16.png"}) << run.items[0].message;
    expectPixel(load(dir / "outA/Rock_ORM_16x16.png"), 2, 2, {70, 120, 0, 255});

    // Two files for one channel: one set, one packed file, the spare map named in its skip.
    const std::vector<fs::path> files{writeGrey(dir / "b/Rock_AO.png", 16, 16, 60),
                                      writeGrey(dir / "b/Rock_Occlusion.png", 16, 16, 90),
                                      writeGrey(dir / "b/Rock_Roughness.png", 16, 16, 120)};
    run = test::runTextureJob(test::texturePreset(Mode::channelPackingORM), files, dir / "outB", defaultPattern, 3);
    EXPECT_EQ(run.item("Rock_AO.png").outputs, std::vector<std::string>{"Rock_ORM_16x16.png"});
    EXPECT_EQ(run.item("Rock_Occlusion.png").message, "Rock_Occlusion isn't used: its set takes Rock_AO.png as its AO map");
    EXPECT_EQ(run.item("Rock_Roughness.png").message, "Rock_Roughness is packed together with Rock_AO.png");
    expectPixel(load(dir / "outB/Rock_ORM_16x16.png"), 2, 2, {60, 120, 0, 255});
}

TEST(TextureProcessorTest, TextureSetIsTheSameWhicheverMemberAsks) {
    test::TempDir dir;
    for (const char* name : {"Rock_AO.bmp", "rock_ao.png", "Rock_Occlusion.png", "Rock_Roughness.tga",
                             "Rock_Metallic.psd", "Rocks_AO.png", "Rock_AO.webp"}) {
        dir.write(name, "x");
    }
    const auto extensions = test::texturePreset(Mode::channelPackingORM).supportedExtensions();
    const std::map<ChannelPacker::Channel, fs::path> expected{
        {ChannelPacker::Channel::ambientOcclusion, dir / "Rock_Occlusion.png"},
        {ChannelPacker::Channel::roughness, dir / "Rock_Roughness.tga"},
        {ChannelPacker::Channel::metallic, dir / "Rock_Metallic.psd"}};
    for (const char* member : {"Rock_AO.bmp", "rock_ao.png", "Rock_Occlusion.png", "Rock_Roughness.tga", "Rock_Metallic.psd"}) {
        const auto set = TextureProcessor::textureSet(dir / member, extensions);
        ASSERT_TRUE(set) << member;
        EXPECT_EQ(set->sources.maps, expected) << member;
        EXPECT_EQ(set->primary, dir / "Rock_Occlusion.png") << member;
        RunLedger run;  // the run's shared listing gives the same
        EXPECT_EQ(TextureProcessor::runTextureSet(run, dir / member, extensions)->sources.maps, expected) << member;
    }
    EXPECT_FALSE(TextureProcessor::textureSet(dir / "Logo.png", extensions));
    // Only unqueueable files: no primary, so every member is skipped rather than one packing.
    test::TempDir other;
    other.write("Wall_AO.bmp", "x");
    other.write("Wall_Roughness.psd", "x");
    EXPECT_EQ(TextureProcessor::textureSet(other / "Wall_AO.bmp", extensions)->primary, std::nullopt);
}

// What an item sees of its folder: its set, whether a normal map of its stem is there, its frames.
std::string folderView(const fs::path& root, const std::optional<TextureProcessor::TextureSet>& set,
                       bool hasNormal, const TextureProcessor::FrameSequence& sequence,
                       const std::optional<fs::path>& leader) {
    const auto name = [&](const fs::path& file) { return file.lexically_relative(root).string(); };
    std::string view = "set";
    if (set) {
        for (const auto& member : set->sources.all()) view += " " + name(member);
        view += ", primary " + (set->primary ? name(*set->primary) : "none");
    }
    view += hasNormal ? "; normal map; frames" : "; frames";
    for (const auto& frame : sequence.frames) view += " " + name(frame);
    return view + ", leader " + (leader ? name(*leader) : "none");
}

TEST(TextureProcessorTest, ARunSeesEachFolderAsItWasWhenTheRunFirstListedIt) {
    const auto extensions = test::texturePreset(Mode::channelPackingORM).supportedExtensions();
    const auto add = [](std::vector<std::string> names) {
        return [names](const fs::path& root) { for (const auto& n : names) writeGrey(root / n, 4, 4, 9); };
    };
    struct Row {
        const char* what;
        std::vector<std::string> files;  // all queued
        std::string first;               // the item that lists its folder first
        std::function<void(const fs::path&)> change;  // made after it did
        std::string observed;            // a later item
    };
    const std::vector<Row> rows{
        {"a map added after the run started", {"Rock_AO.png", "Wall_AO.png"}, "Wall_AO.png",
         add({"Rock_Roughness.png"}), "Rock_AO.png"},
        {"a map removed after the run started", {"Rock_AO.png", "Rock_Roughness.png", "Wall_AO.png"}, "Wall_AO.png",
         [](const fs::path& root) { fs::remove(root / "Rock_Roughness.png"); }, "Rock_AO.png"},
        {"outputs written into the input folder", {"Rock_AO.png", "Rock_Height.png", "Wall_AO.png"}, "Wall_AO.png",
         add({"Rock_NormalGL.png", "Rock_Metallic.png"}), "Rock_Height.png"},
        {"hidden maps", {"Rock_AO.png", ".Rock_Roughness.png", ".Rock_NormalGL.png"}, "Rock_AO.png", {},
         "Rock_AO.png"},
        {"frames beside other files, one added", {"walk_01.png", "walk_02.png", "walk_03.jpg", "Walk_04.png",
         "walker_05.png", "walk_x.png", ".walk_06.png", "run_01.png"}, "run_01.png", add({"walk_00.png"}),
         "walk_02.png"},
        {"two folders", {"a/Wall_AO.png", "a/Rock_Metallic.png", "b/Rock_AO.png", "b/Rock_Roughness.png"},
         "a/Wall_AO.png", add({"a/Rock_Height.png"}), "b/Rock_AO.png"},
        {"an unreadable folder", {"Wall_AO.png"}, "Wall_AO.png", {}, "gone/Rock_AO.png"},
    };
    for (const auto& row : rows) {
        test::TempDir dir;
        std::vector<fs::path> sources;
        for (const auto& file : row.files) sources.push_back(writeGrey(dir / file, 4, 4, 9));
        const auto queued = [&](const fs::path& file) {
            return std::find(sources.begin(), sources.end(), file) != sources.end();
        };
        // The unshared code, as the folder is at the start.
        const fs::path observed = dir / row.observed;
        const auto set = TextureProcessor::textureSet(observed, extensions, queued);
        const auto stem = ChannelPacker().identify(observed);
        const auto sequence = TextureProcessor::frameSequence(observed, extensions);
        const std::string expected =
            folderView(dir.path(), set, stem && NormalMapGenerator::hasNormalMap(stem->stem, observed.parent_path()),
                       sequence, TextureProcessor::leadingFrame(sequence, queued));

        RunLedger ledger(sources);
        const auto seen = [&](const fs::path& file) {
            const auto& shared = TextureProcessor::runFrameSequence(ledger, file, extensions);
            const auto map = ChannelPacker().identify(file);
            const bool normal = map && NormalMapGenerator::hasNormalMap(
                                           map->stem, TextureProcessor::runListing(ledger, file.parent_path()));
            return folderView(dir.path(), TextureProcessor::runTextureSet(ledger, file, extensions), normal, shared,
                              TextureProcessor::leadingFrame(shared, TextureProcessor::queuedIn(ledger)));
        };
        (void)seen(dir / row.first);
        if (row.change) row.change(dir.path());
        EXPECT_EQ(seen(observed), expected) << row.what;
    }
}

TEST(TextureProcessorTest, MissingNormalMapIsMadeFromHeightAndItsFailureOnlyLogged) {
    test::TempDir dir;
    MorvalePreset preset = test::texturePreset(Mode::channelPackingORM);
    preset.generateMissingNormal = true;

    const fs::path ao = writeGrey(dir / "a/Rock_AO.png", 16, 16, 60);
    writeGrey(dir / "a/Rock_Height.png", 16, 16, 100);
    auto run = test::runTextureJob(preset, {ao}, dir / "outA", defaultPattern);
    EXPECT_EQ(run.items[0].outputs, (std::vector<std::string>{"Rock_ORM_16x16.png", "Rock_NormalGL.png"}));
    EXPECT_EQ(run.items[0].reports.at(2), (std::pair<double, std::string>{0.9, "Making normal map from height..."}));
    EXPECT_TRUE(run.logged("Rock: no normal map found, made Rock_NormalGL.png from the height map")) << run.logText();

    // A pattern that gives the packed map the normal map's name: the packed map stays, the
    // normal map is refused with a logged reason, and the item completes.
    run = test::runTextureJob(preset, {ao}, dir / "outSame", "{name}_NormalGL");
    EXPECT_EQ(run.items[0].status, ProcessingStatus::completed) << run.items[0].message;
    EXPECT_EQ(run.items[0].outputs, std::vector<std::string>{"Rock_NormalGL.png"});
    EXPECT_TRUE(run.logged("Rock: no normal map made from the height map. Won't overwrite Rock_NormalGL.png: it is "
                           "already the output of " + ao.string() + " in this run. Change the naming pattern so "
                           "that each output of an item gets a name of its own."))
        << run.logText();
    expectPixel(load(dir / "outSame/Rock_NormalGL.png"), 3, 3, {60, 255, 0, 100});

    // A normal map of the set already exists: none is made.
    writeGrey(dir / "a/Rock_Normal.png", 16, 16, 128);
    run = test::runTextureJob(preset, {ao}, dir / "outB", defaultPattern);
    EXPECT_EQ(run.items[0].outputs, std::vector<std::string>{"Rock_ORM_16x16.png"});

    // The glTF profile does not read the height map, so only the optional normal map meets the
    // broken file; the packed map stands and the item completes.
    preset.engineProfile = Profile::gltfORM;
    const fs::path broken = writeGrey(dir / "b/Rock_AO.png", 16, 16, 60);
    dir.write("b/Rock_Height.png", "broken");
    run = test::runTextureJob(preset, {broken}, dir / "outC", defaultPattern);
    EXPECT_EQ(run.items[0].status, ProcessingStatus::completed) << run.items[0].message;
    EXPECT_EQ(run.items[0].outputs, std::vector<std::string>{"Rock_ORM_16x16.png"});
    EXPECT_TRUE(run.logged("Rock: could not make a normal map from the height map: Could not read texture map "
                           "Rock_Height.png."))
        << run.logText();
}

// A PNG whose header claims 100000 x 100000 pixels over a few bytes of data.
constexpr unsigned char absurdPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x01,
    0x86, 0xa0, 0x00, 0x01, 0x86, 0xa0, 0x08, 0x00, 0x00, 0x00, 0x00, 0x8d, 0x39, 0x54, 0x14, 0x00, 0x00, 0x00,
    0x0c, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x60, 0xa0, 0x3d, 0x00, 0x00, 0x00, 0x64, 0x00, 0x01, 0x86,
    0x64, 0x3c, 0x35, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

TEST(TextureProcessorTest, AbsurdImageHeadersFailTheItemInEveryMode) {
    test::TempDir dir;
    const std::string bytes(reinterpret_cast<const char*>(absurdPng), sizeof absurdPng);
    for (const auto& [mode, name] : std::vector<std::pair<Mode, std::string>>{{Mode::channelPackingORM, "Huge_AO.png"},
                                                                              {Mode::normalMapConvert, "Huge_Normal.png"},
                                                                              {Mode::normalFromHeight, "Huge_Height.png"},
                                                                              {Mode::powerOfTwoEnforce, "Huge.png"},
                                                                              {Mode::tilingCheck, "Huge.png"},
                                                                              {Mode::spriteSheetAtlas, "Huge.png"}}) {
        const fs::path file = dir.write(name, bytes);
        const auto run = test::runTextureJob(test::texturePreset(mode), {file}, dir / "out", defaultPattern);
        EXPECT_EQ(run.items[0].status, ProcessingStatus::failed) << name;
        EXPECT_FALSE(run.items[0].message.empty()) << name;
        EXPECT_TRUE(test::fileNames(dir / "out").empty()) << name;
    }
}

// A member of a set that cannot be read is named with the reason, rather than the set being
// called empty or the member skipped as packed with it.
TEST(TextureProcessorTest, PackingNamesTheMapItCannotReadAndWhy) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& folder)> makeAO;
        const char* message;
    };
    const std::vector<Case> cases{
        {"empty AO map beside valid ones", [](const fs::path& folder) { std::ofstream(folder / "Rock_AO.png").flush(); },
         "Could not read texture map Rock_AO.png (the file is empty)."},
        {"AO map that is a symlink loop",
         [](const fs::path& folder) { fs::create_symlink("Rock_AO.png", folder / "Rock_AO.png"); },
         "Could not read texture map Rock_AO.png (Too many levels of symbolic links)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        fs::create_directories(dir / "in");
        c.makeAO(dir / "in");
        const fs::path roughness = writeGrey(dir / "in/Rock_Roughness.png", 16, 16, 90);
        const fs::path height = writeGrey(dir / "in/Rock_Height.png", 16, 16, 120);
        const auto run = test::runTextureJob(test::texturePreset(Mode::channelPackingORM),
                                             {dir / "in/Rock_AO.png", roughness, height}, dir / "out", defaultPattern);
        EXPECT_EQ(run.item("Rock_AO.png").status, ProcessingStatus::failed);
        EXPECT_EQ(run.item("Rock_AO.png").message, c.message);
    }
}

}  // namespace
}  // namespace morvale
