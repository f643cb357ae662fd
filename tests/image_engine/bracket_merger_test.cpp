// Bracket grouping from EXIF capture data (tiny JPEGs tagged by exiftool), the alignment rule,
// exposure fusion on generated interiors and the gate that runs one fusion at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

#include "base/cancellation.h"
#include "image_engine/bracket_merger.h"
#include "image_engine/merge_gate.h"
#include "support/temp_dir.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// -- Grouping --------------------------------------------------------------------------------------

struct Photo {
    Photo(std::string n, double a, std::string e, std::string f = "8", std::string i = "100", std::string d = "")
        : name(std::move(n)), at(a), exposure(std::move(e)), fNumber(std::move(f)), iso(std::move(i)), date(std::move(d)) {}
    std::string name;
    double at;             // seconds after 10:00:00; negative: no date
    std::string exposure;  // ExposureTime as exiftool reads it; empty: none
    std::string fNumber;
    std::string iso;
    std::string date;      // overrides `at` when set
};

std::string clock(double at) {
    const int whole = static_cast<int>(at);
    char text[32];
    std::snprintf(text, sizeof text, "2024:05:01 10:%02d:%02d", whole / 60, whole % 60);
    return text;
}

// Writes tiny JPEGs and tags them all with one exiftool run.
void writePhotos(const fs::path& folder, const std::vector<Photo>& photos, int width = 24) {
    fs::create_directories(folder);
    std::string command = "exiftool -q -q";
    for (const Photo& p : photos) {
        const fs::path file = folder / p.name;
        test::writeImage(file, width, 16, 3, test::noisePlane(width * 3, 16, 1));
        if (!p.date.empty() || p.at >= 0) {
            command += " -DateTimeOriginal=" + test::quote(p.date.empty() ? clock(p.at) : p.date);
            const int subsec = static_cast<int>(std::lround((p.at - std::floor(p.at)) * 10));
            if (p.date.empty() && subsec > 0) command += " -SubSecTimeOriginal=" + std::to_string(subsec);
        }
        if (!p.exposure.empty()) {
            command += " -ExposureTime=" + p.exposure + " -FNumber=" + p.fNumber + " -ISO=" + p.iso;
        }
        command += " " + test::quote(file) + " -execute";
    }
    command += " -common_args -overwrite_original";
    ASSERT_EQ(test::run(command + " >/dev/null"), 0) << command;
}

std::vector<std::string> names(const std::vector<fs::path>& files) {
    std::vector<std::string> out;
    for (const fs::path& f : files) out.push_back(f.filename().string());
    return out;
}

TEST(BracketMerger, GroupsShotsIntoBrackets) {
    // Exposure values move by exposure time (1/100 s is the base) or by sensitivity.
    const struct {
        std::string name;
        std::vector<Photo> photos;
        std::vector<std::vector<std::string>> brackets;
    } cases[] = {
        {"-2, 0, +2 one second apart",
         {{"c.jpg", 0, "0.04"}, {"a.jpg", 1, "0.01"}, {"b.jpg", 2, "0.0025"}},
         {{"c.jpg", "a.jpg", "b.jpg"}}},
        {"0.2 EV apart is a repeat", {{"a.jpg", 0, "0.01"}, {"b.jpg", 1, "0.01", "8", "115"}}, {}},
        {"0.8 EV is too little", {{"a.jpg", 0, "0.01"}, {"b.jpg", 1, "0.01", "8", "174"}}, {}},
        {"0.9 EV is enough", {{"a.jpg", 0, "0.01"}, {"b.jpg", 1, "0.01", "8", "187"}}, {{"a.jpg", "b.jpg"}}},
        {"a 30 s exposure waits 33 s", {{"a.jpg", 0, "30"}, {"b.jpg", 32, "0.01"}}, {{"a.jpg", "b.jpg"}}},
        {"1/100 s then 3.5 s later", {{"a.jpg", 0, "0.01"}, {"b.jpg", 3.5, "0.0025"}}, {}},
        {"ten shots split after the ninth",
         {{"s0.jpg", 0, "0.01", "8", "100"}, {"s1.jpg", 1, "0.01", "8", "141"}, {"s2.jpg", 2, "0.01", "8", "200"},
          {"s3.jpg", 3, "0.01", "8", "283"}, {"s4.jpg", 4, "0.01", "8", "400"}, {"s5.jpg", 5, "0.01", "8", "566"},
          {"s6.jpg", 6, "0.01", "8", "800"}, {"s7.jpg", 7, "0.01", "8", "1131"}, {"s8.jpg", 8, "0.01", "8", "1600"},
          {"s9.jpg", 9, "0.01", "8", "2263"}},
         {{"s0.jpg", "s1.jpg", "s2.jpg", "s3.jpg", "s4.jpg", "s5.jpg", "s6.jpg", "s7.jpg", "s8.jpg"}}},
        {"no date or no exposure", {{"a.jpg", -1, "0.01"}, {"b.jpg", 1, ""}, {"c.jpg", 2, "0.0025"}}, {}},
        {"equal times by name", {{"b.jpg", 5, "0.01"}, {"a.jpg", 5, "0.0025"}}, {{"a.jpg", "b.jpg"}}},
        // Zero aperture or sensitivity take the defaults (8, 100): the same exposure as the
        // next shot, not an infinite one.
        {"f-number 0", {{"a.jpg", 0, "0.01", "0"}, {"b.jpg", 1, "0.01"}}, {}},
        {"ISO 0", {{"a.jpg", 0, "0.01", "8", "0"}, {"b.jpg", 1, "0.01"}}, {}},
        {"zeroed date",
         {{"a.jpg", 0, "0.04", "8", "100", "0000:00:00 00:00:00"}, {"b.jpg", 1, "0.01"}, {"c.jpg", 2, "0.0025"}},
         {{"b.jpg", "c.jpg"}}},
    };
    TempDir dir;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const fs::path folder = dir / std::to_string(i);
        writePhotos(folder, c.photos);
        BracketMerger::FolderCache cache;
        for (const Photo& photo : c.photos) {
            std::vector<std::string> expected = {photo.name};
            for (const auto& bracket : c.brackets) {
                if (std::find(bracket.begin(), bracket.end(), photo.name) != bracket.end()) expected = bracket;
            }
            EXPECT_EQ(names(BracketMerger::brackets(folder / photo.name, {"jpg"}, cache)), expected)
                << c.name << ": " << photo.name;
        }
    }
    BracketMerger::FolderCache cache;
    EXPECT_EQ(BracketMerger::brackets(dir / "missing" / "x.jpg", {"jpg"}, cache), (std::vector{dir / "missing" / "x.jpg"}));
    EXPECT_EQ(names(BracketMerger::brackets(dir / "0" / "a.jpg", {"png"}, cache)), (std::vector<std::string>{"a.jpg"}));
}

TEST(BracketMerger, AReplacedPhotoRegroupsItsFolder) {
    // b.jpg is replaced by a file of the same name, size and modification time but another
    // exposure: the folder's stamp must still change.
    TempDir dir;
    writePhotos(dir.path(), {{"a.jpg", 0, "0.01"}, {"b.jpg", 1, "0.01", "8", "115"}});
    writePhotos(dir / "new", {{"b.jpg", 1, "0.01", "8", "400"}});
    BracketMerger::FolderCache cache;
    EXPECT_EQ(names(BracketMerger::brackets(dir / "a.jpg", {"jpg"}, cache)), (std::vector<std::string>{"a.jpg"}));
    ASSERT_EQ(fs::file_size(dir / "b.jpg"), fs::file_size(dir / "new" / "b.jpg"));
    fs::last_write_time(dir / "new" / "b.jpg", fs::last_write_time(dir / "b.jpg"));
    fs::rename(dir / "new" / "b.jpg", dir / "b.jpg");
    EXPECT_EQ(names(BracketMerger::brackets(dir / "a.jpg", {"jpg"}, cache)), (std::vector<std::string>{"a.jpg", "b.jpg"}));
}

TEST(BracketMerger, AcceptsWholePixelShiftsWithinThreePercent) {
    using Shift = BracketMerger::Shift;
    const struct {
        double tx, ty;
        std::optional<Shift> expected;
    } cases[] = {
        {0.4, 0.3, std::nullopt},     {2.6, -1.2, Shift{3, -1}}, {150, 0, std::nullopt},
        {120, -0.2, Shift{120, 0}},   {-0.5, 0, Shift{-1, 0}},   {0, 120.01, std::nullopt},
        {NAN, 3, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BracketMerger::acceptedAlignment(c.tx, c.ty, 4000, 3000), c.expected) << c.tx << ", " << c.ty;
    }
    const std::pair<std::pair<int, int>, int> levels[] = {
        {{4000, 3000}, 9}, {{16, 16}, 2}, {{17, 5000}, 2}, {{16384, 16384}, 10}, {{31, 31}, 2}, {{32, 33}, 3}};
    for (const auto& [size, expected] : levels) {
        EXPECT_EQ(BracketMerger::levelCount(size.first, size.second), expected) << size.first << "x" << size.second;
    }
}

// -- Fusion ----------------------------------------------------------------------------------------

// Smooth non-periodic texture in 0 ... 1: bilinear value noise over a random grid plus grain.
std::vector<float> valueNoise(int width, int height, int cell, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int gw = width / cell + 2;
    const int gh = height / cell + 2;
    std::vector<float> grid(static_cast<std::size_t>(gw * gh));
    for (auto& g : grid) g = unit(random);
    std::vector<float> out(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int ix = x / cell, iy = y / cell;
            const float tx = static_cast<float>(x % cell) / static_cast<float>(cell);
            const float ty = static_cast<float>(y % cell) / static_cast<float>(cell);
            auto g = [&](int a, int b) { return grid[static_cast<std::size_t>(b * gw + a)]; };
            const float top = g(ix, iy) * (1 - tx) + g(ix + 1, iy) * tx;
            const float bottom = g(ix, iy + 1) * (1 - tx) + g(ix + 1, iy + 1) * tx;
            out[static_cast<std::size_t>(y) * width + x] = 0.8f * (top * (1 - ty) + bottom * ty) + 0.2f * unit(random);
        }
    }
    return out;
}

struct Scene {
    int width, height;
    std::vector<float> radiance;  // linear, per pixel (grey scene with a warm tint)
    bool window(int x, int y) const { return x > width / 8 && x < width * 3 / 8 && y > height / 6 && y < height / 2; }
};

// A dark room with a window 40 times brighter than the walls.
Scene interior(int width, int height) {
    Scene scene{width, height, valueNoise(width, height, 12, 5)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float& r = scene.radiance[static_cast<std::size_t>(y) * width + x];
            r = 0.03f * (0.4f + r);
            if (scene.window(x, y)) r *= 40.0f;
        }
    }
    return scene;
}

// One exposure of the scene at `ev` stops, its content displaced by (dx, dy) pixels (rows down).
PipelineImage exposure(const Scene& scene, double ev, int dx = 0, int dy = 0) {
    PipelineImage image{test::solidTexture(scene.width, scene.height, 0, 0, 0), {}};
    const auto gain = static_cast<float>(std::exp2(ev));
    const float tint[3] = {1.0f, 0.9f, 0.75f};
    for (int y = 0; y < scene.height; ++y) {
        for (int x = 0; x < scene.width; ++x) {
            const int sx = std::clamp(x - dx, 0, scene.width - 1), sy = std::clamp(y - dy, 0, scene.height - 1);
            const float l = scene.radiance[static_cast<std::size_t>(sy) * scene.width + sx] * gain;
            std::uint8_t* p = image.pixels.rgba.data() + (static_cast<std::size_t>(y) * scene.width + x) * 4;
            for (int c = 0; c < 3; ++c) {
                const float v = std::min(1.0f, l * tint[c]);
                const float encoded = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f;
                p[c] = static_cast<std::uint8_t>(encoded * 255.0f + 0.5f);
            }
        }
    }
    return image;
}

double windowDeviation(const Scene& scene, const PipelineImage& image) {
    double sum = 0, square = 0, n = 0;
    for (int y = 0; y < scene.height; ++y) {
        for (int x = 0; x < scene.width; ++x) {
            if (!scene.window(x, y)) continue;
            const double v = image.pixels.rgba[(static_cast<std::size_t>(y) * scene.width + x) * 4 + 1];
            sum += v, square += v * v, ++n;
        }
    }
    return std::sqrt(square / n - (sum / n) * (sum / n));
}

// Mean absolute difference of the colour channels inside a border of `inset` pixels.
double meanDifference(const PipelineImage& a, const PipelineImage& b, int inset) {
    double total = 0, n = 0;
    for (int y = inset; y < a.height() - inset; ++y) {
        for (int x = inset; x < a.width() - inset; ++x) {
            for (int c = 0; c < 3; ++c) {
                const std::size_t i = (static_cast<std::size_t>(y) * a.width() + x) * 4 + c;
                total += std::abs(int{a.pixels.rgba[i]} - int{b.pixels.rgba[i]}), ++n;
            }
        }
    }
    return total / n;
}

TEST(BracketMerger, FusesOneShotBackToItself) {
    const PipelineImage shot{test::noiseTexture(67, 45, 9, true), {}};
    const PipelineImage fused = BracketMerger().fuse({shot}, true);
    ASSERT_EQ(fused.width(), 67);
    ASSERT_EQ(fused.height(), 45);
    for (std::size_t i = 0; i < shot.pixels.rgba.size(); ++i) {
        if (i % 4 == 3) {
            ASSERT_EQ(fused.pixels.rgba[i], 255) << i;
        } else {
            ASSERT_NEAR(fused.pixels.rgba[i], shot.pixels.rgba[i], 1) << i;
        }
    }
}

TEST(BracketMerger, RefusesBracketsItCannotFuse) {
    const auto kind = [](auto&& call) -> std::optional<MergeError::Kind> {
        try {
            call();
        } catch (const MergeError& error) {
            return error.kind();
        }
        return std::nullopt;
    };
    const BracketMerger merger;
    const PipelineImage small{test::solidTexture(15, 100, 1, 2, 3), {}};
    const PipelineImage a{test::solidTexture(40, 30, 1, 2, 3), {}};
    const PipelineImage b{test::solidTexture(30, 40, 1, 2, 3), {}};
    EXPECT_EQ(kind([&] { merger.fuse({}, true); }), MergeError::Kind::noImages);
    EXPECT_EQ(kind([&] { merger.fuse({small, small}, true); }), MergeError::Kind::tooSmall);
    EXPECT_EQ(kind([&] { merger.fuse({a, b}, false); }), MergeError::Kind::sizeMismatch);
    // The size is judged before any pixels are needed.
    EXPECT_EQ(kind([&] { merger.fuse(2, [](std::size_t) { return PackedTexture{10001, 10000, {}}; }, true); }),
              MergeError::Kind::tooLarge);
    EXPECT_EQ(kind([&] { merger.fuse(2, [&](std::size_t n) { return n == 0 ? a.pixels : b.pixels; }, true); }),
              MergeError::Kind::sizeMismatch);
    EXPECT_EQ(kind([&] { merger.fuse(1, [](std::size_t) { return PackedTexture{20, 20, {1, 2}}; }, true); }),
              MergeError::Kind::renderFailed);
    EXPECT_STREQ(MergeError(MergeError::Kind::tooLarge).what(), "The photos are too large to merge.");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(merger.fuse({a, a}, true, stop.get_token()), OperationCancelled);
}

TEST(BracketMerger, FusedInteriorKeepsTheWindowsDetail) {
    const Scene scene = interior(3000, 2000);
    const std::vector<PipelineImage> shots = {exposure(scene, 0), exposure(scene, -2), exposure(scene, 2)};
    const PipelineImage fused = BracketMerger().fuse(shots, false);
    const double dark = windowDeviation(scene, shots[1]);
    const double kept = windowDeviation(scene, fused);
    EXPECT_GE(kept, 0.9 * dark) << "EV -2 window deviation " << dark << ", fused " << kept;
    EXPECT_GT(dark, 10.0);
}

TEST(BracketMerger, AlignsShiftedShotsBeforeFusing) {
    // Shots displaced by (-3, +2) and (-6, +4) pixels fuse like the still bracket once aligned;
    // unaligned (or moved the wrong way) they leave double edges. Both registration sizes.
    for (const auto& [width, height] : {std::pair{640, 400}, std::pair{1200, 800}}) {
        const Scene scene = interior(width, height);
        const std::vector<PipelineImage> still = {exposure(scene, 0), exposure(scene, -2), exposure(scene, 2)};
        const std::vector<PipelineImage> shaken = {exposure(scene, 0), exposure(scene, -2, -3, 2),
                                                   exposure(scene, 2, -6, 4)};
        const BracketMerger merger;
        const PipelineImage reference = merger.fuse(still, false);
        const double aligned = meanDifference(merger.fuse(shaken, true), reference, 12);
        const double unaligned = meanDifference(merger.fuse(shaken, false), reference, 12);
        EXPECT_LT(aligned, 0.5) << width;
        EXPECT_GT(unaligned, 4 * aligned + 1.0) << width;
    }
}

// -- Gate ------------------------------------------------------------------------------------------

TEST(MergeGate, RunsOneBodyAtATimeAndPassesResultsAndErrorsThrough) {
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 25; ++i) {
                    MergeGate::shared().run([&] {
                        const int now = ++inside;
                        most = std::max(most.load(), now);
                        std::this_thread::yield();
                        --inside;
                    });
                }
            });
        }
    }
    EXPECT_EQ(most.load(), 1);
    EXPECT_THROW(MergeGate::shared().run([]() -> int { throw MergeError(MergeError::Kind::renderFailed); }), MergeError);
    EXPECT_EQ(MergeGate::shared().run([] { return 42; }), 42);
}

// An item waiting its turn behind a long fusion stops when asked, without running its body.
TEST(MergeGate, AWaiterStopsWhenAskedAndTheGateStaysUsable) {
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::jthread holder([&] {
        MergeGate::shared().run([&] {
            held = true;
            while (!release) std::this_thread::yield();
        });
    });
    while (!held) std::this_thread::yield();
    std::stop_source stop;
    bool ran = false;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop.request_stop();
    });
    EXPECT_THROW(MergeGate::shared().run([&] { ran = true; }, stop.get_token()), OperationCancelled);
    EXPECT_FALSE(ran);
    release = true;
    holder.join();
    EXPECT_EQ(MergeGate::shared().run([] { return 7; }, std::stop_source().get_token()), 7);
}

}  // namespace
}  // namespace morvale
