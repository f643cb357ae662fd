// One drop of a folder tree holding 100,000 files: walk, filter, de-duplicate and sort.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <fstream>

#include "batch_core/file_ingest.h"

namespace {

namespace fs = std::filesystem;

void ingestFolderTree(benchmark::State& state) {
    const auto fileCount = state.range(0);
    const fs::path root = fs::temp_directory_path() / ("morvale-ingest-bench-" + std::to_string(::getpid()));
    // 100 folders of 1000 files each, two levels deep, with a few names the filter rejects.
    for (std::int64_t i = 0; i < fileCount; ++i) {
        const auto folder = root / ("set" + std::to_string(i / 10000)) / ("take" + std::to_string((i / 1000) % 10));
        if (i % 1000 == 0) fs::create_directories(folder);
        std::ofstream(folder / ("frame" + std::to_string(i % 1000) + ".png"));
        if (i % 1000 == 0) std::ofstream(folder / ".thumbs.png");
        if (i % 1000 == 0) std::ofstream(folder / "notes.txt");
    }
    std::size_t found = 0;
    for (auto _ : state) {
        const auto result = morvale::FileIngest::expand({root}, {"png", "jpg"});
        found = result.size();
        benchmark::DoNotOptimize(result.data());
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    state.counters["files"] = static_cast<double>(found);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * fileCount);
}

BENCHMARK(ingestFolderTree)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
