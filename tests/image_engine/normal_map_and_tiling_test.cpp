// Normal maps from height maps, height-map names, and the seam check with its preview.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "image_engine/image_size_rules.h"
#include "image_engine/normal_map_generator.h"
#include "image_engine/tiling_checker.h"
#include "support/temp_dir.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Convention = ChannelPacker::NormalConvention;

fs::path heightMap(const test::TempDir& dir, const std::string& name, int width, int height,
                   const std::function<std::uint8_t(int, int)>& value) {
    std::vector<std::uint8_t> plane;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) plane.push_back(value(x, y));
    }
    const fs::path file = dir / name;
    test::writeGrey(file, width, height, plane);
    return file;
}

const std::uint8_t* pixel(const PackedTexture& t, int x, int y) {
    return t.rgba.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(t.width) + static_cast<std::size_t>(x)) * 4;
}

TEST(NormalFromHeight, FlatMapsAreStraightUpForAnyStrengthAndConvention) {
    test::TempDir dir;
    const fs::path flat = heightMap(dir, "Flat_Height.png", 9, 6, [](int, int) { return std::uint8_t{90}; });
    for (const double strength : {0.0, 1.0, 8.0, 100.0}) {
        for (const Convention convention : ChannelPacker::allNormalConventions()) {
            for (const bool wrap : {true, false}) {
                const PackedTexture normal = NormalMapGenerator::fromHeight(flat, strength, convention, 0, wrap);
                ASSERT_EQ(normal, test::solidTexture(9, 6, 128, 128, 255, 255));
            }
        }
    }
}

TEST(NormalFromHeight, RampsGiveTheConventionsSigns) {
    test::TempDir dir;
    const fs::path rightward = heightMap(dir, "Ramp_X.png", 16, 16, [](int x, int) { return static_cast<std::uint8_t>(x * 10); });
    const fs::path downward = heightMap(dir, "Ramp_Y.png", 16, 16, [](int, int y) { return static_cast<std::uint8_t>(y * 10); });
    const PackedTexture gx = NormalMapGenerator::fromHeight(rightward, 2.0, Convention::openGL, 0, true);
    const PackedTexture gl = NormalMapGenerator::fromHeight(downward, 2.0, Convention::openGL, 0, true);
    const PackedTexture dx = NormalMapGenerator::fromHeight(downward, 2.0, Convention::directX, 0, true);
    for (int i = 1; i < 15; ++i) {
        EXPECT_LT(pixel(gx, i, 8)[0], 128);
        EXPECT_EQ(pixel(gx, i, 8)[1], 128);
        EXPECT_GT(pixel(gl, 8, i)[1], 128);
        EXPECT_LT(pixel(dx, 8, i)[1], 128);
        EXPECT_EQ(pixel(dx, 8, i)[0], 128);
    }
    // Slope 10 per pixel: gx = 4 * 20 = 80, k = 2 / 255; nx = -0.627, length 1.181.
    const double nx = -80.0 * 2.0 / 255.0;
    const double length = std::sqrt(nx * nx + 1.0);
    EXPECT_EQ(pixel(gx, 5, 5)[0], static_cast<int>((nx / length * 0.5 + 0.5) * 255.0 + 0.5));
    EXPECT_EQ(pixel(gx, 5, 5)[2], static_cast<int>((1.0 / length * 0.5 + 0.5) * 255.0 + 0.5));
    EXPECT_EQ(pixel(gx, 5, 5)[3], 255);
}

TEST(NormalFromHeight, EdgesWrapOrClamp) {
    test::TempDir dir;
    // Left half low, right half high: wrapping sees a cliff at both outer columns.
    const fs::path cliff = heightMap(dir, "Cliff_Height.png", 8, 4, [](int x, int) { return std::uint8_t(x < 4 ? 0 : 200); });
    const PackedTexture wrapped = NormalMapGenerator::fromHeight(cliff, 1.0, Convention::openGL, 0, true);
    const PackedTexture clamped = NormalMapGenerator::fromHeight(cliff, 1.0, Convention::openGL, 0, false);
    EXPECT_GT(pixel(wrapped, 0, 1)[0], 128);  // the neighbour to the left is high
    EXPECT_GT(pixel(wrapped, 7, 1)[0], 128);  // the neighbour to the right is low
    EXPECT_EQ(pixel(clamped, 0, 1)[0], 128);
    EXPECT_EQ(pixel(clamped, 7, 1)[0], 128);
    EXPECT_LT(pixel(clamped, 3, 1)[0], 128);  // the cliff in the middle rises to the right
}

TEST(NormalFromHeight, SizeLimitAndErrors) {
    test::TempDir dir;
    const fs::path wide = heightMap(dir, "Wide_Height.png", 1122, 300, [](int, int) { return std::uint8_t{5}; });
    const PackedTexture limited = NormalMapGenerator::fromHeight(wide, 1.0, Convention::directX, 1024, true);
    EXPECT_EQ(limited.width, 1024);
    EXPECT_EQ(limited.height, 274);  // 273.8 rounds up
    EXPECT_EQ(NormalMapGenerator::fromHeight(wide, 1.0, Convention::directX, 0, true).width, 1122);
    const fs::path broken = dir.write("Broken_Height.png", "nope");
    EXPECT_THROW((void)NormalMapGenerator::fromHeight(broken, 1.0, Convention::openGL, 0, true), ChannelPacker::PackingError);
    EXPECT_THROW((void)NormalMapGenerator::fromHeight(wide, std::nan(""), Convention::openGL, 0, true), std::invalid_argument);
}

TEST(HeightMapNames, StemsAndExistingNormalMaps) {
    using Stem = NormalMapGenerator::HeightStem;
    EXPECT_EQ(NormalMapGenerator::stem("Cliff_height.png"), (Stem{"Cliff", true}));
    EXPECT_EQ(NormalMapGenerator::stem("Cliff_Displacement.exr"), (Stem{"Cliff", true}));
    EXPECT_EQ(NormalMapGenerator::stem("Cliff_DISP.tga"), (Stem{"Cliff", true}));
    EXPECT_EQ(NormalMapGenerator::stem("Cliff_Bump.png"), (Stem{"Cliff", true}));
    EXPECT_EQ(NormalMapGenerator::stem("_Bump.png"), (Stem{"_Bump", false}));
    EXPECT_EQ(NormalMapGenerator::stem("Cliff.png"), (Stem{"Cliff", false}));

    test::TempDir dir;
    dir.write("cliff_NormalGL.PNG", "x");
    dir.write("Rock_Normal.webp", "x");
    dir.write(".Sand_Normal.png", "x");  // hidden files count too
    EXPECT_TRUE(NormalMapGenerator::hasNormalMap("Cliff", dir.path()));
    EXPECT_FALSE(NormalMapGenerator::hasNormalMap("Rock", dir.path()));
    EXPECT_TRUE(NormalMapGenerator::hasNormalMap(".Sand", dir.path()));
    EXPECT_FALSE(NormalMapGenerator::hasNormalMap("Cliff", dir / "missing"));
}

// ---- Tiling check ----------------------------------------------------------------------------

fs::path colourImage(const test::TempDir& dir, const std::string& name, int width, int height,
                     const std::function<std::array<std::uint8_t, 3>(int, int)>& value) {
    std::vector<std::uint8_t> rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const auto c = value(x, y);
            rgb.insert(rgb.end(), c.begin(), c.end());
        }
    }
    const fs::path file = dir / name;
    test::writeImage(file, width, height, 3, rgb);
    return file;
}

TEST(TilingCheck, RatiosAndVerdicts) {
    test::TempDir dir;
    const auto noise = test::noisePlane(64, 64, 12);
    // Noise whose right column repeats the left one.
    const fs::path repeating = colourImage(dir, "repeat.png", 65, 64, [&](int x, int y) {
        const std::uint8_t v = noise[static_cast<std::size_t>(y * 64 + (x % 64))];
        return std::array<std::uint8_t, 3>{v, v, v};
    });
    const TilingChecker::Result seamless = TilingChecker::check(repeating);
    EXPECT_TRUE(seamless.isSeamless());
    EXPECT_LT(seamless.horizontalRatio, 0.1);
    EXPECT_EQ(seamless.summary(), "tiles seamlessly");

    const fs::path ramp = colourImage(dir, "ramp.png", 512, 32, [](int x, int) {
        const auto v = static_cast<std::uint8_t>(x / 2);
        return std::array<std::uint8_t, 3>{v, v, v};
    });
    const TilingChecker::Result seam = TilingChecker::check(ramp);
    EXPECT_TRUE(seam.horizontalSeam());
    EXPECT_FALSE(seam.verticalSeam());
    // Edge difference 255 over a neighbour difference of about 0.5, floored at 0.7.
    EXPECT_NEAR(seam.horizontalRatio, 255.0 / 0.7, 1e-9);
    EXPECT_EQ(seam.verticalRatio, 0.0);
    EXPECT_EQ(seam.summary(), "Visible seam: left/right edges don't match (364x the usual pixel difference)");

    const fs::path uniform = colourImage(dir, "uniform.png", 10, 10, [](int, int) { return std::array<std::uint8_t, 3>{40, 40, 40}; });
    const TilingChecker::Result flat = TilingChecker::check(uniform);
    EXPECT_EQ(flat.horizontalRatio, 0.0);
    EXPECT_EQ(flat.verticalRatio, 0.0);
    EXPECT_TRUE(flat.isSeamless());
}

TEST(TilingCheck, SummaryTextsAndThresholds) {
    TilingChecker::Result result;
    result.horizontalRatio = 3.0;
    result.verticalRatio = 3.0;
    EXPECT_TRUE(result.isSeamless());  // exactly 3 is not a seam
    result.verticalRatio = 4.6;
    EXPECT_EQ(result.summary(), "Visible seam: top/bottom edges don't match (5x)");
    result.horizontalRatio = 12.4;
    EXPECT_EQ(result.summary(),
              "Visible seam: left/right edges don't match (12x the usual pixel difference); top/bottom edges don't match (5x)");
}

TEST(TilingCheck, LargeFilesAreAnalysedSmallButReportTheirOwnSize) {
    test::TempDir dir;
    const fs::path big = colourImage(dir, "big.png", 4096, 1024, [](int x, int y) {
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 0};
    });
    const TilingChecker::Result result = TilingChecker::check(big);
    EXPECT_EQ(result.width, 4096);
    EXPECT_EQ(result.height, 1024);
    EXPECT_THROW((void)TilingChecker::check(dir.write("bad.png", "?")), ChannelPacker::PackingError);
}

TEST(TilingCheck, AnalysisCopyIsTheLimitsShareRoundedDown) {
    struct Case {
        PixelSize size;
        int limit;
        PixelSize fitted;
    };
    for (const auto& c : std::vector<Case>{{{4096, 1024}, 2048, {2048, 512}},
                                           {{4000, 5}, 2048, {2048, 2}},
                                           {{2244, 3}, 2048, {2048, 2}},
                                           {{5, 3000}, 2048, {3, 2048}},
                                           {{9000, 1}, 2048, {2048, 1}},
                                           {{2048, 7}, 2048, {2048, 7}}}) {
        const PixelSize fitted = image_size_rules::fitWithinRoundingDown(c.size, c.limit);
        EXPECT_EQ(fitted.width, c.fitted.width) << c.size.width << "x" << c.size.height;
        EXPECT_EQ(fitted.height, c.fitted.height) << c.size.width << "x" << c.size.height;
    }
}

TEST(TilingPreview, TwoByTwoTilesWithinTheLimit) {
    test::TempDir dir;
    const fs::path wide = colourImage(dir, "wide.png", 3000, 1500, [](int x, int) {
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x / 12), 0, 0};
    });
    const PackedTexture preview = TilingChecker::tiledPreview(wide, 1024);
    EXPECT_EQ(preview.width, 2048);
    EXPECT_EQ(preview.height, 1024);
    // The four tiles are the same pixels.
    EXPECT_EQ(pixel(preview, 10, 20)[0], pixel(preview, 1034, 532)[0]);
    EXPECT_EQ(std::memcmp(pixel(preview, 0, 3), pixel(preview, 1024, 3), 1024 * 4), 0);

    // Tile sides are the limit's share rounded down, in exact integers: never one short, never one long.
    struct Case {
        int width, height, tileWidth, tileHeight;
    };
    for (const auto& c : std::vector<Case>{{1122, 400, 1024, 365}, {2000, 5, 1024, 2}, {30, 20, 30, 20}}) {
        const fs::path file = colourImage(dir, "odd.png", c.width, c.height,
                                          [](int, int) { return std::array<std::uint8_t, 3>{1, 2, 3}; });
        const PackedTexture tiled = TilingChecker::tiledPreview(file, 1024);
        EXPECT_EQ(tiled.width, 2 * c.tileWidth) << c.width << "x" << c.height;
        EXPECT_EQ(tiled.height, 2 * c.tileHeight) << c.width << "x" << c.height;
    }
    const fs::path small = colourImage(dir, "small.png", 30, 20, [](int, int) { return std::array<std::uint8_t, 3>{1, 2, 3}; });
    EXPECT_THROW((void)TilingChecker::tiledPreview(small, 0), std::invalid_argument);
    PackedTexture::writePNG(preview, dir / "wide_Tiled2x2.png");
}

}  // namespace
}  // namespace morvale
