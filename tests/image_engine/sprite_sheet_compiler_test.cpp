#include "image_engine/sprite_sheet_compiler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image_engine/packed_texture.h"
#include "sprite_test_frames.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

using test::opaqueFrame;
using test::patternFrame;
using test::pixelAt;
using Compiler = SpriteSheetCompiler;
using Options = SpriteSheetCompiler::Options;
using Kind = SpriteSheetCompiler::AtlasError::Kind;

std::vector<Compiler::NamedFrame> framesOf(const std::vector<RGBAImage>& images) {
    std::vector<Compiler::NamedFrame> frames;
    for (std::size_t i = 0; i < images.size(); ++i) {
        frames.push_back({"f" + std::to_string(i) + ".png", images[i], {}});
    }
    return frames;
}

Options plain(int maxSheet = 4096) { return Options{false, 0, 0, maxSheet, 1.0, false}; }

// Runs a compile expected to throw and returns the error.
template <typename F>
Compiler::AtlasError errorOf(F&& body) {
    try {
        body();
    } catch (const Compiler::AtlasError& error) {
        return error;
    }
    ADD_FAILURE() << "no AtlasError thrown";
    return Compiler::AtlasError::emptyFrameList();
}

TEST(SpriteSheetDataFormat, NamesSuffixesAndRawValues) {
    struct Row {
        Compiler::DataFormat format;
        const char* raw;
        const char* display;
        const char* suffix;
        bool rotation;
    };
    const Row rows[] = {
        {Compiler::DataFormat::jsonHash, "json", "JSON Hash (Phaser, PixiJS)", ".json", true},
        {Compiler::DataFormat::jsonArray, "json-array", "JSON Array (Phaser, generic)", ".json", true},
        {Compiler::DataFormat::cocos, "cocos", "Cocos2d (.plist)", ".plist", true},
        {Compiler::DataFormat::godot, "godot", "Godot 4 SpriteFrames (.tres)", ".tres", false},
        {Compiler::DataFormat::unity, "unity", "Unity sliced sprite (.png.meta)", ".png.meta", false},
    };
    ASSERT_EQ(Compiler::allDataFormats.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        EXPECT_EQ(Compiler::allDataFormats[i], row.format);
        EXPECT_EQ(Compiler::rawValue(row.format), row.raw);
        EXPECT_EQ(Compiler::displayName(row.format), row.display);
        EXPECT_EQ(Compiler::fileSuffix(row.format), row.suffix);
        EXPECT_EQ(Compiler::supportsRotation(row.format), row.rotation);
        EXPECT_EQ(Compiler::dataFormat(row.raw), row.format);
    }
    for (const char* other : {"", "JSON", "json ", "plist", "Unity"}) {
        EXPECT_FALSE(Compiler::dataFormat(other)) << other;
    }
}

TEST(SpriteSheetCompiler, FirstPageSizeAndGrowth) {
    struct Case {
        const char* what;
        std::vector<std::pair<int, int>> sizes;
        Options options;
        int width;
        int height;
    };
    const Case cases[] = {
        {"one 64 square, padding 2, extrude 1", {{64, 64}}, {true, 2, 1, 4096, 1.0, false}, 128, 128},
        {"four 100x50", {{100, 50}, {100, 50}, {100, 50}, {100, 50}}, plain(), 256, 128},
        // 128 × 64 holds two; the smaller height doubles first.
        {"three 64 squares", {{64, 64}, {64, 64}, {64, 64}}, plain(), 128, 128},
        // 128 × 128 holds one; at equal sides the width doubles.
        {"two 90 squares", {{90, 90}, {90, 90}}, plain(), 256, 128},
        // A non-power-of-two limit caps the sides.
        {"capped by 100", {{60, 60}, {30, 30}}, plain(100), 100, 64},
    };
    for (const Case& c : cases) {
        std::vector<RGBAImage> images;
        unsigned seed = 1;
        for (auto [w, h] : c.sizes) images.push_back(opaqueFrame(w, h, seed++));
        const auto atlas = Compiler().compileFrames(framesOf(images), c.options, false);
        ASSERT_EQ(atlas.pages.size(), 1u) << c.what;
        EXPECT_EQ(atlas.pages[0].sheetWidth, c.width) << c.what;
        EXPECT_EQ(atlas.pages[0].sheetHeight, c.height) << c.what;
        EXPECT_EQ(atlas.pages[0].image.width, c.width) << c.what;
        EXPECT_EQ(atlas.pages[0].image.height, c.height) << c.what;
    }
}

TEST(SpriteSheetCompiler, SingleFrameSitsInsideItsExtrusion) {
    const auto atlas = Compiler().compileFrames(framesOf({opaqueFrame(64, 64, 7)}),
                                                Options{true, 2, 1, 4096, 1.0, false}, false);
    const auto& f = atlas.pages.at(0).frames.at(0);
    EXPECT_EQ(f.frame, (PackRect{1, 1, 64, 64}));
    EXPECT_EQ(f.spriteSourceSize, (PackRect{0, 0, 64, 64}));
    EXPECT_EQ(f.sourceSize, (SheetSize{64, 64}));
    EXPECT_FALSE(f.trimmed);
    EXPECT_FALSE(f.rotated);
    EXPECT_FALSE(f.isDuplicate);
}

TEST(SpriteSheetCompiler, SpillsOntoFurtherPagesOrRefuses) {
    std::vector<RGBAImage> images;
    for (unsigned i = 0; i < 5; ++i) images.push_back(opaqueFrame(64, 64, i + 1));

    const auto atlas = Compiler().compileFrames(framesOf(images), plain(128), true);
    ASSERT_EQ(atlas.pages.size(), 2u);
    EXPECT_EQ(atlas.pages[0].sheetWidth, 128);
    EXPECT_EQ(atlas.pages[0].sheetHeight, 128);
    EXPECT_EQ(atlas.pages[0].frames.size(), 4u);
    // The second page is sized afresh from what was left: one 64 square.
    EXPECT_EQ(atlas.pages[1].sheetWidth, 64);
    EXPECT_EQ(atlas.pages[1].sheetHeight, 64);
    ASSERT_EQ(atlas.pages[1].frames.size(), 1u);
    EXPECT_EQ(atlas.pages[1].frames[0].name, "f4.png");
    EXPECT_EQ(atlas.frameCount(), 5);

    const auto error = errorOf([&] { Compiler().compileFrames(framesOf(images), plain(128), false); });
    EXPECT_EQ(error.kind(), Kind::sheetTooLarge);
    EXPECT_STREQ(error.what(),
                 "The frames don't fit on a 128x128 sheet. Split the sequence or scale it down.");
}

TEST(SpriteSheetCompiler, FrameSizeLimitCountsExtrusionButNotPadding) {
    std::vector<Compiler::NamedFrame> frames{{"big.png", opaqueFrame(100, 100, 3), {}}};
    EXPECT_NO_THROW(Compiler().compileFrames(frames, Options{false, 8, 1, 102, 1.0, false}, false));
    const auto error = errorOf(
        [&] { Compiler().compileFrames(frames, Options{false, 0, 1, 101, 1.0, false}, false); });
    EXPECT_EQ(error.kind(), Kind::frameTooLarge);
    EXPECT_STREQ(error.what(), "big.png is larger than the 101x101 sheet limit.");
    // Of several frames too large, the one with the longest side is named.
    std::vector<Compiler::NamedFrame> several{{"small.png", opaqueFrame(10, 10, 1), {}},
                                              {"wide.png", opaqueFrame(90, 20, 2), {}},
                                              {"wider.png", opaqueFrame(120, 20, 3), {}},
                                              {"wider-again.png", opaqueFrame(120, 20, 3), {}}};
    EXPECT_STREQ(errorOf([&] { Compiler().compileFrames(several, plain(64), true); }).what(),
                 "wider.png is larger than the 64x64 sheet limit.");
    // A limit beyond what any raster may be is brought down before a page is allocated.
    const auto huge = Compiler().compileFrames(frames, Options{false, 0, 0, 1 << 30, 1.0, false}, false);
    EXPECT_EQ(huge.pages.at(0).sheetWidth, 128);
}

TEST(SpriteSheetCompiler, TrimOffsets) {
    const std::vector<RGBAImage> images{
        patternFrame(64, 64, 10, 20, 30, 20, 1),  // an opaque block inside a transparent canvas
        RGBAImage(64, 64),                        // nothing opaque at all
        patternFrame(8, 4, 7, 3, 1, 1, 2),        // one pixel in the far corner
    };
    const auto trimmed = Compiler().compileFrames(framesOf(images), Options{true, 0, 0, 4096, 1.0, false}, false);
    const auto& f = trimmed.pages.at(0).frames;
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].spriteSourceSize, (PackRect{10, 20, 30, 20}));
    EXPECT_EQ(f[0].sourceSize, (SheetSize{64, 64}));
    EXPECT_EQ(f[0].frame.width, 30);
    EXPECT_EQ(f[0].frame.height, 20);
    EXPECT_TRUE(f[0].trimmed);
    EXPECT_EQ(f[1].spriteSourceSize, (PackRect{0, 0, 1, 1}));
    EXPECT_EQ(f[1].sourceSize, (SheetSize{64, 64}));
    EXPECT_TRUE(f[1].trimmed);
    EXPECT_EQ(f[2].spriteSourceSize, (PackRect{7, 3, 1, 1}));

    const auto whole = Compiler().compileFrames(framesOf(images), plain(), false);
    for (const auto& frame : whole.pages.at(0).frames) {
        EXPECT_FALSE(frame.trimmed);
        EXPECT_EQ(frame.spriteSourceSize, (PackRect{0, 0, frame.sourceSize.width, frame.sourceSize.height}));
    }
}

TEST(SpriteSheetCompiler, RepeatedPixelsShareOneRectangle) {
    const std::vector<RGBAImage> images{
        patternFrame(64, 64, 5, 5, 20, 10, 42),
        patternFrame(64, 64, 30, 40, 20, 10, 42),  // same pixels, elsewhere on its canvas
        patternFrame(64, 64, 5, 5, 20, 10, 43),    // same size, other pixels
    };
    auto nearly = images[0];
    nearly.pixels[(6 * 64 + 6) * 4] ^= 1;  // one byte apart from the first frame
    auto frames = framesOf(images);
    frames.push_back({"f3.png", nearly, {}});

    const auto atlas = Compiler().compileFrames(frames, Options{true, 0, 0, 4096, 1.0, false}, false);
    const auto& page = atlas.pages.at(0);
    ASSERT_EQ(page.frames.size(), 4u);
    EXPECT_EQ(page.duplicateCount, 1);
    EXPECT_EQ(atlas.duplicateCount(), 1);
    EXPECT_TRUE(page.frames[1].isDuplicate);
    EXPECT_EQ(page.frames[1].frame, page.frames[0].frame);
    EXPECT_EQ(page.frames[0].spriteSourceSize, (PackRect{5, 5, 20, 10}));
    EXPECT_EQ(page.frames[1].spriteSourceSize, (PackRect{30, 40, 20, 10}));
    for (std::size_t i : {2u, 3u}) {
        EXPECT_FALSE(page.frames[i].isDuplicate);
        EXPECT_NE(page.frames[i].frame, page.frames[0].frame);
    }
    // Three distinct frames are drawn: three blocks of 200 opaque pixels.
    int opaque = 0;
    for (std::size_t i = 3; i < page.image.rgba.size(); i += 4) opaque += page.image.rgba[i] != 0;
    EXPECT_EQ(opaque, 3 * 200);
}

TEST(SpriteSheetCompiler, ExtrusionRepeatsEdgePixelsWithoutBlending) {
    // A frame whose every pixel is half transparent: any blending of shifted copies would show
    // as an alpha above 128 in the band.
    RGBAImage soft(5, 3);
    for (std::size_t i = 0; i < soft.pixels.size(); i += 4) {
        soft.pixels[i] = static_cast<std::uint8_t>(i);
        soft.pixels[i + 1] = 200;
        soft.pixels[i + 2] = static_cast<std::uint8_t>(255 - i);
        soft.pixels[i + 3] = 128;
    }
    const int e = 3;
    const auto atlas = Compiler().compileFrames({{"soft.png", soft, {}}},
                                                Options{false, 1, e, 4096, 1.0, false}, false);
    const auto& page = atlas.pages.at(0);
    const auto& f = page.frames.at(0);
    const int fx = static_cast<int>(f.frame.x);
    const int fy = static_cast<int>(f.frame.y);
    ASSERT_EQ(fx, e);
    ASSERT_EQ(fy, e);
    for (int y = 0; y < page.sheetHeight; ++y) {
        for (int x = 0; x < page.sheetWidth; ++x) {
            const std::uint8_t* got = pixelAt(page.image.rgba, page.sheetWidth, x, y);
            const bool inSlot = x < fx + soft.width + e && y < fy + soft.height + e;
            if (!inSlot) {
                EXPECT_EQ(got[3], 0) << x << "," << y;
                continue;
            }
            const int sx = std::clamp(x - fx, 0, soft.width - 1);
            const int sy = std::clamp(y - fy, 0, soft.height - 1);
            EXPECT_EQ(std::memcmp(got, pixelAt(soft.pixels, soft.width, sx, sy), 4), 0)
                << x << "," << y;
        }
    }
}

TEST(SpriteSheetCompiler, RotatedFramesKeepTheirUnturnedSize) {
    const RGBAImage tall = opaqueFrame(10, 30, 5);
    const auto atlas = Compiler().compileFrames({{"tall.png", tall, {}}},
                                                Options{false, 0, 0, 4096, 1.0, true}, false);
    const auto& page = atlas.pages.at(0);
    EXPECT_EQ(page.sheetWidth, 32);
    EXPECT_EQ(page.sheetHeight, 16);
    const auto& f = page.frames.at(0);
    ASSERT_TRUE(f.rotated);
    EXPECT_EQ(f.frame, (PackRect{0, 0, 10, 30}));
    // The page holds the frame turned a quarter clockwise: 30 across, 10 down.
    const RGBAImage turned = tall.rotatedClockwise();
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 30; ++x) {
            ASSERT_EQ(std::memcmp(pixelAt(page.image.rgba, 32, x, y),
                                  pixelAt(turned.pixels, turned.width, x, y), 4), 0);
        }
    }

    // Squares are never turned, and nothing is turned with rotation off.
    std::vector<RGBAImage> mix;
    for (unsigned i = 0; i < 12; ++i) mix.push_back(opaqueFrame(8 + static_cast<int>(i % 3) * 8, 8 + static_cast<int>(i % 3) * 8, i + 1));
    for (unsigned i = 0; i < 12; ++i) mix.push_back(opaqueFrame(6, 40, i + 50));
    const auto squares = Compiler().compileFrames(framesOf(mix), Options{false, 1, 0, 4096, 1.0, true}, false);
    int turnedCount = 0;
    for (const auto& frame : squares.pages.at(0).frames) {
        if (frame.frame.width == frame.frame.height) {
            EXPECT_FALSE(frame.rotated);
        }
        turnedCount += frame.rotated;
    }
    EXPECT_GT(turnedCount, 0);
    const auto upright = Compiler().compileFrames(framesOf(mix), Options{false, 1, 0, 4096, 1.0, false}, false);
    for (const auto& frame : upright.pages.at(0).frames) EXPECT_FALSE(frame.rotated);
}

TEST(SpriteSheetCompiler, FramesFromFiles) {
    test::TempDir dir;
    auto writeFrame = [&](const std::string& name, const RGBAImage& image) {
        const auto path = dir / name;
        PackedTexture::writePNG(PackedTexture{image.width, image.height, image.pixels}, path);
        return path;
    };
    const auto a = writeFrame("walk_01.png", patternFrame(64, 30, 2, 3, 40, 20, 1));
    const auto b = writeFrame("walk_02.png", patternFrame(64, 30, 2, 3, 40, 20, 2));
    const auto bad = dir.write("walk_03.png", "not an image at all");
    const auto missing = dir / "walk_04.png";

    std::vector<std::string> log;
    const auto atlas = Compiler().compileAtlas({a, bad, b, missing},
                                               Options{true, 2, 1, 2048, 1.0, false}, true,
                                               [&](const std::string& line) { log.push_back(line); });
    ASSERT_EQ(atlas.pages.size(), 1u);
    ASSERT_EQ(atlas.pages[0].frames.size(), 2u);
    EXPECT_EQ(atlas.pages[0].frames[0].name, "walk_01.png");
    EXPECT_EQ(atlas.pages[0].frames[1].name, "walk_02.png");
    EXPECT_EQ(atlas.skippedFrames, (std::vector<std::string>{"walk_03.png", "walk_04.png"}));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find("walk_03.png"), std::string::npos);
    EXPECT_NE(log[1].find("walk_04.png"), std::string::npos);

    // Loading at half size rounds each side half away from zero.
    const auto half = Compiler().compileAtlas({a}, Options{false, 0, 0, 2048, 0.5, false}, false);
    EXPECT_EQ(half.pages.at(0).frames.at(0).sourceSize, (SheetSize{32, 15}));
    const auto tiny = Compiler().compileAtlas({a}, Options{false, 0, 0, 2048, 0.01, false}, false);
    EXPECT_EQ(tiny.pages.at(0).frames.at(0).sourceSize, (SheetSize{1, 1}));

    EXPECT_EQ(errorOf([&] { Compiler().compileAtlas({}, plain(), true); }).kind(), Kind::emptyFrameList);
    const auto none = errorOf([&] { Compiler().compileAtlas({bad, missing}, plain(), true); });
    EXPECT_EQ(none.kind(), Kind::failedToLoadFrames);
    EXPECT_STREQ(none.what(), "Failed to decode frame images from provided URLs.");

    const auto single = Compiler().compile({a, b}, plain(), {});
    EXPECT_EQ(single.frames.size(), 2u);
    EXPECT_EQ(errorOf([&] { Compiler().compile({a, b}, plain(32)); }).kind(), Kind::frameTooLarge);
}

}  // namespace
}  // namespace morvale
