// Peak memory of large texture and listing items, against the process's memory budget.
//
//   bench_memory_budget measure SIDE
//       one item of SIDE x SIDE pixels in each texture mode and one listing photo, each in a process
//       of its own: the growth of peak resident memory per pixel (the factors the presets reserve by)
//   bench_memory_budget run SIDE COUNT CONCURRENCY
//       COUNT textures and then COUNT photos of SIDE x SIDE through the queue at CONCURRENCY items at
//       once: whether every item ended, the run's peak resident memory and the budget
//
// Inputs are generated (a gradient with a fine pattern; PNG and JPEG files of a few MB at 16384²)
// under MORVALE_BENCH_DIR or the temporary folder.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "base/memory_budget.h"
#include "batch_core/batch_configuration.h"
#include "batch_core/batch_queue_manager.h"
#include "batch_core/processing_context.h"
#include "batch_core/processing_job.h"
#include "batch_presets/morvale_preset.h"
#include "batch_presets/varnholt_preset.h"
#include "batch_presets/vertical.h"
#include "image_engine/core_image_pipeline.h"
#include "image_engine/packed_texture.h"

namespace {

using namespace morvale;
namespace fs = std::filesystem;

double statusKilobytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(std::strlen(key)));
    }
    return -1;
}

void resetPeak() {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
}

fs::path benchDir() {
    const char* dir = std::getenv("MORVALE_BENCH_DIR");
    return dir != nullptr ? fs::path(dir) : fs::temp_directory_path() / "morvale-memory-bench";
}

PackedTexture pattern(int side) {
    PackedTexture out{side, side, std::vector<std::uint8_t>(static_cast<std::size_t>(side) * side * 4)};
    for (int y = 0; y < side; ++y) {
        std::uint8_t* row = out.rgba.data() + static_cast<std::size_t>(y) * side * 4;
        for (int x = 0; x < side; ++x) {
            row[x * 4 + 0] = static_cast<std::uint8_t>(x * 255 / side);
            row[x * 4 + 1] = static_cast<std::uint8_t>(y * 255 / side);
            row[x * 4 + 2] = static_cast<std::uint8_t>(((x / 64) + (y / 64)) % 2 ? 200 : 40);
            row[x * 4 + 3] = 255;
        }
    }
    return out;
}

// Runs `body` in a child process and waits for it; what it allocates never counts against us.
bool inChild(const std::function<int()>& body) {
    std::cout.flush();
    const pid_t child = ::fork();
    if (child == 0) {
        int code = 1;
        try {
            code = body();
        } catch (const std::exception& error) {
            std::cerr << error.what() << "\n";
        }
        std::cout.flush();
        std::_Exit(code);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One texture Stone_Roughness.png (and a copy named as a normal map) and one photo Room.jpg of side x side, made once.
void makeInputs(int side) {
    const fs::path dir = benchDir() / std::to_string(side);
    if (fs::exists(dir / "Room.jpg")) return;
    inChild([&] {
        fs::create_directories(dir);
        const PackedTexture texture = pattern(side);
        PackedTexture::writePNG(texture, dir / "Stone_Roughness.png");
        fs::copy_file(dir / "Stone_Roughness.png", dir / "Stone_Normal.png");
        CoreImagePipeline::shared().write(PipelineImage{texture, {}}, dir / "Room.jpg", 0.9);
        return 0;
    });
}

MorvalePreset texturePreset(MorvalePreset::OperationalMode mode) {
    MorvalePreset preset = defaultMorvalePreset();
    preset.operationalMode = mode;
    preset.generateMipmaps = true;
    return preset;
}

int measure(int side) {
    makeInputs(side);
    const fs::path dir = benchDir() / std::to_string(side);
    const double pixels = static_cast<double>(side) * side;
    struct Case {
        std::string name;
        std::function<std::unique_ptr<BatchPreset>()> preset;
        fs::path input;
    };
    std::vector<Case> cases;
    for (const auto mode : MorvalePreset::allOperationalModes()) {
        if (mode == MorvalePreset::OperationalMode::spriteSheetAtlas) continue;  // frames, not one large image
        cases.push_back({"texture " + std::string(MorvalePreset::rawValue(mode)),
                         [mode] { return std::make_unique<MorvalePreset>(texturePreset(mode)); },
                         dir / (mode == MorvalePreset::OperationalMode::normalMapConvert ? "Stone_Normal.png"
                                                                                          : "Stone_Roughness.png")});
    }
    cases.push_back({"listing (default preset)", [] { return std::make_unique<VarnholtPreset>(defaultVarnholtPreset()); },
                     dir / "Room.jpg"});
    std::printf("%-40s %12s %14s\n", "item", "peak MB", "bytes/pixel");
    for (const auto& c : cases) {
        inChild([&] {
            const auto preset = c.preset();
            const fs::path out = dir / "out";
            fs::remove_all(out);
            BatchConfiguration configuration(out, true, preset->defaultNamingPattern(), true, 1, false, false);
            fs::create_directories(out);
            const BatchItem item(Uuid::random(), c.input);
            const ProcessingContext context(Uuid::random(), configuration, 1, 1);
            resetPeak();
            const double before = statusKilobytes("VmRSS:");
            std::string failure;
            try {
                (void)preset->process(item, context);
            } catch (const std::exception& error) {
                failure = error.what();
            }
            const double grown = (statusKilobytes("VmHWM:") - before) * 1024.0;
            std::printf("%-40s %12.0f %14.2f %s\n", c.name.c_str(), grown / (1 << 20), grown / pixels, failure.c_str());
            return 0;
        });
    }
    return 0;
}

int run(int side, int count, int concurrency) {
    makeInputs(side);
    const fs::path dir = benchDir() / std::to_string(side);
    const MemoryBudget& budget = MemoryBudget::process();
    std::printf("budget %.2f GB; %d items of %dx%d at concurrency %d\n", static_cast<double>(budget.capacity()) / (1 << 30),
                count, side, side, concurrency);
    for (const bool texture : {true, false}) {
        const fs::path in = dir / (texture ? "textures" : "photos");
        fs::create_directories(in);
        std::vector<BatchItem> items;
        for (int i = 0; i < count; ++i) {
            const fs::path file = in / ((texture ? "Stone" : "Room") + std::to_string(i) + (texture ? "_Roughness.png" : ".jpg"));
            if (!fs::exists(file)) fs::copy_file(dir / (texture ? "Stone_Roughness.png" : "Room.jpg"), file);
            items.emplace_back(Uuid::random(), file);
        }
        std::unique_ptr<BatchPreset> preset;
        if (texture) {
            preset = std::make_unique<MorvalePreset>(defaultMorvalePreset());
        } else {
            preset = std::make_unique<VarnholtPreset>(defaultVarnholtPreset());
        }
        const fs::path out = dir / "out";
        fs::remove_all(out);
        BatchConfiguration configuration(out, true, preset->defaultNamingPattern(), true, concurrency, false, false);
        ProcessingJob job(Uuid::random(), preset->id(), preset->displayName(), items, configuration);
        BatchQueueManager queue;
        resetPeak();
        const double before = statusKilobytes("VmRSS:");
        const auto started = std::chrono::steady_clock::now();
        const ExecutionReport report = queue.submitAndStart(job, *preset);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double peak = statusKilobytes("VmHWM:") * 1024.0;
        std::printf("%-8s ended %lld of %d (%lld completed, %lld failed) in %.1f s; peak RSS %.2f GB (%.2f GB before), "
                    "%.0f%% of the budget\n",
                    texture ? "textures" : "photos", static_cast<long long>(report.totalProcessed), count,
                    static_cast<long long>(report.successCount), static_cast<long long>(report.failureCount), seconds,
                    peak / (1 << 30), before / (1 << 20), 100.0 * peak / static_cast<double>(budget.capacity()));
        for (const auto& error : report.errors) std::printf("  %s\n", error.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "measure") == 0) return measure(std::atoi(argv[2]));
    if (argc == 5 && std::strcmp(argv[1], "run") == 0) return run(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(stderr, "usage: %s measure SIDE | run SIDE COUNT CONCURRENCY\n", argv[0]);
    return 2;
}
