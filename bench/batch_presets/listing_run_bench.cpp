// A listing shoot through the batch queue, four items at a time: twelve 6000 x 4000 JPEGs with
// the seller's location, the Zillow web set, straightening, a 1000 x 500 logo, GPS removal, print
// and web packages. compare_listing_run.sh makes and tags the inputs, runs each benchmark in its
// own process pinned to four cores, and times an ImageMagick + exiftool pipeline beside it.
//
//   bench_listing_run --make-inputs DIR     writes DIR/shot_NN.jpg (untagged) and DIR/logo.png
//   bench_listing_run --profile PHOTO LOGO  one photo's stages, one after another, in milliseconds
//   bench_listing_run --web PHOTO OUT       the web step alone (Zillow crop, 2048 px, quality 0.85)
//   bench_listing_run [benchmark flags]     runs MORVALE_BENCH_DIR/singles and .../brackets

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_queue_manager.h"
#include "batch_core/processing_job.h"
#include "batch_core/exif_stripper.h"
#include "batch_presets/listing_processor.h"
#include "batch_presets/varnholt_preset.h"
#include "image_engine/architectural_straightener.h"
#include "image_engine/core_image_pipeline.h"
#include "image_engine/packed_texture.h"
#include "image_engine/watermark_renderer.h"

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
        BatchConfiguration configuration(out, true, preset.defaultNamingPattern(), false, 4, false, false);
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

void writeBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

VarnholtPreset zillowPreset() {
    VarnholtPreset preset("1042_Maple_Lane", true, true, true, true, 2048, 2000, std::nullopt, 0.85);
    preset.setPortal(VarnholtPreset::Portal::zillow);
    return preset;
}

// The stages the listing step runs for one photo, in its order, each timed on its own.
int profile(const fs::path& photoFile, const fs::path& logoFile) {
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    const VarnholtPreset preset = zillowPreset();
    const fs::path out = fs::temp_directory_path() / "morvale-listing-profile";
    fs::create_directories(out);
    double total = 0;
    const auto stage = [&](const char* name, const std::function<void()>& body) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        total += ms;
        std::printf("%-34s %8.0f\n", name, ms);
    };
    PipelineImage photo, logo, web;
    ArchitecturalStraightener::StraightenParameters parameters;
    WatermarkRenderer::WatermarkOptions options{0.85, 0.18, 0.03, WatermarkRenderer::WatermarkPosition::bottomRight};
    std::vector<std::uint8_t> bytes;
    const EXIFStripper stripper;
    stage("decode, sRGB, metadata", [&] { photo = pipeline.loadPhoto(photoFile); logo = pipeline.loadPhoto(logoFile); });
    stage("straighten: analyse", [&] { parameters = ArchitecturalStraightener().analyze(photo); });
    stage("straighten: warp", [&] { photo = ArchitecturalStraightener().straighten(photo, parameters); });
    stage("web crop", [&] { web = ListingProcessor::cropped(photo, preset.webAspect); });
    stage("print: logo", [&] { photo = WatermarkRenderer().applyWatermark(std::move(photo), logo, options); });
    stage("print: encode at 0.98 + metadata", [&] { bytes = *pipeline.jpegData(photo, 0.98, photo.properties.withoutGPS()); });
    stage("print: write", [&] { writeBytes(out / "print.jpg", bytes); });
    stage("print: strip GPS", [&] {
        stripper.stripMetadata(out / "print.jpg", out / "print.jpg", EXIFStripper::StripOption::stripGPSOnly, 0.92);
    });
    stage("web: logo", [&] { web = WatermarkRenderer().applyWatermark(std::move(web), logo, options); });
    stage("web: Lanczos to 2048", [&] { web = pipeline.scaledToFit(web, preset.maxWebDimension); });
    stage("web: encode at 0.85 + metadata", [&] { bytes = *pipeline.jpegData(web, 0.85, web.properties.withoutGPS()); });
    stage("web: write", [&] { writeBytes(out / "web.jpg", bytes); });
    stage("web: strip all but orientation", [&] {
        stripper.stripMetadata(out / "web.jpg", out / "web.jpg",
                               EXIFStripper::StripOption::stripAllExifExceptOrientation, 0.92);
    });
    std::printf("%-34s %8.0f\n", "total (one thread, one photo)", total);
    fs::remove_all(out);
    return 0;
}

// The web step without straightening or logo, for comparing its resampling and encoding.
int webOnly(const fs::path& photoFile, const fs::path& outFile) {
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    const VarnholtPreset preset = zillowPreset();
    const PipelineImage web = ListingProcessor::cropped(pipeline.loadPhoto(photoFile), preset.webAspect);
    const auto bytes = ListingProcessor::encodeUnderSizeCap(web, {}, preset.maxWebDimension, preset.maxWebFileSizeKB);
    writeBytes(outFile, bytes.bytes);
    return bytes.bytes.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--make-inputs") == 0) {
        makeInputs(argv[2]);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--profile") == 0) return profile(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "--web") == 0) return webOnly(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
