// Watermark placement, fading, premultiplied edges and the inputs that leave the photo as it is.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "image_engine/watermark_renderer.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

using Position = WatermarkRenderer::WatermarkPosition;
using Options = WatermarkRenderer::WatermarkOptions;

PipelineImage solid(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a = 255) {
    return PipelineImage{test::solidTexture(width, height, r, g, b, a), {}};
}

const std::uint8_t* pixel(const PipelineImage& image, int x, int y) {
    return image.pixels.rgba.data() + (static_cast<std::size_t>(y) * image.width() + x) * 4;
}

struct Box {
    int x0, y0, x1, y1;  // x1, y1 exclusive
    bool operator==(const Box&) const = default;
};

// The rectangle of pixels that differ from the photo's grey.
Box changed(const PipelineImage& image) {
    Box box{image.width(), image.height(), 0, 0};
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (pixel(image, x, y)[0] != 100) {
                box = {std::min(box.x0, x), std::min(box.y0, y), std::max(box.x1, x + 1), std::max(box.y1, y + 1)};
            }
        }
    }
    return box;
}

TEST(WatermarkRenderer, PlacesTheLogoAtEachPositionOfAListingPhoto) {
    // 4000 x 3000 with a 1000 x 500 logo at 0.18 and margin 0.03: 720 x 360, 120 / 90 in.
    const PipelineImage photo = solid(4000, 3000, 100, 100, 100);
    const PipelineImage logo = solid(1000, 500, 250, 0, 0);
    const struct {
        Position position;
        Box expected;
    } cases[] = {
        {Position::bottomRight, {3160, 2550, 3880, 2910}}, {Position::bottomLeft, {120, 2550, 840, 2910}},
        {Position::topRight, {3160, 90, 3880, 450}},       {Position::topLeft, {120, 90, 840, 450}},
        {Position::center, {1640, 1320, 2360, 1680}},
    };
    for (const auto& c : cases) {
        const PipelineImage out = WatermarkRenderer().applyWatermark(photo, logo, {1.0, 0.18, 0.03, c.position});
        ASSERT_EQ(out.width(), 4000);
        ASSERT_EQ(out.height(), 3000);
        const Box box = changed(out);
        EXPECT_EQ(box, c.expected) << static_cast<int>(c.position) << ": " << box.x0 << "," << box.y0 << " "
                                   << box.x1 << "," << box.y1;
        // Whole-pixel placement: every covered pixel is the logo's, none blended with the photo.
        for (const auto& [x, y] : {std::pair{box.x0, box.y0}, std::pair{box.x1 - 1, box.y1 - 1}}) {
            EXPECT_EQ(pixel(out, x, y)[0], 250) << static_cast<int>(c.position);
        }
    }
}

TEST(WatermarkRenderer, FadesByTheClampedOpacity) {
    // Over a transparent photo the result's alpha is the logo's alpha times the opacity.
    const PipelineImage photo = solid(64, 64, 0, 0, 0, 0);
    const PipelineImage logo = solid(32, 32, 255, 255, 255, 200);
    const struct {
        double opacity;
        int alpha;
    } cases[] = {{1.0, 200}, {0.9995, 200}, {7.0, 200}, {0.5, 100}, {0.25, 50}, {-3.0, 0}};
    for (const auto& c : cases) {
        const PipelineImage out = WatermarkRenderer().applyWatermark(photo, logo, {c.opacity, 0.5, 0.0, Position::center});
        const std::uint8_t* p = pixel(out, 32, 32);
        EXPECT_EQ(p[3], c.alpha) << c.opacity;
        EXPECT_EQ(p[0], c.alpha == 0 ? 0 : 255) << c.opacity;
    }
}

TEST(WatermarkRenderer, ReturnsThePhotoForInputsItCannotDraw) {
    const PipelineImage photo{test::noiseTexture(40, 30, 7), {}};
    const PipelineImage logo = solid(10, 10, 255, 0, 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        PipelineImage photo;
        PipelineImage logo;
        Options options;
    } cases[] = {
        {photo, PipelineImage{}, {}},
        {PipelineImage{}, logo, {}},
        {photo, logo, {1.0, 0.0, 0.03, Position::center}},
        {photo, logo, {1.0, -0.5, 0.03, Position::center}},
        {photo, logo, {1.0, nan, 0.03, Position::center}},
        {photo, logo, {1.0, inf, 0.03, Position::center}},
        {photo, logo, {nan, 0.5, 0.03, Position::center}},
        {photo, logo, {1.0, 0.5, nan, Position::topLeft}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(WatermarkRenderer().applyWatermark(cases[i].photo, cases[i].logo, cases[i].options), cases[i].photo)
            << "case " << i;
    }
}

TEST(WatermarkRenderer, TransparentBlackAroundAWhiteLogoLeavesNoDarkFringe) {
    // A white disc on transparent black, shrunk, placed between pixels and enlarged over white.
    PipelineImage logo = solid(37, 23, 0, 0, 0, 0);
    for (int y = 0; y < 23; ++y) {
        for (int x = 0; x < 37; ++x) {
            if (std::hypot(x - 18.0, y - 11.0) < 9.0) {
                std::uint8_t* p = logo.pixels.rgba.data() + (static_cast<std::size_t>(y) * 37 + x) * 4;
                p[0] = p[1] = p[2] = p[3] = 255;
            }
        }
    }
    const PipelineImage photo = solid(301, 203, 255, 255, 255);
    for (const double fraction : {0.05, 0.33, 0.9}) {
        for (const Position position : {Position::center, Position::topLeft}) {
            const PipelineImage out = WatermarkRenderer().applyWatermark(photo, logo, {0.8, fraction, 0.031, position});
            const auto darkest = *std::min_element(out.pixels.rgba.begin(), out.pixels.rgba.end());
            EXPECT_GE(darkest, 250) << fraction << " " << static_cast<int>(position);
        }
    }
}

TEST(WatermarkRenderer, AnEnormousFractionDrawsOnlyTheLogoCornerThatLandsOnThePhoto) {
    // 2 x 2 logo at a million photo widths: its bottom-right pixel covers all but the margins.
    PipelineImage logo = solid(2, 2, 0, 0, 0);
    logo.pixels.rgba = {10, 0, 0, 255, 20, 0, 0, 255, 30, 0, 0, 255, 40, 0, 0, 255};
    const PipelineImage photo = solid(400, 300, 100, 100, 100);
    const PipelineImage out = WatermarkRenderer().applyWatermark(photo, logo, {1.0, 1e6, 0.03, Position::bottomRight});
    EXPECT_EQ(changed(out), (Box{0, 0, 388, 291}));
    EXPECT_EQ(pixel(out, 0, 0)[0], 40);
    EXPECT_EQ(pixel(out, 387, 290)[0], 40);
}

}  // namespace
}  // namespace morvale
