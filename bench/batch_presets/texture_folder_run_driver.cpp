// One texture run through the real batch queue over many small maps, for
// compare_texture_folder_run.sh, to show how an item's time depends on the files beside it:
//   bench_texture_folder_run make DIR N FOLDERS   N ambient-occlusion maps of 4 x 4 (one set
//                                                  each), in DIR itself or spread over FOLDERS
//                                                  sub-folders of DIR
//   bench_texture_folder_run run DIR OUT           queues every file under DIR (sorted), packs
//                                                  them for Unreal four at a time into OUT and
//                                                  prints the counts, the run's wall time and
//                                                  the time per item
// Only the public batch and preset interfaces are used, so the same file builds against older
// trees of the project for a before/after comparison.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_item.h"
#include "batch_core/batch_queue_manager.h"
#include "batch_core/processing_job.h"
#include "batch_core/uuid.h"
#include "batch_presets/morvale_preset.h"
#include "image_engine/packed_texture.h"

namespace fs = std::filesystem;
using namespace morvale;

namespace {

int usage() {
    std::fprintf(stderr, "usage: bench_texture_folder_run make DIR N FOLDERS | run DIR OUT\n");
    return 2;
}

int make(const fs::path& dir, int count, int folders) {
    fs::create_directories(dir);
    const fs::path model = dir / ".model.png";
    PackedTexture::writePNG(PackedTexture{4, 4, std::vector<std::uint8_t>(4 * 4 * 4, 128)}, model);
    char name[64];
    for (int i = 0; i < count; ++i) {
        fs::path folder = dir;
        if (folders > 1) {
            std::snprintf(name, sizeof name, "folder%04d", i % folders);
            folder /= name;
            fs::create_directories(folder);
        }
        std::snprintf(name, sizeof name, "Mat%06d_AO.png", i);
        fs::copy_file(model, folder / name, fs::copy_options::overwrite_existing);
    }
    fs::remove(model);
    return 0;
}

int run(const fs::path& dir, const fs::path& out) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<BatchItem> items;
    items.reserve(files.size());
    for (const auto& file : files) items.emplace_back(Uuid::random(), file);

    const MorvalePreset preset(MorvalePreset::OperationalMode::channelPackingORM, ChannelPacker::EngineProfile::unrealORM,
                               true, PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0, false);
    const BatchConfiguration configuration(out, true, preset.defaultNamingPattern(), false, 4, false, true);
    const ProcessingJob job(Uuid::random(), preset.id(), preset.displayName(), items, configuration);

    BatchQueueManager queue;
    const auto start = std::chrono::steady_clock::now();
    const ExecutionReport report = queue.submitAndStart(job, preset);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("items %zu completed %lld failed %lld skipped %lld run %.3f s per item %.1f us\n", items.size(),
                static_cast<long long>(report.successCount), static_cast<long long>(report.failureCount),
                static_cast<long long>(report.skippedCount), seconds,
                items.empty() ? 0.0 : seconds * 1e6 / static_cast<double>(items.size()));
    return report.successCount == static_cast<std::int64_t>(items.size()) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "make" && argc == 5) {
        return make(argv[2], std::stoi(argv[3]), std::stoi(argv[4]));
    }
    if (argc >= 2 && std::string(argv[1]) == "run" && argc == 4) return run(argv[2], argv[3]);
    return usage();
}
