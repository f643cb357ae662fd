// Photo tools at listing sizes: decoding, aligning and fusing a 6000 x 4000 bracket of three
// shifted exposures (EV -2, 0, +2), straightening a 24 MP photo (roll and keystone in one warp) and
// stamping a logo on one. Inputs are generated into MORVALE_BENCH_DIR (or a folder under the system's
// temporary folder) when missing; "--make-inputs" only writes them, together with a 3000 x 2000
// interior bracket and its fusion for comparing with other fusers. compare_photo_tools.sh runs each
// case in its own process for its peak memory, beside the command-line peers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <random>
#include <string>

#include "image_engine/architectural_straightener.h"
#include "image_engine/bracket_merger.h"
#include "image_engine/core_image_pipeline.h"
#include "image_engine/watermark_renderer.h"

namespace fs = std::filesystem;
using namespace morvale;

namespace {

// A dark room (warm, textured walls) with a window 40 times brighter, as linear radiance.
struct Scene {
    int width = 0;
    int height = 0;
    std::vector<float> radiance;
};

Scene interior(int width, int height, unsigned seed) {
    Scene scene{width, height, std::vector<float>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int cell = std::max(8, width / 250);
    const int gw = width / cell + 2;
    const int gh = height / cell + 2;
    std::vector<float> coarse(static_cast<std::size_t>(gw) * static_cast<std::size_t>(gh));
    for (float& value : coarse) value = unit(random);
    for (int y = 0; y < height; ++y) {
        const int iy = y / cell;
        const float ty = static_cast<float>(y % cell) / static_cast<float>(cell);
        for (int x = 0; x < width; ++x) {
            const int ix = x / cell;
            const float tx = static_cast<float>(x % cell) / static_cast<float>(cell);
            auto g = [&](int a, int b) { return coarse[static_cast<std::size_t>(b) * static_cast<std::size_t>(gw) + static_cast<std::size_t>(a)]; };
            const float smooth = (g(ix, iy) * (1 - tx) + g(ix + 1, iy) * tx) * (1 - ty) +
                                 (g(ix, iy + 1) * (1 - tx) + g(ix + 1, iy + 1) * tx) * ty;
            float value = 0.03f * (0.2f + smooth + 0.3f * unit(random));
            const bool window = x > width / 8 && x < width * 3 / 8 && y > height / 6 && y < height / 2;
            if (window) value *= 40.0f;
            scene.radiance[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = value;
        }
    }
    return scene;
}

PipelineImage exposure(const Scene& scene, double ev, int dx, int dy) {
    PipelineImage image;
    image.pixels.width = scene.width;
    image.pixels.height = scene.height;
    image.pixels.rgba.resize(static_cast<std::size_t>(scene.width) * static_cast<std::size_t>(scene.height) * 4);
    std::array<std::uint8_t, 4096> encode{};
    for (std::size_t i = 0; i < encode.size(); ++i) {
        const double v = static_cast<double>(i) / 4095.0;
        encode[i] = static_cast<std::uint8_t>(std::lround(255.0 * (v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055)));
    }
    const auto gain = static_cast<float>(std::exp2(ev));
    const float tint[3] = {1.0f, 0.9f, 0.75f};
    for (int y = 0; y < scene.height; ++y) {
        for (int x = 0; x < scene.width; ++x) {
            const int sx = std::clamp(x - dx, 0, scene.width - 1);
            const int sy = std::clamp(y - dy, 0, scene.height - 1);
            const float l = scene.radiance[static_cast<std::size_t>(sy) * static_cast<std::size_t>(scene.width) + static_cast<std::size_t>(sx)] * gain;
            std::uint8_t* p = image.pixels.rgba.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(scene.width) + static_cast<std::size_t>(x)) * 4;
            for (int c = 0; c < 3; ++c) {
                p[c] = encode[static_cast<std::size_t>(std::min(1.0f, l * tint[c]) * 4095.0f + 0.5f)];
            }
            p[3] = 255;
        }
    }
    return image;
}

const char* kShots[] = {"bracket_0.jpg", "bracket_m2.jpg", "bracket_p2.jpg"};

const fs::path& inputFolder() {
    static const fs::path folder = [] {
        const char* given = std::getenv("MORVALE_BENCH_DIR");
        const fs::path made = given != nullptr ? fs::path(given) : fs::temp_directory_path() / "morvale-photo-bench";
        fs::create_directories(made);
        const auto& pipeline = CoreImagePipeline::shared();
        if (!fs::exists(made / kShots[2])) {
            const Scene scene = interior(6000, 4000, 11);
            // The camera drifted between shots: content displaced by (-3, +2) and (-6, +4).
            pipeline.write(exposure(scene, 0, 0, 0), made / kShots[0], 0.95);
            pipeline.write(exposure(scene, -2, -3, 2), made / kShots[1], 0.95);
            pipeline.write(exposure(scene, 2, -6, 4), made / kShots[2], 0.95);
        }
        if (!fs::exists(made / "interior_p2.png")) {
            const Scene scene = interior(3000, 2000, 5);
            const std::vector<PipelineImage> shots = {exposure(scene, 0, 0, 0), exposure(scene, -2, 0, 0),
                                                      exposure(scene, 2, 0, 0)};
            pipeline.write(shots[0], made / "interior_0.png", 1.0);
            pipeline.write(shots[1], made / "interior_m2.png", 1.0);
            pipeline.write(shots[2], made / "interior_p2.png", 1.0);
            pipeline.write(BracketMerger().fuse(shots, false), made / "interior_fused_ours.png", 1.0);
        }
        if (!fs::exists(made / "logo.png")) {
            // A white badge with a dark rim on transparent black.
            PackedTexture logo{1000, 500, std::vector<std::uint8_t>(1000 * 500 * 4, 0)};
            for (int y = 0; y < 500; ++y) {
                for (int x = 0; x < 1000; ++x) {
                    const double d = std::hypot((x - 500.0) / 480.0, (y - 250.0) / 230.0);
                    std::uint8_t* p = logo.rgba.data() + (static_cast<std::size_t>(y) * 1000 + static_cast<std::size_t>(x)) * 4;
                    if (d < 1.0) {
                        const std::uint8_t v = d < 0.85 ? 255 : 30;
                        p[0] = p[1] = p[2] = v;
                        p[3] = 255;
                    }
                }
            }
            pipeline.write(PipelineImage{logo, {}}, made / "logo.png", 1.0);
        }
        return made;
    }();
    return folder;
}

void BM_FuseBracket6000x4000(benchmark::State& state) {
    const fs::path folder = inputFolder();
    const auto& pipeline = CoreImagePipeline::shared();
    for (auto _ : state) {
        const PipelineImage fused = BracketMerger().fuse(
            3,
            [&](std::size_t n) {
                auto shot = pipeline.loadImage(folder / kShots[n]);
                if (!shot) throw std::runtime_error("cannot read the bracket");
                return std::move(shot->pixels);
            },
            true);
        benchmark::DoNotOptimize(fused.pixels.rgba.data());
        if (std::getenv("MORVALE_BENCH_KEEP") != nullptr) {
            pipeline.write(fused, folder / "bracket_fused_ours.jpg", 0.95);
        }
    }
}
BENCHMARK(BM_FuseBracket6000x4000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_Straighten24MP(benchmark::State& state) {
    const auto photo = CoreImagePipeline::shared().loadImage(inputFolder() / kShots[0]);
    const ArchitecturalStraightener::StraightenParameters parameters{0.05, 0, 3 * std::numbers::pi / 180, true, 12};
    for (auto _ : state) {
        const PipelineImage out = ArchitecturalStraightener().straighten(*photo, parameters);
        benchmark::DoNotOptimize(out.pixels.rgba.data());
    }
}
BENCHMARK(BM_Straighten24MP)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_Watermark24MP(benchmark::State& state) {
    const auto photo = CoreImagePipeline::shared().loadImage(inputFolder() / kShots[0]);
    const auto logo = CoreImagePipeline::shared().loadImage(inputFolder() / "logo.png");
    for (auto _ : state) {
        state.PauseTiming();
        PipelineImage copy = *photo;
        state.ResumeTiming();
        const PipelineImage out = WatermarkRenderer().applyWatermark(std::move(copy), *logo, {0.8, 0.18, 0.03,
                                                                    WatermarkRenderer::WatermarkPosition::bottomRight});
        benchmark::DoNotOptimize(out.pixels.rgba.data());
    }
}
BENCHMARK(BM_Watermark24MP)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--make-inputs") == 0) {
        std::printf("%s\n", inputFolder().c_str());
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
