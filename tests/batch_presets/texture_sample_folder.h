#pragma once

// The texture sample folder's layout and the runs made over it: three 2048 x 2048 material sets,
// a photo-sized texture, two tiling candidates and a 24-frame animation, through every mode of the
// texture preset. The sample run fills the maps with realistic pixels; the plan's golden test only
// needs files of the same names and sizes that tile, or not, alike.

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "batch_presets/morvale_preset.h"
#include "texture_test_support.h"

namespace morvale::test {

struct SampleFile {
    std::string path;  // below the sample folder
    int width;
    int height;
};

// Every file of the sample folder, in the order the sample run writes them.
inline std::vector<SampleFile> sampleFiles() {
    std::vector<SampleFile> files;
    for (const char* name : {"Rock_Height", "Rock_AO", "Rock_Roughness", "Rock_Metallic", "Brick_Height", "Brick_AO",
                             "Brick_Roughness", "Brick_NormalDX", "Plate_AO", "Plate_Smoothness", "Plate_Metallic",
                             "Plate_Height"}) {
        files.push_back({std::string("sets/") + name + ".png", 2048, 2048});
    }
    files.push_back({"misc/Grass.png", 1500, 900});
    files.push_back({"misc/Moss_Tileable.png", 1024, 1024});
    files.push_back({"misc/Sand_Photo.png", 1024, 1024});
    for (int i = 1; i <= 24; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "anim/ball_%02d.png", i);
        files.push_back({name, 128, 128});
    }
    return files;
}

// Plain stand-ins of the sample's files: grey maps, a moss that tiles, a sand ramp that does not,
// and a ball moving across the frames (frames 12 and 24 repeat frame 1).
inline void writePlainSampleFolder(const std::filesystem::path& dir) {
    for (const auto& file : sampleFiles()) {
        const std::filesystem::path path = dir / file.path;
        std::filesystem::create_directories(path.parent_path());
        const int w = file.width, h = file.height;
        std::function<Rgba(int, int)> pixel = [](int, int) { return Rgba{128, 128, 128, 255}; };
        if (file.path == "misc/Moss_Tileable.png") {
            pixel = [w](int x, int y) {
                const double turn = 2 * std::numbers::pi / w;
                const auto v = static_cast<std::uint8_t>(128 + 60 * std::sin(x * turn) * std::cos(y * turn));
                return Rgba{v, v, v, 255};
            };
        } else if (file.path == "misc/Sand_Photo.png") {
            pixel = [w](int x, int) {
                const auto v = static_cast<std::uint8_t>(x * 255 / w);
                return Rgba{v, v, v, 255};
            };
        } else if (file.path.rfind("anim/", 0) == 0) {
            const int frame = std::stoi(file.path.substr(10, 2));
            const int f = (frame == 12 || frame == 24) ? 1 : frame;
            pixel = [f](int x, int y) {
                const int cx = 20 + 4 * (f - 1), cy = 64;
                return (x - cx) * (x - cx) + (y - cy) * (y - cy) < 256 ? Rgba{240, 90, 50, 255} : Rgba{0, 0, 0, 0};
            };
        }
        PackedTexture::writePNG(makeTexture(w, h, pixel), path);
    }
}

struct SampleRun {
    std::string title;
    std::string output;  // folder below the sample folder
    MorvalePreset preset;
    std::vector<std::filesystem::path> files;
};

// The runs of the sample, each into its own output folder, with the preset's own pattern.
inline std::vector<SampleRun> sampleRuns(const std::filesystem::path& dir) {
    using Mode = MorvalePreset::OperationalMode;
    std::vector<std::filesystem::path> sets, frames;
    for (const auto& file : sampleFiles()) {
        if (file.path.rfind("sets/", 0) == 0) sets.push_back(dir / file.path);
        if (file.path.rfind("anim/", 0) == 0) frames.push_back(dir / file.path);
    }
    std::vector<SampleRun> runs;
    MorvalePreset packing = texturePreset(Mode::channelPackingORM);
    packing.generateMipmaps = true;
    packing.generateMissingNormal = true;
    runs.push_back({"channel packing, Unreal", "out-unreal", packing, sets});
    packing.engineProfile = ChannelPacker::EngineProfile::unityHDRPMaskMap;
    packing.generateMipmaps = false;
    runs.push_back({"channel packing, HDRP", "out-hdrp", packing, sets});
    runs.push_back({"normal conversion", "out-normal", texturePreset(Mode::normalMapConvert), sets});
    runs.push_back({"normal from height", "out-height", texturePreset(Mode::normalFromHeight),
                    {dir / "sets/Rock_Height.png", dir / "sets/Plate_Height.png"}});
    MorvalePreset pot = texturePreset(Mode::powerOfTwoEnforce);
    pot.generateMipmaps = true;
    runs.push_back({"power of two", "out-pot", pot, {dir / "misc/Grass.png"}});
    runs.push_back({"tiling", "out-tiling", texturePreset(Mode::tilingCheck),
                    {dir / "misc/Moss_Tileable.png", dir / "misc/Sand_Photo.png"}});
    MorvalePreset sprite = texturePreset(Mode::spriteSheetAtlas);
    sprite.spriteHalfScale = true;
    runs.push_back({"sprite sheet", "out-sprite", sprite, frames});
    return runs;
}

}  // namespace morvale::test
