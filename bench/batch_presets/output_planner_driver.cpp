// Makes the benchmark's folders and plans them, for compare_output_planner.sh:
//   bench_output_planner sets DIR N      N four-map material sets of 64 x 64 maps
//   bench_output_planner frames DIR N    N animation frames of 32 x 32
//   bench_output_planner plan packing|sprite DIR
// "plan" queues every file of DIR (sorted by name), plans into DIR/out with the existing-file
// check and prints the names, warnings, collisions and the wall time of the plan alone.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_item.h"
#include "batch_core/uuid.h"
#include "batch_presets/morvale_preset.h"
#include "batch_presets/output_planner.h"
#include "image_engine/packed_texture.h"

namespace fs = std::filesystem;
using namespace morvale;

namespace {

PackedTexture grey(int side, std::uint8_t value) {
    return PackedTexture{side, side, std::vector<std::uint8_t>(static_cast<std::size_t>(side * side) * 4, value)};
}

int usage() {
    std::fprintf(stderr, "usage: bench_output_planner sets|frames DIR N | plan packing|sprite DIR\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return usage();
    const std::string command = argv[1];
    if (command == "sets" || command == "frames") {
        const fs::path dir = argv[2];
        const int count = std::stoi(argv[3]);
        fs::create_directories(dir);
        // One encoded map, copied: the plan reads headers, not pixels.
        const fs::path model = dir / ".model.png";
        PackedTexture::writePNG(grey(command == "sets" ? 64 : 32, 120), model);
        char name[64];
        for (int i = 0; i < count; ++i) {
            if (command == "sets") {
                for (const char* suffix : {"_AO", "_Roughness", "_Metallic", "_Height"}) {
                    std::snprintf(name, sizeof name, "Mat%05d%s.png", i, suffix);
                    fs::copy_file(model, dir / name, fs::copy_options::overwrite_existing);
                }
            } else {
                std::snprintf(name, sizeof name, "frame_%05d.png", i + 1);
                fs::copy_file(model, dir / name, fs::copy_options::overwrite_existing);
            }
        }
        fs::remove(model);
        return 0;
    }
    if (command != "plan") return usage();
    const std::string mode = argv[2];
    const fs::path dir = argv[3];
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<BatchItem> items;
    items.reserve(files.size());
    for (const auto& file : files) items.emplace_back(Uuid::random(), file);

    MorvalePreset preset(mode == "sprite" ? MorvalePreset::OperationalMode::spriteSheetAtlas
                                          : MorvalePreset::OperationalMode::channelPackingORM,
                         ChannelPacker::EngineProfile::unrealORM, true,
                         PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0, true);
    const BatchConfiguration configuration(dir / "out", true, preset.defaultNamingPattern(), false, 1, false, true);

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    const auto reports = OutputPlanner::plan(preset, items, configuration, true);
    const bool collisions = OutputPlanner::hasCollisions(reports);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::size_t names = 0, warnings = 0;
    for (const auto& report : reports) {
        names += report.projectedFileNames.size();
        warnings += report.warnings.size();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("items %zu names %zu warnings %zu collisions %s plan %.3f s peak %.1f MB (%.1f MB before the plan)\n",
                items.size(), names, warnings, collisions ? "yes" : "no", seconds,
                static_cast<double>(usage.ru_maxrss) / 1024.0, static_cast<double>(before.ru_maxrss) / 1024.0);
    return 0;
}
