// Line detection, roll and keystone analysis and the one-warp correction, on generated facades.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "base/cancellation.h"
#include "image_engine/architectural_straightener.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

using Parameters = ArchitecturalStraightener::StraightenParameters;

constexpr int kWidth = 1080;
constexpr int kHeight = 720;
constexpr double kDegree = std::numbers::pi / 180.0;

// Light bars on a dark wall at irregular spacing. Each bar leans by `lean` degrees, and the bars
// converge towards the top by `converge` (0.1: the scene is 10 % narrower at the top than at the
// bottom). Edges are anti-aliased by horizontal supersampling.
PipelineImage facade(double lean, double converge, std::vector<double> bars = {130, 275, 390, 560, 700, 815, 960},
                     double barWidth = 7.0) {
    PipelineImage image{test::solidTexture(kWidth, kHeight, 40, 40, 40), {}};
    const double slope = std::tan(lean * kDegree);
    for (int y = 0; y < kHeight; ++y) {
        const double yc = y + 0.5 - 0.5 * kHeight;
        const double spread = 1.0 + converge * (yc / kHeight);
        for (int x = 0; x < kWidth; ++x) {
            int inside = 0;
            for (int sub = 0; sub < 8; ++sub) {
                const double px = x + (sub + 0.5) / 8.0;
                for (const double bar : bars) {
                    const double centre = 0.5 * kWidth + (bar - 0.5 * kWidth) * spread + slope * yc;
                    inside += std::abs(px - centre) < 0.5 * barWidth ? 1 : 0;
                }
            }
            std::uint8_t* p = image.pixels.rgba.data() + (static_cast<std::size_t>(y) * kWidth + x) * 4;
            p[0] = p[1] = p[2] = static_cast<std::uint8_t>(40 + inside * 180 / 8);
        }
    }
    return image;
}

// Centres of the bright runs along one row.
std::vector<double> barCentres(const PipelineImage& image, int y) {
    std::vector<double> centres;
    double sum = 0, weight = 0;
    for (int x = 0; x < image.width(); ++x) {
        const double value = image.pixels.rgba[(static_cast<std::size_t>(y) * image.width() + x) * 4] - 40.0;
        if (value > 20.0) {
            sum += value * x;
            weight += value;
        } else if (weight > 0) {
            centres.push_back(sum / weight);
            sum = weight = 0;
        }
    }
    return centres;
}

// Every bar keeps its column from the top row to the bottom row.
void expectUpright(const PipelineImage& image, const std::string& name) {
    const std::vector<double> top = barCentres(image, 3);
    const std::vector<double> bottom = barCentres(image, image.height() - 4);
    ASSERT_EQ(top.size(), bottom.size()) << name;
    ASSERT_GE(top.size(), 2u) << name;
    for (std::size_t i = 0; i < top.size(); ++i) {
        EXPECT_NEAR(top[i], bottom[i], 1.0) << name << " bar " << i;
    }
}

TEST(ArchitecturalStraightener, AnalysesAndCorrectsGeneratedFacades) {
    const struct {
        std::string name;
        PipelineImage image;
        double rollDegrees;  // expected magnitude; 0 = none
        bool keystone;
        int lines;           // expected count, 0 = at least two
    } cases[] = {
        {"upright", facade(0, 0), 0, false, 0},
        {"3° lean", facade(3, 0), 3, false, 0},
        {"-3° lean", facade(-3, 0), 3, false, 0},
        {"8° lean, beyond the limit", facade(8, 0), 0, false, 0},
        {"10 % converging", facade(0, 0.1), 0, true, 0},
        {"two converging edges", facade(0, 0.1, {540}, 500), 0, false, 2},
    };
    const ArchitecturalStraightener straightener;
    for (const auto& c : cases) {
        const Parameters found = straightener.analyze(c.image);
        if (c.lines > 0) {
            EXPECT_EQ(found.linesDetected, c.lines) << c.name;
        } else {
            EXPECT_GE(found.linesDetected, 2) << c.name;
        }
        EXPECT_NEAR(std::abs(found.rotationAngleRadians) / kDegree, c.rollDegrees, 0.25) << c.name;
        if (c.rollDegrees == 0) {
            EXPECT_EQ(found.rotationAngleRadians, 0.0) << c.name;
        }
        if (c.keystone) {
            EXPECT_NEAR(found.verticalKeystoneCorrection, 0.05, 0.01) << c.name;
        } else {
            EXPECT_EQ(found.verticalKeystoneCorrection, 0.0) << c.name;
        }
        const PipelineImage straight = straightener.straighten(c.image, found);
        if (found.isIdentity()) {
            EXPECT_EQ(straight, c.image) << c.name;
            continue;
        }
        EXPECT_EQ(straight.height(), kHeight) << c.name;
        const Parameters again = straightener.analyze(straight);
        EXPECT_GE(again.linesDetected, 2) << c.name;
        EXPECT_TRUE(again.isIdentity()) << c.name << ": roll " << again.rotationAngleRadians / kDegree
                                        << "°, keystone " << again.verticalKeystoneCorrection;
        expectUpright(straight, c.name);
    }
}

TEST(ArchitecturalStraightener, CorrectionKeepsCornersFilled) {
    // The wall is framed by a 1-pixel marker line. Zoomed just enough, the rotated frame only grazes
    // each corner (a few marked pixels); a smaller zoom would leave corner triangles, filled here
    // with the repeated marker (dozens).
    PipelineImage framed = facade(3, 0.1);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (x == 0 || y == 0 || x == kWidth - 1 || y == kHeight - 1) {
                std::uint8_t* p = framed.pixels.rgba.data() + (static_cast<std::size_t>(y) * kWidth + x) * 4;
                p[0] = 255, p[1] = 0, p[2] = 255;
            }
        }
    }
    const ArchitecturalStraightener straightener;
    const PipelineImage out = straightener.straighten(framed, {0.05, 0, 3 * kDegree, true, 9});
    for (const auto& [cx, cy] : {std::pair{0, 0}, std::pair{out.width() - 1, 0}, std::pair{0, kHeight - 1},
                                 std::pair{out.width() - 1, kHeight - 1}}) {
        int marked = 0;
        for (int dy = -5; dy <= 5; ++dy) {
            for (int dx = -5; dx <= 5; ++dx) {
                const int x = cx + dx, y = cy + dy;
                if (x < 0 || y < 0 || x >= out.width() || y >= kHeight) continue;
                const std::uint8_t* p = out.pixels.rgba.data() + (static_cast<std::size_t>(y) * out.width() + x) * 4;
                marked += (p[0] > 120 && p[1] < 60) ? 1 : 0;
            }
        }
        EXPECT_LE(marked, 12) << cx << "," << cy;
    }
}

TEST(ArchitecturalStraightener, StraightenSizesAndInputsItLeavesAlone) {
    const PipelineImage image{test::noiseTexture(200, 120, 3), {}};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const ArchitecturalStraightener straightener;
    const struct {
        Parameters parameters;
        int width;  // 0: the input comes back as it is
    } cases[] = {
        {{0.1, 0, 0, true, 3}, 163},  // floor(2 · 100 · 0.9 / 1.1)
        {{-0.1, 0, 0, true, 3}, 163},
        {{0.1, 0, 0, false, 3}, 200},
        {{0, 0, 0.01, true, 3}, 200},
        {{0, 0.3, 0, true, 3}, 0},
        {{1.0, 0, 0, true, 3}, 0},
        {{-1.5, 0, 0.01, true, 3}, 0},
        {{nan, 0, 0.01, true, 3}, 0},
        {{0.1, 0, std::numeric_limits<double>::infinity(), true, 3}, 0},
    };
    for (const auto& c : cases) {
        const PipelineImage out = straightener.straighten(image, c.parameters);
        if (c.width == 0) {
            EXPECT_EQ(out, image) << c.parameters.verticalKeystoneCorrection;
        } else {
            EXPECT_EQ(out.width(), c.width) << c.parameters.verticalKeystoneCorrection;
            EXPECT_EQ(out.height(), 120);
        }
    }
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(straightener.straighten(image, {0.1, 0, 0.01, true, 3}, stop.get_token()), OperationCancelled);
    EXPECT_EQ(straightener.analyze(PipelineImage{test::noiseTexture(31, 300, 1), {}}), Parameters::identity());
}

TEST(ArchitecturalStraightener, GreyCopySizesAreExactIntegers) {
    const struct {
        int width, height;
        int expectedWidth, expectedHeight;  // 0: no copy
    } cases[] = {
        {1142, 800, 720, 504}, {1440, 1080, 720, 540}, {1080, 1440, 540, 720},
        {500, 300, 500, 300},  {2000, 60, 0, 0},       {31, 100, 0, 0},
    };
    for (const auto& c : cases) {
        const auto copy = ArchitecturalStraightener::grayscaleBitmap(
            PipelineImage{test::solidTexture(c.width, c.height, 188, 188, 188), {}}, 720);
        if (c.expectedWidth == 0) {
            EXPECT_FALSE(copy) << c.width << "x" << c.height;
            continue;
        }
        ASSERT_TRUE(copy) << c.width << "x" << c.height;
        EXPECT_EQ(copy->width, c.expectedWidth);
        EXPECT_EQ(copy->height, c.expectedHeight);
        // sRGB 188 is half the light.
        EXPECT_NEAR(copy->pixels[copy->pixels.size() / 2], 128, 1);
    }
}

}  // namespace
}  // namespace morvale
