// A realistic listing run for people to look at, not part of the regular suite: a three-shot
// bracket of a room with a bright window, a leaning interior, a portrait and a plain landscape,
// all carrying the seller's location, go through the listing preset with the Zillow web set, a
// logo and bracket merging. Run it with
//   MORVALE_LISTING_SAMPLE_DIR=/some/folder batch_presets_tests --gtest_also_run_disabled_tests
//       --gtest_filter='ListingSampleRun.*'
// and open the packages under /some/folder/out.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iostream>

#include "listing_test_support.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using test::Rgba;

std::uint8_t encode(double linear) {
    return static_cast<std::uint8_t>(std::lround(255.0 * std::pow(std::clamp(linear, 0.0, 1.0), 1 / 2.2)));
}

// Light in a room: warm walls darker towards the corners, a floor, a door frame and a window whose
// view outside is twenty times brighter than the room.
Rgba room(int x, int y, int width, int height, double ev) {
    const double u = x / static_cast<double>(width);
    const double v = y / static_cast<double>(height);
    double r = 0.18, g = 0.15, b = 0.12;
    const double falloff = 1.0 - 0.5 * std::pow(2 * std::abs(u - 0.5), 2);
    r *= falloff; g *= falloff; b *= falloff;
    if (v > 0.78) { r = 0.10; g = 0.07; b = 0.05; }                   // floor boards
    if (v > 0.78 && static_cast<int>(u * 24) % 2 == 0) { r *= 1.2; g *= 1.2; }
    if (u > 0.58 && u < 0.86 && v > 0.18 && v < 0.62) {               // window: sky and a tree line
        const bool tree = v > 0.48 + 0.04 * std::sin(u * 60);
        r = tree ? 0.8 : 2.4; g = tree ? 1.6 : 3.0; b = tree ? 0.5 : 4.0;
        if (std::abs(u - 0.72) < 0.004 || std::abs(v - 0.40) < 0.004) r = g = b = 0.3;  // mullions
    }
    if (std::abs(u - 0.2) < 0.006 || std::abs(u - 0.38) < 0.006) { r = g = b = 0.35; }  // door frame
    const double gain = std::pow(2.0, ev);
    return Rgba{encode(r * gain), encode(g * gain), encode(b * gain), 255};
}

void printRun(const test::RunResult& run) {
    for (const auto& line : run.log) std::cout << "  log: " << line << "\n";
    for (const auto& item : run.items) {
        std::cout << "  " << item.source.filename().string() << ": " << rawValue(item.status);
        if (!item.message.empty()) std::cout << " (" << item.message << ")";
        for (const auto& output : item.outputs) std::cout << "\n      -> " << output;
        std::cout << "\n";
    }
}

TEST(ListingSampleRun, DISABLED_ShootToPackages) {
    const char* root = std::getenv("MORVALE_LISTING_SAMPLE_DIR");
    ASSERT_NE(root, nullptr) << "set MORVALE_LISTING_SAMPLE_DIR";
    const fs::path dir(root);
    const fs::path shoot = dir / "shoot";
    const int w = 3000, h = 2000;

    std::vector<std::pair<fs::path, std::string>> tags;
    const double evs[] = {0, -2, 2};
    const char* times[] = {"0.01", "0.0025", "0.04"};
    for (int i = 0; i < 3; ++i) {
        const fs::path file = shoot / ("DSC_010" + std::to_string(i + 1) + ".jpg");
        test::writeJpeg(file, test::picture(w, h, [&](int x, int y) { return room(x, y, w, h, evs[i]); }));
        tags.emplace_back(file, test::cameraTags + " -Orientation#=1 '-DateTimeOriginal=2024:05:06 10:00:0" +
                                    std::to_string(i) + "' -ExposureTime=" + times[i] + " -FNumber=8 -ISO=100");
    }
    const fs::path lean = test::writeJpeg(shoot / "DSC_0120.jpg", test::picture(w, h, test::leaningWall(w, h, 3.0)));
    tags.emplace_back(lean, test::cameraTags + " -Orientation#=1 '-DateTimeOriginal=2024:05:06 10:05:00'");
    ASSERT_TRUE(test::tag(tags));
    const fs::path portrait = test::taggedPhoto(shoot / "DSC_0130.jpg", 1800, 2700,
                                                [&](int x, int y) { return room(x, y, 1800, 2700, 0.5); });
    const fs::path plain = test::taggedPhoto(shoot / "DSC_0140.jpg", w, h, [&](int x, int y) { return room(x, y, w, h, 1); });

    // A logo with a soft transparent edge.
    PackedTexture logo = test::makeTexture(1000, 500, [](int x, int y) {
        const double dx = (x - 500) / 500.0, dy = (y - 250) / 250.0;
        const double inside = std::clamp((1.0 - std::hypot(dx, dy)) * 8.0, 0.0, 1.0);
        const bool letter = (x / 60) % 3 == 1 && y > 150 && y < 350;
        return Rgba{static_cast<std::uint8_t>(letter ? 250 : 20), static_cast<std::uint8_t>(letter ? 250 : 60),
                    static_cast<std::uint8_t>(letter ? 250 : 140), static_cast<std::uint8_t>(inside * 255)};
    });
    PackedTexture::writePNG(logo, dir / "logo.png");

    VarnholtPreset preset = test::listingPreset();
    preset.setPortal(VarnholtPreset::Portal::zillow);
    preset.mergeBrackets = true;
    preset.watermarkURL = dir / "logo.png";
    fs::remove_all(dir / "out");
    const auto files = std::vector<fs::path>{shoot / "DSC_0101.jpg", shoot / "DSC_0102.jpg", shoot / "DSC_0103.jpg",
                                             lean, portrait, plain};
    const test::RunResult run = test::runListingJob(preset, files, dir / "out");
    printRun(run);
    EXPECT_EQ(run.report.failureCount, 0);
    for (const auto& file : test::filesBelow(dir / "out")) {
        std::cout << "  " << file << ": " << fs::file_size(dir / "out" / file) / 1024 << " KB, GPS: ["
                  << test::exiftool("-s -s -s -n -gps:all -xmp-exif:gps*", dir / "out" / file) << "]\n";
    }
}

}  // namespace
}  // namespace morvale
