// Power-of-two sides, exact rescaling and mip chains.
#include <gtest/gtest.h>

#include "image_engine/power_of_two_scaler.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

using Mode = PowerOfTwoScaler::ScaleMode;

TEST(PowerOfTwoSides, ModesAndTies) {
    const PowerOfTwoScaler scaler;
    struct Case {
        int side;
        Mode mode;
        int expected;
    };
    const Case cases[] = {
        {0, Mode::nearestPowerOfTwo(), 1},      {1, Mode::nearestPowerOfTwo(), 1},
        {-7, Mode::roundUpPowerOfTwo(), 1},     {1000, Mode::nearestPowerOfTwo(), 1024},
        {700, Mode::nearestPowerOfTwo(), 512},  {768, Mode::nearestPowerOfTwo(), 1024},  // tie: larger
        {767, Mode::nearestPowerOfTwo(), 512},  {24, Mode::nearestPowerOfTwo(), 32},
        {23, Mode::nearestPowerOfTwo(), 16},    {48, Mode::nearestPowerOfTwo(), 64},
        {47, Mode::nearestPowerOfTwo(), 32},    {3, Mode::nearestPowerOfTwo(), 4},
        {1000, Mode::roundDownPowerOfTwo(), 512}, {1025, Mode::roundUpPowerOfTwo(), 2048},
        {300, Mode::fixedTarget(256), 256},     {5, Mode::fixedTarget(300), 300},
        {16384, Mode::roundUpPowerOfTwo(), 16384}, {16385, Mode::roundDownPowerOfTwo(), 16384},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scaler.computePOTDimension(c.side, c.mode), c.expected) << c.side;
    }
    // Every mode gives an exact power of two back unchanged.
    for (int p = 1; p <= (1 << 30) && p > 0; p *= 2) {
        for (const Mode mode : {Mode::nearestPowerOfTwo(), Mode::roundUpPowerOfTwo(), Mode::roundDownPowerOfTwo()}) {
            ASSERT_EQ(scaler.computePOTDimension(p, mode), p);
        }
        if (p == (1 << 30)) break;
    }
    EXPECT_THROW((void)scaler.computePOTDimension(100, Mode::fixedTarget(0)), std::invalid_argument);
    EXPECT_THROW((void)scaler.computePOTDimension(100, Mode::fixedTarget(-4)), std::invalid_argument);
    EXPECT_THROW((void)scaler.computePOTDimension((1 << 30) + 1, Mode::roundUpPowerOfTwo()), std::out_of_range);
}

TEST(PowerOfTwoSides, SquareSizes) {
    const PowerOfTwoScaler scaler;
    EXPECT_EQ(scaler.potSize(300, 1000, Mode::nearestPowerOfTwo(), true), (PixelSize{1024, 1024}));
    EXPECT_EQ(scaler.potSize(300, 1000, Mode::nearestPowerOfTwo(), false), (PixelSize{256, 1024}));
    EXPECT_EQ(scaler.potSize(300, 1000, Mode::fixedTarget(64), false), (PixelSize{64, 64}));
}

PipelineImage image(int width, int height, bool noise = false) {
    return {noise ? test::noiseTexture(width, height, 3, true) : test::solidTexture(width, height, 10, 200, 30, 0), {}};
}

TEST(PowerOfTwoRescale, ExactSizesKeepColourUnderTransparency) {
    const PowerOfTwoScaler scaler;
    // Colour under alpha 0 must come through: no premultiplied round trip.
    const PipelineImage scaled = scaler.scale(image(300, 170), 256, 128);
    EXPECT_EQ(scaled.pixels, test::solidTexture(256, 128, 10, 200, 30, 0));
    const PipelineImage pot = scaler.scaleToPOT(image(300, 1000, true), Mode::nearestPowerOfTwo(), true);
    EXPECT_EQ(pot.width(), 1024);
    EXPECT_EQ(pot.height(), 1024);
    EXPECT_THROW((void)scaler.scale(image(4, 4), 0, 4), std::invalid_argument);
    EXPECT_THROW((void)scaler.scale(PipelineImage{}, 4, 4), std::invalid_argument);
}

TEST(MipChains, LevelsHalveFromThePreviousLevelAndAreNamedByTheirSide) {
    const PowerOfTwoScaler scaler;
    struct Case {
        int width, height, minimum;
        std::vector<int> dimensions;
    };
    const Case cases[] = {
        {1024, 1024, 16, {1024, 512, 256, 128, 64, 32, 16}},
        {1000, 1000, 16, {1000, 500, 250, 125, 62, 31, 15}},
        {32, 8, 16, {32, 16}},
        {16, 16, 16, {16}},
        {256, 256, 16, {256, 128, 64, 32, 16}},
        {100, 50, 200, {100}},
        {4, 1, 0, {4, 2, 1}},  // ends at 1 x 1 even without a minimum
        {1, 1, -3, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const PipelineImage source = image(c.width, c.height, true);
        const auto levels = scaler.generateMipmaps(source, c.minimum);
        ASSERT_EQ(levels.size(), c.dimensions.size());
        for (std::size_t i = 0; i < levels.size(); ++i) {
            EXPECT_EQ(levels[i].level, static_cast<int>(i));
            EXPECT_EQ(levels[i].dimension, c.dimensions[i]);
            EXPECT_EQ(std::max(levels[i].image.width(), levels[i].image.height()), c.dimensions[i]);
            if (i > 0) {
                EXPECT_EQ(levels[i].image.pixels, levels[i - 1].image.pixels.halved());
            }
        }
        EXPECT_EQ(levels[0].image, source);
    }
    // A 32 x 8 level 1 is 16 x 4, with no half-transparent edge: alpha stays where it was.
    const auto opaque = scaler.generateMipmaps(PipelineImage{test::solidTexture(32, 8, 1, 2, 3, 255), {}}, 16);
    EXPECT_EQ(opaque[1].image.pixels, test::solidTexture(16, 4, 1, 2, 3, 255));
}

}  // namespace
}  // namespace morvale
