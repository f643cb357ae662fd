// Texture tools at production sizes: Lanczos 8192² → 4096², packing four 4096² maps (with and
// without PNG encoding) and a full mip chain from 4096². Inputs are generated into
// MORVALE_BENCH_DIR (or a folder under the system's temporary folder) when they are missing;
// compare_texture_tools.sh runs each case on its own for peak memory and times the command-line
// resizers side by side.
#include <benchmark/benchmark.h>

#include <OpenImageIO/imageio.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "image_engine/channel_packer.h"
#include "image_engine/core_image_pipeline.h"
#include "image_engine/image_loader.h"
#include "image_engine/lanczos_resampler.h"
#include "image_engine/power_of_two_scaler.h"

namespace fs = std::filesystem;
using namespace morvale;

namespace {

// A texture-like image: smooth colour fields with a little grain, so codecs and filters see
// something between flat colour and pure noise.
PackedTexture textureLike(int side, int channelsSeed) {
    PackedTexture texture;
    texture.width = side;
    texture.height = side;
    texture.rgba.resize(static_cast<std::size_t>(side) * static_cast<std::size_t>(side) * 4);
    std::minstd_rand random(static_cast<unsigned>(channelsSeed));
    std::size_t at = 0;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const double base = 127.0 + 90.0 * std::sin(x * 0.011 + channelsSeed) * std::cos(y * 0.017);
            for (int c = 0; c < 4; ++c) {
                const double value = base + 20.0 * std::sin((x + y) * 0.003 * (c + 1)) + static_cast<double>(random() % 7) - 3.0;
                texture.rgba[at++] = static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
            }
        }
    }
    return texture;
}

// Texture maps arrive as single-channel grey files.
void writeGreyPNG(const PackedTexture& texture, const fs::path& file) {
    std::vector<std::uint8_t> plane(texture.rgba.size() / 4);
    for (std::size_t i = 0; i < plane.size(); ++i) {
        plane[i] = texture.rgba[i * 4];
    }
    auto out = OIIO::ImageOutput::create("png");
    const OIIO::ImageSpec spec(texture.width, texture.height, 1, OIIO::TypeDesc::UINT8);
    if (!out || !out->open(file.string(), spec) || !out->write_image(OIIO::TypeDesc::UINT8, plane.data()) ||
        !out->close()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

const fs::path& inputFolder() {
    static const fs::path folder = [] {
        const char* given = std::getenv("MORVALE_BENCH_DIR");
        const fs::path made = given != nullptr ? fs::path(given) : fs::temp_directory_path() / "morvale-texture-bench";
        fs::create_directories(made);
        if (!fs::exists(made / "source_8192.tif")) {
            CoreImagePipeline::shared().write(PipelineImage{textureLike(8192, 1), {}}, made / "source_8192.tif", 1.0);
        }
        const char* names[] = {"Rock_AO.png", "Rock_Roughness.png", "Rock_Metallic.png", "Rock_Height.png"};
        for (int i = 0; i < 4; ++i) {
            if (!fs::exists(made / names[i])) {
                writeGreyPNG(textureLike(4096, i + 2), made / names[i]);
            }
        }
        return made;
    }();
    return folder;
}

ChannelPacker::ChannelSources fourMaps() {
    const fs::path& folder = inputFolder();
    ChannelPacker::ChannelSources sources;
    sources.maps = {{ChannelPacker::Channel::ambientOcclusion, folder / "Rock_AO.png"},
                    {ChannelPacker::Channel::roughness, folder / "Rock_Roughness.png"},
                    {ChannelPacker::Channel::metallic, folder / "Rock_Metallic.png"},
                    {ChannelPacker::Channel::height, folder / "Rock_Height.png"}};
    return sources;
}

void BM_Lanczos8192To4096InMemory(benchmark::State& state) {
    const PackedTexture source = ImageLoader::loadRGBA8(inputFolder() / "source_8192.tif");
    for (auto _ : state) {
        PackedTexture out = LanczosResampler::resample(source, 4096, 4096);
        benchmark::DoNotOptimize(out.rgba.data());
    }
}

// File to file, like the command-line resizers: read an uncompressed TIFF, resample, write one.
void BM_Lanczos8192To4096FileToFile(benchmark::State& state) {
    const fs::path out = inputFolder() / "ours_4096.tif";
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    for (auto _ : state) {
        const PackedTexture source = ImageLoader::loadRGBA8(inputFolder() / "source_8192.tif");
        pipeline.write(PipelineImage{LanczosResampler::resample(source, 4096, 4096), {}}, out, 1.0);
    }
}

void BM_PackFourMaps4096(benchmark::State& state) {
    const ChannelPacker packer;
    const auto sources = fourMaps();
    for (auto _ : state) {
        PackedTexture packed = packer.pack(sources, ChannelPacker::EngineProfile::unrealORM, 4096, 4096);
        benchmark::DoNotOptimize(packed.rgba.data());
    }
}

void BM_PackFourMaps4096AndWritePNG(benchmark::State& state) {
    const ChannelPacker packer;
    const auto sources = fourMaps();
    const fs::path out = inputFolder() / "Rock_ORM_4096x4096.png";
    for (auto _ : state) {
        PackedTexture::writePNG(packer.pack(sources, ChannelPacker::EngineProfile::unrealORM, 4096, 4096), out);
    }
    state.counters["MB_png"] = static_cast<double>(fs::file_size(out)) / 1e6;
}

void BM_MipChainFrom4096(benchmark::State& state) {
    const PipelineImage image{textureLike(4096, 7), {}};
    const PowerOfTwoScaler scaler;
    for (auto _ : state) {
        auto levels = scaler.generateMipmaps(image, 1);
        benchmark::DoNotOptimize(levels.data());
        state.counters["levels"] = static_cast<double>(levels.size());
    }
}

// The chain as the texture preset writes it: every level below the top one to its own PNG.
void BM_MipChainFrom4096WrittenAsPNG(benchmark::State& state) {
    const PipelineImage image{textureLike(4096, 7), {}};
    const PowerOfTwoScaler scaler;
    const CoreImagePipeline& pipeline = CoreImagePipeline::shared();
    const fs::path folder = inputFolder() / "mips";
    std::uintmax_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const auto& level : scaler.generateMipmaps(image, 1)) {
            if (level.level == 0) continue;
            const fs::path file = folder / ("Rock_mip" + std::to_string(level.level) + ".png");
            pipeline.write(level.image, file, 0.92);
            bytes += fs::file_size(file);
        }
    }
    state.counters["MB_png"] = static_cast<double>(bytes) / 1e6;
}

}  // namespace

BENCHMARK(BM_Lanczos8192To4096InMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Lanczos8192To4096FileToFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PackFourMaps4096)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PackFourMaps4096AndWritePNG)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_MipChainFrom4096)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_MipChainFrom4096WrittenAsPNG)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Inputs are made before anything is timed (and are reused by later runs in the same folder).
    (void)inputFolder();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
