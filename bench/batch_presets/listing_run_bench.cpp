// A listing shoot through the batch queue, three items at a time: twelve 6000 x 4000 JPEGs with
// the seller's location, the Zillow web set, straightening, a 1000 x 500 logo, GPS removal, print
// and web packages. compare_listing_run.sh makes and tags the inputs, runs each benchmark in its
// own process pinned to three cores, and times an ImageMagick + exiftool pipeline beside it.
//
//   bench_listing_run --make-inputs DIR     writes DIR/shot_NN.jpg (untagged) and DIR/logo.png
//   bench_listing_run [benchmark flags]     runs MORVALE_BENCH_DIR/singles and .../brackets

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_queue_manager.h"
#include "batch_core/processing_job.h"
#include "batch_presets/varnholt_preset.h"
#include "image_engine/core_image_pipeline.h"
#include "image_engine/packed_texture.h"

namespace {

using namespace morvale;
namespace fs = std::filesystem;

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr int kShots = 12;

std::uint8_t encode(double linear) {
    return static_cast<std::uint8_t>(std::lround(255.0 * std::pow(std::clamp(linear, 0.0, 1.0), 1 / 2.2)));
}

// A room leaning by 1.5 degrees with a bright window and fine grain, so that the files weigh what
// camera JPEGs of this size weigh. Shots 0, 1, 2 of each scene are 0, -2 and +2 EV.
PackedTexture shot(int index) {
    const double ev = (index % 3 == 0) ? 0.0 : (index % 3 == 1 ? -2.0 : 2.0);
    const double gain = std::pow(2.0, ev);
    const int scene = index / 3;
    const double slope = std::tan(1.5 * 3.14159265358979 / 180.0);
    std::vector<double> lut(4096);
    for (std::size_t i = 0; i < lut.size(); ++i) lut[i] = static_cast<double>(encode(static_cast<double>(i) / 1024.0));
    PackedTexture out{kWidth, kHeight, std::vector<std::uint8_t>(static_cast<std::size_t>(kWidth) * kHeight * 4)};
    std::uint32_t seed = 2463534242u + static_cast<std::uint32_t>(scene);
    for (int y = 0; y < kHeight; ++y) {
        const double v = y / static_cast<double>(kHeight);
        for (int x = 0; x < kWidth; ++x) {
            const double u = (x + slope * (y - 0.5 * kHeight)) / kWidth;
            double r = 0.18 - 0.08 * std::abs(u - 0.5), g = 0.15 - 0.06 * std::abs(u - 0.5), b = 0.12;
            if (v > 0.78) { r = 0.10 + 0.02 * ((static_cast<int>(u * 30) + scene) % 2); g = 0.07; b = 0.05; }
            if (u > 0.58 && u < 0.86 && v > 0.18 && v < 0.62) { r = 2.0; g = 2.6; b = 3.4; }
            for (const double frame : {0.12, 0.2 + 0.02 * scene, 0.38, 0.92}) {
                if (std::abs(u - frame) < 0.004) r = g = b = 0.35;
            }
            seed ^= seed << 13; seed ^= seed >> 17; seed ^= seed << 5;
            const double grain = 1.0 + 0.6 * (static_cast<double>(seed & 0xffu) / 255.0 - 0.5);
            std::uint8_t* p = out.rgba.data() + (static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)) * 4;
            const auto level = [&](double c) {
                const double l = std::clamp(c * gain * grain, 0.0, 3.99);
                return static_cast<std::uint8_t>(lut[static_cast<std::size_t>(l * 1024.0)]);
            };
            p[0] = level(r);
            p[1] = level(g);
            p[2] = level(b);
            p[3] = 255;
        }
    }
    return out;
}

void makeInputs(const fs::path& dir) {
    fs::create_directories(dir);
    for (int i = 0; i < kShots; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "shot_%02d.jpg", i + 1);
        CoreImagePipeline::shared().write(PipelineImage{shot(i), {}}, dir / name, 0.92);
    }
    PackedTexture logo{1000, 500, std::vector<std::uint8_t>(1000u * 500u * 4)};
    for (int y = 0; y < 500; ++y) {
        for (int x = 0; x < 1000; ++x) {
            const double d = std::hypot((x - 500) / 500.0, (y - 250) / 250.0);
            std::uint8_t* p = logo.rgba.data() + (static_cast<std::size_t>(y) * 1000 + static_cast<std::size_t>(x)) * 4;
            const bool letter = (x / 60) % 3 == 1 && y > 150 && y < 350;
            p[0] = letter ? 250 : 20;
            p[1] = letter ? 250 : 60;
            p[2] = letter ? 250 : 140;
            p[3] = static_cast<std::uint8_t>(std::clamp((1.0 - d) * 8.0, 0.0, 1.0) * 255);
        }
    }
    PackedTexture::writePNG(logo, dir / "logo.png");
}

fs::path benchDir() {
    const char* dir = std::getenv("MORVALE_BENCH_DIR");
    return dir != nullptr ? fs::path(dir) : fs::temp_directory_path() / "morvale-listing-bench";
}

// One run over a folder of twelve shots; with `brackets` the shots are merged three by three.
void BM_ListingRun(benchmark::State& state, const char* folder, bool brackets) {
    const fs::path in = benchDir() / folder;
    std::vector<BatchItem> items;
    for (int i = 0; i < kShots; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "shot_%02d.jpg", i + 1);
        items.emplace_back(Uuid::random(), in / name);
    }
    VarnholtPreset preset("1042_Maple_Lane", true, true, true, true, 2048, 2000, benchDir() / "logo.png", 0.85);
    preset.setPortal(VarnholtPreset::Portal::zillow);
    preset.mergeBrackets = brackets;
    std::int64_t written = 0;
    for (auto _ : state) {
        const fs::path out = benchDir() / (std::string("out-") + folder);
        fs::remove_all(out);
        BatchConfiguration configuration(out, true, preset.defaultNamingPattern(), false, 3, false, false);
        ProcessingJob job(Uuid::random(), preset.id(), preset.displayName(), items, configuration);
        BatchQueueManager queue;
        const ExecutionReport report = queue.submitAndStart(job, preset);
        if (report.failureCount != 0) {
            state.SkipWithError("an item failed");
            for (const auto& error : report.errors) std::cerr << error << "\n";
            break;
        }
        written = static_cast<std::int64_t>(report.outputFiles.size());
    }
    state.counters["outputs"] = static_cast<double>(written);
}

BENCHMARK_CAPTURE(BM_ListingRun, singles, "singles", false)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(BM_ListingRun, brackets, "brackets", true)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--make-inputs") == 0) {
        makeInputs(argv[2]);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
