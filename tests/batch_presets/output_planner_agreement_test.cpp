// The plan against the run: generated folders go through the output planner and then through
// the batch queue with the same preset, pattern and folder; what the run writes, skips and
// refuses must be what the plan said.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "image_engine/core_image_pipeline.h"
#include "output_planner_support.h"
#include "support/temp_dir.h"
#include "texture_test_support.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Mode = MorvalePreset::OperationalMode;
using Profile = ChannelPacker::EngineProfile;
using Format = SpriteSheetCompiler::DataFormat;
using Scale = PowerOfTwoScaler::ScaleMode;

void writeTexture(const fs::path& file, int width, int height, std::mt19937& random) {
    const auto shade = static_cast<std::uint8_t>(random());
    PipelineImage image;
    image.pixels = test::makeTexture(width, height, [&](int x, int y) {
        const auto v = static_cast<std::uint8_t>(shade + x * 7 + y * 3);
        return test::Rgba{v, static_cast<std::uint8_t>(255 - v), shade, 255};
    });
    CoreImagePipeline::shared().write(image, file, 0.9);
}

// A JPEG stored width x height that its EXIF shows a quarter turn clockwise (orientation 6).
void writeTurnedJPEG(const fs::path& file, int width, int height, std::mt19937& random) {
    writeTexture(file, width, height, random);
    std::string jpeg = test::readFile(file);
    const std::string exif{"\xFF\xE1\x00\x22" "Exif\0\0" "II\x2A\0\x08\0\0\0" "\x01\0\x12\x01\x03\0\x01\0\0\0"
                           "\x06\0\0\0" "\0\0\0\0", 36};
    jpeg.insert(2, exif);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << jpeg;
}

// A folder of texture inputs: material sets of one to five maps with doubled channels and .bmp
// and .psd siblings, normal maps of each convention, height maps, sprite sequences that fit one
// page, turned photos, unreadable files and files named like outputs. Returns what a user would
// queue (the queueable files, shuffled, a few left out) and the folder.
std::vector<fs::path> generateFolder(const fs::path& folder, unsigned seed) {
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const int sides[] = {12, 16, 24, 33, 48, 64};
    auto side = [&] { return sides[pick(6)]; };
    const char* extensions[] = {".png", ".tif", ".jpg"};
    fs::create_directories(folder);
    std::vector<fs::path> files;
    auto image = [&](const std::string& name, int width, int height) {
        if (fs::path(name).extension() == ".bmp") {
            writeTexture(folder / (name + ".png"), width, height, random);
            fs::rename(folder / (name + ".png"), folder / name);
        } else {
            writeTexture(folder / name, width, height, random);
        }
        files.push_back(folder / name);
    };
    auto junk = [&](const std::string& name) {
        std::ofstream(folder / name) << "no image here";
        files.push_back(folder / name);
    };

    const std::vector<std::vector<std::string>> suffixes{{"_AO", "_Occlusion", "_AmbientOcclusion"},
                                                         {"_Roughness", "_Rough"},
                                                         {"_Smoothness", "_Gloss"},
                                                         {"_Metallic", "_Metal"},
                                                         {"_Height", "_Disp"},
                                                         {"_DetailMask"}};
    for (const std::string stem : {"Rock", "brick", "Plate_Worn", "Bark"}) {
        const int width = side(), height = pick(3) == 0 ? side() : width;
        std::vector<int> channels{0, 1, 2, 3, 4, 5};
        std::shuffle(channels.begin(), channels.end(), random);
        channels.resize(static_cast<std::size_t>(1 + pick(5)));
        for (const int channel : channels) {
            const auto& names = suffixes[static_cast<std::size_t>(channel)];
            const std::string base = stem + names[static_cast<std::size_t>(pick(static_cast<int>(names.size())))];
            image(base + extensions[pick(3)], width, height);
            switch (pick(5)) {
                case 0: image(stem + names.front() + "_x.png", width, height); break;  // not a map of the set
                case 1: image(stem + names.back() + ".png", width, height); break;    // the channel twice
                case 2: junk(base + ".psd"); break;
                case 3: image(base + ".bmp", width, height); break;  // PNG bytes; the reader finds them
                default: break;
            }
        }
    }
    const char* normals[] = {"Wall_NormalDX", "Stone_NormalGL", "Tile_Normal", "Wood_Nrm", "Bark_Normal_DX"};
    for (const char* name : normals) {
        if (pick(4) != 0) image(std::string(name) + extensions[pick(2)], side(), side());
    }
    image("Hill_Disp.png", side(), side());
    image("Dune_Bump.tif", side(), side());
    for (const std::string sequence : {"walk_", "run-", "spin"}) {
        const int count = 1 + pick(5), width = 8 + pick(9), height = 8 + pick(9);
        for (int frame = 1; frame <= count; ++frame) image(sequence + std::to_string(frame * (1 + pick(2))) + ".png", width, height);
    }
    image("hero.png", 16, 16);
    writeTurnedJPEG(folder / "Photo.jpg", 48, 24, random);
    files.push_back(folder / "Photo.jpg");
    junk("Broken_AO.png");
    junk("Junk.png");
    // Sources named as some patterns name outputs.
    image("out.png", 8, 8);
    image("POT.png", 20, 12);

    std::vector<fs::path> queued;
    for (const auto& file : files) {
        const std::string extension = file.extension().string();
        if (extension == ".bmp" || extension == ".psd") continue;
        if (pick(6) == 0) continue;
        queued.push_back(file);
    }
    std::sort(queued.begin(), queued.end());
    queued.erase(std::unique(queued.begin(), queued.end()), queued.end());
    std::shuffle(queued.begin(), queued.end(), random);
    return queued;
}

struct Variant {
    std::string title;
    MorvalePreset preset;
};

std::vector<Variant> variants() {
    std::vector<Variant> out;
    auto add = [&](std::string title, Mode mode, const std::function<void(MorvalePreset&)>& tweak) {
        MorvalePreset preset = test::texturePreset(mode);
        tweak(preset);
        out.push_back({std::move(title), preset});
    };
    for (const Profile profile : ChannelPacker::allEngineProfiles()) {
        for (const bool mipmaps : {false, true}) {
            add("packing " + std::string(ChannelPacker::rawValue(profile)) + (mipmaps ? " mips" : ""),
                Mode::channelPackingORM, [&](MorvalePreset& p) {
                    p.engineProfile = profile;
                    p.generateMipmaps = mipmaps;
                    p.generateMissingNormal = mipmaps;
                    p.maxTextureSize = profile == Profile::gltfORM ? 32 : 0;
                });
        }
    }
    for (const auto convention : ChannelPacker::allNormalConventions()) {
        const std::string tag(ChannelPacker::tag(convention));
        add("normal " + tag, Mode::normalMapConvert, [&](MorvalePreset& p) {
            p.normalTarget = convention;
            p.maxTextureSize = convention == ChannelPacker::NormalConvention::directX ? 20 : 0;
        });
        add("height " + tag, Mode::normalFromHeight, [&](MorvalePreset& p) { p.normalTarget = convention; });
    }
    add("pot", Mode::powerOfTwoEnforce, [](MorvalePreset&) {});
    add("pot mips square", Mode::powerOfTwoEnforce, [](MorvalePreset& p) {
        p.generateMipmaps = true;
        p.forceSquare = true;
        p.potScaleMode = Scale::roundUpPowerOfTwo();
    });
    add("pot fixed, limit", Mode::powerOfTwoEnforce, [](MorvalePreset& p) {
        p.potScaleMode = Scale::fixedTarget(32);
        p.maxTextureSize = 24;
        p.generateMipmaps = true;
    });
    add("pot off, square", Mode::powerOfTwoEnforce, [](MorvalePreset& p) {
        p.enforcePOT = false;
        p.forceSquare = true;
    });
    for (const Format format : SpriteSheetCompiler::allDataFormats) {
        add("sprite " + std::string(SpriteSheetCompiler::rawValue(format)), Mode::spriteSheetAtlas, [&](MorvalePreset& p) {
            p.spriteFormat = format;
            p.spriteHalfScale = format != Format::jsonArray;
            p.spriteRotate = format != Format::cocos;
        });
    }
    add("tiling", Mode::tilingCheck, [](MorvalePreset&) {});
    return out;
}

TEST(OutputPlannerAgreement, WrittenNamesAreTheProjectedNamesAndEveryRefusalWasForeseen) {
    const std::vector<std::string> patterns{"{name}_{profile}_{pot}", "{profile}", "{index:03}_{name}", "", "out"};
    const auto all = variants();
    int completed = 0, runs = 0;
    for (const unsigned seed : {7u, 31u}) {
        test::TempDir dir;
        const auto queued = generateFolder(dir / "src", seed);
        for (std::size_t v = 0; v < all.size(); ++v) {
            const auto& variant = all[v];
            for (std::size_t p = 0; p <= patterns.size(); ++p) {
                // The last round writes into the sources' own folder (a fresh copy of it), where
                // outputs can land on queued files. The second folder takes the default pattern
                // and that round only: every written file is synced, which is what a run costs.
                const bool inPlace = p == patterns.size();
                if (seed != 7u && p != 0 && !inPlace) continue;
                // Sheets and previews have fixed names: one pattern shows it.
                const Mode mode = variant.preset.operationalMode;
                if ((mode == Mode::spriteSheetAtlas || mode == Mode::tilingCheck) && p != 0 && !inPlace) continue;
                const std::string& pattern = patterns[inPlace ? (v + seed) % patterns.size() : p];
                SCOPED_TRACE("seed " + std::to_string(seed) + ", " + variant.title + ", pattern \"" + pattern + "\"" +
                             (inPlace ? ", in place" : ""));
                std::vector<fs::path> files = queued;
                fs::path out = dir / ("out" + std::to_string(v) + "_" + std::to_string(p));
                if (inPlace) {
                    out = dir / ("copy" + std::to_string(v));
                    fs::copy(dir / "src", out);
                    for (auto& file : files) file = out / file.filename();
                }
                const auto plan = test::planFiles(variant.preset, files, out, pattern, true);
                const auto run = test::runTextureJob(variant.preset, files, out, pattern, 8);
                ASSERT_EQ(run.items.size(), plan.size());
                completed += test::expectAgreement(plan, run);
                ++runs;
            }
        }
    }
    // The generated folders must exercise the run, not only its refusals.
    EXPECT_GT(completed, runs * 3);
}

}  // namespace
}  // namespace morvale
