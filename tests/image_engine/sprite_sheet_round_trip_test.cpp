// Writes sheets to disk the way the texture preset does, then cuts every frame back out of the
// written pages using only the written JSON and compares it with its source, byte for byte.

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "image_engine/image_loader.h"
#include "image_engine/packed_texture.h"
#include "image_engine/sprite_sheet_compiler.h"
#include "sprite_test_frames.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

using Compiler = SpriteSheetCompiler;
using Json = nlohmann::json;

// A frame with a soft-edged blob of random colours at a random place; transparent pixels carry
// stray colour too, which trimming must not care about.
RGBAImage randomFrame(std::mt19937& rng) {
    std::uniform_int_distribution<int> side(4, 48);
    const int w = side(rng);
    const int h = side(rng);
    RGBAImage image(w, h);
    const int bw = std::uniform_int_distribution<int>(1, w)(rng);
    const int bh = std::uniform_int_distribution<int>(1, h)(rng);
    const int bx = std::uniform_int_distribution<int>(0, w - bw)(rng);
    const int by = std::uniform_int_distribution<int>(0, h - bh)(rng);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = image.pixels.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)) * 4;
            for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(rng());
            const bool inside = x >= bx && x < bx + bw && y >= by && y < by + bh;
            const bool edge = inside && (x == bx || y == by || x == bx + bw - 1 || y == by + bh - 1);
            p[3] = !inside ? 0 : edge ? static_cast<std::uint8_t>(1 + rng() % 127) : 255;
        }
    }
    return image;
}

// The source as a game engine would see it: colour under alpha 0 does not count.
std::vector<std::uint8_t> visible(const RGBAImage& image) {
    std::vector<std::uint8_t> bytes = image.pixels;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        if (bytes[i + 3] == 0) std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(i), 4, 0);
    }
    return bytes;
}

TEST(SpriteSheetRoundTrip, FramesCutFromWrittenPagesMatchTheirSources) {
    test::TempDir dir;
    std::mt19937 rng(2024);
    std::map<std::string, RGBAImage> sources;
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < 60; ++i) {
        RGBAImage image = randomFrame(rng);
        if (i % 9 == 4) image = sources.rbegin()->second;  // a repeat of an earlier frame
        if (i == 30) image = RGBAImage(20, 10);           // nothing visible
        char name[32];
        std::snprintf(name, sizeof name, "run_%02d.png", i);
        PackedTexture::writePNG(PackedTexture{image.width, image.height, image.pixels}, dir / name);
        files.push_back(dir / name);
        sources.emplace(name, std::move(image));
    }

    for (bool rotation : {false, true}) {
        const auto atlas = Compiler().compileAtlas(files, {true, 1, 2, 128, 1.0, rotation}, true);
        ASSERT_GT(atlas.pages.size(), 1u) << "the test wants several pages";
        EXPECT_GT(atlas.duplicateCount(), 0);

        std::map<std::string, int> seen;
        int turned = 0;
        for (std::size_t k = 0; k < atlas.pages.size(); ++k) {
            const auto& page = atlas.pages[k];
            const std::string stem = "sheet-" + std::to_string(rotation) + "-" + std::to_string(k);
            PackedTexture::writePNG(page.image, dir / (stem + ".png"));
            const auto bytes = page.jsonArray(stem + ".png", {});
            dir.write(stem + ".json", std::string(bytes.begin(), bytes.end()));
        }
        for (std::size_t k = 0; k < atlas.pages.size(); ++k) {
            const std::string stem = "sheet-" + std::to_string(rotation) + "-" + std::to_string(k);
            const Json doc = Json::parse(test::readFile(dir / (stem + ".json")));
            const PackedTexture sheet = ImageLoader::loadRGBA8(dir / doc["meta"]["image"].get<std::string>());
            ASSERT_EQ(sheet.width, doc["meta"]["size"]["w"].get<int>());
            ASSERT_EQ(sheet.height, doc["meta"]["size"]["h"].get<int>());

            for (const Json& entry : doc["frames"]) {
                const std::string name = entry["filename"];
                ++seen[name];
                const RGBAImage& source = sources.at(name);
                const int x = entry["frame"]["x"], y = entry["frame"]["y"];
                const int w = entry["frame"]["w"], h = entry["frame"]["h"];
                const int ox = entry["spriteSourceSize"]["x"], oy = entry["spriteSourceSize"]["y"];
                const bool rotated = entry["rotated"];
                turned += rotated;
                ASSERT_EQ(entry["sourceSize"]["w"].get<int>(), source.width) << name;
                ASSERT_EQ(entry["sourceSize"]["h"].get<int>(), source.height) << name;
                ASSERT_EQ(entry["spriteSourceSize"]["w"].get<int>(), w) << name;
                ASSERT_EQ(entry["spriteSourceSize"]["h"].get<int>(), h) << name;
                ASSERT_LE(x + (rotated ? h : w), sheet.width) << name;
                ASSERT_LE(y + (rotated ? w : h), sheet.height) << name;

                // Rebuild the whole source canvas from the cut-out pixels.
                RGBAImage rebuilt(source.width, source.height);
                for (int sy = 0; sy < h; ++sy) {
                    for (int sx = 0; sx < w; ++sx) {
                        // Turned a quarter clockwise, frame pixel (sx, sy) sits at (h-1-sy, sx).
                        const int px = rotated ? x + (h - 1 - sy) : x + sx;
                        const int py = rotated ? y + sx : y + sy;
                        std::copy_n(test::pixelAt(sheet.rgba, sheet.width, px, py), 4,
                                    rebuilt.pixels.begin() + (static_cast<std::ptrdiff_t>(oy + sy) * source.width + ox + sx) * 4);
                    }
                }
                std::vector<std::uint8_t> expected = visible(source);
                if (name == "run_30.png") {
                    // An empty frame keeps a single transparent pixel at the top-left.
                    EXPECT_EQ(w, 1);
                    EXPECT_EQ(h, 1);
                    std::copy_n(source.pixels.begin(), 4, expected.begin());
                }
                ASSERT_EQ(rebuilt.pixels, expected) << name << (rotated ? " (turned)" : "");
            }
        }
        EXPECT_EQ(seen.size(), sources.size());
        for (const auto& [name, count] : seen) EXPECT_EQ(count, 1) << name;
        if (rotation) {
            EXPECT_GT(turned, 0);
        } else {
            EXPECT_EQ(turned, 0);
        }
    }
}

}  // namespace
}  // namespace morvale
