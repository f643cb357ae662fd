// The PNG encoder's level and filter choice, measured: every libdeflate level with per-row
// minimum-sum filtering and every fixed filter at the default level, on a packed ORM map in the
// shape of bench_texture_packing's (noise-like AO, roughness and height beside a two-valued
// metallic channel) and on a smooth photo-like texture, each 2048². OpenImageIO's encoder (libpng
// and zlib) at levels 3 and 6 runs beside them. Decoding is timed for our reader and for
// OpenImageIO on grey and RGBA files. Counters: MB of the file, and for the encoders the ratio to
// zlib level 6's size.
#include <benchmark/benchmark.h>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "image_engine/png_reader.h"
#include "image_engine/png_writer.h"

using namespace morvale;

namespace {

constexpr int side = 2048;

double lattice(int x, int y, int period, int seed) {
    x = ((x % period) + period) % period;
    y = ((y % period) + period) % period;
    std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u +
                      static_cast<std::uint32_t>(seed) * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return static_cast<double>((h ^ (h >> 16)) & 0xffffu) / 65535.0;
}

double fbm(int x, int y, int seed) {
    double sum = 0, amplitude = 0.5, total = 0;
    for (int octave = 0; octave < 4; ++octave) {
        const int period = 8 << octave;
        const double u = x * period / static_cast<double>(side), v = y * period / static_cast<double>(side);
        const int x0 = static_cast<int>(u), y0 = static_cast<int>(v);
        const double fx = u - x0, fy = v - y0;
        const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
        const double a = lattice(x0, y0, period, seed + octave) * (1 - sx) + lattice(x0 + 1, y0, period, seed + octave) * sx;
        const double b = lattice(x0, y0 + 1, period, seed + octave) * (1 - sx) + lattice(x0 + 1, y0 + 1, period, seed + octave) * sx;
        sum += amplitude * (a * (1 - sy) + b * sy);
        total += amplitude;
        amplitude *= 0.5;
    }
    return sum / total;
}

std::vector<std::uint8_t> packedMap() {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(side) * side * 4);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            for (int map = 0; map < 4; ++map) {
                const double n = fbm(x, y, 10 * map + 1);
                double v = n;
                if (map == 0) v = 0.35 + 0.65 * std::sqrt(n);
                if (map == 1) v = 0.55 + 0.45 * fbm(x, y, 77);
                if (map == 2) v = n > 0.62 ? 1.0 : 0.0;
                rgba[(static_cast<std::size_t>(y) * side + static_cast<std::size_t>(x)) * 4 + static_cast<std::size_t>(map)] =
                    static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
            }
        }
    }
    return rgba;
}

std::vector<std::uint8_t> photoLike() {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(side) * side * 4);
    std::minstd_rand random(7);
    std::size_t at = 0;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const double base = 127.0 + 90.0 * std::sin(x * 0.011) * std::cos(y * 0.017);
            for (int c = 0; c < 4; ++c) {
                const double value = base + 20.0 * std::sin((x + y) * 0.003 * (c + 1)) + static_cast<double>(random() % 7) - 3.0;
                rgba[at++] = static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
            }
        }
    }
    return rgba;
}

const std::vector<std::uint8_t>& image(int which) {
    static const std::vector<std::uint8_t> packed = packedMap();
    static const std::vector<std::uint8_t> photo = photoLike();
    return which == 0 ? packed : photo;
}

std::vector<unsigned char> oiioEncode(const std::vector<std::uint8_t>& rgba, int channels, int level) {
    std::vector<unsigned char> bytes;
    OIIO::Filesystem::IOVecOutput proxy(bytes);
    auto writer = OIIO::ImageOutput::create("png");
    writer->set_ioproxy(&proxy);
    OIIO::ImageSpec spec(side, side, channels, OIIO::TypeDesc::UINT8);
    spec.attribute("oiio:UnassociatedAlpha", 1);
    spec.attribute("png:compressionLevel", level);
    writer->open("memory.png", spec);
    writer->write_image(OIIO::TypeDesc::UINT8, rgba.data());
    writer->close();
    return bytes;
}

double zlib6Size(int which) {
    static const double sizes[2] = {static_cast<double>(oiioEncode(image(0), 4, 6).size()),
                                    static_cast<double>(oiioEncode(image(1), 4, 6).size())};
    return sizes[which];
}

void counters(benchmark::State& state, int which, std::size_t bytes) {
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["vs_zlib6"] = static_cast<double>(bytes) / zlib6Size(which);
}

// Args: image (0 packed, 1 photo-like), level, filter.
void BM_OurEncoder(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    PngWriter::Options options;
    options.level = static_cast<int>(state.range(1));
    options.filters = static_cast<PngWriter::Filters>(state.range(2));
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = PngWriter::encode(image(which).data(), side, side, PngWriter::Layout::rgba, options).size();
    }
    counters(state, which, bytes);
}

void BM_OIIOEncoder(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    std::size_t bytes = 0;
    for (auto _ : state) bytes = oiioEncode(image(which), 4, static_cast<int>(state.range(1))).size();
    counters(state, which, bytes);
}

std::vector<std::uint8_t> greyPlane() {
    std::vector<std::uint8_t> grey(static_cast<std::size_t>(side) * side);
    for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = image(0)[i * 4];
    return grey;
}

// Args: channels (1 grey, 4 RGBA). Files written by OpenImageIO, as other tools would.
void BM_OurDecoder(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    const auto file = oiioEncode(channels == 1 ? greyPlane() : image(0), channels, 6);
    for (auto _ : state) {
        auto decoded = PngReader::decode({file.data(), file.size()}, PngReader::Options{});
        benchmark::DoNotOptimize(decoded);
    }
}

void BM_OIIODecoder(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    auto file = oiioEncode(channels == 1 ? greyPlane() : image(0), channels, 6);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
    for (auto _ : state) {
        OIIO::Filesystem::IOMemReader proxy(file.data(), file.size());
        OIIO::ImageSpec config;
        config.attribute("oiio:UnassociatedAlpha", 1);
        void* ptr = &proxy;
        config.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &ptr);
        auto input = OIIO::ImageInput::open("memory.png", &config);
        input->read_image(0, 0, 0, channels, OIIO::TypeDesc::UINT8, pixels.data(), 4);
        input->close();
    }
}

}  // namespace

BENCHMARK(BM_OurEncoder)
    ->ArgsProduct({{0, 1}, {1, 3, 5, 6, 7, 8, 9, 10, 12}, {5, 6}})
    ->ArgsProduct({{0, 1}, {5, 6, 7}, {0, 1, 2, 3, 4}})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OIIOEncoder)->ArgsProduct({{0, 1}, {3, 6}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OurDecoder)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OIIODecoder)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();
int main(int argc, char** argv) {
    // The inputs are made before the clock starts.
    image(0);
    zlib6Size(0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
