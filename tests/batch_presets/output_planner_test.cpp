#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "batch_presets/output_planner.h"
#include "image_engine/core_image_pipeline.h"
#include "output_planner_support.h"
#include "support/temp_dir.h"
#include "texture_test_support.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Mode = MorvalePreset::OperationalMode;
using Lines = std::vector<std::string>;

constexpr const char* defaultPattern = "{name}_{profile}_{pot}";

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A PNG whose header claims width x height and that holds almost no data.
void writePNGHeader(const fs::path& file, std::uint32_t width, std::uint32_t height) {
    std::vector<std::uint8_t> bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    auto chunk = [&](const char* type, const std::vector<std::uint8_t>& data) {
        put32(bytes, static_cast<std::uint32_t>(data.size()));
        std::vector<std::uint8_t> body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        bytes.insert(bytes.end(), body.begin(), body.end());
        put32(bytes, crc32(body.data(), body.size()));
    };
    std::vector<std::uint8_t> header;
    put32(header, width);
    put32(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});
    chunk("IHDR", header);
    chunk("IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
    chunk("IEND", {});
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

// A JPEG stored width x height whose EXIF says orientation 6 (shown a quarter turn clockwise).
void writeTurnedJPEG(const fs::path& file, int width, int height) {
    PipelineImage image;
    image.pixels = test::makeTexture(width, height, [](int x, int y) {
        return test::Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 90, 255};
    });
    CoreImagePipeline::shared().write(image, file, 0.9);
    std::ifstream in(file, std::ios::binary);
    std::vector<char> jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    // APP1 "Exif", little-endian TIFF, one entry: Orientation (0x0112), SHORT, 1, value 6.
    const std::vector<std::uint8_t> exif{0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 0x2A, 0,
                                         8,    0,    0,    0,    1,   0,   0x12, 0x01, 3, 0, 1, 0, 0, 0,
                                         6,    0,    0,    0,    0,   0,   0,    0};
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(jpeg.data(), 2);
    out.write(reinterpret_cast<const char*>(exif.data()), static_cast<std::streamsize>(exif.size()));
    out.write(jpeg.data() + 2, static_cast<std::streamsize>(jpeg.size() - 2));
}

// A texture whose opposite edges match (seamless) or clash (a ramp across it).
void writePattern(const fs::path& file, int side, bool seamless) {
    PackedTexture::writePNG(test::makeTexture(side, side, [&](int x, int y) {
                                const double turn = 2 * 3.14159265358979 / side;
                                const double v = seamless ? 128 + 60 * std::sin(x * turn) * std::cos(y * turn)
                                                          : x * 255.0 / side;
                                const auto byte = static_cast<std::uint8_t>(v);
                                return test::Rgba{byte, byte, byte, 255};
                            }),
                            file);
}

// Files of a case: "Name.png" WxH grey; a size of 0 writes bytes that no decoder reads.
struct File {
    std::string name;
    int width = 8;
    int height = 8;
};

struct Case {
    std::string title;
    Mode mode;
    std::function<void(MorvalePreset&)> tweak;
    std::vector<File> files;           // written in the folder
    std::vector<std::string> queued;   // queued, in this order; empty: every file
    std::string pattern;
    std::map<std::string, Lines> expected;  // by queued file name
};

std::vector<fs::path> writeCase(const test::TempDir& dir, const Case& c) {
    std::vector<fs::path> all;
    for (const auto& file : c.files) {
        const fs::path path = dir / ("in/" + file.name);
        fs::create_directories(path.parent_path());
        if (file.width == 0) {
            dir.write("in/" + file.name, "not an image at all");
        } else if (path.extension() == ".jpg") {
            writeTurnedJPEG(path, file.width, file.height);
        } else if (file.name.find("Tileable") != std::string::npos || file.name.find("Seamed") != std::string::npos) {
            writePattern(path, file.width, file.name.find("Tileable") != std::string::npos);
        } else {
            test::writeGrey(path, file.width, file.height, 128);
        }
        all.push_back(path);
    }
    if (c.queued.empty()) return all;
    std::vector<fs::path> queued;
    for (const auto& name : c.queued) queued.push_back(dir / ("in/" + name));
    return queued;
}

TEST(OutputPlannerTexture, EachModeProjectsTheRunsNamesAndWarnings) {
    const auto none = [](MorvalePreset&) {};
    const auto mipmaps = [](MorvalePreset& p) { p.generateMipmaps = true; };
    const std::vector<Case> cases{
        {"a set of three packs once, on its primary map", Mode::channelPackingORM, none,
         {{"Rock_AO.png", 40, 24}, {"Rock_Roughness.png", 40, 24}, {"Rock_Metallic.png", 40, 24}}, {}, defaultPattern,
         {{"Rock_AO.png", {"-> Rock_ORM_32x32.png", "! No Height map found; Unreal Engine (ORM) defaults will be used"}},
          {"Rock_Roughness.png", {"! Skipped: packed together with Rock_AO.png"}},
          {"Rock_Metallic.png", {"! Skipped: packed together with Rock_AO.png"}}}},
        {"a file without a channel suffix", Mode::channelPackingORM, none, {{"Logo.png"}}, {}, defaultPattern,
         {{"Logo.png", {"! Skipped: not an AO / Roughness / Smoothness / Metallic / Height map"}}}},
        {"the first queued member leads a set, a sequence", Mode::channelPackingORM, none,
         {{"Rock_AO.png"}, {"Rock_Roughness.png"}, {"Rock_Metallic.png"}}, {"Rock_Metallic.png", "Rock_Roughness.png"},
         defaultPattern,
         {{"Rock_Roughness.png", {"-> Rock_ORM_8x8.png", "! No Height map found; Unreal Engine (ORM) defaults will be used"}},
          {"Rock_Metallic.png", {"! Skipped: packed together with Rock_Roughness.png"}}}},
        {"the first queued frame leads its sequence", Mode::spriteSheetAtlas, none,
         {{"walk_01.png"}, {"walk_02.png"}, {"walk_03.png"}}, {"walk_03.png", "walk_02.png"}, defaultPattern,
         {{"walk_02.png", {"-> walk_Atlas.png", "-> walk_Atlas.json"}},
          {"walk_03.png", {"! Skipped: frame of the walk sprite sheet"}}}},
        {"of two maps for one channel the set takes the first by name", Mode::channelPackingORM, none,
         {{"Rock_AO.png"}, {"Rock_Occlusion.png"}, {"Rock_Roughness.png"}, {"Rock_Metallic.png"}, {"Rock_Height.png"}},
         {"Rock_Occlusion.png", "Rock_AO.png"}, defaultPattern,
         {{"Rock_Occlusion.png", {"! Skipped: its set takes Rock_AO.png as its AO map"}},
          {"Rock_AO.png", {"-> Rock_ORM_8x8.png"}}}},
        {"unreadable maps keep their names and are said", Mode::channelPackingORM, mipmaps,
         {{"Rock_AO.png", 0}, {"Rock_Metallic.png", 0}, {"Rock_Roughness.png"}, {"Rock_Height.png"}}, {"Rock_AO.png"},
         defaultPattern,
         {{"Rock_AO.png",
           {"-> Rock_ORM_0x0.png", "-> Rock_ORM_0x0_mip1\u2026 (mipmap chain)", "! Could not read the image",
            "! Could not read Rock_Metallic.png"}}}},
        {"every mip level from the packed size, down to 16", Mode::channelPackingORM,
         [](MorvalePreset& p) {
             p.generateMipmaps = true;
             p.engineProfile = ChannelPacker::EngineProfile::gltfORM;
         },
         {{"Tiny_AO.png", 32, 8}, {"Tiny_Roughness.png", 32, 8}, {"Tiny_Metallic.png", 32, 8}, {"Flat_AO.png", 16, 16},
          {"Flat_Roughness.png", 16, 16}, {"Flat_Metallic.png", 16, 16}},
         {"Tiny_AO.png", "Flat_AO.png"}, defaultPattern,
         {{"Tiny_AO.png", {"-> Tiny_ORM_32x8.png", "-> Tiny_ORM_32x8_mip1_16.png"}},
          {"Flat_AO.png", {"-> Flat_ORM_16x16.png"}}}},
        {"a missing normal map is made from the height map", Mode::channelPackingORM,
         [](MorvalePreset& p) {
             p.generateMissingNormal = true;
             p.normalTarget = ChannelPacker::NormalConvention::directX;
         },
         {{"Rock_AO.png"}, {"Rock_Roughness.png"}, {"Rock_Metallic.png"}, {"Rock_Height.png"}, {"Brick_AO.png"},
          {"Brick_Height.png"}, {"Brick_nrm.tga"}},
         {"Rock_AO.png", "Brick_AO.png"}, "{name}",
         {{"Rock_AO.png", {"-> Rock.png", "-> Rock_NormalDX.png"}},
          {"Brick_AO.png",
           {"-> Brick.png", "! No Roughness/Metallic map found; Unreal Engine (ORM) defaults will be used"}}}},
        {"a map in the target convention is skipped, one without a convention always converted", Mode::normalMapConvert,
         [](MorvalePreset& p) { p.normalTarget = ChannelPacker::NormalConvention::directX; },
         {{"Brick_NormalDX.png"}, {"Brick_Normal.png"}, {"Logo.png"}}, {}, defaultPattern,
         {{"Brick_NormalDX.png", {"! Skipped: already DX"}},
          {"Brick_Normal.png", {"-> Brick_NormalDX.png"}},
          {"Logo.png", {"! Skipped: not named like a normal map (_Normal, _NormalDX, _NormalGL, _Nrm)"}}}},
        {"another pattern names a normal map by its size after the limit; an unknown size stays visible",
         Mode::normalMapConvert, [](MorvalePreset& p) { p.maxTextureSize = 1024; },
         {{"Brick_NormalDX.png", 2048, 1024}, {"Wall_NormalDX.png", 0}}, {}, "{name}_{pot}",
         {{"Brick_NormalDX.png", {"-> Brick_NormalGL_1024x512.png"}},
          {"Wall_NormalDX.png", {"-> Wall_NormalGL_?.png", "! Could not read the image"}}}},
        {"a height map by any name", Mode::normalFromHeight, none, {{"Hill_Disp.png"}, {"Plain.png"}}, {}, "{name}_{pot}",
         {{"Hill_Disp.png", {"-> Hill_NormalGL_8x8.png"}},
          {"Plain.png",
           {"-> Plain_NormalGL_8x8.png", "! Not named like a height map (_Height, _Disp, _Bump); it will be treated as one"}}}},
        {"stretching to square is said with the source size", Mode::powerOfTwoEnforce,
         [](MorvalePreset& p) { p.forceSquare = true; }, {{"Wide.png", 512, 256}, {"Even.png", 256, 256}}, {},
         defaultPattern,
         {{"Wide.png", {"-> Wide_POT_512x512.png", "! Will be stretched from 512x256 to square"}},
          {"Even.png", {"-> Even_POT_256x256.png"}}}},
        {"a photo turned by its EXIF orientation is sized upright", Mode::powerOfTwoEnforce, none,
         {{"Photo.jpg", 512, 256}}, {}, defaultPattern, {{"Photo.jpg", {"-> Photo_POT_256x512.png"}}}},
        {"each mip level of a power-of-two output; a placeholder only for an unknown size", Mode::powerOfTwoEnforce,
         mipmaps, {{"Grass.png", 256, 256}, {"Broken.png", 0}}, {}, defaultPattern,
         {{"Grass.png",
           {"-> Grass_POT_256x256.png", "-> Grass_POT_256x256_mip1_128.png", "-> Grass_POT_256x256_mip2_64.png",
            "-> Grass_POT_256x256_mip3_32.png", "-> Grass_POT_256x256_mip4_16.png"}},
          {"Broken.png", {"-> Broken_POT_?.png", "-> Broken_POT_?_mip1\u2026 (mipmap chain)", "! Could not read the image"}}}},
        {"an empty pattern plans with the preset's own", Mode::powerOfTwoEnforce, none, {{"Grass.png", 100, 60}}, {}, "",
         {{"Grass.png", {"-> Grass_POT_128x64.png"}}}},
        {"the first frame builds every variant, the others are skipped", Mode::spriteSheetAtlas,
         [](MorvalePreset& p) { p.spriteHalfScale = true; },
         {{"walk_02.png"}, {"walk_01.png"}, {"walk_10.png"}, {"hero.png"}}, {}, defaultPattern,
         {{"walk_02.png", {"! Skipped: frame of the walk sprite sheet"}},
          {"walk_10.png", {"! Skipped: frame of the walk sprite sheet"}},
          {"walk_01.png", {"-> walk_Atlas.png", "-> walk_Atlas.json", "-> walk_Atlas@1x.png", "-> walk_Atlas@1x.json"}},
          {"hero.png",
           {"-> hero_Atlas.png", "-> hero_Atlas.json", "-> hero_Atlas@1x.png", "-> hero_Atlas@1x.json",
            "! Only one frame found for this sheet"}}}},
        {"rotation a format cannot use; frames that cannot be read", Mode::spriteSheetAtlas,
         [](MorvalePreset& p) {
             p.spriteRotate = true;
             p.spriteFormat = SpriteSheetCompiler::DataFormat::godot;
         },
         {{"run-1.png"}, {"run-2.png", 0}, {"0001.png", 0}}, {"run-1.png", "0001.png"}, defaultPattern,
         {{"run-1.png",
           {"-> run_Atlas.png", "-> run_Atlas.tres",
            "! Godot 4 SpriteFrames (.tres) can't use rotated frames; rotation is off for this format",
            "! Could not read run-2.png; the sheet leaves it out"}},
          {"0001.png",
           {"-> Sprite_Atlas.png", "-> Sprite_Atlas.tres",
            "! Godot 4 SpriteFrames (.tres) can't use rotated frames; rotation is off for this format",
            "! Only one frame found for this sheet", "! Could not read the image"}}}},
        {"frames that cannot share one page at the limit", Mode::spriteSheetAtlas,
         [](MorvalePreset& p) { p.maxTextureSize = 64; }, {{"jump1.png", 48, 48}, {"jump2.png", 48, 48}}, {},
         defaultPattern,
         {{"jump1.png",
           {"-> jump_Atlas.png", "-> jump_Atlas.json",
            "! The frames may not fit one 64x64 sheet; the sheet may take several pages (jump_Atlas-0.png, ...)"}},
          {"jump2.png", {"! Skipped: frame of the jump sprite sheet"}}}},
        {"a seamless texture projects nothing; a seam projects the preview", Mode::tilingCheck, none,
         {{"Moss_Tileable.png", 64}, {"Sand_Seamed.png", 64}, {"Broken.png", 0}}, {}, defaultPattern,
         {{"Moss_Tileable.png", {}},
          {"Sand_Seamed.png",
           {"-> Sand_Seamed_Tiled2x2.png",
            "! Visible seam: left/right edges don't match (" /* ratio checked below */}},
          {"Broken.png", {"! Could not read the image"}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        test::TempDir dir;
        MorvalePreset preset = test::texturePreset(c.mode);
        c.tweak(preset);
        const auto files = writeCase(dir, c);
        const auto reports = test::planFiles(preset, files, dir / "out", c.pattern);
        ASSERT_EQ(reports.size(), files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            const auto name = files[i].filename().string();
            const auto expected = c.expected.find(name);
            ASSERT_NE(expected, c.expected.end()) << name;
            EXPECT_EQ(reports[i].sourceURL, files[i]);
            EXPECT_EQ(reports[i].projectedDirectory, dir / "out");
            Lines actual = test::lines(reports[i]);
            // A seam's ratio is the checker's; the planner only passes its summary on.
            for (auto& line : actual) {
                if (line.rfind("! Visible seam: left/right", 0) == 0) line = line.substr(0, line.find('(') + 1);
            }
            EXPECT_EQ(actual, expected->second) << name;
        }
    }
}

TEST(OutputPlannerTexture, AFIFOAndAHugeHeaderAreUnreadableWithoutWaitingOrAllocating) {
    test::TempDir dir;
    fs::create_directories(dir / "in");
    ASSERT_EQ(mkfifo((dir / "in/Rock_AO.png").c_str(), 0600), 0);
    writePNGHeader(dir / "in/Huge_AO.png", 100000, 100000);
    const std::vector<fs::path> files{dir / "in/Rock_AO.png", dir / "in/Huge_AO.png"};
    const std::vector<std::pair<Mode, Lines>> expected{
        // The run's listing takes regular files only, so the FIFO belongs to no set.
        {Mode::channelPackingORM, {"! Skipped: packed together with its set"}},
        {Mode::powerOfTwoEnforce, {"-> Rock_AO_POT_?_x.png", "! Could not read the image"}},
        {Mode::tilingCheck, {"! Could not read the image"}},
        {Mode::normalFromHeight, {"-> Rock_AO_NormalGL_GL_?_x.png", "! Could not read the image",
                                  "! Not named like a height map (_Height, _Disp, _Bump); it will be treated as one"}},
    };
    for (const auto& [mode, fifoLines] : expected) {
        const auto reports = test::planFiles(test::texturePreset(mode), files, dir / "out", "{name}_{profile}_{pot}_x");
        EXPECT_EQ(test::lines(reports[0]), fifoLines) << MorvalePreset::rawValue(mode);
        // The huge header is refused before any pixel memory: its size is unknown.
        const auto huge = test::lines(reports[1]);
        EXPECT_NE(std::find(huge.begin(), huge.end(), "! Could not read the image"), huge.end())
            << MorvalePreset::rawValue(mode);
    }
}

// Power-of-two items of 8 x 8 pixels, planned into `out`.
std::vector<SimulatedItemReport> planPOT(const std::vector<fs::path>& files, const fs::path& out,
                                         const std::string& pattern, bool checkExisting) {
    return test::planFiles(test::texturePreset(Mode::powerOfTwoEnforce), files, out, pattern, checkExisting);
}

TEST(OutputPlannerConflicts, EveryWriterOfANameHearsOfTheFirstOtherOne) {
    test::TempDir dir;
    std::vector<fs::path> files;
    for (const char* name : {"a.png", "b.png", "c.png", "d.png"}) files.push_back(test::writeGrey(dir / "in" / name, 8, 8, 9));
    fs::create_directories(dir / "out");
    dir.write("out/POT.png");
    dir.write("out/d_8x8.png");
    fs::create_symlink(dir / "nowhere.png", dir / "out/b_8x8.png");

    struct Row {
        std::string pattern;
        bool checkExisting;
        std::vector<Lines> expected;
        bool collisions;
    };
    const std::string remedy = "; add {index} or {name} to the pattern";
    const std::vector<Row> rows{
        {"{profile}",
         true,
         {{"-> POT.png", "! POT.png is also written by b.png" + remedy},
          {"-> POT.png", "! POT.png is also written by a.png" + remedy},
          {"-> POT.png", "! POT.png is also written by a.png" + remedy},
          {"-> POT.png", "! POT.png is also written by a.png" + remedy}},
         true},
        // Only existing files: replaced, and no collision; a dangling link counts as existing.
        {"{name}_{pot}",
         true,
         {{"-> a_8x8.png"},
          {"-> b_8x8.png", "! b_8x8.png already exists and will be replaced"},
          {"-> c_8x8.png"},
          {"-> d_8x8.png", "! d_8x8.png already exists and will be replaced"}},
         false},
        {"{name}_{pot}", false, {{"-> a_8x8.png"}, {"-> b_8x8.png"}, {"-> c_8x8.png"}, {"-> d_8x8.png"}}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pattern);
        const auto reports = planPOT(files, dir / "out", row.pattern, row.checkExisting);
        ASSERT_EQ(reports.size(), row.expected.size());
        for (std::size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(test::lines(reports[i]), row.expected[i]) << i;
        EXPECT_EQ(OutputPlanner::hasCollisions(reports), row.collisions);
    }
}

TEST(OutputPlannerConflicts, OutputsOntoFilesTheRunReadsAreCollisionsThroughAnySpelling) {
    test::TempDir dir;
    const fs::path grass = test::writeGrey(dir / "in/Grass.png", 8, 8, 9);
    const fs::path moss = test::writeGrey(dir / "in/Moss.png", 8, 8, 9);
    fs::create_directory_symlink(dir / "in", dir / "linked");
    const auto source = [](const fs::path& file) { return " would overwrite " + file.string() + ", which this run reads"; };
    // Into the sources' own folder, spelled as given, through a linked folder, with a detour.
    for (const fs::path& out : {dir / "in", dir / "linked", dir / "out/../in"}) {
        SCOPED_TRACE(out.string());
        const auto reports = planPOT({grass, moss}, out, "{name}", true);
        EXPECT_EQ(test::lines(reports[0]), (Lines{"-> Grass.png", "! Grass.png" + source(grass)}));
        EXPECT_EQ(test::lines(reports[1]), (Lines{"-> Moss.png", "! Moss.png" + source(moss)}));
        EXPECT_TRUE(OutputPlanner::hasCollisions(reports));
    }
}

TEST(OutputPlannerConflicts, OnlyTheConflictPassesOwnWarningsAreCollisions) {
    test::TempDir dir;
    // A file name that reads like a collision warning, replaced as an existing file.
    const std::string odd = "x is also written by y; add it to the pattern";
    const fs::path file = test::writeGrey(dir / ("in/" + odd + ".png"), 8, 8, 9);
    dir.write("out/" + odd + ".png");
    const auto reports = planPOT({file}, dir / "out", "{name}", true);
    EXPECT_EQ(test::lines(reports[0]), (Lines{"-> " + odd + ".png", "! " + odd + ".png already exists and will be replaced"}));
    EXPECT_FALSE(OutputPlanner::hasCollisions(reports));

    // A normal map that would take the packed map's own name is not made.
    MorvalePreset packing = test::texturePreset(Mode::channelPackingORM);
    packing.generateMissingNormal = true;
    const auto twice = test::planFiles(packing, {test::writeGrey(dir / "set/Rock_AO.png", 8, 8, 9),
                                                 test::writeGrey(dir / "set/Rock_Height.png", 8, 8, 9)},
                                       dir / "out", "{name}_NormalGL");
    EXPECT_EQ(test::lines(twice[0]),
              (Lines{"-> Rock_NormalGL.png", "! No Roughness/Metallic map found; Unreal Engine (ORM) defaults will be used",
                     "! No normal map will be made: Rock_NormalGL.png is already the packed map's name"}));
    EXPECT_FALSE(OutputPlanner::hasCollisions(twice));

    // Every page a spilling sheet could write takes part, though only one page is projected.
    MorvalePreset sprite = test::texturePreset(Mode::spriteSheetAtlas);
    sprite.maxTextureSize = 64;
    std::vector<fs::path> frames;
    for (const char* name : {"a/jump1.png", "a/jump2.png", "b/jump1.png", "b/jump2.png"}) {
        frames.push_back(test::writeGrey(dir / name, 48, 48, 9));
    }
    const auto sheets = test::planFiles(sprite, {frames[0], frames[2]}, dir / "out", defaultPattern);
    const auto& warnings = sheets[0].warnings;
    EXPECT_NE(std::find(warnings.begin(), warnings.end(),
                        "jump_Atlas-1.json is also written by jump1.png; add {index} or {name} to the pattern"),
              warnings.end());
    EXPECT_TRUE(OutputPlanner::hasCollisions(sheets));
}

TEST(OutputPlanner, OtherPresetsAndNoItemsPlanNothing) {
    test::TempDir dir;
    EXPECT_TRUE(test::planFiles(test::texturePreset(Mode::tilingCheck), {}, dir / "out", defaultPattern).empty());
    const test::RecordingTexturePreset wrapped(test::texturePreset(Mode::powerOfTwoEnforce));
    const auto reports = test::planFiles(wrapped, {test::writeGrey(dir / "a.png", 8, 8, 1)}, dir / "out", "x");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].projectedFileNames.empty());
    EXPECT_TRUE(reports[0].warnings.empty());
}

}  // namespace
}  // namespace morvale
