// A realistic run for people to look at: three 2048 x 2048 texture sets, a photo-sized texture, two
// tiling candidates and a 24-frame animation, written under FOLDER/samples, go through every mode of the
// texture preset; the outputs land in FOLDER/outputs/<mode> and each item's outcome is printed. The two
// stay apart so that FOLDER/samples can be dropped on the window without queueing earlier outputs.
//
//   texture_sample_run FOLDER
//
// Nothing is judged here (Sand_Photo is meant to fail the tiling check); look at the outputs.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <numbers>

#include "batch_presets/texture_test_support.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Mode = MorvalePreset::OperationalMode;
using test::Rgba;

// Smooth value noise that repeats every `period` cells, so the textures made from it tile.
double latticeValue(int x, int y, int period, int seed) {
    x = ((x % period) + period) % period;
    y = ((y % period) + period) % period;
    std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u +
                      static_cast<std::uint32_t>(seed) * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return static_cast<double>((h ^ (h >> 16)) & 0xffffu) / 65535.0;
}

double noise(double u, double v, int period, int seed) {
    const int x0 = static_cast<int>(std::floor(u));
    const int y0 = static_cast<int>(std::floor(v));
    const double fx = u - x0;
    const double fy = v - y0;
    const double sx = fx * fx * (3 - 2 * fx);
    const double sy = fy * fy * (3 - 2 * fy);
    const double a = latticeValue(x0, y0, period, seed) + sx * (latticeValue(x0 + 1, y0, period, seed) - latticeValue(x0, y0, period, seed));
    const double b = latticeValue(x0, y0 + 1, period, seed) +
                     sx * (latticeValue(x0 + 1, y0 + 1, period, seed) - latticeValue(x0, y0 + 1, period, seed));
    return a + sy * (b - a);
}

// Fractal noise over a texture of `size` pixels, 0 ... 1, tiling.
double fbm(int x, int y, int size, int seed) {
    double sum = 0, amplitude = 0.5, total = 0;
    for (int octave = 0; octave < 5; ++octave) {
        const int period = 8 << octave;
        sum += amplitude * noise(x * period / static_cast<double>(size), y * period / static_cast<double>(size), period, seed + octave);
        total += amplitude;
        amplitude *= 0.5;
    }
    return sum / total;
}

std::uint8_t byte(double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); }

void writeMap(const fs::path& file, int width, int height, const std::function<double(int, int)>& value) {
    PackedTexture::writePNG(test::makeTexture(width, height, [&](int x, int y) {
                                const std::uint8_t v = byte(value(x, y));
                                return Rgba{v, v, v, 255};
                            }),
                            file);
}

void printRun(const std::string& title, const test::RunResult& run) {
    std::cout << "== " << title << "\n";
    for (const auto& line : run.log) std::cout << "  log: " << line << "\n";
    for (const auto& item : run.items) {
        std::cout << "  " << item.source.filename().string() << ": " << rawValue(item.status);
        if (!item.message.empty()) std::cout << " (" << item.message << ")";
        for (const auto& output : item.outputs) std::cout << "\n      -> " << output;
        std::cout << "\n";
    }
}

void sampleRun(const fs::path& folder) {
    const fs::path dir = folder / "samples";
    const fs::path outputs = folder / "outputs";
    const int n = 2048;

    // Rock: cracked stone with full maps. Brick: courses of bricks, no metallic map, a DirectX
    // normal map. Plate: worn painted metal with a smoothness map instead of roughness.
    const auto rockHeight = [&](int x, int y) { return fbm(x, y, n, 1); };
    writeMap(dir / "sets/Rock_Height.png", n, n, rockHeight);
    writeMap(dir / "sets/Rock_AO.png", n, n, [&](int x, int y) { return 0.35 + 0.65 * std::sqrt(rockHeight(x, y)); });
    writeMap(dir / "sets/Rock_Roughness.png", n, n, [&](int x, int y) { return 0.6 + 0.4 * fbm(x, y, n, 7); });
    writeMap(dir / "sets/Rock_Metallic.png", n, n, [&](int x, int y) { return fbm(x, y, n, 9) > 0.68 ? 1.0 : 0.0; });

    const auto mortar = [&](int x, int y) {
        const int row = y / 128;
        const int bx = (x + (row % 2) * 128) % 256;
        return bx < 12 || y % 128 < 12;
    };
    writeMap(dir / "sets/Brick_Height.png", n, n, [&](int x, int y) { return mortar(x, y) ? 0.1 : 0.7 + 0.3 * fbm(x, y, n, 3); });
    writeMap(dir / "sets/Brick_AO.png", n, n, [&](int x, int y) { return mortar(x, y) ? 0.45 : 1.0; });
    writeMap(dir / "sets/Brick_Roughness.png", n, n, [&](int x, int y) { return mortar(x, y) ? 0.95 : 0.75 + 0.2 * fbm(x, y, n, 4); });
    PackedTexture::writePNG(test::makeTexture(n, n, [&](int x, int y) {
                                // Bevelled brick edges: slopes near the mortar lines, DirectX (green down).
                                const int row = y / 128;
                                const int bx = (x + (row % 2) * 128) % 256;
                                const int by = y % 128;
                                double nx = 0, ny = 0;
                                if (bx >= 12 && bx < 24) nx = -0.5;
                                if (bx >= 244) nx = 0.5;
                                if (by >= 12 && by < 24) ny = 0.5;
                                if (by >= 116) ny = -0.5;
                                const double len = std::sqrt(nx * nx + ny * ny + 1);
                                return Rgba{byte(nx / len * 0.5 + 0.5), byte(-ny / len * 0.5 + 0.5), byte(1 / len * 0.5 + 0.5), 255};
                            }),
                            dir / "sets/Brick_NormalDX.png");

    writeMap(dir / "sets/Plate_AO.png", n, n, [&](int x, int y) { return 0.8 + 0.2 * fbm(x, y, n, 11); });
    writeMap(dir / "sets/Plate_Smoothness.png", n, n, [&](int x, int y) { return 0.3 + 0.6 * fbm(x, y, n, 12); });
    writeMap(dir / "sets/Plate_Metallic.png", n, n, [&](int x, int y) { return fbm(x, y, n, 13) > 0.45 ? 1.0 : 0.2; });
    writeMap(dir / "sets/Plate_Height.png", n, n, [&](int x, int y) {
        const double dx = (x % 512) - 256.0, dy = (y % 512) - 256.0;
        return std::hypot(dx, dy) < 24 ? 1.0 : 0.5;  // rivets
    });

    // A photo-sized texture for the power-of-two mode, and two tiling candidates.
    PackedTexture::writePNG(test::makeTexture(1500, 900, [&](int x, int y) {
                                const double g = fbm(x, y, 1500, 21);
                                return Rgba{byte(0.3 + 0.5 * g), byte(0.5 + 0.4 * g), byte(0.2 + 0.2 * g), 255};
                            }),
                            dir / "misc/Grass.png");
    writeMap(dir / "misc/Moss_Tileable.png", 1024, 1024, [&](int x, int y) { return fbm(x, y, 1024, 31); });
    writeMap(dir / "misc/Sand_Photo.png", 1024, 1024, [&](int x, int y) { return 0.3 + 0.4 * x / 1024.0 + 0.2 * fbm(x, y, 1024, 41); });

    // A ball bouncing across 24 frames of 128 x 128, squashing on the floor; frames 12 and 24 repeat 1.
    std::vector<fs::path> frames;
    for (int i = 1; i <= 24; ++i) {
        const int f = (i == 12 || i == 24) ? 1 : i;
        const double t = (f - 1) / 23.0;
        const double cx = 20 + 88 * t;
        const double bounce = std::abs(std::sin(t * 2 * std::numbers::pi));
        const double cy = 108 - 80 * bounce;
        const double squash = bounce < 0.15 ? 1.3 : 1.0;
        char name[32];
        std::snprintf(name, sizeof name, "ball_%02d.png", i);
        frames.push_back(dir / "anim" / name);
        PackedTexture::writePNG(test::makeTexture(128, 128, [&](int x, int y) {
                                    const double dx = (x - cx) / (16 * squash), dy = (y - cy) * squash / 16;
                                    const double d = dx * dx + dy * dy;
                                    if (d > 1) return Rgba{0, 0, 0, 0};
                                    const double shade = 1 - 0.5 * std::clamp(dx + dy + 0.5, 0.0, 1.0);
                                    return Rgba{byte(0.95 * shade), byte(0.35 * shade), byte(0.2 * shade), 255};
                                }),
                                frames.back());
    }

    const std::vector<fs::path> sets = [&] {
        std::vector<fs::path> files;
        for (const auto& name : test::fileNames(dir / "sets")) files.push_back(dir / "sets" / name);
        return files;
    }();
    const std::string pattern = "{name}_{profile}_{pot}";

    MorvalePreset packing = test::texturePreset(Mode::channelPackingORM);
    packing.generateMipmaps = true;
    packing.generateMissingNormal = true;
    printRun("channel packing, Unreal", test::runTextureJob(packing, sets, outputs / "unreal", pattern, 8));
    packing.engineProfile = ChannelPacker::EngineProfile::unityHDRPMaskMap;
    packing.generateMipmaps = false;
    printRun("channel packing, HDRP", test::runTextureJob(packing, sets, outputs / "hdrp", pattern, 8));
    printRun("normal conversion", test::runTextureJob(test::texturePreset(Mode::normalMapConvert), sets, outputs / "normal", pattern, 8));
    printRun("normal from height",
             test::runTextureJob(test::texturePreset(Mode::normalFromHeight), {dir / "sets/Rock_Height.png", dir / "sets/Plate_Height.png"},
                                 outputs / "height", pattern, 8));
    MorvalePreset pot = test::texturePreset(Mode::powerOfTwoEnforce);
    pot.generateMipmaps = true;
    printRun("power of two", test::runTextureJob(pot, {dir / "misc/Grass.png"}, outputs / "pot", pattern, 8));
    printRun("tiling", test::runTextureJob(test::texturePreset(Mode::tilingCheck),
                                           {dir / "misc/Moss_Tileable.png", dir / "misc/Sand_Photo.png"}, outputs / "tiling", pattern, 8));
    MorvalePreset sprite = test::texturePreset(Mode::spriteSheetAtlas);
    sprite.spriteHalfScale = true;
    printRun("sprite sheet", test::runTextureJob(sprite, frames, outputs / "sprite", pattern, 8));
}

}  // namespace
}  // namespace morvale

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: texture_sample_run FOLDER\n";
        return 2;
    }
    try {
        morvale::sampleRun(argv[1]);
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "texture_sample_run: " << error.what() << "\n";
        return 1;
    }
}
