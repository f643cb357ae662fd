#include "image_engine/rgba_image.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "image_engine/packed_texture.h"
#include "sprite_test_frames.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

// A raster whose pixel (x, y) holds (x, y, 7, alpha).
RGBAImage coordinates(int w, int h, std::uint8_t alpha = 255) {
    RGBAImage image(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            auto* p = image.pixels.data() + (static_cast<std::size_t>(y * w + x)) * 4;
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(y);
            p[2] = 7;
            p[3] = alpha;
        }
    }
    return image;
}

TEST(SpriteRGBAImage, OpaqueBounds) {
    EXPECT_FALSE(RGBAImage(8, 8).opaqueBounds());

    RGBAImage one(8, 8);
    one.pixels[(5 * 8 + 3) * 4 + 3] = 1;  // alpha 1 still counts
    EXPECT_EQ(one.opaqueBounds(), (PackRect{3, 5, 1, 1}));

    RGBAImage spread(10, 6);
    spread.pixels[(1 * 10 + 8) * 4 + 3] = 255;
    spread.pixels[(4 * 10 + 2) * 4 + 3] = 9;
    spread.pixels[(2 * 10 + 0) * 4 + 0] = 255;  // colour without alpha does not count
    EXPECT_EQ(spread.opaqueBounds(), (PackRect{2, 1, 7, 4}));

    EXPECT_EQ(coordinates(3, 2).opaqueBounds(), (PackRect{0, 0, 3, 2}));
}

TEST(SpriteRGBAImage, CropCopiesTheRectangle) {
    const RGBAImage image = coordinates(6, 5);
    const RGBAImage part = image.cropped({2, 1, 3, 2});
    ASSERT_EQ(part.width, 3);
    ASSERT_EQ(part.height, 2);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            const auto* p = test::pixelAt(part.pixels, 3, x, y);
            EXPECT_EQ(p[0], x + 2);
            EXPECT_EQ(p[1], y + 1);
        }
    }
    EXPECT_THROW(image.cropped({4, 0, 3, 1}), std::out_of_range);
    EXPECT_THROW(image.cropped({0, 0, 0, 1}), std::out_of_range);
}

TEST(SpriteRGBAImage, QuarterTurns) {
    const RGBAImage image = coordinates(3, 2);
    const RGBAImage turned = image.rotatedClockwise();
    ASSERT_EQ(turned.width, 2);
    ASSERT_EQ(turned.height, 3);
    // The top row holds the old first column read from the bottom up.
    EXPECT_EQ(test::pixelAt(turned.pixels, 2, 0, 0)[1], 1);
    EXPECT_EQ(test::pixelAt(turned.pixels, 2, 1, 0)[1], 0);
    EXPECT_EQ(test::pixelAt(turned.pixels, 2, 0, 0)[0], 0);
    // The old top-left pixel lands top-right.
    EXPECT_EQ(test::pixelAt(turned.pixels, 2, 1, 0)[0], 0);
    EXPECT_EQ(test::pixelAt(turned.pixels, 2, 1, 0)[1], 0);
    EXPECT_EQ(turned.rotatedCounterClockwise(), image);
    EXPECT_EQ(image.rotatedClockwise().rotatedClockwise().rotatedClockwise().rotatedClockwise(), image);
}

TEST(SpriteRGBAImage, SizesAreCheckedBeforeAllocating) {
    EXPECT_THROW(RGBAImage(0, 4), std::length_error);
    EXPECT_THROW(RGBAImage(16385, 1), std::length_error);
    EXPECT_THROW(RGBAImage(16384, 16385), std::length_error);
    EXPECT_TRUE(RGBAImage::sizeAllowed(16384, 16384));
    EXPECT_FALSE(RGBAImage::sizeAllowed(-1, -1));
    EXPECT_THROW(RGBAImage(2, 2, std::vector<std::uint8_t>(15)), std::invalid_argument);
}

TEST(SpriteRGBAImage, LoadingAtAScale) {
    test::TempDir dir;
    const RGBAImage source = test::opaqueFrame(3, 5, 11);
    const auto file = dir / "f.png";
    PackedTexture::writePNG(PackedTexture{source.width, source.height, source.pixels}, file);

    EXPECT_EQ(RGBAImage::load(file, 1.0), source);
    const RGBAImage half = RGBAImage::load(file, 0.5);  // 1.5 and 2.5 round away from zero
    EXPECT_EQ(half.width, 2);
    EXPECT_EQ(half.height, 3);
    const RGBAImage tiny = RGBAImage::load(file, 0.01);
    EXPECT_EQ(tiny.width, 1);
    EXPECT_EQ(tiny.height, 1);

    EXPECT_THROW(RGBAImage::load(file, 0.0), std::invalid_argument);
    EXPECT_THROW(RGBAImage::load(file, std::numeric_limits<double>::quiet_NaN()), std::invalid_argument);
    EXPECT_THROW(RGBAImage::load(file, 1e6), std::length_error);
    EXPECT_ANY_THROW(RGBAImage::load(dir / "missing.png", 1.0));
}

}  // namespace
}  // namespace morvale
